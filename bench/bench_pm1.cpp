// What P-1 costs, measured: on one thread of the fast engine (thread CPU
// time, the clock from dependent adds in the same run), at p (default
// 10000019) with B1, B2 (default 20000, 600000):
//   square    ms and cycles per plain squaring at p
//   stage 1   the whole stage 1 (its Gerbicz check included) in squarings
//             per 1.4427 B1 (the bits of the exponent; at most 1.05 wanted)
//   stage 2   the whole stage 2 in squarings per prime of (B1, B2]
// then, from those rates and a squaring's time at big (default 100000007),
// the estimate for a first test there after trial factoring to the
// automatic depth: the bounds the odds choose, P-1's time and its share of
// the test's (p squarings). Run it on an otherwise idle machine.
//
// bench_pm1 [p] [B1] [B2] [big]
#include <gmp.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <primesieve.hpp>

#include "base/clock_rate.h"
#include "arith/engine_table.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "methods/factor/factor.h"
#include "methods/pm1.h"
#include "methods/pm1_bounds.h"
#include "support_dir.h"

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Seconds per plain squaring of the fast engine at p on one thread, over count squarings.
double square_seconds(int32_t p, int count) {
  const engine& fast = *find_engine("fast");
  engine_options opt;
  opt.threads = 1;
  auto st = fast.make(p, fast.start_length(p, 0), opt);
  mpz_value x;
  mpz_set_ui(x, 3);
  st->load(x);
  for (int i = 0; i < 3; ++i) st->square(0, 0, 0.4);  // warm
  const double t0 = cpu_now();
  for (int i = 0; i < count; ++i) st->square(0, 0, 0.4);
  return (cpu_now() - t0) / count;
}

// Seconds per multiply_by of two steppers at p on one thread, over count products.
double product_seconds(int32_t p, int count) {
  const engine& fast = *find_engine("fast");
  engine_options opt;
  opt.threads = 1;
  const int64_t n = fast.start_length(p, 0);
  auto a = fast.make(p, n, opt), b = fast.make(p, n, opt);
  mpz_value x;
  mpz_set_ui(x, 3);
  a->load(x);
  b->load(x);
  a->multiply_by(*b, 0.4);
  const double t0 = cpu_now();
  for (int i = 0; i < count; ++i) a->multiply_by(*b, 0.4);
  return (cpu_now() - t0) / count;
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t p = argc > 1 ? std::atoi(argv[1]) : 10000019;
  const uint64_t b1 = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  const uint64_t b2 = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 600000;
  const int32_t big = argc > 4 ? std::atoi(argv[4]) : 100000007;
  const engine& fast = *find_engine("fast");
  if (p < 3 || !fast.applicable(p) || !fast.applicable(big) || b1 < 2 || b2 <= b1) {
    std::fprintf(stderr, "usage: bench_pm1 [p] [B1] [B2 > B1] [big]\n");
    return 1;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each line as it is measured
  const double ghz = measured_ghz();
  const double sq = square_seconds(p, 200);
  std::printf("clock %.3f GHz (dependent adds)\n", ghz);
  std::printf("square   p = %d, length %lld: %.3f ms, %.2f Mcycles; a product %.2f squarings\n", p,
              static_cast<long long>(fast.start_length(p, 0)), 1e3 * sq, 1e-6 * sq * ghz * 1e9,
              product_seconds(p, 100) / sq);

  bench_dir dir;
  std::string why;
  const auto states = state_dir::open(dir.path, &why);
  if (!states) {
    std::fprintf(stderr, "no state folder: %s\n", why.c_str());
    return 1;
  }
  engine_options opt;
  opt.threads = 1;
  opt.states = states.get();
  opt.checkpoint_every = 1e9;
  pm1_request req;
  req.b1 = b1;
  req.all_factors = true;
  double t0 = cpu_now();
  const pm1_outcome one = run_pm1(fast, p, req, opt);
  const double s1 = cpu_now() - t0;
  if (!one.done) {
    std::fprintf(stderr, "stage 1 failed: %s%s\n", one.out.error.c_str(), one.out.note.c_str());
    return 1;
  }
  // A squaring's time before and after each stage, averaged: other work on the machine moves it a little.
  const double sq_after1 = square_seconds(p, 200);
  const double bits = 1.4427 * static_cast<double>(b1);
  const double stage1 = s1 / ((sq + sq_after1) / 2) / bits;
  std::printf("stage 1  B1 = %llu: %.1f s, %.4f squarings per 1.4427 B1 (checks failed: %u)\n",
              static_cast<unsigned long long>(b1), s1, stage1, one.out.gerbicz_errors);
  // Stage 2 goes on from stage 1's saved result.
  req.b2 = b2;
  t0 = cpu_now();
  const pm1_outcome two = run_pm1(fast, p, req, opt);
  const double s2 = cpu_now() - t0;
  if (!two.done) {
    std::fprintf(stderr, "stage 2 failed: %s%s\n", two.out.error.c_str(), two.out.note.c_str());
    return 1;
  }
  const double primes = static_cast<double>(primesieve::count_primes(b1 + 1, b2));
  const double per_prime = s2 / ((sq_after1 + square_seconds(p, 200)) / 2) / primes;
  std::printf("stage 2  B2 = %llu: %.1f s, %.0f primes, %.4f squarings per prime; factors:",
              static_cast<unsigned long long>(b2), s2, primes, per_prime);
  for (const std::string& f : two.factors) std::printf(" %s", f.c_str());
  std::printf("%s\n", two.factors.empty() ? " none" : "");

  // The estimate at big from these rates.
  const double sq_big = square_seconds(big, 10);
  const int depth = factor_auto_depth(big, estimated_test_seconds(big));
  pm1_costs c;
  c.stage1 = stage1;
  c.per_prime = per_prime;
  c.product = 1;
  const pm1_choice ch = choose_pm1_bounds(big, depth, 2.0, c);
  const double s1_big = stage1 * 1.4427 * static_cast<double>(ch.b1) * sq_big;
  const double s2_big =
      per_prime * static_cast<double>(primesieve::count_primes(ch.b1 + 1, ch.b2)) * sq_big;
  const double test = static_cast<double>(big) * sq_big;
  std::printf("estimate p = %d: square %.2f ms (%.1f Mcycles); TF to %d, B1 = %llu, B2 = %llu, chance %.3f%%;\n"
              "         stage 1 %.2f h, stage 2 %.2f h, test %.1f h: P-1 is %.2f%% of the test\n",
              big, 1e3 * sq_big, 1e-6 * sq_big * ghz * 1e9, depth, static_cast<unsigned long long>(ch.b1),
              static_cast<unsigned long long>(ch.b2), 100 * ch.chance, s1_big / 3600, s2_big / 3600, test / 3600,
              100 * (s1_big + s2_big) / test);
  return 0;
}
