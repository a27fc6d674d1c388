// A divisor of 2^p - 1 split into its prime factors: by the form 2kp + 1,
// Pollard's rho and GMP-ECM, each factor checked to be a probable prime
// that divides 2^p - 1.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// How hard splitting tries before a composite part is given back as it is.
struct split_budget {
  uint64_t trial_k = uint64_t{1} << 16;  // divisors 2kp + 1 tried for k up to this
  uint64_t rho_steps = uint64_t{1} << 18;  // Pollard-rho (Brent) steps on each composite part
  // GMP-ECM's curves on what is still composite: (B1, curves) in this order,
  // enough for factors of about 25 digits, a few of 30 and more; on a part of
  // 300 bits all of them take about two minutes.
  std::vector<std::pair<double, int>> ecm_levels = {
      {2000, 25}, {11000, 90}, {50000, 300}, {250000, 50}, {1000000, 20}};
  // Rho and the curves run on parts up to this many bits (on larger ones
  // they would take hours), the prime test on parts up to prime_test_bits
  // (three exponentiations; a larger part is given back untested, as composite).
  uint64_t rho_ecm_bits = 2048;
  uint64_t prime_test_bits = 65536;
};

// The prime factors of g > 1, a divisor of 2^p - 1, ascending, in decimal
// (a prime dividing g more than once is listed once). Requires g | 2^p - 1.
// A part that could not be split within the budget is listed as it is (in
// its place by value) and *all_prime, where given, is set false; it is set
// true when every number listed is a probable prime.
std::vector<std::string> prime_factors_of(mpz_srcptr g, int32_t p, bool* all_prime = nullptr);

// prime_factors_of with the given budget.
std::vector<std::string> prime_factors_within(mpz_srcptr g, int32_t p, const split_budget& budget, bool* all_prime);
