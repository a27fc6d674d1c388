// The weighted-transform engine's own parts: the carry stage against its
// sequential twin, squaring and rounding margin at every table length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "arith/fast/carry.h"
#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;
using testing_support::random_residue;

// Products of 2b + 6 bits (at most 44) with rounding noise below 1/8, weighted
// as the inverse transform leaves them, less a random subtraction; the vector
// carry against the sequential one.
TEST(FastCarry, VectorAgreesWithSequentialCarry) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_value a, b;
  for (int64_t n : {8, 12, 20, 28, 96, 640, 4096}) {
    for (int32_t p : {static_cast<int32_t>(fast_max_exponent(n)), static_cast<int32_t>(n * 12 + 5)}) {
      const fast_layout L = make_fast_layout(p, n);
      const size_t un = static_cast<size_t>(n);
      guarded<double> z1(un), z2(un), x1(un), x2(un);
      const int shift = std::min(2 * L.max_bits + 6, 44) - 63;
      double noise = 0;
      for (int64_t j = 0; j < n; ++j) {
        const double v = std::nearbyint(std::ldexp(static_cast<double>(static_cast<int64_t>(rng())), shift));
        const double fuzz = (static_cast<double>(rng() % 1000) - 500) / 4000.0;
        noise = std::fmax(noise, std::fabs(fuzz));
        z1[j] = z2[j] = (v + fuzz) / L.unweight[j];
      }
      const fast_subtract sub = fast_subtract_at(L, static_cast<uint32_t>(rng() % 4), static_cast<int32_t>(rng() % p));
      const double e1 = fast_carry_scalar(L, z1.data(), x1.data(), sub);
      const double e2 = fast_carry_vector(L, z2.data(), x2.data(), sub);
      ASSERT_TRUE(z1.intact() && z2.intact() && x1.intact() && x2.intact()) << n;
      EXPECT_TRUE(e1 == e2 && std::fabs(e1 - noise) < 1e-2) << n << ": " << e1 << " " << e2;
      for (int64_t j = 0; j < n; ++j) {  // the outputs become digits
        x1[j] = std::nearbyint(x1[j] / L.weight[j]);
        x2[j] = std::nearbyint(x2[j] / L.weight[j]);
        ASSERT_LE(std::fabs(x2[j]), 0.75 * L.base[j]) << "n=" << n << " word " << j;
      }
      fast_join(x1.data(), L, a);
      fast_join(x2.data(), L, b);
      EXPECT_EQ(mpz_cmp(a, b), 0) << "p=" << p << " n=" << n;
    }
  }
}

// Every table length at and just below its bound, with the stepper the
// engine runs there: three steps from a random residue give s^2 - 2 each and
// keep the rounding distance below the retry at 0.4 (the table's bounds
// keep the worst of thousands of iterations at 0.35: bench/measure_bits).
void check_lengths(int64_t from, int64_t to) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  mpz_value s, got, tmp;
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i), top = fast_max_exponent(n);
    if (n < from || n > to) continue;
    double worst = 0;
    for (int64_t p64 : {top, top - 1 - top / 500, top - 2 - top / 100}) {
      const int32_t p = static_cast<int32_t>(p64);
      if (p < n || p < 3) continue;
      std::unique_ptr<stepper> sq = make_fast_stepper(p, n, engine_options{});
      random_residue(s, p, rng);
      sq->load(s);
      for (int k = 0; k < 3; ++k) {
        worst = std::fmax(worst, sq->square(2, 0, 1e9));
        mpz_mul(s, s, s);
        mpz_sub_ui(s, s, 2);
        mersenne_reduce(s, p, tmp);
      }
      sq->store(got);
      EXPECT_EQ(mpz_cmp(got, s), 0) << "p=" << p << " n=" << n;
    }
    EXPECT_LT(worst, 0.4) << "length " << n << " up to p = " << top;
  }
}

TEST(FastLengths, RoundingStaysWithinMarginAtEveryBound) { check_lengths(1, 65536); }
TEST(LongFastLengths, RoundingStaysWithinMarginAtEveryBound) { check_lengths(65537, int64_t{1} << 22); }

}  // namespace
