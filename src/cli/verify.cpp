#include "cli/verify.h"
#include "base/clock.h"
#include "base/numbers.h"
#include "arith/engine_table.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <new>

#include "cli/line_output.h"
#include "work/report.h"

namespace {

// The rule a proof's end follows, as --verify names it.
const char* end_rule(proof_end end) {
  switch (end) {
    case proof_end::power_multiple: return "the least multiple of 2^power above p";
    case proof_end::multiple_of_1024: return "the least multiple of 1024 above p";
    case proof_end::both: return "the least multiple of 2^power and of 1024 above p";
  }
  return "";
}

// The JSON name of the rule a proof's end follows.
const char* end_name(proof_end end) {
  switch (end) {
    case proof_end::power_multiple: return "2^power";
    case proof_end::multiple_of_1024: return "1024";
    case proof_end::both: return "both";
  }
  return "";
}

}  // namespace

void to_json(nlohmann::ordered_json& j, const verify_line& line) {
  const proof_verdict& v = line.verdict;
  j = nlohmann::ordered_json::object();
  j["file"] = line.file;
  j["valid"] = v.valid;
  j["exponent"] = v.p != 0 ? nlohmann::ordered_json(v.p) : nlohmann::ordered_json(nullptr);
  if (v.valid && v.layout == proof_layout::older) {
    j["prime"] = v.prime;
    j["res64"] = res64_hex(v.res64);
    j["power"] = v.power;
  } else if (v.valid) {
    j["prime"] = v.prime;
    j["power"] = v.power;
    j["top"] = v.top;
    j["top_rule"] = end_name(v.end);
  } else {
    j["reason"] = v.why;
  }
  j["squarings"] = v.squarings;
  j["seconds"] = std::round(line.seconds * 1000.0) / 1000.0;
}

std::string verify_text(const verify_line& line) {
  const proof_verdict& v = line.verdict;
  char details[96];
  std::snprintf(details, sizeof details, " (%lld squarings, %.1f s)", static_cast<long long>(v.squarings),
                line.seconds);
  if (!v.valid) return line.file + ": proof invalid: " + v.why;
  if (v.layout == proof_layout::consensus)
    return mersenne_name(v.p) + ": proof valid, " + (v.prime ? "probable prime" : "composite") + ", top " +
           std::to_string(v.top) + ", " + end_rule(v.end) + details;
  if (v.prime) return mersenne_name(v.p) + ": proof valid, probable prime" + details;
  return mersenne_name(v.p) + ": proof valid, composite, PRP Res64 " + res64_hex(v.res64) + details;
}

batch_status run_verify(const cli_options& opt, int out_fd) {
  line_output out(out_fd);
  engine_options eo;
  eo.threads = opt.threads;
  bool all_valid = true;
  for (const std::string& path : opt.verify_files) {
    const auto t0 = clock_type::now();
    verify_line line;
    line.file = path;
    try {
      line.verdict = verify_proof_file(*find_engine("fast"), path, eo);
    } catch (const std::bad_alloc&) {
      line.verdict = proof_verdict{};
      line.verdict.why = "could not be checked: not enough memory";
    }
    line.seconds = seconds_since(t0);
    all_valid = all_valid && line.verdict.valid;
    const std::string text = opt.json ? nlohmann::ordered_json(line).dump() : verify_text(line);
    if (!out.write(text + "\n")) break;
  }
  if (!out.close() || out.failed()) {
    std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", out.error().c_str());
    return batch_status::output_failed;
  }
  return all_valid ? batch_status::ok : batch_status::proof_invalid;
}
