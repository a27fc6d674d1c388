// The exact engine against the GMP oracle, and its shift-and-add reduction
// against GMP's division.
#include <gtest/gtest.h>

#include <random>

#include "engine/exact.h"
#include "support/test_support.h"

namespace {

bool is_prime(int32_t n) {
  if (n < 2) return false;
  for (int32_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

TEST(MersenneReduce, AgreesWithDivisionOnRandomSignedValues) {
  std::mt19937_64 rng(testing_support::test_seed());
  gmp_randstate_t st;
  gmp_randinit_default(st);
  gmp_randseed_ui(st, static_cast<unsigned long>(rng()));
  mpz_t x, want, m, tmp;
  mpz_inits(x, want, m, tmp, nullptr);
  for (int32_t p : {1, 2, 3, 5, 31, 63, 64, 65, 127, 1279, 4423}) {
    mpz_set_ui(m, 0);
    mpz_setbit(m, static_cast<mp_bitcnt_t>(p));
    mpz_sub_ui(m, m, 1);
    for (int k = 0; k < 60; ++k) {
      // Sizes from a few bits to well past 2p, both signs, and exact multiples of m.
      mpz_urandomb(x, st, static_cast<mp_bitcnt_t>(1 + rng() % (3 * p + 70)));
      if (k % 7 == 0) mpz_mul_ui(x, m, rng() % 5);
      if (k % 2 == 1) mpz_neg(x, x);
      mpz_fdiv_r(want, x, m);
      mersenne_reduce(x, p, tmp);
      ASSERT_EQ(mpz_cmp(x, want), 0) << "p=" << p << " k=" << k;
    }
  }
  mpz_clears(x, want, m, tmp, nullptr);
  gmp_randclear(st);
}

TEST(ExactEngine, Res64MatchesOracleForEveryPrimeTo3000) {
  mpz_t want;
  mpz_init(want);
  for (int32_t p = 3; p <= 3000; ++p) {
    if (!is_prime(p)) continue;
    testing_support::lucas_lehmer_residue(want, static_cast<unsigned>(p));
    const ll_outcome got = exact_lucas_lehmer(p, {});
    ASSERT_TRUE(got.verdict);
    EXPECT_EQ(got.res64, low64(want)) << "p=" << p;
    EXPECT_EQ(got.prime, mpz_sgn(want) == 0) << "p=" << p;
    EXPECT_EQ(got.fft_length, 0);
  }
  mpz_clear(want);
}

TEST(ExactEngine, FindsKnownPrimesAndReportsProgress) {
  for (int32_t p : {4423, 9689}) {
    int64_t last = -1, calls = 0;
    engine_options opt;
    opt.progress = [&](int64_t done, int64_t total) {
      EXPECT_EQ(total, p - 2);
      EXPECT_GE(done, last);
      last = done;
      ++calls;
    };
    const ll_outcome got = exact_lucas_lehmer(p, opt);
    EXPECT_TRUE(got.prime) << p;
    EXPECT_EQ(got.res64, 0u);
    EXPECT_EQ(last, p - 2);  // the final report always comes
    EXPECT_LT(calls, 100);   // paced, not once per iteration
  }
}

}  // namespace
