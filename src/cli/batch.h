// The batch tester: runs the exponents of a command line side by side and
// prints their results in the order given.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>

#include "cli/options.h"
#include "cli/report.h"

// The result for one exponent p >= 2 under engine name ("auto" or a table row):
// p = 2 and a composite p at once, otherwise one engine run timed.
exponent_result test_exponent(int32_t p, const cli_options& opt,
                              const std::function<void(int64_t, int64_t)>& progress);

// Tests every exponent of opt with opt.jobs workers and writes each result
// line to out as soon as it and all results before it are done; progress
// lines go to err when show_progress. Returns kExitOk, or kExitNoVerdict when
// some exponent got no verdict.
int run_batch(const cli_options& opt, FILE* out, FILE* err, bool show_progress);

// The whole command line: parse argv, print help, version or a usage error,
// or run the batch. Returns the exit status.
int run_cli(int argc, const char* const* argv);
