// The one loop that drives an engine through a Lucas-Lehmer test: start
// value, iteration count, progress, the rounding bound and the retry at a
// longer length. Every engine runs here; nothing else iterates a stepper.
#pragma once

#include <cstdint>

#include "arith/engine.h"

// The Lucas-Lehmer test of 2^p - 1 on engine e. Requires a prime p >= 3 that
// e applies to. A failure to set up (no memory, no length) comes back in
// the outcome's error or note, never as an exception.
ll_outcome run_lucas_lehmer(const engine& e, int32_t p, const engine_options& opt);
