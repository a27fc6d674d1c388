#include "cli/summary.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/files.h"
#include "cli/line_output.h"

std::string summary_text(const results_summary& s) {
  std::string text = "exponents: " + std::to_string(s.exponents) + "\nprimes: " + std::to_string(s.primes) +
                     "\nfactored: " + std::to_string(s.factored) + "\ntested (composite): " +
                     std::to_string(s.tested) + "\nno verdict: " + std::to_string(s.no_verdict) + "\n";
  if (!s.disagreeing.empty()) {
    text += "disagreeing:";
    for (int32_t p : s.disagreeing) text += " M" + std::to_string(p);
    text += "\n";
  }
  if (!s.prime_exponents.empty()) {
    text += "primes found:";
    for (int32_t p : s.prime_exponents) text += " M" + std::to_string(p);
    text += "\n";
  }
  return text;
}

batch_status run_summary(const cli_options& opt, int out_fd) {
  std::vector<exponent_result> all;
  for (const std::string& path : opt.summary_files) {
    std::string text, why;
    bool missing = false;
    if (!read_whole_file(path, size_t{1} << 34, &text, &missing, &why)) {
      std::fprintf(stderr, "mersenne: cannot read %s: %s\n", path.c_str(), why.c_str());
      return batch_status::usage;
    }
    results_text parsed = parse_results(text, path);
    for (const std::string& w : parsed.warnings) std::fprintf(stderr, "mersenne: %s\n", w.c_str());
    for (exponent_result& r : parsed.results) all.push_back(std::move(r));
  }
  const results_summary s = summarize(all);
  for (const std::string& d : s.disagreements) std::fprintf(stderr, "mersenne: the results disagree: %s\n", d.c_str());
  const std::string text = opt.json ? nlohmann::ordered_json(s).dump() + "\n" : summary_text(s);
  line_output out(out_fd);
  // Totals over results that disagree are no verdict to build on: the exponents need another test.
  if (out.write(text) && out.close()) return s.disagreeing.empty() ? batch_status::ok : batch_status::no_verdict;
  std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", out.error().c_str());
  return batch_status::output_failed;
}
