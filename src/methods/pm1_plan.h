// Which products P-1's stage 2 takes. A prime q in (lo, hi] is written q =
// mD +- j with m = round(q / D) and j odd, coprime to D, below D / 2; the
// product x^((mD)^2) - x^(j^2) covers both mD - j and mD + j, so the two
// members of a pair share one product. A prime whose multiple r q lies in a
// product that is taken anyway needs none of its own (relocation). The plan
// is made per window of giant steps, so that its memory does not grow with hi.
#pragma once

#include <cstdint>
#include <vector>

#include "arith/engine.h"

struct stage2_plan {
  uint64_t d = 0;
  std::vector<uint32_t> js;       // the baby steps' j, ascending
  std::vector<int32_t> index_of;  // j -> its index in js, -1 where none (j < D/2)
  uint64_t lo = 0, hi = 0;        // primes in (lo, hi]
  uint64_t m_first = 0, m_last = 0;
  bool relocate = true;  // false: every prime keeps its own product (the plain pairing)
};

// Giant steps per window of the plan's sieve.
constexpr uint64_t kWindow = 4096;

// The plan for the primes of (lo, hi] over D = d (one of 6, 30, 210, 2310,
// 30030, whose largest prime factor is at most lo).
stage2_plan make_plan(uint64_t d, uint64_t lo, uint64_t hi);

// The products of giant steps [m0, m1) into *rows: bit k of row m - m0 is
// baby step js[k]. Returns the number of primes of the window's range.
// Windows made in any order give the same products.
uint64_t plan_window(const stage2_plan& plan, uint64_t m0, uint64_t m1, std::vector<std::vector<bool>>* rows);

// Whether n is prime, for every n below 2^64 (the plan's test of primes
// outside its window's sieve).
bool is_prime_u64(uint64_t n);

// The D for stage 2 of (lo, hi] on count steppers of e besides the baby
// steps, the one whose products, giant steps and setup cost least among
// those whose baby steps fit in tuning::kPm1MemoryShare of the memory the
// process can have, and whose prime factors are at most lo. 0: none fits.
uint64_t choose_d(const engine& e, int32_t p, int64_t n, uint64_t lo, uint64_t hi, int count);
