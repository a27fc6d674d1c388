#include <gtest/gtest.h>

#include "console/str_2y16.h"

namespace {

TEST(Dumps, DigitsAndBitsMostSignificantFirstAndNothingAboveLen) {
  const uint32_t words[] = {4, 0xFFFF, 77, 99}, zero[] = {0}, bits[] = {5, 0x80000001u};
  testing::internal::CaptureStdout();
  print_digits(words, 3);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[2]=77   [1]=65535   [0]=4   \n");
  testing::internal::CaptureStdout();
  print_digits(zero, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n[0]=0   \n");
  testing::internal::CaptureStdout();
  print_bits(bits, 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\n10000000000000000000000000000001 00000000000000000000000000000101 \n");
}

}  // namespace
