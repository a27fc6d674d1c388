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

// Squarings less c 2^j, a product, a stepper multiplied by itself (the
// probable-prime test's check product takes a residue through multiply_by)
// and by another of its engine, on every engine and on both forms of the
// fast one; a refused step must leave s alone.
TEST(Steppers, SquaresProductsAndMultiplyByMatchGmp) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_value want, got, v, tmp;
  std::set<std::string> fast_forms;
  const auto expect_want = [&](const stepper& st, const char* what) {
    st.store(got);
    ASSERT_EQ(mpz_cmp(got, want), 0) << what;
  };
  for (const engine& e : engine_table()) {
    // 5000011: a length the two-pass iteration takes whatever was measured
    // faster at short lengths on this processor.
    for (int32_t p : {3, 5, 89, 1279, 4423, 44497, 86243, 756839, 5000011}) {
      const std::string_view name = e.name;
      if (!e.applicable(p) || (name == "reference" && p > 1279) || (name == "exact" && p > 86243)) continue;
      SCOPED_TRACE(testing::Message() << e.name << " p=" << p);
      const int64_t n = e.start_length != nullptr ? e.start_length(p, 0) : 0;
      const auto st = e.make(p, n, {}), other = e.make(p, n, {});
      if (name == "fast") fast_forms.insert(fast_iteration_name(p, n).substr(0, 8));
      random_residue(want, p, rng);
      st->load(want);
      mersenne_reduce(want, p, tmp);
      for (int k = 0; k < 6; ++k) {
        const uint32_t c = static_cast<uint32_t>(rng() % 4);
        const int32_t j = k == 0 ? 0 : static_cast<int32_t>(rng() % static_cast<uint64_t>(p));
        ASSERT_LT(k < 4 ? st->square(c, j, 0.4) : st->multiply_by(*st, 0.4), 0.4) << "c=" << c << " j=" << j;
        mpz_mul(want, want, want);
        mpz_ui_pow_ui(tmp, 2, static_cast<unsigned long>(j));
        if (k < 4) mpz_submul_ui(want, tmp, c);
        mersenne_reduce(want, p, tmp);
        expect_want(*st, k < 4 ? "squared less c 2^j" : "squared through multiply_by");
      }
      random_residue(v, p, rng);
      ASSERT_LT(st->multiply(v, 0.4), 0.4);
      mpz_mul(want, want, v);
      mersenne_reduce(want, p, tmp);
      expect_want(*st, "product");
      other->load(v);
      ASSERT_LT(st->multiply_by(*other, 0.4), 0.4);
      mpz_mul(want, want, v);
      mersenne_reduce(want, p, tmp);
      expect_want(*st, "times another stepper");
      // No distance is below a negative limit: both operations must leave s alone.
      st->square(2, 0, -1.0);
      st->multiply(v, -1.0);
      expect_want(*st, "a refused step changed the residue");
      mersenne_reduce(v, p, tmp);
      other->store(got);
      EXPECT_EQ(mpz_cmp(got, v), 0) << "the other stepper changed";
    }
  }
  EXPECT_EQ(fast_forms, (std::set<std::string>{"one-tran", "two-pass"}));
}

// 2^32768 - 1 squared at length 4096 gives coefficients far from integers:
// the reference stepper reports the distance and keeps the residue.
TEST(Steppers, ReferenceStepPastTheBoundKeepsTheResidue) {
  const auto st = make_reference_stepper(2048 * 16 + 3, 0, {});
  mpz_value v, got;
  mpz_ui_pow_ui(v, 2, 2048 * 16);
  mpz_sub_ui(v, v, 1);
  st->load(v);
  EXPECT_GE(st->square(2, 0, 0.4), 0.4);
  st->store(got);
  EXPECT_EQ(mpz_cmp(got, v), 0);
}

}  // namespace
