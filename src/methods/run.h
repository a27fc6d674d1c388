// The Lucas-Lehmer test: s(0) = 4, s(i+1) = s(i)^2 - 2, and 2^p - 1 is
// prime exactly when s(p-2) = 0 mod 2^p - 1. The residue is held shifted,
// u = s 2^k, so each iteration subtracts 2 at the shifted position 2k; the
// Jacobi check (methods/checks.h) and a guard against a zero residue before
// the end catch damage. It is one policy over the chain driver
// (methods/driver.h), which runs it on any engine.
#pragma once

#include <cstdint>

#include "arith/engine.h"

// The Lucas-Lehmer test of 2^p - 1 on engine e. Requires a prime p >= 3 that
// e applies to. A failure to set up (no memory, no length) comes back in
// the outcome's error or note, never as an exception.
ll_outcome run_lucas_lehmer(const engine& e, int32_t p, const engine_options& opt);
