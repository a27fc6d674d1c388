// The reference engine: the console program's loop behind the engine interface.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "engine/reference.h"
#include "support/test_support.h"

namespace {

uint64_t low64_of(const mpz_t v) {
  mpz_t low;
  mpz_init(low);
  mpz_fdiv_r_2exp(low, v, 64);
  uint64_t r = 0;
  for (size_t i = 0; i < mpz_size(low); ++i) r |= static_cast<uint64_t>(mpz_getlimbn(low, i)) << (64 * i);
  mpz_clear(low);
  return r;
}

TEST(ReferenceDigits, Low64AndAllOnesAgainstGmp) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_t v, m;
  mpz_inits(v, m, nullptr);
  for (int32_t p = 1; p <= 200; ++p) {
    mpz_ui_pow_ui(m, 2, static_cast<unsigned long>(p));
    mpz_sub_ui(m, m, 1);
    std::vector<uint32_t> words(p / 16 + 8);
    // 2^p - 1 itself, and random values below it.
    int32_t len = testing_support::mpz_to_digits(m, words.data());
    EXPECT_TRUE(digits_are_all_ones(words.data(), len, p)) << p;
    EXPECT_EQ(low64_of_digits(words.data(), len), low64_of(m)) << p;
    // The same value with a zero digit on top still counts.
    words[len] = 0;
    EXPECT_TRUE(digits_are_all_ones(words.data(), len + 1, p)) << p;
    for (int k = 0; k < 20; ++k) {
      mpz_set_ui(v, 0);
      for (int i = 0; i < 4; ++i) {
        mpz_mul_2exp(v, v, 64);
        mpz_add_ui(v, v, rng());
      }
      mpz_mod(v, v, m);
      if (k == 0) mpz_sub_ui(v, m, 1);  // one bit short of all ones
      len = testing_support::mpz_to_digits(v, words.data());
      EXPECT_FALSE(digits_are_all_ones(words.data(), len, p)) << p;
      EXPECT_EQ(low64_of_digits(words.data(), len), low64_of(v)) << p;
    }
  }
  mpz_clears(v, m, nullptr);
}

TEST(Reference, VerdictAndRes64AgainstGmp) {
  mpz_t r;
  mpz_init(r);
  for (int32_t p : {3, 5, 7, 11, 13, 17, 23, 31, 61, 67, 89, 97, 107, 127, 521, 523, 607}) {
    const ll_outcome o = reference_lucas_lehmer(p, engine_options{});
    testing_support::lucas_lehmer_residue(r, static_cast<unsigned>(p));
    ASSERT_TRUE(o.verdict) << p << ": " << o.note;
    EXPECT_TRUE(o.error.empty());
    EXPECT_EQ(o.prime, mpz_sgn(r) == 0) << p;
    EXPECT_EQ(o.res64, low64_of(r)) << p;
    EXPECT_LT(o.max_roundoff, 0.4);
    // The transform length of the last step: at least twice the digits of a full residue.
    EXPECT_GE(o.fft_length, 2 * ((p + 15) / 16)) << p;
    EXPECT_EQ(o.fft_length & (o.fft_length - 1), 0) << p;
  }
  mpz_clear(r);
}

TEST(Reference, ProgressSeesEveryStep) {
  std::vector<int64_t> seen;
  engine_options opt;
  opt.progress = [&](int64_t done, int64_t total) {
    EXPECT_EQ(total, 125);
    seen.push_back(done);
  };
  EXPECT_TRUE(reference_lucas_lehmer(127, opt).prime);
  ASSERT_EQ(seen.size(), 125u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int64_t>(i) + 1);
}

// An allocator that fails on its k-th call, counting the live blocks.
int fail_at = 0, calls = 0;
void* failing_calloc(size_t count, size_t size) {
  return ++calls == fail_at ? nullptr : std::calloc(count, size);
}

TEST(Reference, FailedAllocationIsAnErrorNotAVerdict) {
  // Every one of the twelve arrays failing in turn; the others are freed (the sanitizer build checks).
  for (fail_at = 1; fail_at <= kArrayCount; ++fail_at) {
    calls = 0;
    const ll_outcome o = reference_lucas_lehmer_with(127, engine_options{}, failing_calloc);
    EXPECT_FALSE(o.verdict) << fail_at;
    EXPECT_FALSE(o.prime) << fail_at;
    EXPECT_NE(o.error.find("memory"), std::string::npos) << o.error;
  }
  EXPECT_FALSE(reference_lucas_lehmer(2, engine_options{}).error.empty());
}

// The rounding bound of the dialogue is crossed at this length: no verdict, and it says so.
TEST(LongReference, NoVerdictBeyondTheRoundingBound) {
  const ll_outcome o = reference_lucas_lehmer(21701, engine_options{});
  EXPECT_FALSE(o.verdict);
  EXPECT_FALSE(o.prime);
  EXPECT_TRUE(o.error.empty());
  EXPECT_FALSE(o.max_roundoff < 0.4) << o.max_roundoff;
  EXPECT_NE(o.note.find("no verdict"), std::string::npos) << o.note;
}

}  // namespace
