#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "console/str_2y16.h"
#include "support/test_support.h"
#include "console/transform.h"

namespace {

using testing_support::guarded;

TEST(GetN, TwiceTheLeastPowerOfTwoNotBelowLen) {
  for (auto [len, n] : {std::pair{-5, 2}, {0, 2}, {1, 2}, {2, 4}, {3, 8}, {5, 16}, {1024, 2048}, {1025, 4096}})
    EXPECT_EQ(get_n(len), n) << "len " << len;
  // Beyond 2^29 no power of two >= 2 len fits: the result saturates instead of overflowing.
  EXPECT_EQ(get_n(INT32_MAX), 1 << 30);
}

// The forward transform (its reordering included) on the driver's array
// shapes with guard words; words of u2 above len hold stale digits, which
// must not enter the spectrum.
struct forward_run {
  guarded<uint32_t> buffer, u2;
  guarded<double> wr, wi, re, im;
  forward_run(int32_t n, const std::vector<uint32_t>& d)
      : buffer(2 * n, 0x77), u2(2 * n, 0xBEEF), wr(n), wi(n), re(2 * n, -9.0), im(2 * n, -9.0) {
    std::copy(d.begin(), d.end(), u2.data());
    get_einheitswurzel(n, wr.data(), wi.data());
    get_fast_dft_vektor(n, buffer.data(), u2.data(), static_cast<int32_t>(d.size()), wr.data(), wi.data(),
                        re.data(), im.data());
    for (int32_t k = n / 2; k < 2 * n; ++k) EXPECT_TRUE(u2[k] == 0xBEEF && buffer[k] == 0x77) << k;
    for (int32_t k = n; k < 2 * n; ++k) EXPECT_TRUE(re[k] == -9.0 && im[k] == -9.0) << k;
    EXPECT_TRUE(buffer.intact() && u2.intact() && re.intact() && im.intact());
  }
};

// digits -> forward -> square -> inverse -> decode, digit by digit against
// schoolbook squaring (stale words of u2 above len would show in the digits);
// the product and the inverse write entries 0 .. n-1 only.
void expect_square_exact(const std::vector<uint32_t>& d, int32_t n) {
  forward_run f(n, d);
  guarded<double> sr(n), si(n), ir(n), ii(n), poly(n);
  mul_dft(n, f.re.data(), f.im.data(), f.re.data(), f.im.data(), sr.data(), si.data());
  inverse_dft_vektor(n, f.wr.data(), f.wi.data(), sr.data(), si.data(), ir.data(), ii.data(), poly.data());
  ASSERT_TRUE(sr.intact() && si.intact() && ir.intact() && ii.intact() && poly.intact()) << "n=" << n;
  ASSERT_LT(max_rounding_distance(poly.data(), n), kMaxRoundoff) << "n=" << n;
  std::vector<uint32_t> got(n + 1);
  int32_t len = 0;
  decode_polynom_2y16(poly.data(), n, got.data(), &len);
  ASSERT_EQ(len, n);
  std::vector<uint64_t> coeff(n + 1, 0);
  for (size_t i = 0; i < d.size(); ++i)
    for (size_t j = 0; j < d.size(); ++j) coeff[i + j] += uint64_t{d[i]} * d[j];
  uint64_t carry = 0;
  for (int32_t i = 0; i < n; ++i, carry >>= 16) {
    carry += coeff[i];
    ASSERT_EQ(got[i], carry & 0xFFFF) << "n=" << n << " digit " << i;
  }
  ASSERT_EQ(carry, 0u);
}

TEST(Squaring, MatchesSchoolbookForEveryLength) {
  std::mt19937_64 rng(testing_support::test_seed() + 1);
  for (int32_t n = 2; n <= 2048; n *= 2) {
    for (size_t len : {size_t(n / 2), 1 + rng() % (n / 2)}) {
      std::vector<uint32_t> d(len);
      for (auto& x : d) x = rng() & 0xFFFF;
      expect_square_exact(d, n);
    }
  }
}

// From n = 65536 on, k*j no longer fits 32 bits: the index must still be exact.
TEST(LongSquaring, IndexOfTheInverseTransformBeyondThirtyTwoBits) {
  std::mt19937_64 rng(testing_support::test_seed() + 2);
  std::vector<uint32_t> d(32768);
  for (auto& x : d) x = rng() & 0x3;
  expect_square_exact(d, 65536);
}

}  // namespace
