// The fast engine at long lengths. Per length: FFTW's bare real transform
// pair on one thread (the baseline, in ms), then as ratios to it: the
// two-pass iteration on one thread, the one-transform squarer on one thread,
// the two-pass iteration on two threads; and two speed-ups: two threads over
// one, and the ceiling, two bare pairs run side by side on the two cores
// over one alone. Wall-clock time, best of five blocks.
//
//   bench_two_pass [LENGTH ...]   (default 64K 256K 1M 2M 4M)
#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/machine.h"
#include "engine/fast/lengths.h"
#include "engine/fast/plans.h"
#include "engine/fast/squarer.h"
#include "engine/fast/two_pass.h"
#include "engine/residue.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Iterations for a block of about a quarter second at length n.
int reps_for(int64_t n) { return static_cast<int>(std::max<int64_t>(3, (int64_t{1} << 26) / (n * 20))); }

// Milliseconds per iteration of s, best of five blocks.
double ms_per_iteration(stepper& s, int reps) {
  double best = 1e30;
  for (int block = 0; block < 5; ++block) {
    const double t0 = now();
    for (int i = 0; i < reps; ++i) s.square(2, 0, 1e9);
    best = std::min(best, (now() - t0) / reps);
  }
  return best * 1e3;
}

double pair_ms(int64_t n, int reps) {
  double best = 1e30;
  for (int block = 0; block < 5; ++block) best = std::min(best, fast_bare_pair_seconds(n, 1, reps, false));
  return best * 1e3;
}

void pin(int core) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(core, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Two bare pairs at once, one pinned to each of the first two usable cores: ms of each, worst.
double side_by_side_pair_ms(int64_t n, int reps) {
  cpu_set_t mine;
  sched_getaffinity(0, sizeof mine, &mine);
  std::vector<int> cores;
  for (int c = 0; c < CPU_SETSIZE && cores.size() < 2; ++c)
    if (CPU_ISSET(c, &mine)) cores.push_back(c);
  if (cores.size() < 2) return 0;
  double ms[2];
  std::vector<std::thread> t;
  for (int i = 0; i < 2; ++i)
    t.emplace_back([&, i] {
      pin(cores[static_cast<size_t>(i)]);
      ms[i] = pair_ms(n, reps);
    });
  for (auto& th : t) th.join();
  return std::max(ms[0], ms[1]);
}

int64_t parse_length(const char* s) {
  char* end = nullptr;
  int64_t v = std::strtoll(s, &end, 10);
  if (*end == 'K') v <<= 10;
  if (*end == 'M') v <<= 20;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int64_t> lengths;
  for (int i = 1; i < argc; ++i) lengths.push_back(parse_length(argv[i]));
  if (lengths.empty()) lengths = {1 << 16, 1 << 18, 1 << 20, 1 << 21, 1 << 22};
  std::printf("usable cores %d\n", usable_cores());
  std::printf("%9s %10s %9s %9s %9s %9s %9s\n", "length", "pair ms", "2pass/1", "1xform/1", "2pass/2", "1t/2t",
              "ceiling");
  for (int64_t n : lengths) {
    const int32_t p = static_cast<int32_t>(fast_max_exponent(n));
    if (p == 0 || !two_pass_serves(p, n)) {
      std::printf("%9lld: not a two-pass length\n", static_cast<long long>(n));
      continue;
    }
    mpz_value s, tmp;
    mpz_set_ui(s, 3);
    mpz_pow_ui(s, s, static_cast<unsigned long>(p / 3));
    mersenne_reduce(s, p, tmp);
    const int reps = reps_for(n);
    const double pair = pair_ms(n, reps);
    two_pass_squarer one(p, n, 1), two(p, n, 2);
    fast_squarer slow(p, n);
    one.load(s);
    two.load(s);
    slow.load(s);
    const double t1 = ms_per_iteration(one, reps), t2 = ms_per_iteration(two, reps);
    const double old = ms_per_iteration(slow, reps);
    const double side = side_by_side_pair_ms(n, reps);
    std::printf("%9lld %10.3f %9.2f %9.2f %9.2f %9.2f %9.2f\n", static_cast<long long>(n), pair, t1 / pair,
                old / pair, t2 / pair, t1 / t2, side > 0 ? 2 * pair / side : 0.0);
    std::fflush(stdout);
  }
}
