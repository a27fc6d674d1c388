#include "cli/states_command.h"
#include "base/numbers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/line_output.h"
#include "cli/progress_line.h"
#include "formats/state.h"
#include "work/lifecycle.h"

namespace {


}  // namespace

// --states: one line (or JSON object) per exponent with a saved state.
batch_status list_states(const cli_options& opt) {
  std::string why, text;
  const auto states = open_state_dir(opt, &why);
  if (states == nullptr) {
    std::fprintf(stderr, "mersenne: no state directory to list (%s)\n", why.c_str());
    return batch_status::usage;
  }
  for (int32_t p : states->exponents())
    for (test_kind kind : {test_kind::ll, test_kind::prp}) {
    const auto found =
        states->load(p, [](const std::string& w) { std::fprintf(stderr, "mersenne: %s\n", w.c_str()); }, kind);
    if (found.empty()) continue;
    // A probable-prime test runs p iterations (and on to the proof's end), a Lucas-Lehmer test p - 2.
    const int64_t total = kind == test_kind::prp ? p : p - 2;
    const run_state& s = found.front();
    const double age = states->age_seconds(p);
    if (opt.json) {
      text += nlohmann::ordered_json(state_listing{s, age}).dump() + "\n";
    } else {
      char line[200];
      std::snprintf(line, sizeof line, "M%d  %s  iteration %lld of %lld (%.1f%%)  saved %s ago%s\n", p,
                    test_name(s.test), static_cast<long long>(s.iteration), static_cast<long long>(total),
                    std::min(100.0, 100.0 * static_cast<double>(s.iteration) / static_cast<double>(total)),
                    short_duration(age).c_str(), s.verified ? "  verified" : "");
      text += line;
    }
    }
  if (text.empty() && !opt.json) text = "no saved states in " + states->path() + "\n";
  return write_stdout(text) ? batch_status::ok : batch_status::output_failed;
}

// --forget P...: removes the saved states of the exponents given (not of one another process is testing).
batch_status forget_states(const cli_options& opt) {
  std::string why, text;
  const auto states = open_state_dir(opt, &why);
  if (states == nullptr) return write_stdout("no saved states\n") ? batch_status::ok : batch_status::output_failed;
  bool kept = false;
  for (int32_t p : states->exponents()) {
    bool wanted = false;
    for (const exponent_span& s : opt.exponents) wanted = wanted || (s.first <= p && p <= s.last);
    if (!wanted) continue;
    bool busy = false;
    const auto held = states->lock(p, &busy, &why);
    if (held == nullptr) {
      text += mersenne_name(p) + ": kept: " + why + "\n";
      kept = true;
      continue;
    }
    states->forget(p);
    held->remove_on_release();
    text += mersenne_name(p) + ": saved states removed\n";
  }
  if (text.empty()) text = "no saved states for these exponents\n";
  if (!write_stdout(text)) return batch_status::output_failed;
  return kept ? batch_status::no_verdict : batch_status::ok;
}
