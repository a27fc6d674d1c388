#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "digits/str_2y16.h"
#include "support/test_support.h"
#include "transform/transform.h"

namespace {

using testing_support::guarded;

constexpr long double kTwoPiL = 6.283185307179586476925286766559L;

uint32_t bit_reverse(uint32_t k, int bits) {
  uint32_t r = 0;
  for (int b = 0; b < bits; ++b) r |= ((k >> b) & 1u) << (bits - 1 - b);
  return r;
}

TEST(GetN, TwiceTheLeastPowerOfTwoNotBelowLen) {
  const std::pair<int32_t, int32_t> table[] = {{-5, 2}, {0, 2}, {1, 2}, {2, 4},       {3, 8},
                                               {4, 8},  {5, 16}, {1024, 2048}, {1025, 4096}};
  for (auto [len, n] : table) EXPECT_EQ(get_n(len), n) << "len " << len;
  for (int32_t j = 0; j < 29; ++j) {
    EXPECT_EQ(get_n((1 << j) + 1), int32_t{1} << (j + 2));
    EXPECT_EQ(get_n(1 << (j + 1)), int32_t{1} << (j + 2));
  }
  // Beyond 2^29 no power of two >= 2 len fits: the result saturates instead of overflowing.
  EXPECT_EQ(get_n((1 << 29) + 1), 1 << 30);
  EXPECT_EQ(get_n(INT32_MAX), 1 << 30);
}

TEST(Roots, SmallTablesAndUntouchedTail) {
  guarded<double> wr(8, 42.0), wi(8, 42.0);
  get_einheitswurzel(4, wr.data(), wi.data());
  EXPECT_EQ(wr[0], 1.0);
  EXPECT_EQ(wi[0], 0.0);
  EXPECT_NEAR(wr[1], 6.1e-17, 1e-18);
  EXPECT_EQ(wi[1], 1.0);
  EXPECT_EQ(wr[2], -1.0);
  EXPECT_NEAR(wi[2], 1.22e-16, 1e-18);
  EXPECT_NEAR(wr[3], -1.8e-16, 1e-17);
  EXPECT_EQ(wi[3], -1.0);
  for (int k = 4; k < 8; ++k) EXPECT_EQ(wr[k], 42.0);
  EXPECT_TRUE(wr.intact() && wi.intact());

  get_einheitswurzel(2, wr.data(), wi.data());
  EXPECT_EQ(wr[1], -1.0);
  EXPECT_EQ(wi[1], wi[1] > 0 ? std::sin(6.283185307179586 / 2) : -1.0);
  EXPECT_NEAR(wr[3], -1.8e-16, 1e-17) << "entries from n on must keep the larger table";
}

// The accumulated and the directly computed angles agree up to k = 13 and
// first part at k = 14; the accumulated table drifts as the text of the
// builder says.
TEST(Roots, AccumulatedAgainstDirectAngles) {
  for (int32_t n = 2; n <= 32768; n *= 2) {
    std::vector<double> ar(n), ai(n), dr(n), di(n);
    get_einheitswurzel(n, ar.data(), ai.data());
    get_einheitswurzel_direct(n, dr.data(), di.data());
    for (int32_t k = 0; k < n && k < 14; ++k) {
      EXPECT_EQ(ar[k], dr[k]) << n << " " << k;
      EXPECT_EQ(ai[k], di[k]) << n << " " << k;
    }
    if (n > 14) {
      EXPECT_TRUE(ar[14] != dr[14] || ai[14] != di[14]) << n;
    }
    for (int32_t k = 0; k < n; ++k) {
      EXPECT_NEAR(dr[k], std::cos(kTwoPiL * k / n), 1e-15);
      EXPECT_NEAR(ar[k], std::cos(kTwoPiL * k / n), 1e-11);
    }
  }
}

TEST(ReorderEvenOdd, IsTheBitReversalForEveryPowerOfTwo) {
  for (int bits = 0; bits <= 14; ++bits) {
    const int32_t m = 1 << bits;
    guarded<uint32_t> a(m), s(m);
    for (int32_t i = 0; i < m; ++i) a[i] = static_cast<uint32_t>(1000 + i);
    reorder_even_odd(a.data(), s.data(), m);
    for (int32_t k = 0; k < m; ++k) ASSERT_EQ(a[k], 1000 + bit_reverse(k, bits)) << "m=" << m << " k=" << k;
    EXPECT_TRUE(a.intact() && s.intact()) << "m=" << m;
  }
}

// Runs the forward transform on digits with the driver's array shapes and
// guard words; checks that nothing outside the allowed ranges changed.
struct forward_run {
  int32_t n;
  guarded<uint32_t> buffer, u2;
  guarded<double> wr, wi, re, im;
  forward_run(int32_t n_, const std::vector<uint32_t>& digits, uint32_t stale)
      : n(n_), buffer(2 * n_, 0x77), u2(2 * n_, stale), wr(n_), wi(n_), re(2 * n_, -9.0), im(2 * n_, -9.0) {
    for (size_t j = 0; j < digits.size(); ++j) u2[j] = digits[j];
    get_einheitswurzel(n, wr.data(), wi.data());
    get_fast_dft_vektor(n, buffer.data(), u2.data(), static_cast<int32_t>(digits.size()), wr.data(), wi.data(),
                        re.data(), im.data());
  }
  void expect_contained(uint32_t stale) const {
    for (int32_t k = n / 2; k < 2 * n; ++k) {
      EXPECT_EQ(u2[k], stale);
      EXPECT_EQ(buffer[k], 0x77u);
    }
    for (int32_t k = n; k < 2 * n; ++k) EXPECT_TRUE(re[k] == -9.0 && im[k] == -9.0);
    EXPECT_TRUE(buffer.intact() && u2.intact() && wr.intact() && wi.intact() && re.intact() && im.intact());
  }
};

TEST(ForwardTransform, SmallSpectraAreExact) {
  forward_run one(2, {4}, 0);
  EXPECT_EQ(one.re[0], 4.0);
  EXPECT_EQ(one.re[1], 4.0);
  EXPECT_EQ(one.im[0], 0.0);
  EXPECT_EQ(one.im[1], 0.0);

  forward_run two(4, {7, 5}, 0);
  const double re[] = {12, 7, 2, 7}, im[] = {0, 5, 0, -5};
  for (int q = 0; q < 4; ++q) {
    EXPECT_NEAR(two.re[q], re[q], 1e-14) << q;
    EXPECT_NEAR(two.im[q], im[q], 1e-14) << q;
  }
  // The reordered, zero-extended digits are left behind in u2.
  forward_run sixteen(16, {10, 11, 12, 13, 14}, 0);
  const uint32_t expect[] = {10, 14, 12, 0, 11, 0, 13, 0};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(sixteen.u2[k], expect[k]);
}

// Random digits, every n from 2 to 4096, against the sum evaluated directly
// in extended precision. Stale words above len must not enter the spectrum.
TEST(ForwardTransform, AgreesWithDirectSumForEveryLength) {
  std::mt19937_64 rng(testing_support::test_seed());
  for (int32_t n = 2; n <= 4096; n *= 2) {
    const int32_t len = 1 + static_cast<int32_t>(rng() % (n / 2));
    std::vector<uint32_t> d(len);
    for (auto& x : d) x = rng() & 0xFFFF;
    const uint32_t stale = 0xBEEF;
    forward_run f(n, d, stale);
    f.expect_contained(stale);
    long double total = 0;
    for (auto x : d) total += x;
    for (int32_t q = 0; q < n; ++q) {
      long double xr = 0, xi = 0;
      for (int32_t j = 0; j < len; ++j) {
        const long double a = kTwoPiL * static_cast<long double>((static_cast<int64_t>(j) * q) % n) / n;
        xr += d[j] * cosl(a);
        xi += d[j] * sinl(a);
      }
      const long double mag = std::sqrt(static_cast<double>(xr * xr + xi * xi));
      // 1e-12 relative for short transforms; longer ones carry the drift of the accumulated angles.
      const double tol = n <= 128 ? 1e-12 * std::max(1.0L, mag) : 1e-13 * n * static_cast<double>(total);
      ASSERT_NEAR(f.re[q], static_cast<double>(xr), tol) << "n=" << n << " q=" << q;
      ASSERT_NEAR(f.im[q], static_cast<double>(xi), tol) << "n=" << n << " q=" << q;
    }
  }
}

TEST(MulDft, SquaresEntryByEntryAndLeavesTheTail) {
  guarded<double> ar(4), ai(4), rr(6, 3.0), ri(6, 3.0);
  const double re[] = {12, 7, 2, 7}, im[] = {0, 5, 0, -5};
  for (int k = 0; k < 4; ++k) ar[k] = re[k], ai[k] = im[k];
  mul_dft(4, ar.data(), ai.data(), ar.data(), ai.data(), rr.data(), ri.data());
  const double er[] = {144, 24, 4, 24}, ei[] = {0, 70, 0, -70};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(rr[k], er[k]);
    EXPECT_EQ(ri[k], ei[k]);
  }
  EXPECT_TRUE(rr[4] == 3.0 && rr[5] == 3.0 && ri[4] == 3.0 && ri[5] == 3.0);
  EXPECT_TRUE(rr.intact() && ri.intact());
}

TEST(InverseTransform, SmallSumsAreExact) {
  {
    guarded<double> wr(2), wi(2), sr(2), si(2), ir(2), ii(2), poly(2);
    get_einheitswurzel(2, wr.data(), wi.data());
    sr[0] = sr[1] = 16.0;
    inverse_dft_vektor(2, wr.data(), wi.data(), sr.data(), si.data(), ir.data(), ii.data(), poly.data());
    EXPECT_EQ(poly[0], 16.0);
    EXPECT_EQ(poly[1], 0.0);
    EXPECT_EQ(ir[0], 32.0);
    EXPECT_EQ(ir[1], 0.0);
    EXPECT_EQ(ii[0], 0.0);
    EXPECT_EQ(ii[1], 0.0);
  }
  {
    guarded<double> wr(4), wi(4), sr(4), si(4), ir(4), ii(4), poly(4);
    get_einheitswurzel(4, wr.data(), wi.data());
    const double re[] = {144, 24, 4, 24}, im[] = {0, 70, 0, -70};
    for (int k = 0; k < 4; ++k) sr[k] = re[k], si[k] = im[k];
    inverse_dft_vektor(4, wr.data(), wi.data(), sr.data(), si.data(), ir.data(), ii.data(), poly.data());
    const double er[] = {196, 140, 100, 140}, ei[] = {0, 140, 0, -140}, ep[] = {49, 70, 25, 0};
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(ir[k], er[k], 1e-13) << k;
      EXPECT_NEAR(ii[k], ei[k], 1e-13) << k;
      EXPECT_NEAR(poly[k], ep[k], 1e-14) << k;
    }
    EXPECT_TRUE(ir.intact() && ii.intact() && poly.intact());
  }
}

// digits -> forward -> square -> inverse -> decode, checked digit by digit
// against schoolbook squaring. Small digits keep the rounding far from 1/2.
void expect_square_exact(const std::vector<uint32_t>& d, int32_t n) {
  forward_run f(n, d, 0);
  std::vector<double> sr(n), si(n), ir(n), ii(n), poly(n);
  mul_dft(n, f.re.data(), f.im.data(), f.re.data(), f.im.data(), sr.data(), si.data());
  inverse_dft_vektor(n, f.wr.data(), f.wi.data(), sr.data(), si.data(), ir.data(), ii.data(), poly.data());
  ASSERT_LT(max_rounding_distance(poly.data(), n), kMaxRoundoff) << "n=" << n;
  std::vector<uint32_t> got(n + 1);
  int32_t len = 0;
  decode_polynom_2y16(poly.data(), n, got.data(), &len);

  std::vector<uint64_t> coeff(n + 1, 0);
  for (size_t i = 0; i < d.size(); ++i)
    for (size_t j = 0; j < d.size(); ++j) coeff[i + j] += static_cast<uint64_t>(d[i]) * d[j];
  uint64_t carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    const uint64_t v = coeff[i] + carry;
    ASSERT_EQ(got[i], v & 0xFFFF) << "n=" << n << " digit " << i;
    carry = v >> 16;
  }
  ASSERT_EQ(carry, 0u);
  ASSERT_EQ(len, n);
}

TEST(Squaring, MatchesSchoolbookForEveryLength) {
  std::mt19937_64 rng(testing_support::test_seed() + 1);
  for (int32_t n = 2; n <= 2048; n *= 2) {
    std::vector<uint32_t> d(n / 2);
    for (auto& x : d) x = rng() & 0xFFFF;
    expect_square_exact(d, n);
  }
}

// From n = 65536 on, k*j no longer fits 32 bits: the index must still be exact.
TEST(LongSquaring, IndexOfTheInverseTransformBeyondThirtyTwoBits) {
  std::mt19937_64 rng(testing_support::test_seed() + 2);
  const int32_t n = 65536;
  std::vector<uint32_t> d(n / 2);
  for (auto& x : d) x = rng() & 0x3;
  expect_square_exact(d, n);
}

}  // namespace
