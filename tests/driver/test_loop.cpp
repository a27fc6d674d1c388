#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "digits/str_2y16.h"
#include "driver/lucas_lehmer.h"

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

// A residue of 2048 digits 0xFFFF squares at n = 4096 with coefficients
// far from integers: the loop must notice and stop there.
TEST(Loop, StopsAtTheRoundingBound) {
  const int32_t p = 2048 * 16 + 3;
  ll_arrays a;
  ASSERT_TRUE(allocate_arrays(size_unit(p), std::calloc, false, &a));
  ll_run run;
  ll_start(a, &run);
  for (int i = 0; i < 2048; ++i) a.u2[i] = 0xFFFF;
  run.len = 2048;
  ll_loop_options opt;
  opt.stop_at_bound = true;
  EXPECT_FALSE(ll_iterate(a, p, &run, opt));
  EXPECT_EQ(run.steps_done, 1);
  EXPECT_EQ(run.max_step, 0);
  EXPECT_GE(run.max_distance, kMaxRoundoff);
  free_arrays(&a);
}

}  // namespace
