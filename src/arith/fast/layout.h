// The fast engine's word layout. At length N, 2^p - 1 is held in N words;
// word j carries b_j = B_{j+1} - B_j bits, B_j = ceil(p j / N), so b_j is
// floor(p/N) or ceil(p/N). Digits are balanced (about [-2^(b-1), 2^(b-1)])
// and enter the transform multiplied by a_j = 2^(B_j - p j / N); the cyclic
// convolution of the weighted digits is then the product modulo 2^p - 1, the
// carry out of the top word wrapping to word 0 since 2^p = 1.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <vector>

// Per-word constants of length n for exponent p (1 <= n <= p).
struct fast_layout {
  int32_t p = 0;
  int64_t n = 0;
  int min_bits = 0, max_bits = 0;
  std::vector<int64_t> offset;  // B_j, n + 1 entries (B_n = p)
  std::vector<double> base;     // 2^b_j
  std::vector<double> round_at; // 1.5 * 2^(52 + b_j): adding and subtracting it rounds to a multiple of 2^b_j
  std::vector<double> inv_base; // 2^-b_j
  std::vector<double> weight;   // a_j
  std::vector<double> unweight; // 1 / (n a_j): undoes the weight and the transform's scale
};

// B_j = ceil(p j / n), the first bit of word j of 2^p - 1 at length n.
inline int64_t fast_word_offset(int32_t p, int64_t n, int64_t j) { return (static_cast<int64_t>(p) * j + n - 1) / n; }

// The layout of 2^p - 1 at length n; requires 1 <= n <= p.
fast_layout make_fast_layout(int32_t p, int64_t n);

// What a step subtracts after the product: value in units of word `word`.
// The rounded product is first multiplied by times (1, 2 or 3: P-1's
// multiplications by 3 folded into its squarings).
struct fast_subtract {
  int64_t word = 0;
  double value = 0.0;
  double times = 1.0;
};

// c 2^j (0 <= j < p, c <= 3) as a subtraction at the word holding bit j,
// for 2^p - 1 at length n.
fast_subtract fast_subtract_at(int32_t p, int64_t n, uint32_t c, int32_t j);
inline fast_subtract fast_subtract_at(const fast_layout& L, uint32_t c, int32_t j) {
  return fast_subtract_at(L.p, L.n, c, j);
}

// Writes v (0 <= v < 2^p) as n balanced digits of 2^p - 1 at length n into digits[0..n).
void fast_split(mpz_srcptr v, int32_t p, int64_t n, double* digits);
inline void fast_split(mpz_srcptr v, const fast_layout& L, double* digits) { fast_split(v, L.p, L.n, digits); }

// The residue in [0, 2^p - 1) of digits[0..n) (any integers below 2^62 in
// size) of 2^p - 1 at length n.
void fast_join(const double* digits, int32_t p, int64_t n, mpz_ptr out);
inline void fast_join(const double* digits, const fast_layout& L, mpz_ptr out) { fast_join(digits, L.p, L.n, out); }
