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
