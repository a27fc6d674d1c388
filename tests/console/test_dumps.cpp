#include <gtest/gtest.h>

#include "console/str_2y16.h"

namespace {

TEST(Dumps, DigitsMostSignificantFirstAndNothingAboveLen) {
  const uint32_t words[] = {4, 0xFFFF, 77, 99}, zero[] = {0};
  testing::internal::CaptureStdout();
  print_digits(words, 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[2]=77   [1]=65535   [0]=4   \n");
  testing::internal::CaptureStdout();
  print_digits(zero, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[0]=0   \n");
}

}  // namespace
