// The tests: the exponents of a command line tested side by side, their
// results printed in the order given.
#pragma once

#include <cstdio>

#include "cli/options.h"
#include "cli/outcome.h"

// Tests every exponent of opt with up to opt.jobs workers (no more than there
// are exponents) and writes each result line to the descriptor out_fd as
// soon as it and all results before it are done; progress lines and
// messages go to err (progress only when show_progress). States are saved
// in and resumed from opt's state directory. When a result cannot be
// written, or SIGINT, SIGTERM or SIGHUP arrives, the run stops at once
// (output_failed, interrupted with the signal), saving what it can.
cli_outcome run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress);
