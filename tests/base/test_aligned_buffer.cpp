#include "base/aligned_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

uintptr_t address(const double* p) { return reinterpret_cast<uintptr_t>(p); }

// Small arrays and those big enough for huge pages: zero, aligned, guarded
// on both sides, and freed as they were made after moves and swaps (the
// sanitizer build checks the last).
TEST(AlignedBuffer, SmallAndHugeArraysAreZeroAlignedAndGuarded) {
  for (size_t n : {size_t{1}, size_t{1000}, aligned_buffer<double>::kHugeFrom / sizeof(double) + 3}) {
    SCOPED_TRACE(n);
    aligned_buffer<double> a(n);
    EXPECT_EQ(address(a.data()) % aligned_buffer<double>::kAlign, 0u);
    for (size_t i = 0; i < n; ++i) ASSERT_EQ(a[i], 0.0);
    for (size_t i = 0; i < n; ++i) a[i] = static_cast<double>(i);
    EXPECT_TRUE(a.intact());
    a.data()[n] = 1;  // the guard line after the end
    EXPECT_FALSE(a.intact());
    aligned_buffer<double> b(std::move(a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_FALSE(b.intact());  // the guard keeps what was written over it
    aligned_buffer<double> c(7);
    c.swap(b);
    EXPECT_EQ(c.size(), n);
    EXPECT_EQ(c[n - 1], static_cast<double>(n - 1));
    b = aligned_buffer<double>(n);
    EXPECT_TRUE(b.intact());
  }
}

// Arrays on huge pages each start at their own place within a page, so that
// the same rows of two of them do not fall into the same cache sets.
TEST(AlignedBuffer, HugeArraysStartAtDifferentCacheSets) {
  const size_t n = aligned_buffer<double>::kHugeFrom / sizeof(double);
  aligned_buffer<double> a(n), b(n);
  EXPECT_NE(address(a.data()) % 65536, address(b.data()) % 65536);
}

}  // namespace
