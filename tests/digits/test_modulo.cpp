#include <gtest/gtest.h>
#include <gmp.h>

#include <random>
#include <string>

#include "digits/str_2y16.h"
#include "driver/lucas_lehmer.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;

const char kMod16Message[] = "Die Me-Zahl ist durch 16 teilbar ??? Unbehandelter Fehler aus fast_mersenne_modulo";

// The reduction with the driver's capacities for p: u1 of 3L bytes, u2 of 4L words.
struct reducer {
  int32_t p;
  int32_t L;
  guarded<uint32_t> u1, u2;
  int32_t len = 1;
  int32_t hi_len = -7;
  std::string printed;

  explicit reducer(int32_t p_) : p(p_), L(size_unit(p_)), u1(3 * L / 4, 0xABCD), u2(4 * L, 0xABCD) {}

  void load(const mpz_t v) {
    len = testing_support::mpz_to_digits(v, u2.data());
  }
  void run() {
    testing::internal::CaptureStdout();
    fast_modulo_2y16(u1.data(), u2.data(), &hi_len, &len, p);
    printed = testing::internal::GetCapturedStdout();
  }
  void value(mpz_t out) const { testing_support::digits_to_mpz(out, u2.data(), len); }
};

struct mpz_holder {
  mpz_t v;
  mpz_holder() { mpz_init(v); }
  explicit mpz_holder(const char* s) { mpz_init_set_str(v, s, 0); }
  ~mpz_holder() { mpz_clear(v); }
};

// 2^e + add, for building inputs near powers of two.
void pow2_plus(mpz_t out, unsigned e, long add) {
  mpz_ui_pow_ui(out, 2, e);
  if (add >= 0)
    mpz_add_ui(out, out, static_cast<unsigned long>(add));
  else
    mpz_sub_ui(out, out, static_cast<unsigned long>(-add));
}

struct fold_case {
  int32_t p;
  unsigned e;  // input is mult * 2^e + add
  unsigned long mult;
  long add;
  const char* expect;  // decimal
  int32_t len_after;
  bool message;
};

TEST(FastModulo, DocumentedCases) {
  const fold_case cases[] = {
      {3, 0, 14, 0, "0", 1, false},
      {5, 0, 14, 0, "14", 1, false},
      {5, 0, 194, 0, "8", 1, false},
      {17, 18, 1, -3, "131070", 2, false},
      {17, 18, 1, -2, "0", 1, false},
      {17, 18, 1, -1, "1", 2, false},
      {17, 17, 7, -1, "6", 2, false},
      {7, 0, 127, 0, "127", 1, false},
      {33, 33, 1, -1, "8589934591", 3, false},
      {17, 34, 1, -1, "131071", 2, false},
      {33, 34, 1, -2, "0", 1, false},
      {16, 16, 1, 0, "1", 1, true},
      {16, 0, 65535, 0, "65535", 1, false},
      {16, 0, 131070, 0, "65535", 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("p=" + std::to_string(c.p) + " mult=" + std::to_string(c.mult) + " e=" + std::to_string(c.e));
    reducer r(c.p);
    mpz_holder v;
    mpz_ui_pow_ui(v.v, 2, c.e);
    mpz_mul_ui(v.v, v.v, c.mult);
    if (c.add < 0) mpz_sub_ui(v.v, v.v, static_cast<unsigned long>(-c.add));
    r.load(v.v);
    r.run();
    mpz_holder got, want(c.expect);
    r.value(got.v);
    EXPECT_EQ(mpz_cmp(got.v, want.v), 0) << mpz_get_str(nullptr, 10, got.v);
    EXPECT_EQ(r.len, c.len_after);
    EXPECT_EQ(r.printed, c.message ? kMod16Message : "");
    EXPECT_TRUE(r.u1.intact() && r.u2.intact());
  }
}

TEST(FastModulo, SmallValueLeavesHiLenAlone) {
  reducer r(5);
  mpz_holder v("14");
  r.load(v.v);
  r.run();
  EXPECT_EQ(r.hi_len, -7);
}

TEST(FastModulo, AllOnesOfTwiceTheWidthIsNotTurnedIntoZero) {
  reducer r(17);
  mpz_holder v;
  pow2_plus(v.v, 34, -1);
  r.load(v.v);
  r.run();
  EXPECT_EQ(r.hi_len, 2);
  EXPECT_EQ(r.len, 2);
  EXPECT_EQ(r.u2[0], 0xFFFFu);
  EXPECT_EQ(r.u2[1], 1u);
}

TEST(FastModulo, WordsAboveTheResultKeepTheirContents) {
  reducer r(33);
  mpz_holder v;
  pow2_plus(v.v, 66, -1);
  r.load(v.v);
  r.run();
  EXPECT_LE(r.len, 3);
  EXPECT_EQ(r.u2[3], 0xFFFFu);
  EXPECT_EQ(r.u2[4], 3u);
}

// Every exponent from 1 to 300 (multiples of 16 included) and a few large
// ones, random inputs below 2^(2p) of every size: the result is congruent,
// at most 2^p - 1, and exactly the least residue whenever the routine
// promises it. Inputs from 2^(2p) up to the full 4L words are folded too.
TEST(FastModulo, RandomInputsAgainstExactArithmetic) {
  const uint64_t seed = testing_support::test_seed();
  std::mt19937_64 rng(seed);
  gmp_randstate_t gs;
  gmp_randinit_default(gs);
  gmp_randseed_ui(gs, static_cast<unsigned long>(seed));

  std::vector<int32_t> exponents;
  for (int32_t p = 1; p <= 300; ++p) exponents.push_back(p);
  for (int32_t p : {1023, 1024, 1025, 4095, 4096, 4097, 9689}) exponents.push_back(p);

  mpz_holder m, v, want, got, twice, tmp;
  for (int32_t p : exponents) {
    SCOPED_TRACE("p=" + std::to_string(p));
    mpz_ui_pow_ui(m.v, 2, static_cast<unsigned long>(p));
    mpz_sub_ui(m.v, m.v, 1);
    pow2_plus(twice.v, 2 * static_cast<unsigned>(p), -1);  // 2^(2p) - 1
    const int trials = p <= 300 ? 40 : 10;
    const unsigned capacity_bits = 16u * 4u * static_cast<unsigned>(size_unit(p)) - 16u;
    for (int t = 0; t < trials + 6; ++t) {
      if (t < trials) {
        const bool oversized = t % 5 == 4;
        const unsigned max_bits = oversized ? capacity_bits : 2u * static_cast<unsigned>(p);
        mpz_urandomb(v.v, gs, 1 + rng() % max_bits);
        if (!oversized && mpz_cmp(v.v, twice.v) > 0) {
          mpz_set(v.v, twice.v);
        }
      } else {
        // Edges: M, M+1, 2^p, multiples of M, 2^(2p) - 1.
        switch (t - trials) {
          case 0: mpz_set(v.v, m.v); break;
          case 1: mpz_add_ui(v.v, m.v, 1); break;
          case 2: mpz_mul_ui(v.v, m.v, 2); break;
          case 3: mpz_mul_ui(v.v, m.v, 1 + rng() % 1000); break;
          case 4: mpz_set(v.v, twice.v); break;
          default: mpz_add_ui(v.v, m.v, 2); break;
        }
        if (mpz_cmp(v.v, twice.v) > 0) mpz_set(v.v, twice.v);
      }
      reducer r(p);
      // Stale digits above the input must not matter.
      for (size_t i = 0; i < r.u2.size(); ++i) r.u2[i] = static_cast<uint32_t>(rng() & 0xFFFF);
      r.load(v.v);
      r.run();
      ASSERT_TRUE(r.u1.intact() && r.u2.intact()) << "out-of-bounds write";
      ASSERT_GE(r.len, 1);
      for (int32_t i = 0; i < r.len; ++i) ASSERT_LE(r.u2[i], 0xFFFFu);
      r.value(got.v);
      mpz_mod(want.v, v.v, m.v);
      ASSERT_LE(mpz_cmp(got.v, m.v), 0) << "not reduced";
      mpz_mod(tmp.v, got.v, m.v);
      ASSERT_EQ(mpz_cmp(tmp.v, want.v), 0) << "not congruent for input " << mpz_get_str(nullptr, 16, v.v);
      // Inputs of 2^(2p) or more are only promised a congruent value below 2^p.
      const bool exact_promised = p % 16 != 0 && mpz_cmp(v.v, m.v) != 0 && mpz_cmp(v.v, twice.v) < 0;
      if (exact_promised) {
        ASSERT_EQ(mpz_cmp(got.v, want.v), 0) << "input " << mpz_get_str(nullptr, 16, v.v);
      }
      if (p % 16 != 0) {
        ASSERT_EQ(r.printed, "");
      }
    }
  }
  gmp_randclear(gs);
}

TEST(FastModulo, RefusesExponentsBelowOne) {
  for (int32_t p : {0, -5}) {
    guarded<uint32_t> u1(48), u2(32);
    u2[0] = 77;
    int32_t len = 1, hi_len = 0;
    testing::internal::CaptureStdout();
    fast_modulo_2y16(u1.data(), u2.data(), &hi_len, &len, p);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(u2[0], 77u);
    EXPECT_EQ(len, 1);
  }
}

}  // namespace
