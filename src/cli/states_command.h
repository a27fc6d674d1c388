// --states and --forget: the saved states of the state directory, listed or removed.
#pragma once

#include "cli/options.h"
#include "cli/outcome.h"

// --states: one line (or JSON object) per exponent and test with a saved
// state, to standard output; usage when there is no state directory.
batch_status list_states(const cli_options& opt);

// --forget P...: removes the saved states of the exponents of opt (not of
// one another process is testing: no_verdict then), saying so on standard output.
batch_status forget_states(const cli_options& opt);
