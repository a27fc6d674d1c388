// --self-test: the fast engine against residues computed beforehand with
// GMP alone (src/cli/self_test_residues.txt, compiled into the program), at
// each length on every path this processor has: each kernel table of the
// two-pass iteration, FFTW's twin, and the one-transform squarer below 256K.
#pragma once

#include <cstdio>

#include "cli/outcome.h"
#include "cli/options.h"

// Runs the self-test of opt (self_test_full: every length of the data, else
// the quick sample; self_test_lengths, when given, exactly those lengths)
// and writes one line (or JSON object) per length and path to out_fd as each
// is known, then a summary; progress (only when show_progress) and messages
// go to err. ok only when every length and path matched; no_verdict when one
// did not or could not be run; usage for a length the data does not hold;
// output_failed when a line cannot be written.
cli_outcome run_self_test(const cli_options& opt, int out_fd, FILE* err, bool show_progress);
