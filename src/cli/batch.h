// The batch tester: runs the exponents of a command line side by side and
// prints their results in the order given.
#pragma once

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
};

// The result for one exponent p >= 2 under engine name ("auto" or a table row):
// p = 2 and a composite p at once, otherwise one engine run timed.
exponent_result test_exponent(int32_t p, const cli_options& opt,
                              const std::function<void(int64_t, int64_t)>& progress);

// Tests every exponent of opt with opt.jobs workers and writes each result
// line to out as soon as it and all results before it are done; progress
// lines go to err when show_progress.
batch_status run_batch(const cli_options& opt, FILE* out, FILE* err, bool show_progress);

// The whole command line: parse argv, print help, version or a usage error,
// or run the batch.
batch_status run_cli(int argc, const char* const* argv);
