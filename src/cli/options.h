// The batch command line: its options and the pure step from argv to them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An inclusive run of exponents first .. last (first <= last, both >= 2).
struct exponent_span {
  int32_t first = 0;
  int32_t last = 0;
  bool operator==(const exponent_span&) const = default;
};

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

struct cli_options {
  std::vector<exponent_span> exponents;  // in the order given
  std::string engine = "auto";           // "auto" or a row of the engine table
  bool json = false;
  progress_mode progress = progress_mode::automatic;  // automatic: only when stderr is a terminal
  int jobs = 1;                          // exponents tested side by side
  int threads = 1;                       // threads inside one test
  plan_choice plans = plan_choice::unset;  // --plans
  std::vector<bench_length> bench_lengths;  // --benchmark; empty: the default set
  bool checkpoints = true;               // save states and resume from them
  std::string state_dir;                 // where; empty: the default (formats/state.h)
  double checkpoint_every = 600;         // seconds between saved states
  int64_t shift = -1;                    // starting shift (taken mod p); -1: random
  int64_t iterations = 0;                // 0: whole tests; K: only the first K iterations
  std::vector<int64_t> inject_faults;    // testing: damage the residue after these iterations
  bool prp = false;                      // --test=prp: the probable-prime test instead of Lucas-Lehmer
  int proof_power = 0;                   // --proof: write a proof of this power (1..12); 0: none
  std::string proof_dir;                 // --proof-dir; empty: the current directory
  std::vector<std::string> verify_files;  // --verify: the proof files to check
  bool factor_only = false;              // --test=tf: trial factoring only
  bool tf_auto = false;                  // --tf: factor every exponent first, to the automatic depth
  int tf_bits = -1;                      // --tf-bits B: factor to 2^B (0: never); -1: not given
  std::string results_file;              // --results: append final lines here, skip those already there
  std::string from_file;                 // --from: more exponents, one p or range a line ("-": stdin)
  int shard_index = 1, shard_count = 1;  // --shard I/N: every N-th exponent from the I-th
  std::vector<std::string> summary_files;  // --summary: the results files to count
};

// run: test the exponents; states: list the saved states; forget: remove
// the saved states of the exponents; benchmark: time the fast engine per length;
// verify: check proof files; summary: count results files.
enum class cli_action { run, states, forget, benchmark, verify, summary, help, version, error };

struct parsed_command {
  cli_action action = cli_action::error;
  cli_options options;                // meaningful for run
  std::string text;                   // help or version text, or the one-line error message
  std::vector<std::string> warnings;  // one line each, e.g. a --jobs lowered to its cap
};

// Caps on --jobs and --threads, per core this process may use: more jobs
// only share the same cores (and multiply the memory), more threads in one
// test only wait for each other.
inline constexpr int kJobsPerCore = 4;
inline constexpr int kThreadsPerCore = 2;

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

// The program's version, as --version prints it.
std::string version_text();
