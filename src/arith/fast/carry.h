// The fast engine's carry stage: the inverse transform's output rounded,
// unweighted, less a subtraction, carried into balanced digits and weighted
// again as the next input.
#pragma once

#include <cstdint>

#include "arith/fast/layout.h"

// Rounds the product z[0..n) (inverse transform output), unweights it,
// subtracts sub, carries, and writes the weighted next input to x[0..n).
// Returns the largest rounding distance (1 when a value is too large to round
// safely); z is left holding scratch. Sequential carry, any n.
double fast_carry_scalar(const fast_layout& L, double* z, double* x, fast_subtract sub);

// The same, without a sequential carry chain: two carry sweeps over blocks of
// four words leave each digit within 2^(b-1) plus a small carry of zero; a
// sequential sweep follows only when that carry could exceed a quarter word
// (words of a few bits, which the table never chooses). Requires n % 4 == 0
// and n >= 8. Digits may differ from fast_carry_scalar's, the value they
// stand for may not.
double fast_carry_vector(const fast_layout& L, double* z, double* x, fast_subtract sub);
