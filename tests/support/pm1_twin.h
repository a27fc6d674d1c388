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
// to b1 and, when b2 > b1, stage 2 from b1. b2 <= b1: stage 1 only (GMP-ECM
// is given a stage 2 bound below B1). GMP-ECM's stage 2 covers more than the
// primes of (b1, b2]: it widens the range to a bound of its own (its
// polynomial sizes), written to *b2_covered where given (b1 with no stage 2),
// and takes x^(E n) for the odd n of that range, composite ones too (found:
// k = 41 * 10531 with b1 = 40, k = 3^2 with b1 = 2; not found: an even n,
// k = 2^4 * 107 with b1 = 15, b2 = 214). So it finds every factor that
// pm1_stage_finding puts in stage 1 or 2 and possibly others.
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

// The factors of at least min_bits bits that GMP-ECM's P-1 with bounds b1,
// b2 finds on 2^p - 1 (p prime) whose k splits over the primes up to the bound
// it covered, ascending.
std::vector<smooth_factor> smooth_factors_of(int32_t p, uint64_t b1, uint64_t b2, int min_bits = 0);

// smooth_factors_of for distinct random primes p in [p_lo, p_hi] drawn from
// rng, until count factors are found or tries draws are used up, in the order found.
std::vector<smooth_factor> smooth_factors(std::mt19937_64& rng, int32_t p_lo, int32_t p_hi, uint64_t b1, uint64_t b2,
                                          int count, int min_bits = 0, int tries = 200);

// Every prime p in [300, 3000] where GMP-ECM's P-1 with B1 = 100000,
// B2 = 10^7 finds a factor above 2^64 (a search over all of them: two, 433
// and 743; too few for a random draw).
const std::vector<int32_t>& exponents_with_large_smooth_factors();

}  // namespace testing_support
