// The work of a run below the command line: the plan of one exponent and
// its result, the cores shared out, the queue with its shards, what a results
// file settles, repeats waiting for the first run, and the exponents' locks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "work/lifecycle.h"
#include "work/plan.h"
#include "work/queue.h"

namespace {

// Each plan as the settings ask, and what carrying it out gives: settled at
// once, factoring that finds a factor or proves a prime, an engine that
// cannot serve p, a test on the engine named.
TEST(Plan, SettingsGiveTheMethodEngineAndDepth) {
  work_settings s;
  s.engine = "exact", s.shift = 5;
  EXPECT_EQ(plan_exponent(2, s).settled, result_kind::small_prime);
  EXPECT_EQ(carry_out(plan_exponent(9, s), s).divisor, 3);
  exponent_result r = carry_out(plan_exponent(89, s), s);
  EXPECT_TRUE(r.kind == result_kind::tested && r.engine == "exact" && r.outcome.verdict && r.outcome.prime);
  EXPECT_EQ(r.outcome.shift, 5u);

  // A long test is factored first unless only an interim residue is asked for.
  s.engine = "auto";
  EXPECT_GE(plan_exponent(150000001, s).factor_depth, 60);
  s.iterations = 1000;
  EXPECT_EQ(plan_exponent(150000001, s).factor_depth, 0);
  s.iterations = 0, s.tf_bits = 0;
  EXPECT_EQ(plan_exponent(150000001, s).factor_depth, 0);

  // The fast engine has no length for p = 2^31 - 1: no test, no crash.
  s.engine = "fast";
  r = carry_out(plan_exponent(2147483647, s), s);
  EXPECT_TRUE(r.kind == result_kind::no_engine && r.engine == "fast" && !has_verdict(r));

  // Factoring only: 2^23 - 1 = 47 * 178481; 2^31 - 1 has no factor below its square root.
  s.factor_only = true, s.tf_bits = 20;
  r = carry_out(plan_exponent(23, s), s);
  EXPECT_TRUE(r.kind == result_kind::factored && r.tf_factor == "47") << r.tf_factor;
  EXPECT_EQ(carry_out(plan_exponent(31, s), s).kind, result_kind::proven_prime);
  s.factor_only = false, s.prp = true, s.engine = "exact", s.tf_bits = -1;
  r = test_exponent(89, s);
  EXPECT_TRUE(r.prp && r.outcome.verdict && r.outcome.prime && r.tf_bits == -1);
}

// Jobs and threads on 8 cores (and on 1), as given or by default, capped per core.
TEST(Plan, CoresSharedOut) {
  struct want {
    int jobs_asked, threads_asked;
    bool one_exponent;
    int jobs, threads;
  };
  for (const want& w : {want{0, 0, true, 1, 8}, want{0, 0, false, 8, 1}, want{1, 0, false, 1, 8},
                        want{2, 0, false, 2, 1}, want{0, 2, false, 4, 2}, want{0, 1, true, 8, 1},
                        want{2, 2, false, 2, 2}, want{0, 3, false, 2, 3}}) {
    const core_share c = share_cores(8, w.jobs_asked, w.threads_asked, w.one_exponent);
    EXPECT_TRUE(c.jobs == w.jobs && c.threads == w.threads && c.warnings.empty())
        << w.jobs_asked << " " << w.threads_asked << ": " << c.jobs << " " << c.threads;
  }
  core_share c = share_cores(8, 100, 100, false);
  EXPECT_TRUE(c.jobs == 32 && c.threads == 16 && c.warnings.size() == 2u);
  c = share_cores(1, 0, 5, false);
  ASSERT_TRUE(c.jobs == 1 && c.threads == 2 && c.warnings.size() == 1);
  EXPECT_EQ(c.warnings[0], "--threads 5 lowered to 2 (2 per core, 1 core usable)");
}

std::vector<int32_t> drain(exponent_queue& q) {
  std::vector<int32_t> got;
  int32_t p = 0;
  int64_t index = 0;
  while (q.next(&p, &index)) {
    EXPECT_EQ(index, static_cast<int64_t>(got.size()));
    got.push_back(p);
  }
  return got;
}

// Spans in the order given, repeats kept; every exponent in exactly one shard.
TEST(Queue, SpansAndShards) {
  const std::vector<exponent_span> spans{{3, 9}, {20, 20}, {5, 6}, {2147483646, 2147483647}};
  const std::vector<int32_t> all{3, 4, 5, 6, 7, 8, 9, 20, 5, 6, 2147483646, 2147483647};
  EXPECT_EQ(exponent_count(spans), 12);
  for (int n : {1, 2, 5, 13}) {
    std::vector<int32_t> merged(all.size(), 0);
    for (int i = 1; i <= n; ++i) {
      exponent_queue q(spans, i, n);
      const std::vector<int32_t> got = drain(q);
      for (size_t k = 0; k < got.size(); ++k) merged[static_cast<size_t>(i - 1) + k * static_cast<size_t>(n)] = got[k];
    }
    EXPECT_EQ(merged, all) << n << " shards";
  }
}

// What a results file holds settles a run only where it answers what is asked.
TEST(Queue, WhatTheResultsFileSettles) {
  std::vector<exponent_result> saved(5);
  saved[0].p = 7, saved[0].outcome.verdict = true, saved[0].outcome.prime = true;  // Lucas-Lehmer
  saved[1].p = 11, saved[1].outcome.error = "not enough memory";
  saved[2].p = 13, saved[2].kind = result_kind::no_factor, saved[2].factor_only = true, saved[2].tf_bits = 30;
  saved[3].p = 4423, saved[3].outcome.partial = 1000, saved[3].tf_bits = 12;
  saved[4].p = 23, saved[4].kind = result_kind::factored, saved[4].tf_factor = "47", saved[4].tf_bits = 20;
  work_settings ll;
  auto index = index_results(saved, ll);
  EXPECT_TRUE(index[7].settled == &saved[0] && index[11].settled == nullptr && index[23].settled == &saved[4]);
  EXPECT_TRUE(index[13].settled == nullptr && index[13].factored_to == 30);
  EXPECT_TRUE(index[4423].settled == nullptr && index[4423].factored_to == 12);
  EXPECT_EQ(index[23].factored_to, 0);  // a line with a factor says nothing of the depth below it
  work_settings other = ll;
  other.prp = true;
  EXPECT_EQ(index_results(saved, other)[7].settled, nullptr);
  other.prp = false, other.iterations = 1000;
  EXPECT_EQ(index_results(saved, other)[4423].settled, &saved[3]);
  other.iterations = 0, other.factor_only = true, other.tf_bits = 30;
  EXPECT_EQ(index_results(saved, other)[13].settled, &saved[2]);
  other.tf_bits = 31;
  EXPECT_EQ(index_results(saved, other)[13].settled, nullptr);
}

// A repeat waits for the first run of its exponent and reports its result;
// a first run that was stopped leaves its repeats nothing to report.
TEST(Queue, RepeatsWaitForTheFirstRun) {
  first_runs runs;
  std::atomic<bool> stop{false};
  exponent_result r;
  ASSERT_EQ(runs.take(607, stop, &r), first_runs::claim::first);
  ASSERT_EQ(runs.take(89, stop, &r), first_runs::claim::first);
  first_runs::claim seen = first_runs::claim::first;
  exponent_result again;
  std::thread repeat([&] { seen = runs.take(607, stop, &again); });
  r.p = 607;
  r.outcome.verdict = r.outcome.prime = true;
  runs.finish(607, r);
  repeat.join();
  EXPECT_TRUE(seen == first_runs::claim::repeat && again.p == 607 && again.outcome.prime);
  exponent_result stopped;
  stopped.p = 89, stopped.outcome.interrupted = true;
  runs.finish(89, stopped);
  EXPECT_EQ(runs.take(89, stop, &again), first_runs::claim::stopped);

  // A first run that ends without its result (out of memory on its way) frees the repeat waiting for it.
  ASSERT_EQ(runs.take(127, stop, &r), first_runs::claim::first);
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
  ASSERT_TRUE(states->save(s, &why)) << why;
  ASSERT_TRUE(states->holds(4423));
  EXPECT_TRUE(close_exponent(4423, test_kind::ll, true, false, "", nullptr, states.get(), held.get(), &why));
  EXPECT_TRUE(states->holds(4423));  // no verdict: the states stay
  EXPECT_TRUE(close_exponent(4423, test_kind::ll, true, true, "", nullptr, states.get(), held.get(), &why));
  EXPECT_FALSE(states->holds(4423));
  held.reset();
  EXPECT_NE(locks.take(4423, &busy, &why), nullptr) << why;
}

}  // namespace
