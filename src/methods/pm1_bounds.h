// The bounds of P-1 chosen by the odds: the chance that P-1 with B1, B2
// finds a factor of 2^p - 1 that trial factoring to 2^t left, from the
// standard model (a factor between 2^x and 2^(x+1) exists with probability
// about 1/x; P-1 finds it when k = (q - 1) / 2p is B1-smooth but for one
// prime up to B2, by Dickman's rho and its two-bound form, computed), and
// the bounds that maximise chance x tests saved x test cost - P-1's cost.
#pragma once

#include <cstdint>

// Dickman's rho: the share of integers near n that are n^(1/u)-smooth; u >= 0.
double dickman_rho(double u);

// The probability that an integer of about 2^bits is b1-smooth but for at
// most one prime factor in (b1, b2] (b2 <= b1: b1-smooth).
double smooth_probability(double bits, uint64_t b1, uint64_t b2);

// The chance that P-1 with b1, b2 finds a factor of 2^p - 1, given no factor below 2^factored_to.
double pm1_chance(int32_t p, int factored_to, uint64_t b1, uint64_t b2);

// Costs in squarings of the fast engine at the test's length.
struct pm1_costs {
  double product = 1.3;      // one stage 2 product (a multiplication in transform form)
  double per_prime = 0.85;   // stage 2 products per prime in (b1, b2]
  double stage1 = 1.05;      // stage 1 squarings per bit of the exponent, the check included
};

// P-1's cost with b1, b2 in squarings.
double pm1_cost(uint64_t b1, uint64_t b2, const pm1_costs& c = {});

struct pm1_choice {
  uint64_t b1 = 0, b2 = 0;   // 0: P-1 does not pay for this exponent
  double chance = 0;         // pm1_chance at these bounds
  double cost = 0;           // pm1_cost, squarings
  double gain = 0;           // chance x tests_saved x p - cost, squarings (> 0 where it pays)
};

// The bounds that maximise the gain for a test of p (about p squarings each)
// with trial factoring done to 2^factored_to and tests_saved tests saved by a factor.
pm1_choice choose_pm1_bounds(int32_t p, int factored_to, double tests_saved, const pm1_costs& c = {});
