// Digests against their published test vectors; exponent names, the
// primality test and the decimal reader at the edges where they break.
#include <gtest/gtest.h>

#include <string>

#include "base/digest.h"
#include "base/numbers.h"

namespace {

std::string hex(const uint8_t* d) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < kDigestBytes; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

TEST(Digests, MatchThePublishedVectors) {
  uint8_t d[kDigestBytes];
  sha256("abc", 3, d);
  EXPECT_EQ(hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  sha3_256({{"abc", 3}}, d);
  EXPECT_EQ(hex(d), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  sha3_256({{"a", 1}, {"", 0}, {"bc", 2}}, d);  // parts hash as their concatenation
  EXPECT_EQ(hex(d), "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532");
  sha3_256({}, d);
  EXPECT_EQ(hex(d), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
}

TEST(Numbers, NamesAndPrimality) {
  EXPECT_EQ(mersenne_name(127), "M127");
  EXPECT_EQ(mersenne_name(2147483647), "M2147483647");
  EXPECT_FALSE(is_prime(0));
  EXPECT_FALSE(is_prime(1));
  EXPECT_TRUE(is_prime(2));
  EXPECT_FALSE(is_prime(9));
  EXPECT_FALSE(is_prime(46337 * 46337));  // the square of the largest prime below sqrt(2^31)
  EXPECT_TRUE(is_prime(2147483647));      // the divisor loop must not overflow
  EXPECT_EQ(smallest_prime_factor(2047), 23);
  EXPECT_EQ(smallest_prime_factor(int64_t{4294967291} * 3), 3);
}

TEST(Numbers, DecimalReaderRefusesWhatIsNotAPlainNumberInRange) {
  int64_t v = -1;
  EXPECT_EQ(read_decimal("2147483647", 2147483647, &v), decimal_read::ok);
  EXPECT_EQ(v, 2147483647);
  EXPECT_EQ(read_decimal("007", 100, &v), decimal_read::ok);
  EXPECT_EQ(v, 7);
  v = -1;
  EXPECT_EQ(read_decimal("2147483648", 2147483647, &v), decimal_read::too_large);
  EXPECT_EQ(read_decimal("99999999999999999999999", 2147483647, &v), decimal_read::too_large);  // past int64
  EXPECT_EQ(read_decimal("9223372036854775807", INT64_MAX, &v), decimal_read::ok);
  EXPECT_EQ(v, INT64_MAX);
  v = -1;
  EXPECT_EQ(read_decimal("9223372036854775808", INT64_MAX, &v), decimal_read::too_large);
  EXPECT_EQ(read_decimal("5", 0, &v), decimal_read::too_large);
  EXPECT_EQ(v, -1);  // untouched unless ok
  EXPECT_EQ(read_decimal("", 10, &v), decimal_read::empty);
  for (const char* bad : {"+5", "-5", " 5", "5 ", "5x", "0x10", "1e3", "99999999999999999999x"})
    EXPECT_EQ(read_decimal(bad, INT64_MAX, &v), decimal_read::not_decimal) << bad;
  EXPECT_EQ(v, -1);
}

}  // namespace
