#include <algorithm>
#include <cmath>
#include <vector>

#include "base/check.h"
#include "arith/fast/lengths.h"
#include "base/tuning.h"

namespace {

struct table_row {
  int64_t n;
  double bits;
};

// The bits-per-word line; see base/tuning.h for the measurement.
double bits_at(int64_t n) {
  return tuning::kBitsAtOne - tuning::kBitsPerDoubling * std::log2(static_cast<double>(n));
}

const std::vector<table_row>& table() {
  static const std::vector<table_row> rows = [] {
    std::vector<table_row> r;
    for (int64_t k : {1, 3, 5, 7})
      for (int64_t n = k; n <= (int64_t{1} << 23); n *= 2) r.push_back({n, bits_at(n)});
    std::sort(r.begin(), r.end(), [](const table_row& a, const table_row& b) { return a.n < b.n; });
    return r;
  }();
  return rows;
}

}  // namespace

int fast_length_count() { return static_cast<int>(table().size()); }

int64_t fast_length(int index) {
  MERSENNE_REQUIRE(index >= 0 && index < fast_length_count());
  return table()[static_cast<size_t>(index)].n;
}

double fast_max_bits(int64_t n) {
  for (const table_row& r : table())
    if (r.n == n) return r.bits;
  return 0.0;
}

int64_t fast_max_exponent(int64_t n) {
  return static_cast<int64_t>(std::floor(static_cast<double>(n) * fast_max_bits(n)));
}

int64_t fast_length_for(int32_t p) {
  if (p < 3) return 0;
  for (const table_row& r : table())
    if (r.n <= p && p <= fast_max_exponent(r.n)) return r.n;
  return 0;
}

int64_t fast_next_length(int32_t p, int64_t n) {
  for (const table_row& r : table())
    if (r.n > n && r.n <= p) return r.n;
  return 0;
}
