// P-1's stage 2 plan: products per prime of (B1, B2] for each D, with the
// plain pairing and with unpaired primes relocated to a multiple's product,
// and the processor time the relocated plan took.
//
// bench_pm1_plan [B1 B2]   (without: the ranges of the table in README.md)
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "methods/pm1_plan.h"

namespace {

// This thread's processor time in seconds.
double cpu_s() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The products of the whole plan, window by window; *primes gets the primes.
uint64_t products_of(const stage2_plan& plan, uint64_t* primes) {
  std::vector<std::vector<bool>> rows;
  uint64_t products = 0;
  *primes = 0;
  for (uint64_t m = plan.m_first; m <= plan.m_last; m += kWindow) {
    *primes += plan_window(plan, m, std::min(plan.m_last + 1, m + kWindow), &rows);
    for (const auto& row : rows)
      for (const bool b : row) products += b;
  }
  return products;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<uint64_t, uint64_t>> ranges = {{1000000, 30000000}, {900000, 36000000}, {100000, 10000000}};
  if (argc > 2) ranges = {{std::strtoull(argv[1], nullptr, 10), std::strtoull(argv[2], nullptr, 10)}};
  std::printf("%10s %12s %6s %10s %8s %10s %8s\n", "B1", "B2", "D", "primes", "paired", "relocated", "cpu s");
  for (const auto& [lo, hi] : ranges)
    for (const uint64_t d : {6, 30, 210, 2310, 30030}) {
      stage2_plan plan = make_plan(d, lo, hi);
      plan.relocate = false;
      uint64_t primes = 0;
      const uint64_t paired = products_of(plan, &primes);
      plan.relocate = true;
      const double start = cpu_s();
      const uint64_t moved = products_of(plan, &primes);
      const double s = cpu_s() - start;
      std::printf("%10llu %12llu %6llu %10llu %8.4f %10.4f %8.2f\n", static_cast<unsigned long long>(lo),
                  static_cast<unsigned long long>(hi), static_cast<unsigned long long>(d),
                  static_cast<unsigned long long>(primes), static_cast<double>(paired) / static_cast<double>(primes),
                  static_cast<double>(moved) / static_cast<double>(primes), s);
    }
  return 0;
}
