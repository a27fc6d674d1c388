// The work of a run below the command line: the cores shared out, what a
// results file settles, repeats waiting for the first run, and the exponents' locks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/test_support.h"
#include "work/lifecycle.h"
#include "work/plan.h"
#include "work/queue.h"

#include <gmp.h>

#include <algorithm>

namespace {

// Jobs and threads on 8 cores (and on 1), as given or by default, capped per core.
TEST(Plan, CoresSharedOut) {
  // {jobs asked, threads asked, one exponent, jobs, threads}
  for (const auto& [ja, ta, one, jobs, threads] :
       {std::tuple{0, 0, true, 1, 8}, {0, 0, false, 8, 1}, {1, 0, false, 1, 8}, {2, 0, false, 2, 1},
        {0, 2, false, 4, 2}, {0, 1, true, 8, 1}, {2, 2, false, 2, 2}, {0, 3, false, 2, 3}}) {
    const core_share c = share_cores(8, ja, ta, one);
    EXPECT_TRUE(c.jobs == jobs && c.threads == threads && c.warnings.empty()) << ja << " " << ta << ": " << c.jobs << " " << c.threads;
  }
  core_share c = share_cores(8, 100, 100, false);
  EXPECT_TRUE(c.jobs == 32 && c.threads == 16 && c.warnings.size() == 2u);
  c = share_cores(1, 0, 5, false);
  ASSERT_TRUE(c.jobs == 1 && c.threads == 2 && c.warnings.size() == 1);
  EXPECT_EQ(c.warnings[0], "--threads 5 lowered to 2 (2 per core, 1 core usable)");
}

// P-1's place in the plan: with fixed bounds after the factoring and before
// the test, never for trial factoring alone or an interim residue; alone
// (--test=pm1) it reaches every factor, and where the fast engine does not
// take p it is skipped before a test and refused alone.
TEST(Plan, PminusOneBeforeTheTest) {
  work_settings s;
  s.pm1 = true;
  s.pm1_b1 = 1000;
  s.pm1_b2 = 50000;
  s.tf_bits = 20;
  exponent_plan plan = plan_exponent(100003, s);
  EXPECT_TRUE(plan.pm1 && !plan.pm1_only && plan.pm1_on != nullptr && plan.factor_depth == 20);
  EXPECT_TRUE(plan.pm1_b1 == 1000 && plan.pm1_b2 == 50000 && plan.pm1_b2_start == 0);
  s.pm1_b2 = 0;  // stage 1 only
  EXPECT_EQ(plan_exponent(100003, s).pm1_b2, 1000u);
  for (auto change : {+[](work_settings& t) { t.factor_only = true; }, +[](work_settings& t) { t.iterations = 1000; },
                      +[](work_settings& t) { t.pm1 = false; }}) {
    work_settings t = s;
    change(t);
    EXPECT_FALSE(plan_exponent(100003, t).pm1);
  }
  EXPECT_FALSE(plan_exponent(100001, s).pm1);  // composite: settled before anything runs
  // The fast engine serves every exponent, the largest too.
  EXPECT_TRUE(plan_exponent(2147483647, s).pm1);
  s.pm1 = false;
  s.pm1_only = true;
  s.tf_bits = -1;
  plan = plan_exponent(100003, s);
  EXPECT_TRUE(plan.pm1 && plan.pm1_only && plan.factor_depth == 0);  // alone: no factoring unless asked
}

// The k of a factor q = 2kp + 1 and the bounds that reach it: B2 its
// largest prime, B1 the largest of its other prime powers.
void bounds_reaching(const char* q, int32_t p, uint64_t* b1, uint64_t* b2) {
  mpz_t k;
  mpz_init_set_str(k, q, 10);
  mpz_sub_ui(k, k, 1);
  mpz_divexact_ui(k, k, 2 * static_cast<unsigned long>(p));
  uint64_t n = mpz_get_ui(k);
  mpz_clear(k);
  std::vector<uint64_t> powers;  // ascending by prime
  for (uint64_t d = 2; n > 1; ++d) {
    if (d * d > n) d = n;
    uint64_t power = 1;
    while (n % d == 0) n /= d, power *= d;
    if (power > 1) powers.push_back(power);
  }
  *b2 = powers.back();
  powers.pop_back();
  *b1 = std::max<uint64_t>(2, *std::max_element(powers.begin(), powers.end()));
}

// M67 = 193707721 x 761838257287: P-1 alone with bounds that reach the
// smaller factor's k in stage 2 finds it; P-1 before a test settles M67
// by it; an error in P-1 before a test leaves the test to run.
TEST(Plan, PminusOneFindsTheFactorOfM67) {
  uint64_t b1 = 0, b2 = 0;
  bounds_reaching("193707721", 67, &b1, &b2);
  ASSERT_TRUE(b1 == 27 && b2 == 2677) << b1 << " " << b2;  // k = 2^2 3^3 5 2677
  work_settings s;
  s.pm1_only = true;
  s.pm1_b1 = b1;
  s.pm1_b2 = b2;
  s.checkpoints = false;
  std::vector<std::string> warnings;
  engine_options eo;
  eo.warn = [&](const std::string& w) { warnings.push_back(w); };
  exponent_result r = test_exponent(67, s, eo);
  if (r.outcome.error.find("not built yet") != std::string::npos) {
    // Before a test, P-1's failure is told and the test still runs.
    s.pm1_only = false;
    s.pm1 = true;
    r = test_exponent(67, s, eo);
    EXPECT_TRUE(r.kind == result_kind::tested && has_verdict(r) && !r.outcome.prime && warnings.size() == 1u);
    GTEST_SKIP() << "P-1 is not built yet";
  }
  ASSERT_EQ(r.kind, result_kind::pm1_factor) << r.outcome.error;
  EXPECT_TRUE(r.engine == "pm1" && r.pm1.ran && r.pm1.b1 == b1 && r.pm1.b2 == b2 && has_verdict(r));
  EXPECT_EQ(r.pm1.factors.front(), "193707721");
  s.pm1_only = false;
  s.pm1 = true;
  r = test_exponent(67, s, eo);
  EXPECT_TRUE(r.kind == result_kind::pm1_factor && r.pm1.factors == std::vector<std::string>{"193707721"});
  // Stage 1 alone does not reach 2677: nothing found, the test runs after it.
  s.pm1_b2 = 0;
  r = test_exponent(67, s, eo);
  EXPECT_TRUE(r.kind == result_kind::tested && r.pm1.ran && r.pm1.b2 == b1 && r.pm1.factors.empty() && has_verdict(r));
  EXPECT_TRUE(warnings.empty()) << warnings.front();
}

// What a results file holds settles a run only where it answers what is asked.
TEST(Queue, WhatTheResultsFileSettles) {
  std::vector<exponent_result> saved(4);
  saved[0].p = 7, saved[0].outcome.verdict = true, saved[0].outcome.prime = true;  // Lucas-Lehmer
  saved[1].p = 11, saved[1].outcome.error = "not enough memory";
  saved[2].p = 4423, saved[2].outcome.partial = 1000, saved[2].tf_bits = 12;
  saved[3].p = 23, saved[3].kind = result_kind::factored, saved[3].tf_factor = "47", saved[3].tf_bits = 20;
  work_settings s;
  auto index = index_results(saved, s);
  EXPECT_TRUE(index[7].settled == &saved[0] && index[11].settled == nullptr && index[23].settled == &saved[3]);
  EXPECT_TRUE(index[4423].settled == nullptr && index[4423].factored_to == 12);
  EXPECT_EQ(index[23].factored_to, 0);  // a line with a factor says nothing of the depth below it
  s.iterations = 1000;
  EXPECT_EQ(index_results(saved, s)[4423].settled, &saved[2]);
  s.iterations = 0, s.prp = true;
  EXPECT_EQ(index_results(saved, s)[7].settled, nullptr);
}

// A first run that was stopped, or that ended without its result (out of
// memory on its way), leaves the repeats waiting for it nothing to report.
TEST(Queue, RepeatsOfAStoppedFirstRunAreStopped) {
  first_runs runs;
  std::atomic<bool> stop{false};
  exponent_result r, again;
  ASSERT_EQ(runs.take(89, stop, &r), first_runs::claim::first);
  r.p = 89, r.outcome.interrupted = true;
  runs.finish(89, r);
  EXPECT_EQ(runs.take(89, stop, &again), first_runs::claim::stopped);
  ASSERT_EQ(runs.take(127, stop, &r), first_runs::claim::first);
  first_runs::claim seen = first_runs::claim::first;
  std::thread repeat;
  {
    first_runs::first_claim claim(&runs, 127);
    repeat = std::thread([&] { seen = runs.take(127, stop, &again); });
  }
  repeat.join();
  EXPECT_EQ(seen, first_runs::claim::stopped);
}

// A lock this process holds is not taken twice (nor reported busy), and is
// free again once its last holder lets go; a finished test's states go with it.
TEST(Lifecycle, LocksAndTheEndOfATest) {
  const testing_support::temp_dir dir;
  std::string why;
  const std::unique_ptr<state_dir> states = state_dir::open(dir.path, &why);
  ASSERT_NE(states, nullptr) << why;
  exponent_locks locks(*states);
  bool busy = true;
  std::shared_ptr<exponent_lock> held = locks.take(4423, &busy, &why);
  ASSERT_NE(held, nullptr) << why;
  why.clear();
  EXPECT_TRUE(locks.take(4423, &busy, &why) == nullptr && !busy && why.empty()) << why;
  run_state s;
  s.p = 4423, s.test = test_kind::ll, s.iteration = 10;
  s.residue.assign((4423 + 7) / 8, 1);
  ASSERT_TRUE(states->save(s, &why) && states->holds(4423)) << why;
  EXPECT_TRUE(close_exponent(4423, test_kind::ll, true, false, "", nullptr, states.get(), held.get(), &why));
  EXPECT_TRUE(states->holds(4423));  // no verdict: the states stay
  EXPECT_TRUE(close_exponent(4423, test_kind::ll, true, true, "", nullptr, states.get(), held.get(), &why));
  EXPECT_FALSE(states->holds(4423));
  held.reset();
  EXPECT_NE(locks.take(4423, &busy, &why), nullptr) << why;
}

}  // namespace
