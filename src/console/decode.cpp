#include <cmath>

#include "str_2y16.h"

namespace {

// Magnitude from which a coefficient cannot be a product coefficient of any
// residue the program handles, and could overflow the 64-bit carry.
constexpr double kDecodeLimit = 4611686018427387904.0;  // 2^62

bool decodable(double x) { return std::fabs(x) < kDecodeLimit; }  // false for NaN too

}  // namespace

void decode_polynom_2y16(const double* res_polynom, int32_t n, uint32_t* u2, int32_t* len) {
  int64_t carry = 0;
  for (int32_t i = 0; i < n; ++i) {
    const double x = res_polynom[i];
    int64_t rounded = 0;
    if (decodable(x)) {
      const int64_t t = static_cast<int64_t>(x);
      const double f = x - static_cast<double>(t);
      if (x > 0)
        rounded = f >= 0.5 ? t + 1 : t;
      else
        rounded = f <= -0.5 ? t - 1 : t;
    }
    const int64_t v = rounded + carry;
    int64_t digit;
    if (v > 0xFFFF) {
      carry = v / 65536;
      digit = v % 65536;
    } else if (v >= 0) {
      digit = v;
      carry = 0;
    } else {
      carry = -((-v + 65535) / 65536);  // floor(v / 65536)
      digit = v - 65536 * carry;
    }
    u2[i] = static_cast<uint32_t>(digit);
  }
  *len = n;
  if (carry != 0) {
    u2[n] = static_cast<uint32_t>(static_cast<uint64_t>(carry));
    *len = n + 1;
  }
}

double max_rounding_distance(const double* c, int32_t n) {
  double worst = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    if (!decodable(c[i])) return INFINITY;
    const double d = std::fabs(c[i] - std::round(c[i]));
    if (d > worst) worst = d;
  }
  return worst;
}
