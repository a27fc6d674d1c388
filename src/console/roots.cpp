#include <cmath>

#include "transform.h"

namespace {
constexpr double kTwoPi = 6.283185307179586;
}

int32_t get_n(int32_t len) {
  int64_t x = 1;
  while (x < len) x *= 2;
  const int64_t n = 2 * x;
  return n > (int64_t{1} << 30) ? int32_t{1} << 30 : static_cast<int32_t>(n);
}

void get_einheitswurzel(int32_t n, double* wr, double* wi) {
  const double step = kTwoPi / n;
  double theta = 0.0;
  for (int32_t k = 0; k < n; ++k) {
    wr[k] = std::cos(theta);
    wi[k] = std::sin(theta);
    theta = theta + step;
  }
}

void get_einheitswurzel_direct(int32_t n, double* wr, double* wi) {
  for (int32_t k = 0; k < n; ++k) {
    const double theta = (k * kTwoPi) / n;
    wr[k] = std::cos(theta);
    wi[k] = std::sin(theta);
  }
}
