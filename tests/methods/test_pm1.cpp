// P-1 against factors whose k = (q - 1) / 2p is known: stage 1 finds q when
// k is B1-smooth, stage 2 when k's largest prime is in (B1, B2], neither
// otherwise; the fast and exact engines agree; a damaged stage 1 is caught;
// a stage 2 stopped and resumed covers the same range.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "arith/engine_table.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "methods/pm1.h"
#include "support/pm1_twin.h"
#include "support/test_support.h"

namespace {

// 2^1217 - 1 = 1045741327 * ..., with k = 3 * 7 * 41 * 499.
constexpr int32_t kP = 1217;
const std::string kQ = "1045741327";

bool has(const pm1_outcome& r, const std::string& f) {
  return std::find(r.factors.begin(), r.factors.end(), f) != r.factors.end();
}

pm1_outcome run(const char* engine, uint64_t b1, uint64_t b2, const engine_options& opt = {}, bool all = true) {
  pm1_request req;
  req.b1 = b1;
  req.b2 = b2;
  req.all_factors = all;
  return run_pm1(*find_engine(engine), kP, req, opt);
}

TEST(Pm1, EachStageFindsWhatItsBoundsReachAndTheEnginesAgree) {
  for (const char* e : {"fast", "exact"}) {
    SCOPED_TRACE(e);
    const pm1_outcome one = run(e, 500, 0);
    ASSERT_TRUE(one.done) << one.out.error << one.out.note;
    EXPECT_TRUE(has(one, kQ));
    EXPECT_EQ(one.b2, 500u);
    const pm1_outcome two = run(e, 100, 1000);
    ASSERT_TRUE(two.done) << two.out.error << two.out.note;
    EXPECT_TRUE(has(two, kQ));
    EXPECT_EQ(two.b2, 1000u);
    const pm1_outcome short_of = run(e, 100, 400);
    ASSERT_TRUE(short_of.done);
    EXPECT_FALSE(has(short_of, kQ));
    if (std::string(e) == "exact") continue;
    EXPECT_EQ(two.factors, run("exact", 100, 1000).factors);
  }
}

// Stage 1's last iteration: the bits of 2 p E less one.
int64_t stage1_iterations(uint64_t b1) {
  mpz_value n;
  mpz_set_ui(n, 2 * kP);
  for (uint64_t q = 2; q <= b1; ++q) {
    bool prime = true;
    for (uint64_t f = 2; f * f <= q; ++f) prime = prime && q % f != 0;
    if (!prime) continue;
    uint64_t power = q;
    while (power <= b1 / q) power *= q;
    mpz_mul_ui(n, n, static_cast<unsigned long>(power));
  }
  return static_cast<int64_t>(mpz_sizeinbase(n, 2)) - 1;
}

// A flipped bit after any iteration of stage 1, the first block's and the
// last one's included, is caught by the check and recomputed.
TEST(Pm1, AFaultAnywhereInStageOneIsCaughtAndRecomputed) {
  const int64_t last = stage1_iterations(100);
  const std::vector<std::string> want = run("fast", 100, 0).factors;
  for (int64_t i = 1; i <= last; ++i) {
    engine_options opt;
    opt.inject_faults = {i};
    const pm1_outcome r = run("fast", 100, 0, opt);
    ASSERT_TRUE(r.done) << i << ": " << r.out.error << r.out.note;
    ASSERT_EQ(r.out.gerbicz_errors, 1u) << i;
    ASSERT_EQ(r.factors, want) << i;
  }
}

// Stage 1 stopped after every iteration for a while, some of them damaged
// before their state was saved, then run on with faults at random: a
// damaged state is caught by the check after it was resumed, and the run
// ends at the undisturbed run's factors, resumed.
TEST(Pm1, AStageOneStoppedAndDamagedAtRandomResumesToTheSameResult) {
  testing_support::temp_dir dir;
  std::string why;
  const auto states = state_dir::open(dir.path, &why);
  ASSERT_TRUE(states) << why;
  std::mt19937_64 rng(testing_support::test_seed());
  const int64_t last = stage1_iterations(500);
  std::atomic<bool> stop{true};
  engine_options opt;
  opt.states = states.get();
  opt.stop = &stop;
  pm1_outcome r;
  uint32_t caught = 0;
  for (int k = 0; k < 60; ++k) {
    // Each run does one iteration; every third is damaged.
    opt.inject_faults.clear();
    if (k % 3 == 1) opt.inject_faults = {r.out.saved_at + 1};
    r = run("fast", 500, 0, opt);
    ASSERT_TRUE(r.out.interrupted && r.out.saved_at >= 1) << k << ": " << r.out.error << r.out.note;
    caught += r.out.gerbicz_errors > caught ? 1 : 0;
  }
  stop = false;
  opt.inject_faults = {1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(last)),
                       1 + static_cast<int64_t>(rng() % static_cast<uint64_t>(last))};
  r = run("fast", 500, 0, opt);
  ASSERT_TRUE(r.done) << r.out.error << r.out.note;
  EXPECT_GT(r.out.resumed_from, 0);
  EXPECT_GE(caught, 1u);
  EXPECT_GE(r.out.gerbicz_errors, caught);
  EXPECT_TRUE(has(r, kQ));
  EXPECT_EQ(r.factors, run("fast", 500, 0).factors);
}

TEST(Pm1, AStoppedStageTwoResumesAndCoversTheWholeRange) {
  testing_support::temp_dir dir;
  std::string why;
  const auto states = state_dir::open(dir.path, &why);
  ASSERT_TRUE(states) << why;
  std::mt19937_64 rng(testing_support::test_seed());
  std::atomic<bool> stop{false};
  engine_options opt;
  opt.states = states.get();
  opt.stop = &stop;
  int64_t stop_at = 0;
  opt.progress = [&](int64_t done, int64_t total) {
    if (total > 0 && done == stop_at) stop = true;
  };
  pm1_outcome r;
  int runs = 0;
  for (; runs < 20; ++runs) {
    stop = false;
    stop_at = 1 + static_cast<int64_t>(rng() % 3);
    r = run("fast", 100, 3000, opt);
    if (!r.out.interrupted) break;
  }
  ASSERT_TRUE(r.done) << r.out.error << r.out.note;
  EXPECT_GE(runs, 1);
  EXPECT_GT(r.out.resumed_from, 0);
  EXPECT_TRUE(has(r, kQ));
  EXPECT_EQ(r.factors, run("fast", 100, 3000).factors);
}

TEST(Pm1, AFactorFoundBeforeATestEndsTheRunAndSurvivesARestart) {
  testing_support::temp_dir dir;
  std::string why;
  const auto states = state_dir::open(dir.path, &why);
  engine_options opt;
  opt.states = states.get();
  const pm1_outcome first = run("fast", 500, 5000, opt, false);
  ASSERT_TRUE(first.done);
  EXPECT_TRUE(has(first, kQ));
  EXPECT_EQ(first.b2, 500u);  // stage 2 not needed
  // Killed before its result was written: the next run reports it from the state.
  const pm1_outcome again = run("fast", 500, 5000, opt, false);
  EXPECT_GT(again.out.resumed_from, 0);
  EXPECT_EQ(again.factors, first.factors);
}

// Every factor that GMP-ECM's P-1 finds and the plain answer puts in a stage
// of ours, ours finds with the same bounds; above 2^64 too.
TEST(Pm1, FindsWhatGmpEcmsPm1FindsOnRandomExponents) {
  std::mt19937_64 rng(testing_support::test_seed());
  const uint64_t b1 = 1000, b2 = 50000;
  std::vector<testing_support::smooth_factor> found = testing_support::smooth_factors(rng, 300, 3000, b1, b2, 8);
  const int32_t large = testing_support::exponents_with_large_smooth_factors().at(0);
  const auto big = testing_support::smooth_factors_of(large, 100000, 10000000, 65);
  ASSERT_FALSE(big.empty());
  found.push_back(big[0]);
  int held = 0;
  for (const auto& f : found) {
    const bool is_big = &f == &found.back();
    mpz_value q;
    mpz_set_str(q, f.q.c_str(), 10);
    const uint64_t c1 = is_big ? 100000 : b1, c2 = is_big ? 10000000 : b2;
    if (testing_support::pm1_stage_finding(f.p, q, c1, c2) == 0) continue;
    pm1_request req;
    req.b1 = c1;
    req.b2 = c2;
    req.all_factors = true;
    const pm1_outcome r = run_pm1(*find_engine("fast"), f.p, req, {});
    ASSERT_TRUE(r.done) << r.out.error << r.out.note;
    EXPECT_TRUE(has(r, f.q)) << "p = " << f.p << ", q = " << f.q;
    ++held;
  }
  EXPECT_GE(held, 5);
}

// The seam's two additions against GMP, on the fast engine's paths (the
// one-transform squarer at small p, the two-pass kernels above), aliasing included.
TEST(Pm1, SquaringsTimesThreeAndDifferencesInTheEnginesFormAreExact) {
  std::mt19937_64 rng(testing_support::test_seed());
  for (int32_t p : {1217, 110503}) {
    SCOPED_TRACE(p);
    const engine& e = *find_engine("fast");
    int64_t n = e.start_length(p, 0);
    mpz_value a, b, m, want, got, tmp;
    mpz_set_ui(m, 0);
    mpz_setbit(m, static_cast<mp_bitcnt_t>(p));
    mpz_sub_ui(m, m, 1);
    testing_support::random_residue(a, p, rng);
    testing_support::random_residue(b, p, rng);
    mpz_mod(a, a, m);
    mpz_mod(b, b, m);
    auto x = make_stepper(e, p, n, {}), y = make_stepper(e, p, n, {}), z = make_stepper(e, p, n, {});
    x->load(a);
    y->load(b);
    z->set_difference(*x, *y, p);
    z->store(got);
    mpz_sub(want, a, b);
    mpz_mod(want, want, m);
    EXPECT_EQ(mpz_cmp(got, want), 0);
    // A difference multiplies as any residue does; then one in place.
    ASSERT_LT(z->multiply_by(*x, 0.4), 0.4);
    z->store(got);
    mpz_mul(want, want, a);
    mpz_mod(want, want, m);
    EXPECT_EQ(mpz_cmp(got, want), 0);
    x->set_difference(*x, *y, p);
    x->store(got);
    mpz_sub(tmp, a, b);
    mpz_mod(tmp, tmp, m);
    EXPECT_EQ(mpz_cmp(got, tmp), 0);
    ASSERT_LT(y->square_times(3, 0.4), 0.4);
    y->store(got);
    mpz_mul(want, b, b);
    mpz_mul_ui(want, want, 3);
    mpz_mod(want, want, m);
    EXPECT_EQ(mpz_cmp(got, want), 0);
  }
}

}  // namespace
