// P-1 factoring of 2^p - 1. Every factor q of 2^p - 1 (p prime) is 2kp + 1;
// q is found when k is B1-smooth (stage 1) or B1-smooth times one prime in
// (B1, B2] (stage 2).
//   Stage 1: x = 3^(2 p E) mod 2^p - 1, E the product of the largest powers
//     of the primes up to B1 that are at most B1: squarings of the chain
//     driver (methods/driver.h) with the multiplications by 3 folded in,
//     checked by Gerbicz's product of the residues at every B-th bit (a
//     fault anywhere is caught and recomputed); then gcd(x - 1, 2^p - 1).
//   Stage 2: for each prime q in (B1, B2], written q = mD +- j, the product
//     of x^((mD)^2) - x^(j^2) (which vanishes mod a factor when x^(mD - j)
//     or x^(mD + j) does), checkpointed at m boundaries; then its gcd.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arith/engine.h"

struct pm1_request {
  uint64_t b1 = 0;          // stage 1 bound, >= 2
  uint64_t b2 = 0;          // stage 2 bound; <= b1: no stage 2
  uint64_t b2_start = 0;    // stage 2 covers the primes in (max(b1, b2_start), b2]
  bool all_factors = false; // true: both stages run and every factor they reach is reported;
                            // false: the run ends at its first factor (a test is then not needed)
};

// What a P-1 run found: out (its error, note, interruption, length, shift
// and check counts as for a test), the bounds it covered and the prime
// factors of 2^p - 1 it found (decimal, ascending; each checked to divide).
struct pm1_outcome {
  ll_outcome out;
  uint64_t b1 = 0, b2 = 0;       // b2 = b1: stage 2 did not run (or the run ended at stage 1's factor)
  std::vector<std::string> factors;
  bool done = false;             // the whole of what was asked was carried out
};

// P-1 with req's bounds on 2^p - 1, on engine e (checkpointed in
// opt.states, stopped by opt.stop, faults injected at opt.inject_faults as
// for a test). Requires a prime p >= 3 that e applies to and req.b1 >= 2.
// Failures come back in out.error or out.note, never as an exception.
pm1_outcome run_pm1(const engine& e, int32_t p, const pm1_request& req, const engine_options& opt);
