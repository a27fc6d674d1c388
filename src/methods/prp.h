// The base-3 Fermat probable-prime test of 2^p - 1 with the Gerbicz check
// and, on request, a proof (methods/proof.h): x_0 = 3, x_(i+1) = x_i^2, and
// 2^p - 1 is a probable prime exactly when x_p = 9 (x_p / 9 = 3^(N-1) mod N).
//
// The check: with block B the product d = x_0 x_B x_2B ... takes the
// residue every B iterations; every B^2 iterations and at the end, the d
// before the last product, squared B times and times x_0, must equal d.
// A mismatch rolls back to the last verified point.
#pragma once

#include <cstdint>

#include "arith/engine.h"

// The Gerbicz block for p: min(1000, floor(sqrt(p / 10))), at least 1.
uint32_t gerbicz_block(int32_t p);

// The probable-prime test of 2^p - 1 on engine e, with a proof of
// opt.proof_power (0: none) written to opt.proof_dir. Requires a prime p >= 3
// that e applies to. Failures (no memory, no length, no room for the proof
// residues) come back in the outcome's error or note, never as an exception.
ll_outcome run_probable_prime(const engine& e, int32_t p, const engine_options& opt);
