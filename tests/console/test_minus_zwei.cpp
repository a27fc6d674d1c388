#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "console/str_2y16.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;

struct minus_case {
  std::vector<uint32_t> in;
  std::vector<uint32_t> out;  // all words of the input's length afterwards
  int32_t len_after;
  bool message;
};

const char kMessage[] = "Vom String u1[] kann nicht 2 subtrahiert werden! Nicht behandelter Fehler aus str_minus_zwei";

TEST(StrMinusZwei, BorrowChainAndLength) {
  const uint32_t F = 0xFFFF;
  const minus_case cases[] = {
      {{5}, {3}, 1, false},
      {{1}, {1}, 1, true},
      {{0}, {0}, 1, true},
      {{1, 1}, {F, 0}, 1, false},
      {{0, 1, 5}, {0xFFFE, 0, 5}, 3, false},
      {{0, 0, 1}, {0xFFFE, F, 0}, 2, false},
      {{0, 0}, {0xFFFE, F}, 2, false},
      {{1, 0, 0, 0}, {F, F, F, F}, 4, false},
  };
  for (const auto& c : cases) {
    // Guard words sit right above the string: the words above it are never touched.
    guarded<uint32_t> u2(c.in.size());
    std::copy(c.in.begin(), c.in.end(), u2.data());
    int32_t len = static_cast<int32_t>(c.in.size());
    testing::internal::CaptureStdout();
    str_minus_zwei(u2.data(), &len);
    const std::string printed = testing::internal::GetCapturedStdout();
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(len, c.len_after);
    for (size_t i = 0; i < c.out.size(); ++i) EXPECT_EQ(u2[i], c.out[i]) << "word " << i;
    EXPECT_TRUE(u2.intact());
    EXPECT_EQ(printed, c.message ? kMessage : "");
  }
}

}  // namespace
