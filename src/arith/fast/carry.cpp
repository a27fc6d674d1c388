#include "arith/fast/carry.h"

#include <cmath>

#include "base/check.h"

namespace {

// Adding and subtracting this rounds a double below 2^51 in size to an integer.
constexpr double kRound = 0x1.8p52;
// Products this large cannot be rounded safely; they count as a failed step.
constexpr double kTooLarge = 0x1p50;

// Carries the digits z[0..n) (exact integers) into balanced digits, starting
// with carry, the top carry wrapping to word 0; then writes x = z * a.
void settle(const fast_layout& L, double* z, double* x, double carry) {
  const int64_t n = L.n;
  for (int64_t j = 0; j < n; ++j) {
    const double t = z[j] + carry;
    const double hi = (t + L.round_at[j]) - L.round_at[j];
    z[j] = t - hi;
    carry = hi * L.inv_base[j];
  }
  for (int64_t j = 0; carry != 0.0; j = (j + 1 == n) ? 0 : j + 1) {
    const double t = z[j] + carry;
    const double hi = (t + L.round_at[j]) - L.round_at[j];
    z[j] = t - hi;
    carry = hi * L.inv_base[j];
  }
  for (int64_t j = 0; j < n; ++j) x[j] = z[j] * L.weight[j];
}

}  // namespace

double fast_carry_scalar(const fast_layout& L, double* z, double* x, fast_subtract sub) {
  MERSENNE_REQUIRE(sub.word >= 0 && sub.word < L.n);
  double err = 0.0, big = 0.0;
  for (int64_t j = 0; j < L.n; ++j) {
    const double v = z[j] * L.unweight[j];
    const double r = (v + kRound) - kRound;
    err = std::fmax(err, std::fabs(v - r));
    big = std::fmax(big, std::fabs(v));
    z[j] = r * sub.times;
  }
  if (!(big < kTooLarge)) return 1.0;
  // Word 0's subtraction enters as the starting carry; elsewhere it is taken off in place.
  if (sub.word == 0) {
    settle(L, z, x, -sub.value);
  } else {
    z[sub.word] -= sub.value;
    settle(L, z, x, 0.0);
  }
  return err;
}

namespace {

typedef double v4 __attribute__((vector_size(32), aligned(8)));
typedef long long v4i __attribute__((vector_size(32), aligned(8)));

inline v4 load(const double* p) { return *reinterpret_cast<const v4*>(p); }
inline void put(double* p, v4 v) { *reinterpret_cast<v4*>(p) = v; }
inline v4 vabs(v4 v) { return reinterpret_cast<v4>(reinterpret_cast<v4i>(v) & 0x7fffffffffffffffLL); }
inline v4 vmax(v4 a, v4 b) { return a > b ? a : b; }
// {prev[3], cur[0], cur[1], cur[2]}: each word's left neighbour.
inline v4 from_left(v4 prev, v4 cur) { return __builtin_shuffle(prev, cur, v4i{3, 4, 5, 6}); }

// The subtraction as one block of four words and its value in each lane.
struct block_subtract {
  int64_t block;
  v4 lanes;
  double times;
};

// The first carry sweep of block k: rounded, unweighted words less the
// subtraction, split into a digit d and a carry c (in units of the next word).
inline void first_sweep(const fast_layout& L, const double* z, int64_t k, const block_subtract& sub, v4& d, v4& c,
                        v4& err, v4& big) {
  const int64_t j = 4 * k;
  const v4 v = load(z + j) * load(&L.unweight[j]);
  v4 r = (v + kRound) - kRound;
  err = vmax(err, vabs(v - r));
  big = vmax(big, vabs(v));
  if (sub.times != 1.0) r *= sub.times;
  if (k == sub.block) r -= sub.lanes;
  const v4 at = load(&L.round_at[j]);
  const v4 hi = (r + at) - at;
  d = r - hi;
  c = hi * load(&L.inv_base[j]);
}

// The second sweep: a digit plus its neighbour's carry, split again.
inline void second_sweep(const fast_layout& L, int64_t k, v4 d1, v4 c1_left, v4& d, v4& c) {
  const int64_t j = 4 * k;
  const v4 e = d1 + c1_left;
  const v4 at = load(&L.round_at[j]);
  const v4 hi = (e + at) - at;
  d = e - hi;
  c = hi * load(&L.inv_base[j]);
}

}  // namespace

namespace {

// Blocks of four words [from, to) of the vector carry (reading z, writing
// only those words of x): their largest rounding distance and product size.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void fast_carry_vector_part(const fast_layout& L, const double* z, double* x, int64_t from, int64_t to,
                            fast_subtract subtract, double* err_out, double* big_out) {
  MERSENNE_REQUIRE(L.n % 4 == 0 && L.n >= 8 && 0 <= from && from <= to && to <= L.n / 4);
  MERSENNE_REQUIRE(subtract.word >= 0 && subtract.word < L.n);
  const int64_t blocks = L.n / 4;
  block_subtract sub{subtract.word / 4, v4{0.0, 0.0, 0.0, 0.0}, subtract.times};
  sub.lanes[subtract.word % 4] = subtract.value;
  v4 err = {0, 0, 0, 0}, big = err;
  // The carries into block `from` come from the two blocks to its left
  // (cyclically: block 0's from the top): compute them first.
  const int64_t left2 = (from + blocks - 2) % blocks, left1 = (from + blocks - 1) % blocks;
  v4 d, c1_prev, c1_last, c2_last, unused;
  first_sweep(L, z, left2, sub, d, c1_prev, err, big);
  first_sweep(L, z, left1, sub, d, c1_last, err, big);
  second_sweep(L, left1, d, from_left(c1_prev, c1_last), unused, c2_last);
  v4 c1_left = c1_last, c2_left = c2_last;
  for (int64_t k = from; k < to; ++k) {
    v4 d1, c1, d2, c2;
    first_sweep(L, z, k, sub, d1, c1, err, big);
    second_sweep(L, k, d1, from_left(c1_left, c1), d2, c2);
    const v4 f = d2 + from_left(c2_left, c2);
    put(x + 4 * k, f * load(&L.weight[4 * k]));
    c1_left = c1;
    c2_left = c2;
  }
  double e = 0, b = 0;
  for (int i = 0; i < 4; ++i) {
    e = std::fmax(e, err[i]);
    b = std::fmax(b, big[i]);
  }
  *err_out = e;
  *big_out = b;
}

// The checks of the vector carry on the maxima of its parts.
double fast_carry_vector_finish(const fast_layout& L, double* z, double* x, double err, double big, double times) {
  if (!(big < kTooLarge)) return 1.0;
  // With w = min_bits, the second carry is at most 1.01 + big / 2^(2w) in
  // size, so each digit is within 2^(w-1) + that of zero. Keep digits within
  // 3/4 of their word: otherwise settle all words one by one (only for words
  // of a few bits, which the table never chooses).
  const double w = std::ldexp(1.0, L.min_bits);
  if (!(1.01 + big * times / (w * w) <= w / 4)) {
    for (int64_t j = 0; j < L.n; ++j) {
      const double v = x[j] * L.unweight[j] * static_cast<double>(L.n);
      z[j] = (v + kRound) - kRound;
    }
    settle(L, z, x, 0.0);
  }
  return err;
}

}  // namespace

double fast_carry_vector(const fast_layout& L, double* z, double* x, fast_subtract sub) {
  double err, big;
  fast_carry_vector_part(L, z, x, 0, L.n / 4, sub, &err, &big);
  return fast_carry_vector_finish(L, z, x, err, big, sub.times);
}
