// Every engine's stepper against GMP: squarings less c 2^j anywhere, products
// of two residues, and a step refused at its limit leaving the residue alone.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

#include "arith/engine_table.h"
#include "arith/fast/fast.h"
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

// A stepper multiplied by itself (the probable-prime test's check product
// takes a residue through multiply_by) squares its residue, on every engine
// and on both forms of the fast one; and by another stepper of its engine it
// multiplies as multiply does.
TEST(Steppers, MultiplyByItselfAndByAnotherMatchGmp) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_value want, got, v, tmp;
  std::set<std::string> fast_forms;
  for (const engine& e : engine_table()) {
    for (int32_t p : {5, 607, 4423, 86243, 756839}) {
      if (!e.applicable(p) || (std::string_view(e.name) == "reference" && p > 1279) ||
          (std::string_view(e.name) == "exact" && p > 86243))
        continue;
      SCOPED_TRACE(testing::Message() << e.name << " p=" << p);
      const int64_t n = e.start_length != nullptr ? e.start_length(p, 0) : 0;
      const auto st = e.make(p, n, {}), other = e.make(p, n, {});
      if (std::string_view(e.name) == "fast") fast_forms.insert(fast_iteration_name(p, n).substr(0, 8));
      random_residue(want, p, rng);
      mersenne_reduce(want, p, tmp);
      st->load(want);
      for (int k = 0; k < 3; ++k) {
        ASSERT_LT(st->multiply_by(*st, 0.4), 0.4);
        mpz_mul(want, want, want);
        mersenne_reduce(want, p, tmp);
        st->store(got);
        ASSERT_EQ(mpz_cmp(got, want), 0) << "squared through multiply_by, step " << k;
      }
      random_residue(v, p, rng);
      other->load(v);
      ASSERT_LT(st->multiply_by(*other, 0.4), 0.4);
      mpz_mul(want, want, v);
      mersenne_reduce(want, p, tmp);
      st->store(got);
      EXPECT_EQ(mpz_cmp(got, want), 0) << "times another stepper";
      other->store(got);
      mersenne_reduce(v, p, tmp);
      EXPECT_EQ(mpz_cmp(got, v), 0) << "the other stepper changed";
    }
  }
  EXPECT_EQ(fast_forms, (std::set<std::string>{"one-tran", "two-pass"}));
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
