// What keeping a long run safe costs: one Jacobi check, one saved state
// (encode, write, fsync, rename) and the residue's way out of the fast
// engine, against the time of one iteration (the baseline); then the share
// of a run they take with a save every 10 s and every 600 s (the default),
// checks being spaced to about 1% by the loop.
//
// bench_checkpoints [state-dir]   (default: a temporary folder under /tmp)
#include <gmp.h>
#include <time.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "methods/checks.h"
#include "arith/engine_table.h"
#include "methods/run.h"
#include "arith/fast/lengths.h"
#include "arith/fast/squarer.h"
#include "arith/residue.h"
#include "formats/state.h"

namespace {

double now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);  // one thread: busy machines add no time
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Seconds per call of f, the best of blocks blocks of reps calls.
double best(int blocks, int reps, const std::function<void()>& f) {
  double b = 1e30;
  for (int i = 0; i < blocks; ++i) {
    const double t0 = now();
    for (int r = 0; r < reps; ++r) f();
    const double s = (now() - t0) / reps;
    if (s < b) b = s;
  }
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = argc > 1 ? argv[1] : "";
  if (dir.empty()) {
    char t[] = "/tmp/mersenne-bench-XXXXXX";
    dir = mkdtemp(t);
  }
  std::string why;
  const auto states = state_dir::open(dir, &why);
  if (states == nullptr) {
    std::fprintf(stderr, "bench_checkpoints: %s\n", why.c_str());
    return 1;
  }
  gmp_randstate_t rng;
  gmp_randinit_default(rng);
  gmp_randseed_ui(rng, 20261207);
  std::printf("Baseline: one fast iteration (one thread). Costs as multiples of it; shares of a whole run.\n");
  std::printf("%8s %7s %12s %14s %14s %14s %12s %12s\n", "p", "N", "iteration", "check", "save", "store",
              "share@10s", "share@600s");
  for (int32_t p : {216091, 859433}) {
    const int64_t n = fast_length_for(p);
    fast_squarer sq(p, n);
    mpz_value u, g, tmp;
    mpz_urandomb(u, rng, static_cast<mp_bitcnt_t>(p));
    mersenne_reduce(u, p, tmp);
    sq.load(u);
    const double iteration = best(5, p < 500000 ? 200 : 40, [&] { sq.square(2, 0, 1e9); });
    const double store = best(5, 3, [&] { sq.store(u); });
    const double check = best(3, 1, [&] { jacobi_check(u, 0, p, g); });
    run_state s;
    s.p = p;
    s.iteration = 1000;
    s.residue.resize((static_cast<size_t>(p) + 7) / 8);
    mpz_export(s.residue.data(), nullptr, -1, 1, 0, 0, u);
    const double save = best(3, 1, [&] { states->save(s, &why); });
    states->forget(p);
    // Checks take about 1% by their spacing; each save adds its own cost and a store.
    const double share10 = 0.01 + (save + store) / 10.0, share600 = 0.01 + (save + store) / 600.0;
    std::printf("%8d %7lld %9.3f ms %13.1fx %13.1fx %13.1fx %11.2f%% %11.2f%%\n", p, static_cast<long long>(n),
                iteration * 1e3, check / iteration, save / iteration, store / iteration, 100 * share10,
                100 * share600);
    std::printf("%8s %7s %12s %11.2f ms %11.2f ms %11.2f ms\n", "", "", "", check * 1e3, save * 1e3, store * 1e3);
    // The whole loop (checks, a save every 10 s, progress) against bare iterations, same count.
    engine_options opt;
    opt.shift = 0;
    opt.iterations = p < 500000 ? 30000 : 8000;
    opt.states = states.get();
    opt.checkpoint_every = 10;
    const engine& fast = *find_engine("fast");
    double loop = 1e30, bare = 1e30;
    for (int r = 0; r < 3; ++r) {
      states->forget(p);
      double t0 = now();
      const ll_outcome o = run_lucas_lehmer(fast, p, opt);
      loop = std::min(loop, now() - t0);
      if (o.partial != opt.iterations) std::fprintf(stderr, "run of M%d did not complete: %s\n", p, o.error.c_str());
      sq.load(u);
      t0 = now();
      for (int64_t i = 0; i < opt.iterations; ++i) sq.square(2, 0, 1e9);
      bare = std::min(bare, now() - t0);
    }
    states->forget(p);
    std::printf("%8s %7s whole loop over %lld iterations: %.3fx the bare iterations\n", "", "",
                static_cast<long long>(opt.iterations), loop / bare);
  }
  gmp_randclear(rng);
  if (argc <= 1) std::filesystem::remove_all(dir);
  return 0;
}
