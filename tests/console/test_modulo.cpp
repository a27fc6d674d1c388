#include <gtest/gtest.h>
#include <gmp.h>

#include <random>
#include <string>

#include "console/str_2y16.h"
#include "console/lucas_lehmer.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;

const char kMod16Message[] = "Die Me-Zahl ist durch 16 teilbar ??? Unbehandelter Fehler aus fast_mersenne_modulo";

// One reduction of v with the driver's capacities for p (u1: 3L bytes, u2: 4L
// words), stale words above the input, and guard words around both arrays;
// got is the value of the digits left in u2[0 .. len-1].
struct reduction {
  guarded<uint32_t> u1, u2;
  int32_t len, hi_len = -7;
  std::string printed;
  mpz_value got;
  reduction(int32_t p, mpz_srcptr v, uint32_t stale = 0xABCD)
      : u1(3 * size_unit(p) / 4, stale), u2(4 * size_unit(p), stale) {
    len = mpz_to_digits(v, u2.data());
    testing::internal::CaptureStdout();
    fast_modulo_2y16(u1.data(), u2.data(), &hi_len, &len, p);
    printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(u1.intact() && u2.intact()) << "out-of-bounds write, p=" << p;
    digits_to_mpz(got, u2.data(), len);
  }
};

struct fold_case {
  int32_t p;
  unsigned long mult;  // input is mult * 2^e - sub
  unsigned e, sub;
  unsigned long expect;
  int32_t len_after, hi_len_after;  // hi_len -7: not written
};

TEST(FastModulo, DocumentedCases) {
  const fold_case cases[] = {
      {3, 14, 0, 0, 0, 1, 1},          {5, 14, 0, 0, 14, 1, -7},      {5, 194, 0, 0, 8, 1, 1},
      {17, 1, 18, 3, 131070, 2, 1},    {17, 1, 18, 2, 0, 1, 1},       {17, 1, 18, 1, 1, 2, 1},
      {17, 7, 17, 1, 6, 2, 1},         {7, 127, 0, 0, 127, 1, -7},    {33, 1, 33, 1, 8589934591, 3, -7},
      {17, 1, 34, 1, 131071, 2, 2},    {33, 1, 34, 2, 0, 1, 1},       {16, 1, 16, 0, 1, 1, 1},
      {16, 65535, 0, 0, 65535, 1, -7}, {16, 131070, 0, 0, 65535, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "p=" << c.p << " input " << c.mult << "*2^" << c.e << "-" << c.sub);
    mpz_value v;
    mpz_ui_pow_ui(v, 2, c.e);
    mpz_mul_ui(v, v, c.mult);
    mpz_sub_ui(v, v, c.sub);
    const reduction r(c.p, v);
    EXPECT_EQ(mpz_cmp_ui(r.got.get(), c.expect), 0) << "got " << mpz_get_ui(r.got);
    EXPECT_EQ(r.len, c.len_after) << "len";
    EXPECT_EQ(r.hi_len, c.hi_len_after) << "hi_len";
    // The message comes once per call that gets past the length check, and only for r = 0.
    EXPECT_EQ(r.printed, c.p == 16 && c.mult != 65535 ? kMod16Message : "");
  }
}

// Every exponent from 1 to 300 (multiples of 16 included) and a few large
// ones; random inputs of every size below 2^(2p) must come out congruent, at
// most 2^p - 1, and exactly the least residue where the routine promises it.
// Inputs from 2^(2p) up to the full 4L words must still come out congruent
// and below 2^p, without writing past either array.
TEST(FastModulo, RandomInputsAgainstExactArithmetic) {
  const uint64_t seed = testing_support::test_seed();
  std::mt19937_64 rng(seed);
  gmp_randstate_t gs;
  gmp_randinit_default(gs);
  gmp_randseed_ui(gs, static_cast<unsigned long>(seed));
  std::vector<int32_t> exponents = {1023, 1024, 1025, 4095, 4096, 4097, 9689};
  for (int32_t p = 1; p <= 300; ++p) exponents.push_back(p);
  mpz_value m, v, want, twice;
  for (int32_t p : exponents) {
    SCOPED_TRACE("p=" + std::to_string(p));
    mpz_ui_pow_ui(m, 2, p);
    mpz_sub_ui(m, m, 1);
    mpz_mul_2exp(twice, m, p);
    mpz_add(twice, twice, m);  // 2^(2p) - 1
    const unsigned capacity_bits = 64u * size_unit(p) - 16u;
    for (int t = 0; t < 40; ++t) {
      const bool oversized = t % 5 == 4;
      mpz_urandomb(v, gs, 1 + rng() % (oversized ? capacity_bits : 2u * p));
      if (t < 4) mpz_mul_ui(v, m, t == 3 ? 1 + rng() % 1000 : t);  // 0, M, 2M, k*M
      if (t == 5) mpz_add_ui(v, m, 1);
      if (!oversized && mpz_cmp(v, twice) > 0) mpz_set(v, twice);
      const reduction r(p, v, static_cast<uint32_t>(rng() & 0xFFFF));
      ASSERT_FALSE(testing::Test::HasFailure());
      for (int32_t i = 0; i < r.len; ++i) ASSERT_LE(r.u2[i], 0xFFFFu);
      ASSERT_LE(mpz_cmp(r.got, m), 0) << "not reduced";
      mpz_mod(want, v, m);
      if (p % 16 != 0 && mpz_cmp(v, m) != 0 && mpz_cmp(v, twice) < 0) {
        ASSERT_EQ(mpz_cmp(r.got, want), 0) << "input " << mpz_get_str(nullptr, 16, v);
      }
      ASSERT_TRUE(mpz_congruent_p(r.got, want, m)) << "not congruent, input " << mpz_get_str(nullptr, 16, v);
      ASSERT_TRUE(p % 16 == 0 || r.printed.empty());
    }
  }
  gmp_randclear(gs);
}

TEST(FastModulo, WordsAboveTheResultKeepTheirContentsAndSmallExponentsAreRefused) {
  mpz_value v;
  mpz_set_str(v, "73786976294838206463", 10);  // 2^66 - 1
  const reduction r(33, v);
  EXPECT_EQ(r.u2[3], 0xFFFFu);
  EXPECT_EQ(r.u2[4], 3u);
  const reduction refused(0, v);  // the smallest exponent refused
  EXPECT_NE(refused.printed, "");
  EXPECT_EQ(mpz_cmp(refused.got, v), 0) << "a refused input is left alone";
}

}  // namespace
