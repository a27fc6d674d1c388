#include "cli/command_line.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "arith/fast/plans.h"
#include "base/files.h"
#include "base/machine.h"
#include "cli/batch.h"
#include "cli/benchmark.h"
#include "cli/line_output.h"
#include "cli/options.h"
#include "cli/self_test.h"
#include "cli/splits.h"
#include "cli/states_command.h"
#include "cli/summary.h"
#include "cli/verify.h"

namespace {

// Whether FFTW plans are measured: --plans, else MERSENNE_PLANS where it
// names a choice (a warning where it names none), else by_default.
bool measured_plans(plan_choice choice, bool by_default) {
  if (choice != plan_choice::unset) return choice == plan_choice::measure;
  const char* env = std::getenv("MERSENNE_PLANS");
  if (env == nullptr || *env == '\0') return by_default;
  if (std::strcmp(env, "measure") == 0) return true;
  if (std::strcmp(env, "estimate") == 0) return false;
  std::fprintf(stderr, "mersenne: MERSENNE_PLANS=%s is neither measure nor estimate; plans are %s\n", env,
               by_default ? "measured" : "estimated");
  return by_default;
}

// The benchmark's blocks: MERSENNE_BENCH_QUICK (for the tests) shortens them
// to a few milliseconds, which only makes the figures rougher.
bench_timing benchmark_timing() {
  const char* quick = std::getenv("MERSENNE_BENCH_QUICK");
  if (quick == nullptr || *quick == '\0' || std::strcmp(quick, "0") == 0) return {};
  return {0.002, 1, 5};
}

// Adds the exponents of --from (a file, or standard input for "-") to o;
// false with a message on stderr when it cannot be read or holds a bad line.
bool read_from_file(cli_options& o) {
  if (o.from_file.empty()) return true;
  std::string text, why;
  bool missing = false;
  const std::string path = o.from_file == "-" ? "/dev/stdin" : o.from_file;
  bool ok = false;
  if (o.from_file == "-") {
    ok = read_rest(STDIN_FILENO, SIZE_MAX, &text, &why);
  } else {
    ok = read_whole_file(path, size_t{1} << 30, &text, &missing, &why);
  }
  const std::string name = o.from_file == "-" ? "standard input" : o.from_file;
  if (!ok) {
    std::fprintf(stderr, "mersenne: cannot read the exponents of --from %s: %s\n", name.c_str(), why.c_str());
    return false;
  }
  if (!parse_exponent_list(text, &o.exponents, &why)) {
    std::fprintf(stderr, "mersenne: %s: %s\n", name.c_str(), why.c_str());
    return false;
  }
  if (o.exponents.empty()) {
    std::fprintf(stderr, "mersenne: no exponent given (%s holds none)\n", name.c_str());
    return false;
  }
  return true;
}

}  // namespace

cli_outcome run_cli(int argc, const char* const* argv) {
  // A closed standard output could be taken over by the next file opened.
  if (fcntl(STDOUT_FILENO, F_GETFL) == -1) {
    std::fprintf(stderr, "mersenne: standard output is closed; there is nowhere to write results\n");
    return {batch_status::output_failed, 0};
  }
  // A reader that goes away shows as a failed write (EPIPE), handled like any
  // other; a file size limit makes a state write fail instead of the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  share_heap_under_address_limit();
  const parsed_command cmd = parse_command_line(argc, argv);
  for (const std::string& w : cmd.warnings) std::fprintf(stderr, "mersenne: %s\n", w.c_str());
  switch (cmd.action) {
    case cli_action::help:
    case cli_action::version:
      return {write_stdout(cmd.text) ? batch_status::ok : batch_status::output_failed, 0};
    case cli_action::error:
      std::fprintf(stderr, "mersenne: %s\nRun 'mersenne --help' for usage.\n", cmd.text.c_str());
      return {batch_status::usage, 0};
    case cli_action::states:
      return {list_states(cmd.options), 0};
    case cli_action::forget:
      return {forget_states(cmd.options), 0};
    case cli_action::summary:
      return {run_summary(cmd.options, STDOUT_FILENO), 0};
    case cli_action::run:
    case cli_action::benchmark:
    case cli_action::self_test:
    case cli_action::verify:
      break;
  }
  if (cmd.action == cli_action::benchmark && cmd.options.bench_list)
    return run_benchmark_list(cmd.options, STDOUT_FILENO, stderr);
  // The self-test checks the arithmetic, which every plan gives alike: its
  // plans are estimated unless asked otherwise, and made at once.
  fast_set_measured_plans(measured_plans(cmd.options.plans, cmd.action != cli_action::self_test));
  bool show = isatty(STDERR_FILENO) != 0;
  if (cmd.options.progress == progress_mode::on) show = true;
  if (cmd.options.progress == progress_mode::off) show = false;
  if (cmd.action == cli_action::verify) return {run_verify(cmd.options, STDOUT_FILENO), 0};
  cli_options opt = cmd.options;
  if (cmd.action == cli_action::run && !read_from_file(opt)) return {batch_status::usage, 0};
  if (cmd.action == cli_action::run) take_saved_split(opt, saved_splits_path(), stderr, show);
  const cli_outcome outcome =
      cmd.action == cli_action::benchmark && opt.bench_throughput
          ? run_benchmark_throughput(opt, benchmark_timing(), STDOUT_FILENO, stderr, show)
      : cmd.action == cli_action::benchmark ? run_benchmark(opt, benchmark_timing(), STDOUT_FILENO, stderr, show)
      : cmd.action == cli_action::self_test ? run_self_test(opt, STDOUT_FILENO, stderr, show)
                                            : run_batch(opt, STDOUT_FILENO, stderr, show);
  if (outcome.status != batch_status::output_failed && close(STDOUT_FILENO) != 0) {
    std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", std::strerror(errno));
    return {batch_status::output_failed, 0};
  }
  return outcome;
}
