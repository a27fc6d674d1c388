// One exponent's plan: what will be done for it, decided once from the
// settings (settled at once, or factoring to a depth, then which test on
// which engine with how many threads), then carried out from the top down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arith/engine.h"
#include "work/report.h"
#include "work/settings.h"

// Caps on jobs and threads, per core this process may use: more jobs
// only share the same cores (and multiply the memory), more threads in one
// test only wait for each other.
inline constexpr int kJobsPerCore = 4;
inline constexpr int kThreadsPerCore = 2;

// Jobs and threads for a run on cores usable cores, with a line for each one lowered.
struct core_share {
  int jobs = 1;
  int threads = 1;
  std::vector<std::string> warnings;
};

// The jobs and threads of a run: jobs and threads as asked (0: not given),
// each lowered to its cap per core (with a warning); of those not given, one
// exponent (one_exponent), or one job, gets every core, several share them
// one thread each, and jobs fill the cores the threads leave.
core_share share_cores(int cores, int jobs, int threads, bool one_exponent);

// The depth prime p is trial-factored to under s (every q below 2^depth); 0: not factored.
int factoring_depth(int32_t p, const work_settings& s);

struct exponent_plan {
  int32_t p = 0;
  // small_prime or composite_exponent: settled before anything runs; else tested.
  result_kind settled = result_kind::tested;
  int32_t divisor = 0;          // composite_exponent: p's smallest prime factor
  int factor_depth = 0;         // trial factoring to 2^depth first; 0: none
  bool factor_only = false;     // the factoring is the whole work
  bool prp = false;             // the probable-prime test, else Lucas-Lehmer
  const engine* runs_on = nullptr;  // the test's engine; null when the name is no row of the table
  std::string engine_name;      // its name, or the name asked for
  bool engine_fits = false;     // the engine can test p
  int threads = 1;              // threads inside the test
  // P-1 after the factoring, before the test (or alone, pm1_only).
  bool pm1 = false;             // P-1 runs
  bool pm1_only = false;        // P-1 is the whole work: every factor its bounds reach
  uint64_t pm1_b1 = 0, pm1_b2 = 0, pm1_b2_start = 0;
  double pm1_chance = -1;       // the chance of a factor at these bounds; < 0: not estimated
  std::string pm1_refusal;      // pm1_only: why P-1 cannot run for p (no verdict); empty: it can
  const engine* pm1_on = nullptr;  // the fast engine, where it applies to p
  // ECM curves alone (--test=ecm).
  bool ecm_only = false;
  int ecm_curves = 0;
  uint64_t ecm_b1 = 0;
};

// The plan for p >= 2 under s, trial factoring known done to 2^factored_to
// (a work line's how_far_factored; it feeds the odds of P-1).
exponent_plan plan_exponent(int32_t p, const work_settings& s, int factored_to = 0);

// The result of carrying out plan under s: factoring first where it asks
// (on from 2^factored_to, the depth an earlier run reached, or from where
// the states and factoring progress in eo's state directory say it got),
// then P-1 where it asks (on the fast engine; a factor settles the
// exponent, an error is warned of and the test goes on), then, unless that
// settled it or only factoring was asked for, one engine run; timed, with
// the progress, stop, states and warn of eo (the rest of eo comes from s and the plan).
exponent_result carry_out(const exponent_plan& plan, const work_settings& s, engine_options eo = {},
                          int factored_to = 0);

// carry_out(plan_exponent(p, s, factored_to), s, eo, factored_to).
exponent_result test_exponent(int32_t p, const work_settings& s, engine_options eo = {}, int factored_to = 0);

// A result of no verdict for p under s, with error as the reason (another
// process holds its lock, no memory for its test or its line).
exponent_result error_result(int32_t p, const work_settings& s, const std::string& error);
