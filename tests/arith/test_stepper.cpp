// Every engine's stepper against GMP: squarings less c 2^j anywhere, products
// of two residues, and a step refused at its limit leaving the residue alone.
#include <gtest/gtest.h>

#include <random>

#include "arith/engine_table.h"
#include "arith/reference.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

using testing_support::random_residue;

TEST(Steppers, SquaresLessAnyPowerOfTwoAndProductsMatchGmp) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_value want, got, v, tmp;
  for (const engine& e : engine_table()) {
    for (int32_t p : {3, 5, 31, 89, 607, 1279, 4423, 9941, 44497}) {
      if (!e.applicable(p) || (std::string_view(e.name) == "reference" && p > 1279)) continue;
      SCOPED_TRACE(testing::Message() << e.name << " p=" << p);
      const auto st = e.make(p, e.start_length != nullptr ? e.start_length(p, 0) : 0, {});
      random_residue(want, p, rng);
      st->load(want);
      mersenne_reduce(want, p, tmp);
      for (int k = 0; k < 6; ++k) {
        const uint32_t c = static_cast<uint32_t>(rng() % 4);
        const int32_t j = k == 0 ? 0 : static_cast<int32_t>(rng() % static_cast<uint64_t>(p));
        ASSERT_LT(st->square(c, j, 0.4), 0.4) << "c=" << c << " j=" << j;
        mpz_mul(want, want, want);
        mpz_ui_pow_ui(tmp, 2, static_cast<unsigned long>(j));
        mpz_submul_ui(want, tmp, c);
        mersenne_reduce(want, p, tmp);
        st->store(got);
        ASSERT_EQ(mpz_cmp(got, want), 0) << "c=" << c << " j=" << j;
      }
      random_residue(v, p, rng);
      ASSERT_LT(st->multiply(v, 0.4), 0.4);
      mpz_mul(want, want, v);
      mersenne_reduce(want, p, tmp);
      st->store(got);
      ASSERT_EQ(mpz_cmp(got, want), 0) << "product";
      // No distance is below a negative limit: both operations must leave s alone.
      st->square(2, 0, -1.0);
      st->multiply(v, -1.0);
      st->store(got);
      EXPECT_EQ(mpz_cmp(got, want), 0) << "a refused step changed the residue";
    }
  }
}

// 2^32768 - 1 squared at length 4096 gives coefficients far from integers:
// the reference stepper reports the distance and keeps the residue.
TEST(Steppers, ReferenceStepPastTheBoundKeepsTheResidue) {
  const int32_t p = 2048 * 16 + 3;
  const auto st = make_reference_stepper(p, 0, {});
  mpz_value v, got;
  mpz_ui_pow_ui(v, 2, 2048 * 16);
  mpz_sub_ui(v, v, 1);
  st->load(v);
  EXPECT_GE(st->square(2, 0, 0.4), 0.4);
  st->store(got);
  EXPECT_EQ(mpz_cmp(got, v), 0);
}

}  // namespace
