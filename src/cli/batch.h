// The batch tester: runs the exponents of a command line side by side and
// prints their results in the order given.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "cli/options.h"
#include "cli/report.h"

// How a batch run or a command line ended; the program maps it to an exit status.
enum class batch_status {
  ok,          // every exponent got a verdict (or help / version was printed)
  usage,       // bad options or exponents: nothing tested
  no_verdict,  // at least one exponent got no verdict
  output_failed,  // results could not be written (disk full, stdout closed, reader gone): stopped
};

// The result for one exponent p >= 2 under engine name ("auto" or a table row):
// p = 2 and a composite p at once, otherwise one engine run timed; stop, if
// given, ends the run early (no verdict).
exponent_result test_exponent(int32_t p, const cli_options& opt,
                              const std::function<void(int64_t, int64_t)>& progress,
                              const std::atomic<bool>* stop = nullptr);

// Tests every exponent of opt with up to opt.jobs workers (no more than there
// are exponents) and writes each result line to the descriptor out_fd as
// soon as it and all results before it are done; progress lines and
// messages go to err (progress only when show_progress). When a result
// cannot be written, the run stops at once: output_failed.
batch_status run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress);

// The whole command line: parse argv, print help, version or a usage error,
// or run the batch.
batch_status run_cli(int argc, const char* const* argv);
