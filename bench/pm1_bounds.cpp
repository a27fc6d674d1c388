// P-1's bounds by the odds: for a few exponents, trial factoring to the
// automatic depth before a first test (two tests saved by a factor), the
// chosen B1 and B2, the chance of a factor, P-1's cost as a share of one
// test (about p squarings), the gain in tests and the processor time the
// choice took (the first one builds rho's table).
//
// bench_pm1_bounds [tests saved]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "arith/engine_table.h"
#include "methods/factor/factor.h"
#include "methods/pm1_bounds.h"

namespace {

// This thread's processor time in milliseconds.
double cpu_ms() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return 1e3 * static_cast<double>(ts.tv_sec) + 1e-6 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  const double saved = argc > 1 ? std::atof(argv[1]) : 2.0;
  std::printf("%10s %6s %12s %14s %8s %10s %10s %8s\n", "p", "TF to", "B1", "B2", "chance", "cost/test",
              "gain/test", "cpu ms");
  for (const int32_t p : {10000019, 50000017, 100000007, 150000029, 300000007}) {
    const int depth = factor_auto_depth(p, estimated_test_seconds(p));
    const double start = cpu_ms();
    const pm1_choice c = choose_pm1_bounds(p, depth, saved);
    const double ms = cpu_ms() - start;
    std::printf("%10d %6d %12llu %14llu %7.3f%% %9.3f%% %9.3f%% %8.1f\n", p, depth,
                static_cast<unsigned long long>(c.b1), static_cast<unsigned long long>(c.b2), 100 * c.chance,
                100 * c.cost / p, 100 * c.gain / p, ms);
  }
  return 0;
}
