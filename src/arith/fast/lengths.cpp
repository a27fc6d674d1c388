#include "arith/fast/lengths.h"

#include <cmath>
#include <iterator>

#include "arith/fast/length_table.h"
#include "base/check.h"

int fast_length_count() { return static_cast<int>(std::size(kFastLengths)); }

int64_t fast_length(int index) {
  MERSENNE_REQUIRE(index >= 0 && index < fast_length_count());
  return kFastLengths[index].n;
}

double fast_max_bits(int64_t n) {
  for (const fast_length_row& r : kFastLengths)
    if (r.n == n) return r.bits;
  return 0.0;
}

int64_t fast_max_exponent(int64_t n) {
  const int64_t top = static_cast<int64_t>(std::floor(static_cast<double>(n) * fast_max_bits(n)));
  return top < INT32_MAX ? top : INT32_MAX;
}

int64_t fast_length_for(int32_t p) {
  if (p < 3) return 0;
  for (const fast_length_row& r : kFastLengths)
    if (r.n <= p && p <= fast_max_exponent(r.n)) return r.n;
  return 0;
}

int64_t fast_next_length(int32_t p, int64_t n) {
  for (const fast_length_row& r : kFastLengths)
    if (r.n > n && r.n <= p) return r.n;
  return 0;
}
