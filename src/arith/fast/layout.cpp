#include "arith/fast/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/check.h"
#include "arith/residue.h"

fast_layout make_fast_layout(int32_t p, int64_t n) {
  MERSENNE_REQUIRE(n >= 1 && n <= p);
  fast_layout L;
  L.p = p;
  L.n = n;
  L.offset.resize(n + 1);
  L.base.resize(n);
  L.round_at.resize(n);
  L.inv_base.resize(n);
  L.weight.resize(n);
  L.unweight.resize(n);
  for (int64_t j = 0; j <= n; ++j) L.offset[j] = fast_word_offset(p, n, j);
  L.min_bits = 64;
  L.max_bits = 0;
  for (int64_t j = 0; j < n; ++j) {
    const int b = static_cast<int>(L.offset[j + 1] - L.offset[j]);
    if (b < L.min_bits) L.min_bits = b;
    if (b > L.max_bits) L.max_bits = b;
    L.base[j] = std::ldexp(1.0, b);
    L.round_at[j] = std::ldexp(1.5, 52 + b);
    L.inv_base[j] = std::ldexp(1.0, -b);
    // B_j - p j / n = num / n with num an integer in [0, n): the weight is exact up to exp2l.
    const int64_t num = L.offset[j] * n - static_cast<int64_t>(p) * j;
    const long double a = exp2l(static_cast<long double>(num) / static_cast<long double>(n));
    L.weight[j] = static_cast<double>(a);
    L.unweight[j] = static_cast<double>(1.0L / (a * static_cast<long double>(n)));
  }
  return L;
}

fast_subtract fast_subtract_at(int32_t p, int64_t n, uint32_t c, int32_t j) {
  MERSENNE_REQUIRE(c <= 3 && j >= 0 && j < p && n >= 1 && n <= p);
  // The last word whose first bit is at or below j: ceil(p w / n) <= j exactly when w <= j n / p.
  fast_subtract s;
  s.word = static_cast<int64_t>(j) * n / p;
  s.value = std::ldexp(static_cast<double>(c), static_cast<int>(j - fast_word_offset(p, n, s.word)));
  return s;
}

namespace {

// Bits [at, at + width) of the little-endian word array w (width <= 62; bits past the end read 0).
uint64_t bit_field(const std::vector<uint64_t>& w, int64_t at, int width) {
  const size_t i = static_cast<size_t>(at / 64);
  const int s = static_cast<int>(at % 64);
  uint64_t lo = i < w.size() ? w[i] >> s : 0;
  if (s != 0 && i + 1 < w.size()) lo |= w[i + 1] << (64 - s);
  return width >= 64 ? lo : lo & ((uint64_t{1} << width) - 1);
}

// Adds m << at to the word array w (which is long enough to take any carry).
void add_shifted(std::vector<uint64_t>& w, uint64_t m, int64_t at) {
  size_t i = static_cast<size_t>(at / 64);
  const int s = static_cast<int>(at % 64);
  const unsigned __int128 v = static_cast<unsigned __int128>(m) << s;
  uint64_t parts[2] = {static_cast<uint64_t>(v), static_cast<uint64_t>(v >> 64)};
  unsigned carry = 0;
  for (int k = 0; k < 2 || carry != 0; ++k, ++i) {
    const uint64_t add = k < 2 ? parts[k] : 0;
    const unsigned __int128 sum = static_cast<unsigned __int128>(w[i]) + add + carry;
    w[i] = static_cast<uint64_t>(sum);
    carry = static_cast<unsigned>(sum >> 64);
  }
}

}  // namespace

void fast_split(mpz_srcptr v, int32_t p, int64_t n, double* digits) {
  MERSENNE_REQUIRE(mpz_sgn(v) >= 0 && mpz_sizeinbase(v, 2) <= static_cast<size_t>(p) && n >= 1 && n <= p);
  std::vector<uint64_t> w((static_cast<size_t>(p) + 63) / 64 + 1, 0);
  mpz_export(w.data(), nullptr, -1, sizeof(uint64_t), 0, 0, v);
  int64_t carry = 0;
  for (int64_t j = 0; j < n; ++j) {
    const int64_t at = fast_word_offset(p, n, j);
    const int b = static_cast<int>(fast_word_offset(p, n, j + 1) - at);
    int64_t u = static_cast<int64_t>(bit_field(w, at, b)) + carry;
    carry = 0;
    if (u >= (int64_t{1} << (b - 1))) {
      u -= int64_t{1} << b;
      carry = 1;
    }
    digits[j] = static_cast<double>(u);
  }
  // 2^p = 1: the top carry re-enters at word 0 and runs on until absorbed.
  for (int64_t j = 0; carry != 0; j = (j + 1) % n) {
    const int b = static_cast<int>(fast_word_offset(p, n, j + 1) - fast_word_offset(p, n, j));
    int64_t u = static_cast<int64_t>(digits[j]) + carry;
    carry = 0;
    if (u >= (int64_t{1} << (b - 1))) {
      u -= int64_t{1} << b;
      carry = 1;
    }
    digits[j] = static_cast<double>(u);
  }
}

void fast_join(const double* digits, int32_t p, int64_t n, mpz_ptr out) {
  const size_t words = (static_cast<size_t>(p) + 63) / 64 + 4;
  std::vector<uint64_t> pos(words, 0), neg(words, 0);
  for (int64_t j = 0; j < n; ++j) {
    const int64_t d = static_cast<int64_t>(digits[j]);
    if (d > 0) add_shifted(pos, static_cast<uint64_t>(d), fast_word_offset(p, n, j));
    if (d < 0) add_shifted(neg, static_cast<uint64_t>(-d), fast_word_offset(p, n, j));
  }
  mpz_value m, tmp;
  mpz_import(out, words, -1, sizeof(uint64_t), 0, 0, pos.data());
  mpz_import(m, words, -1, sizeof(uint64_t), 0, 0, neg.data());
  mpz_sub(out, out, m);
  mersenne_reduce(out, p, tmp);
}
