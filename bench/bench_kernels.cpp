// The fast engine's iteration against FFTW's bare real transform pair of
// the same length (measured plans, one thread: the baseline, in ms). Then,
// as ratios to it, one thread each: the two-pass iteration with every
// kernel table this processor runs (our own AVX-512, AVX2 and portable
// kernels, and FFTW as their twin) and the one-transform squarer; and the
// fastest table on two threads. Wall-clock time, best of five blocks.
//
//   bench_kernels [LENGTH ...]   (default 4K 16K 64K 256K 1M 2M 4M; K and M suffixes)
//   MERSENNE_KERNELS=NAME bench_kernels ...   (that table only)
//   bench_kernels --rounding [LENGTH [COUNT]]   (per table length: the largest rounding
//                               distance of each table over COUNT (40) squarings at the length's
//                               largest exponent, and the one-transform squarer's)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/machine.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "arith/residue.h"
#include "length_arg.h"

namespace {

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Iterations for a block of about a tenth of a second at length n.
int reps_for(int64_t n) { return static_cast<int>(std::max<int64_t>(3, (int64_t{1} << 25) / (n * 20))); }

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

// The largest rounding distance of `count` squarings of a random residue at p.
double worst_rounding(stepper& s, int32_t p, uint64_t seed, int count) {
  mpz_value v;
  gmp_randstate_t state;
  gmp_randinit_default(state);
  gmp_randseed_ui(state, seed);
  mpz_urandomb(v, state, static_cast<mp_bitcnt_t>(p - 1));
  gmp_randclear(state);
  s.load(v);
  double worst = 0;
  for (int i = 0; i < count; ++i) worst = std::max(worst, s.square(2, 0, 1e9));
  return worst;
}

int rounding_table(const std::vector<const fast_kernels::table*>& tables, int64_t only, int count) {
  std::printf("%9s %9s", "length", "p");
  for (const fast_kernels::table* t : tables) std::printf(" %9s", t->name);
  std::printf(" %9s\n", "1xform");
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    const int32_t p = static_cast<int32_t>(fast_max_exponent(n));
    if (!two_pass_serves(p, n) || (only != 0 && n != only)) continue;
    std::printf("%9lld %9d", static_cast<long long>(n), p);
    for (const fast_kernels::table* t : tables) {
      two_pass_squarer sq(p, n, 1, t);
      std::printf(" %9.4f", worst_rounding(sq, p, static_cast<uint64_t>(n), count));
      std::fflush(stdout);
    }
    fast_squarer slow(p, n);
    std::printf(" %9.4f\n", worst_rounding(slow, p, static_cast<uint64_t>(n), count));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--rounding") {
    fast_set_measured_plans(false);
    std::vector<const fast_kernels::table*> tables = usable_kernels();
    tables.push_back(&fftw_kernels());
    if (const char* only = std::getenv("MERSENNE_KERNELS"); only != nullptr && kernels_named(only) != nullptr)
      tables = {kernels_named(only)};
    return rounding_table(tables, argc > 2 ? parse_length(argv[2]) : 0, argc > 3 ? std::atoi(argv[3]) : 40);
  }
  std::vector<int64_t> lengths;
  for (int i = 1; i < argc; ++i) lengths.push_back(parse_length(argv[i]));
  if (lengths.empty()) lengths = {1 << 12, 1 << 14, 1 << 16, 1 << 18, 1 << 20, 1 << 21, 1 << 22};
  std::vector<const fast_kernels::table*> tables = usable_kernels();
  tables.push_back(&fftw_kernels());
  if (const char* only = std::getenv("MERSENNE_KERNELS"); only != nullptr && kernels_named(only) != nullptr)
    tables = {kernels_named(only)};
  std::printf("usable cores %d; ratios to the pair, one thread unless marked\n%9s %10s", usable_cores(), "length",
              "pair ms");
  for (const fast_kernels::table* t : tables) std::printf(" %9s", t->name);
  std::printf(" %9s %9s\n", "1xform", "best/2t");
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
    std::printf("%9lld %10.4f", static_cast<long long>(n), pair);
    for (const fast_kernels::table* t : tables) {
      two_pass_squarer sq(p, n, 1, t);
      sq.load(s);
      std::printf(" %9.3f", ms_per_iteration(sq, reps) / pair);
      std::fflush(stdout);
    }
    fast_squarer slow(p, n);
    slow.load(s);
    std::printf(" %9.3f", ms_per_iteration(slow, reps) / pair);
    two_pass_squarer two(p, n, 2, tables.front());
    two.load(s);
    std::printf(" %9.3f\n", ms_per_iteration(two, reps) / pair);
    std::fflush(stdout);
  }
}
