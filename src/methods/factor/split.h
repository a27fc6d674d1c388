// A divisor of 2^p - 1 split into its prime factors: by the form 2kp + 1,
// Pollard's rho and GMP-ECM, each factor checked to be a probable prime
// that divides 2^p - 1.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>
#include <vector>

// The prime factors of g > 1, a divisor of 2^p - 1, ascending, in decimal
// (a prime dividing g more than once is listed once). Requires g | 2^p - 1.
std::vector<std::string> prime_factors_of(mpz_srcptr g, int32_t p);
