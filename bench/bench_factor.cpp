// Trial factoring throughput: candidates that survive the sieve and are
// tested, per second of thread CPU time on one core, sieve included, at
// p = 100000007 for q below 2^64 (level 2^60..2^61) and for 2^64 <= q < 2^80
// (level 2^72..2^73); each the best of three runs of about a second. Then the
// automatic depth (and its estimated cost) for a few exponents from the
// rates recorded in engine/tuning.h.
//
// bench_factor [p] [seconds per run; 0: only the depths]
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "engine/engine_table.h"
#include "engine/factor/factor.h"

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Candidates per CPU second on one level of p, for about seconds of wall time.
double rate(int32_t p, int level, double seconds) {
  std::atomic<bool> stop{false};
  factor_options o;
  o.from_bits = level;
  o.to_bits = level + 1;
  o.stop = &stop;
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
    double best = 0;
    for (int i = 0; i < 3; ++i) {
      const double r = rate(p, level, seconds);
      if (r > best) best = r;
    }
    std::printf("p %d, q in [2^%d, 2^%d): %.2f M candidates/s per core\n", p, level, level + 1, best / 1e6);
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
