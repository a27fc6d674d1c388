// Base-2^16 digit strings: one digit per 32-bit word, least significant
// first, with the digit count `len` held by the caller.
#pragma once

#include <cstdint>

// Largest distance from an integer that a product coefficient may show
// before its rounding can no longer be trusted.
inline constexpr double kMaxRoundoff = 0.4;

// Prints "\n", then "[i]=value   " for i = len-1 down to 0, then "\n".
void print_digits(const uint32_t* words, int32_t len);

// Prints "\n", then each word from the top as 32 binary digits and a blank, then "\n".
void print_bits(const uint32_t* words, int32_t len);

// u2 -= 2 in place, borrowing through untrimmed digits; len drops by at most one.
// Requires len >= 1; a one-digit value below 2 is reported and left alone.
void str_minus_zwei(uint32_t* u2, int32_t* len);

// Reduces u2 modulo 2^p - 1 in place (2^p == 1), result in 0 .. 2^p - 1, 2^p - 1
// folded to 0 by the all-ones test. u1: scratch of 6*(p/16+1) words; u2: room
// for len+1 words. Inputs of 2^(2p) or more are first folded digit by digit.
// Requires p >= 1 (smaller p is refused with a message) and normal-form digits.
void fast_modulo_2y16(uint32_t* u1, uint32_t* u2, int32_t* hi_len, int32_t* len, int32_t p);

// Rounds n coefficients (halves away from zero) and carries them into base-2^16
// digits written over u2[0 .. n-1] (and u2[n] for a final carry); len = n or n+1.
// Coefficients that are NaN, infinite or of magnitude 2^62 or more count as 0;
// max_rounding_distance reports them.
void decode_polynom_2y16(const double* res_polynom, int32_t n, uint32_t* u2, int32_t* len);

// Largest |c[i] - nearest integer| over c[0 .. n-1]; +infinity when a coefficient
// is NaN, infinite or too large to decode (2^62 or more in magnitude).
double max_rounding_distance(const double* c, int32_t n);
