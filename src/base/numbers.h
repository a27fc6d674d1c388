// Exponents as names and as text: "M<p>", whether p is prime, and the one
// reader of decimal numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// "M127" for 127.
std::string mersenne_name(int32_t p);

// The smallest prime factor of n >= 2 (n itself when it is prime).
int64_t smallest_prime_factor(int64_t n);

// Whether n is a prime number.
bool is_prime(int64_t n);

// How a decimal read ended.
enum class decimal_read { ok, empty, not_decimal, too_large };

// s as a decimal number of ASCII digits only (no sign, no space, leading
// zeros allowed) of at most max (>= 0) into *out; *out is set only when ok.
// A number with a character other than a digit is not_decimal however long.
decimal_read read_decimal(std::string_view s, int64_t max, int64_t* out);
