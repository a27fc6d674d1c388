// The whole command line: argv to one of its commands, and how it ended.
#pragma once

#include "cli/outcome.h"

// The whole command line: parse argv, print help, version or a usage error,
// list or forget saved states, count results, verify proofs, run the
// benchmark, or run the tests (with measured or estimated plans: --plans,
// else $MERSENNE_PLANS).
cli_outcome run_cli(int argc, const char* const* argv);
