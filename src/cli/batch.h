// The batch tester: runs the exponents of a command line side by side and
// prints their results in the order given.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "cli/options.h"
#include "work/report.h"

// How a batch run or a command line ended; the program maps it to an exit status.
enum class batch_status {
  ok,          // every exponent got a verdict (or help / version was printed)
  usage,       // bad options or exponents: nothing tested
  no_verdict,  // at least one exponent got no verdict
  output_failed,  // results could not be written (disk full, stdout closed, reader gone): stopped
  interrupted,    // stopped by a signal; the running tests' states saved
  proof_invalid,  // --verify: at least one proof is invalid, truncated or unreadable
};

// How the command line ended: the status, and for interrupted the signal.
struct cli_outcome {
  batch_status status = batch_status::ok;
  int signal = 0;
};

// The result for one exponent p >= 2 under engine name ("auto" or a table row):
// p = 2 and a composite p at once, otherwise trial factoring where opt asks
// for it or the test is long (on from 2^factored_to, the depth an earlier
// run reached, or from where the states and factoring progress in eo's state
// directory say it got), then, unless that settled it or only factoring was asked
// for, one engine run; timed, with the progress, stop, states and warn of
// eo (the rest of eo comes from opt).
exponent_result test_exponent(int32_t p, const cli_options& opt, engine_options eo = {}, int factored_to = 0);

// The depth prime p is trial-factored to under opt (every q below 2^depth);
// 0: not factored.
int factoring_depth(int32_t p, const cli_options& opt);

// Tests every exponent of opt with up to opt.jobs workers (no more than there
// are exponents) and writes each result line to the descriptor out_fd as
// soon as it and all results before it are done; progress lines and
// messages go to err (progress only when show_progress). States are saved
// in and resumed from opt's state directory. When a result cannot be
// written, or SIGINT, SIGTERM or SIGHUP arrives, the run stops at once
// (output_failed, interrupted with the signal), saving what it can.
cli_outcome run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress);

// --verify: checks each proof file of opt in turn, writing one line (or JSON
// object) per file to out_fd; ok when all are valid, else proof_invalid.
batch_status run_verify(const cli_options& opt, int out_fd);

// --summary: reads the results files of opt and writes the counts (text, or
// one JSON object) to out_fd; usage when a file cannot be read.
batch_status run_summary(const cli_options& opt, int out_fd);

// The whole command line: parse argv, print help, version or a usage error,
// list or forget saved states, run the benchmark, or run the batch (with
// measured or estimated plans: --plans, else $MERSENNE_PLANS).
cli_outcome run_cli(int argc, const char* const* argv);
