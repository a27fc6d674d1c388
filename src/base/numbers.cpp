#include "base/numbers.h"

std::string mersenne_name(int32_t p) {
  std::string s = "M";  // appended: GCC 12 warns falsely about "M" + std::string
  s += std::to_string(p);
  return s;
}

int64_t smallest_prime_factor(int64_t n) {
  if (n % 2 == 0) return 2;
  for (int64_t d = 3; d <= n / d; d += 2)
    if (n % d == 0) return d;
  return n;
}

bool is_prime(int64_t n) { return n >= 2 && smallest_prime_factor(n) == n; }

decimal_read read_decimal(std::string_view s, int64_t max, int64_t* out) {
  if (s.empty()) return decimal_read::empty;
  for (char c : s)
    if (c < '0' || c > '9') return decimal_read::not_decimal;
  int64_t v = 0;
  for (char c : s) {
    const int digit = c - '0';
    if (digit > max || v > (max - digit) / 10) return decimal_read::too_large;
    v = v * 10 + digit;
  }
  *out = v;
  return decimal_read::ok;
}
