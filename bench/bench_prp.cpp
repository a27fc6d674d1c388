// What the probable-prime test costs against plain squarings, and what
// verifying its proof costs against the test: at p (default 859433) on one
// thread of the fast engine, thread CPU time.
//   plain      ms per squaring of the bare stepper (a sample of 100000)
//   product    ms per Gerbicz product (the check product times the residue),
//              and the check's cost counted from it
//   test       the whole test with a proof of the given power (default 8):
//              its loop (squarings, Gerbicz products and checks, proof
//              residues kept) against as many plain squarings, then making
//              the proof
//   verify     checking that proof, against the whole test
//
// bench_prp [p] [power]
#include <gmp.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "arith/engine_table.h"
#include "methods/proof.h"
#include "methods/prp.h"
#include "arith/residue.h"
#include "support_dir.h"

namespace {

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wall_now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  const int32_t p = argc > 1 ? std::atoi(argv[1]) : 859433;
  const int power = argc > 2 ? std::atoi(argv[2]) : 8;
  const engine& fast = *find_engine("fast");
  if (p < 3 || !fast.applicable(p) || power < 1 || power > kMaxProofPower) {
    std::fprintf(stderr, "usage: bench_prp [p] [power 1..%d]\n", kMaxProofPower);
    return 1;
  }
  bench_dir dir;
  engine_options opt;
  opt.threads = 1;
  opt.shift = 0;
  opt.proof_power = power;
  opt.proof_dir = dir.path;
  const int64_t n = fast.start_length(p, 0);

  // Plain squarings of the bare stepper.
  const int64_t sample = 100000;
  double plain;
  {
    auto st = fast.make(p, n, opt);
    mpz_value x;
    mpz_set_ui(x, 3);
    st->load(x);
    const double t0 = cpu_now();
    for (int64_t i = 0; i < sample; ++i) st->square(0, 0, 0.4);
    plain = (cpu_now() - t0) / static_cast<double>(sample);
  }

  // The Gerbicz product (the check product times the residue, once a block), in squarings' time.
  double product;
  {
    auto x = fast.make(p, n, opt), d = fast.make(p, n, opt);
    mpz_value v;
    mpz_set_ui(v, 3);
    x->load(v);
    d->load(v);
    const int64_t count = 2000;
    const double t0 = cpu_now();
    for (int64_t i = 0; i < count; ++i) d->multiply_by(*x, 0.4);
    product = (cpu_now() - t0) / static_cast<double>(count);
  }

  // The test: its loop ends with the last progress report, the proof follows.
  double loop_end = 0;
  int64_t iterations = 0;
  opt.progress = [&](int64_t done, int64_t total) {
    if (done == total) {
      loop_end = cpu_now();
      iterations = total;
    }
  };
  const double w0 = wall_now(), t0 = cpu_now();
  const ll_outcome o = run_probable_prime(fast, p, opt);
  const double t1 = cpu_now(), w1 = wall_now();
  if (!o.verdict || o.proof_file.empty()) {
    std::fprintf(stderr, "the test gave no verdict: %s%s\n", o.note.c_str(), o.error.c_str());
    return 1;
  }
  const double loop = loop_end - t0, proof = t1 - loop_end;

  const double v0 = cpu_now();
  const proof_verdict v = verify_proof_file(*find_engine("fast"), o.proof_file, engine_options{});
  const double verify = cpu_now() - v0;
  if (!v.valid) {
    std::fprintf(stderr, "the proof did not verify: %s\n", v.why.c_str());
    return 1;
  }

  std::printf("p = %d, fast engine length %lld, Gerbicz block %u, one thread, thread CPU time\n", p,
              static_cast<long long>(n), gerbicz_block(p));
  const double block = gerbicz_block(p);
  std::printf("plain squaring            %.4f ms\n", 1e3 * plain);
  std::printf("Gerbicz product           %.4f ms = %.2f squarings; counted cost of the check: one product a block\n"
              "                          and a block of squarings every block^2 iterations = %.2f%%\n",
              1e3 * product, product / plain, 100.0 * (product / plain + 1.0) / block);
  std::printf("test loop, %lld iterations %.1f s = %.2f%% above as many plain squarings (%.1f s)\n",
              static_cast<long long>(iterations), loop, 100.0 * (loop / (plain * static_cast<double>(iterations)) - 1),
              plain * static_cast<double>(iterations));
  std::printf("making the proof (power %d) %.1f s (%.2f%% of the loop)\n", power, proof, 100.0 * proof / loop);
  std::printf("whole test                %.1f s CPU, %.1f s wall; %s\n", t1 - t0, w1 - w0,
              o.prime ? "probable prime" : "composite");
  std::printf("verifying the proof       %.2f s, %lld squarings = 1/%.0f of the test\n", verify,
              static_cast<long long>(v.squarings), (t1 - t0) / verify);
  return 0;
}
