// GMP-ECM's P-1 as the twin of the program's, and plain GMP answers to where
// P-1 with given bounds finds a factor q = 2kp + 1 of 2^p - 1: for tests.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Every prime factor (decimal, ascending) of the gcd that GMP-ECM's P-1 finds
// on 2^p - 1 from x0 = 3^(2p) (so that its stage 1 gives 3^(2pE), E the
// product of the largest powers of the primes <= b1 that are <= b1), stage 1
// to b1 and, when b2 > b1, stage 2 from b1. GMP-ECM widens stage 2: it
// covers at least every prime in (b1, b2] and goes on to a bound of its own
// (rounded up to its polynomial sizes), written to *b2_covered where given
// (b1 when there is no stage 2). A factor found by stage 2 may therefore need
// a prime above b2; pm1_stage_finding tells.
std::vector<std::string> ecm_pm1_factors(int32_t p, uint64_t b1, uint64_t b2, uint64_t* b2_covered = nullptr);

// Which stage of P-1 on 2^p - 1 with bounds b1 <= b2 finds the prime q | 2^p - 1,
// from the definition (3^(2pE) mod q, then each prime of (b1, b2] dividing q - 1):
// 1 stage 1, 2 stage 2, 0 neither.
int pm1_stage_finding(int32_t p, mpz_srcptr q, uint64_t b1, uint64_t b2);

// A factor q = 2kp + 1 of 2^p - 1 whose k is smooth, with k's primes.
struct smooth_factor {
  int32_t p = 0;
  std::string q;                                   // decimal
  std::string k;                                   // decimal
  std::vector<std::pair<uint64_t, int>> k_primes;  // k's primes with their exponents, ascending
  int stage = 0;  // pm1_stage_finding for the bounds it was found with
  // The largest prime of k (1 when k = 1).
  uint64_t largest_prime() const { return k_primes.empty() ? 1 : k_primes.back().first; }
  // The largest prime power dividing k (1 when k = 1).
  uint64_t largest_power() const;
};

// Factors found by GMP-ECM's P-1 with bounds b1, b2 on 2^p - 1 for distinct
// random prime p in [p_lo, p_hi] drawn from rng, until count of them of at
// least min_bits bits are found or tries exponents are used up: those whose k
// splits over the primes of GMP-ECM's bounds, in the order found.
std::vector<smooth_factor> smooth_factors(std::mt19937_64& rng, int32_t p_lo, int32_t p_hi, uint64_t b1, uint64_t b2,
                                          int count, int min_bits = 0, int tries = 200);

}  // namespace testing_support
