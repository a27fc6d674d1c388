// Trial factoring throughput: candidates that survive the sieve and are
// tested, per second of thread CPU time on one core, sieve included, at
// p = 100000007 for q below 2^64 (level 2^60..2^61) and for 2^64 <= q < 2^80
// (level 2^72..2^73); each the best of three runs of about a second, the
// scalar arithmetic (one or two 64-bit words) first, then the IFMA one as a
// ratio to it where the processor has AVX-512 IFMA. Then the
// automatic depth (and its estimated cost) for a few exponents from the
// rates recorded in base/tuning.h.
//
// bench_factor [p] [seconds per run; 0: only the depths]
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "arith/engine_table.h"
#include "methods/factor/factor.h"

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Candidates per CPU second on one level of p, for about seconds of wall time.
double rate(int32_t p, int level, double seconds, factor_kernel kernel) {
  std::atomic<bool> stop{false};
  factor_options o;
  o.from_bits = level;
  o.to_bits = level + 1;
  o.stop = &stop;
  o.kernel = kernel;
  std::thread timer([&] {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
  });
  const double t0 = cpu_now();
  const factor_outcome f = trial_factor(p, o);
  const double t = cpu_now() - t0;
  timer.join();
  return static_cast<double>(f.tested) / t;
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t p = argc > 1 ? std::atoi(argv[1]) : 100000007;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  for (const int level : {60, 72}) {
    if (seconds <= 0) break;
    auto best = [&](factor_kernel kernel) {
      double b = 0;
      for (int i = 0; i < 3; ++i) b = std::max(b, rate(p, level, seconds, kernel));
      return b;
    };
    const double scalar = best(factor_kernel::scalar);
    std::printf("p %d, q in [2^%d, 2^%d): scalar %.2f M candidates/s per core", p, level, level + 1, scalar / 1e6);
    if (factor_ifma_supported()) {
      const double ifma = best(factor_kernel::ifma);
      std::printf(", ifma %.2fx (%.2f M/s)", ifma / scalar, ifma / 1e6);
    }
    std::printf("\n");
  }
  for (const int32_t e : {1000003, 2000003, 10000019, 100000007}) {
    const double test = estimated_test_seconds(e);
    const int depth = factor_auto_depth(e, test);
    double cost = 0;
    for (int b = 1; b < depth; ++b) cost += factor_level_seconds(e, b);
    std::printf("p %d: test about %.0f s, automatic depth 2^%d, factoring about %.1f s\n", e, test, depth, cost);
  }
  return 0;
}
