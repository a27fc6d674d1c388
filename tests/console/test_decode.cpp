#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "console/str_2y16.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;

struct decode_case {
  std::vector<double> coeff;
  std::vector<uint32_t> digits;  // expected u2[0 .. len-1]
  double distance;               // expected max_rounding_distance
};

TEST(Decode, RoundingCarriesAndDistance) {
  const decode_case cases[] = {
      {{16.0000001, 0.0}, {16, 0}, 1e-7},
      {{2.5, 0.0}, {3, 0}, 0.5},
      {{65535.5, 0.0}, {0, 1}, 0.5},
      {{65535.6, 65535.5}, {0, 1, 1}, 0.5},
      {{-0.5, 1.0}, {0xFFFF, 0}, 0.5},
      {{-65536.0, 1.0}, {0, 0}, 0},
      {{-0.3, -0.0}, {0, 0}, 0.3},
      {{4294967296.0, 0.0, 0.0, 0.0}, {0, 0, 1, 0}, 0},
      {{-1.5, 5.0}, {0xFFFE, 4}, 0.5},
      {{1e12 + 0.375, -3.25}, {0x1000, 0xD4A2, 0xE8}, 0.375},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.coeff));
    const int32_t n = static_cast<int32_t>(c.coeff.size());
    guarded<uint32_t> u2(n + 1, 0x5555);
    int32_t len = -1;
    decode_polynom_2y16(c.coeff.data(), n, u2.data(), &len);
    ASSERT_EQ(len, static_cast<int32_t>(c.digits.size()));
    for (int32_t i = 0; i < len; ++i) EXPECT_EQ(u2[i], c.digits[i]) << "digit " << i;
    if (len == n) { EXPECT_EQ(u2[n], 0x5555u) << "word n written without a final carry"; }
    EXPECT_TRUE(u2.intact());
    EXPECT_NEAR(max_rounding_distance(c.coeff.data(), n), c.distance, 1e-9);
  }
}

// Values no transform produces must still decode without undefined
// conversions, stay inside u2[0 .. n], and be flagged by the distance pass.
TEST(Decode, NonFiniteAndHugeCoefficientsAreContainedAndFlagged) {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double bad[] = {nan, inf, -inf, 1e300, -1e300, 9.3e18, -9.3e18, 4.7e18};
  for (double x : bad) {
    SCOPED_TRACE(x);
    std::vector<double> c = {3.0, x, 5.0, 0.0};
    guarded<uint32_t> u2(5, 0x5555);
    int32_t len = 0;
    decode_polynom_2y16(c.data(), 4, u2.data(), &len);
    EXPECT_TRUE(u2.intact());
    EXPECT_TRUE(len == 4 || len == 5);
    EXPECT_TRUE(std::isinf(max_rounding_distance(c.data(), 4)));
  }
}

}  // namespace
