// Time per Lucas-Lehmer iteration of the engines: the exact engine (the
// baseline), the fast engine and FFTW's bare real transform pair at the fast
// engine's length; and a table of time per iteration against p for the plot (reference, exact, fast).
//
// bench_engines [plot-data-file]
#include <gmp.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "console/lucas_lehmer.h"
#include "arith/exact.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/residue.h"

namespace {

using clock_type = std::chrono::steady_clock;

// Seconds of this thread's CPU time (one-core figures: time the thread waits
// for a core while other work runs on the machine is not counted).
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Seconds per call of f, the best of several blocks of reps calls (other work
// on the machine only ever adds time); setup runs before each block, untimed.
// Times are this thread's CPU time.
double per_call(int reps, int blocks, const std::function<void()>& setup, const std::function<void()>& f) {
  double best = 1e30;
  for (int b = 0; b < blocks; ++b) {
    setup();
    const double t0 = thread_seconds();
    for (int i = 0; i < reps; ++i) f();
    const double s = (thread_seconds() - t0) / reps;
    if (s < best) best = s;
  }
  return best;
}

// Repetitions so that one block takes about budget seconds, given one call's time.
int reps_for(double one, double budget) {
  const double r = budget / (one > 0 ? one : 1e-9);
  return r < 1 ? 1 : (r > 1e6 ? 1000000 : static_cast<int>(r));
}

gmp_randstate_t rng;

// A random full-size residue modulo 2^p - 1.
void random_residue(mpz_ptr s, int32_t p) {
  mpz_value tmp;
  mpz_urandomb(s, rng, static_cast<mp_bitcnt_t>(p));
  mersenne_reduce(s, p, tmp);
}

// One engine's stepper: seconds per Lucas-Lehmer iteration. A fresh random
// residue for every block: from some residues the sequence falls onto 2
// (2^2 - 2 = 2) within p steps, and then costs nothing.
double stepper_iteration(stepper& st, int32_t p, int iterations) {
  mpz_value s;
  const double r = per_call(
      iterations, 5,
      [&] {
        random_residue(s, p);
        st.load(s);
      },
      [&] { st.square(2, 0, 1e9); });
  return r;
}

double exact_iteration(int32_t p, int iterations) {
  const auto st = make_exact_stepper(p, 0, {});
  return stepper_iteration(*st, p, iterations);
}

double fast_iteration(int32_t p, int iterations) {
  fast_squarer sq(p, fast_length_for(p));
  return stepper_iteration(sq, p, iterations);
}

double bare_pair(int64_t n, int iterations) {
  double best = 1e30;
  for (int b = 0; b < 5; ++b) {
    const double s = fast_bare_pair_seconds(n, 1, iterations, true);
    if (s < best) best = s;
  }
  return best;
}

// The dialogue's own step loop, from a full-length residue (steps past the
// first log2 p, whose numbers are still short).
double reference_iteration(int32_t p) {
  ll_arrays a;
  if (!allocate_arrays(size_unit(p), [](size_t c, size_t s) { return calloc(c, s); }, false, &a)) return 0;
  ll_run run;
  ll_start(a, &run);
  const inverse_path path = inverse_path_default();
  for (int i = 0; i < 40 && i < p - 2; ++i) ll_step(a, p, &run, false, path);
  const auto t0 = clock_type::now();
  ll_step(a, p, &run, false, path);
  const double one = std::chrono::duration<double>(clock_type::now() - t0).count();
  const double r = per_call(reps_for(one, 0.3), 3, [] {}, [&] { ll_step(a, p, &run, false, path); });
  free_arrays(&a);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  gmp_randinit_default(rng);
  gmp_randseed_ui(rng, 20261206);
  std::printf("Time per iteration, one core; baseline: the exact engine (GMP).\n");
  std::printf("%8s %7s %12s %14s %14s %12s\n", "p", "N", "exact", "exact/fast", "exact/bare", "fast/bare");
  struct row {
    int32_t p;
    int exact_its, fast_its;
  };
  for (const row r : {row{86243, 200, 2000}, row{859433, 20, 200}}) {
    const int64_t n = fast_length_for(r.p);
    const double e = exact_iteration(r.p, r.exact_its);
    const double f = fast_iteration(r.p, r.fast_its);
    const double b = bare_pair(n, r.fast_its);
    std::printf("%8d %7lld %10.1f us %13.2fx %13.2fx %11.3fx\n", r.p, static_cast<long long>(n), e * 1e6, e / f,
                e / b, f / b);
  }

  if (argc > 1) {
    FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "# p  reference_s  exact_s  fast_s  (seconds per iteration, one core; 0: not timed)\n");
    for (int32_t p : {127, 521, 1279, 2203, 4423, 9689, 19937, 44497, 86243, 216091, 859433}) {
      const double ref = p <= 20000 ? reference_iteration(p) : 0.0;
      const double e1 = exact_iteration(p, 1);
      // Fewer steps than p/4 per block, so that no block reaches the end of a sequence.
      const int cap = p / 4;
      const double e = exact_iteration(p, std::min(cap, reps_for(e1, 0.2)));
      const double f = fast_iteration(p, std::min(cap, reps_for(e / 5, 0.2)));
      std::fprintf(out, "%d %.4e %.4e %.4e\n", p, ref, e, f);
      std::fflush(out);
    }
    std::fclose(out);
  }
  gmp_randclear(rng);
  return 0;
}
