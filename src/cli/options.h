// The batch command line: its options and the pure step from argv to them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "work/plan.h"
#include "work/settings.h"

enum class progress_mode { automatic, on, off };

// FFTW plans: measured (slow to make, faster to run) or estimated; unset
// leaves the choice to the caller (the environment, else measured).
enum class plan_choice { unset, measure, estimate };

// A transform length for --benchmark: as written, and the fast engine's
// length it stands for (the smallest table length not below it).
struct bench_length {
  int64_t asked = 0;
  int64_t n = 0;
  bool operator==(const bench_length&) const = default;
};

// The command line's options: the work it asks for, and what only the
// command line has (the output's form, progress, plans, the files of the
// commands other than the tests).
struct cli_options : work_settings {
  bool json = false;
  progress_mode progress = progress_mode::automatic;  // automatic: only when stderr is a terminal
  plan_choice plans = plan_choice::unset;  // --plans
  std::vector<bench_length> bench_lengths;  // --benchmark; empty: the default set
  bool bench_list = false;                  // --benchmark --list: the length table, nothing timed
  bool bench_throughput = false;            // --benchmark --throughput: every split of the cores into workers x threads
  bool cores_by_default = false;            // neither --jobs nor --threads given: a saved split may set them
  bool self_test_full = false;              // --self-test full: every length (else the quick sample)
  std::vector<int64_t> self_test_lengths;   // --self-test: only these lengths; empty: by the mode
  std::vector<std::string> verify_files;  // --verify: the proof files to check
  std::string from_file;                 // --from: more exponents, one p or range a line ("-": stdin)
  std::vector<std::string> summary_files;  // --summary: the results files to count
  std::string worktodo;                  // --worktodo: the assignments' work file (empty: the exponents given)
  int worker = 0;                        // --worker: only this [Worker #n] section of it (0: every line)
  std::string results_json;              // --results-json: the search server's result lines go here
};

// run: test the exponents; states: list the saved states; forget: remove
// the saved states of the exponents; benchmark: time the fast engine per length;
// verify: check proof files; summary: count results files; self_test:
// check the fast engine against the expected residues.
enum class cli_action { run, states, forget, benchmark, self_test, verify, summary, help, version, error };

struct parsed_command {
  cli_action action = cli_action::error;
  cli_options options;                // meaningful for run
  std::string text;                   // help or version text, or the one-line error message
  std::vector<std::string> warnings;  // one line each, e.g. a --jobs lowered to its cap
};

// Reads "p" or "A-B" (decimal, 2 <= p, A <= B <= 2^31 - 1). On failure returns
// false with a one-line reason in *why and leaves *out alone.
bool parse_exponent(std::string_view token, exponent_span* out, std::string* why);

// Reads a transform length for --benchmark: decimal digits with an optional
// suffix K (2^10) or M (2^20), rounded up to the fast engine's next length.
// On failure (not such a number, zero, beyond the largest length) returns
// false with a one-line reason in *why and leaves *out alone.
bool parse_bench_length(std::string_view token, bench_length* out, std::string* why);

// Reads the exponents of a --from file: one p or range A-B per line (several
// separated by blanks are taken too), blank lines and lines starting with '#'
// skipped. On failure returns false with a reason naming the line.
bool parse_exponent_list(std::string_view text, std::vector<exponent_span>* out, std::string* why);

// Reads "I/N" with 1 <= I <= N; false with a reason otherwise.
bool parse_shard(std::string_view token, int* index, int* count, std::string* why);

// Parses the batch command line (argv[0] is the program name). Touches no
// stream and no process state: help, version and errors come back as text.
parsed_command parse_command_line(int argc, const char* const* argv);
