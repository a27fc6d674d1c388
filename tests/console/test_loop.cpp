#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "console/str_2y16.h"
#include "console/lucas_lehmer.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

TEST(SizeUnit, NeverBelowEightAndNoWrappedSizes) {
  for (auto [p, L] : {std::pair{-15, 8}, {15, 8}, {16, 16}, {127, 64}, {-16, 8}, {-1000, 8}, {INT32_MIN, 8}})
    EXPECT_EQ(size_unit(p), L) << p;
  array_slot t[kArrayCount];
  array_table(size_unit(INT32_MAX), t);
  EXPECT_EQ(t[0].count, int64_t{4} << 30);  // buffer: 4L words, past 32 bits
  EXPECT_EQ(t[2].count * t[2].size, int64_t{3} << 30);  // u1: 3L bytes
  EXPECT_EQ(t[11].count * t[11].size, int64_t{32} << 30);
}

int fail_at = -1;
int calls = 0;
void* failing_calloc(size_t count, size_t size) {
  return calls++ == fail_at ? nullptr : std::calloc(count, size);
}

TEST(AllocateArrays, EveryFailureIsReportedAndTheRestStillTried) {
  array_slot t[kArrayCount];
  array_table(8, t);
  for (fail_at = 0; fail_at < kArrayCount; ++fail_at) {
    calls = 0;
    ll_arrays a;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(allocate_arrays(8, failing_calloc, true, &a));
    const std::string out = testing::internal::GetCapturedStdout();
    std::string want;
    for (int i = 0; i < kArrayCount; ++i)
      want += i == fail_at ? "Fehler beim Speicherallozieren, " + std::string(t[i].name) + "\n"
                           : std::string(t[i].name) + " Speicher alloziert\n";
    EXPECT_EQ(out, want);
    EXPECT_EQ(calls, kArrayCount);
    free_arrays(&a);
    EXPECT_EQ(a.u2, nullptr);
  }
}

// The dialogue's own loop, untraced, on every exponent up to 200 and a few
// known primes: the final residue against exact arithmetic.
TEST(Loop, FinalResidueAgreesWithExactArithmetic) {
  mpz_value want, got, tmp;
  std::vector<int32_t> ps;
  for (int32_t p = 2; p <= 200; ++p) ps.push_back(p);
  for (int32_t p : {521, 607, 1279, 2203, 2281}) ps.push_back(p);
  for (int32_t p : ps) {
    ll_arrays a;
    ASSERT_TRUE(allocate_arrays(size_unit(p), std::calloc, false, &a));
    ll_run run;
    ll_start(a, &run);
    testing::internal::CaptureStdout();  // multiples of 16 report the reduction's message
    ll_iterate(a, p, &run, ll_loop_options{});
    testing::internal::GetCapturedStdout();
    digits_to_mpz(got, a.u2, run.len);
    free_arrays(&a);
    testing_support::lucas_lehmer_residue(want, static_cast<unsigned>(p));
    mersenne_reduce(got, p, tmp);
    EXPECT_EQ(mpz_cmp(got, want), 0) << "p=" << p;
    EXPECT_LT(run.max_distance, kMaxRoundoff) << "p=" << p;
    EXPECT_EQ(run.steps_done, p > 2 ? p - 2 : 0);
  }
}

}  // namespace
