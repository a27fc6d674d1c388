#include "work/plan.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <stdexcept>
#include <tuple>

#include "base/clock.h"
#include "arith/engine_table.h"
#include "base/tuning.h"
#include "formats/state.h"
#include "methods/ecm.h"
#include "methods/factor/factor.h"
#include "methods/pm1.h"
#include "methods/pm1_bounds.h"
#include "methods/prp.h"
#include "methods/run.h"

namespace {

// Where the trial factoring of p stands by its state directory: the deepest
// level its test's states record, or its factoring progress where that is as deep.
factoring_state saved_factoring(int32_t p, const state_dir& states,
                                const std::function<void(const std::string&)>& warn) {
  factoring_state at;
  at.p = p;
  const auto quiet = [](const std::string&) {};  // the test itself names the state files it cannot use
  for (test_kind kind : {test_kind::ll, test_kind::prp})
    for (const run_state& s : states.load(p, quiet, kind)) at.level = std::max(at.level, static_cast<int>(s.tf_bits));
  factoring_state f;
  if (states.load_factoring(p, &f, warn ? warn : quiet) && f.level >= at.level) at = f;
  return at;
}

// Trial-factors prime p to 2^depth (on from 2^factored_to, or from where its
// state directory says it got) into r, saving its progress there at class
// boundaries every checkpoint interval, and where it stops. True when the test
// is still to run (eo.factored_to then set); false when factoring settled the
// exponent or was stopped.
bool factor_first(int32_t p, const exponent_plan& plan, const work_settings& s, engine_options& eo,
                  int factored_to, exponent_result& r) {
  const int depth = plan.factor_depth;
  factoring_state at;
  at.p = p;
  at.level = factored_to;
  if (eo.states != nullptr) {
    const factoring_state saved = saved_factoring(p, *eo.states, eo.warn);
    if (saved.level >= at.level) at = saved;
  }
  factor_options fo;
  fo.from_bits = std::min(at.level, depth);
  if (at.level < depth) fo.from_classes = at.done;
  fo.to_bits = depth;
  fo.stop = eo.stop;
  fo.progress = eo.factor_progress;
  factoring_state reached = at;
  bool unsaved = false;
  auto last_save = clock_type::now();
  const auto save = [&] {
    std::string why;
    if (!eo.states->save_factoring(reached, &why) && eo.warn)
      eo.warn("could not save the factoring progress of M" + std::to_string(p) + ": " + why + "; going on");
    last_save = clock_type::now();
    unsaved = false;
  };
  if (eo.states != nullptr)
    fo.reached = [&](int level, const factor_classes& done) {
      reached.level = level;
      reached.done = done;
      unsaved = true;
      if (seconds_since(last_save) >= s.checkpoint_every) save();
    };
  const factor_outcome f = trial_factor(p, fo);
  r.tf_bits = std::max(f.bits, fo.from_bits);
  if (f.interrupted) {
    if (eo.states != nullptr) save();
    r.outcome.interrupted = true;
    return false;
  }
  if (!f.error.empty()) {
    r.engine = "tf";
    r.outcome.error = f.error;
    return false;
  }
  if (!f.factor.empty()) {
    r.kind = result_kind::factored;
    r.tf_factor = f.factor;
    return false;
  }
  if (f.sqrt_reached) {
    r.kind = result_kind::proven_prime;
    return false;
  }
  if (plan.factor_only) {
    r.kind = result_kind::no_factor;
    return false;
  }
  // The depth goes into the test's states; until the first is saved, the progress holds it.
  eo.factored_to = std::max(at.level, r.tf_bits);
  if (unsaved) save();
  return true;
}

// The engine options of a run for plan under s: eo's own (progress, stop,
// states, warn) with the threads, shift, faults and checkpoints of the settings.
void fill_run_options(const exponent_plan& plan, const work_settings& s, engine_options& eo) {
  eo.threads = plan.threads;
  eo.shift = s.shift;
  eo.inject_faults = s.inject_faults;
  eo.checkpoint_every = s.checkpoint_every;
}

// The P-1 record of what o covered and found, at the bounds of plan.
factoring_record pm1_record(const exponent_plan& plan, const pm1_outcome& o) {
  factoring_record f;
  f.ran = true;
  f.b1 = o.b1 != 0 ? o.b1 : plan.pm1_b1;
  f.b2 = o.b2 != 0 ? o.b2 : f.b1;
  f.factors = o.factors;
  f.chance = plan.pm1_chance;
  f.fft_length = o.out.fft_length;
  return f;
}

// P-1 of plan into r, after its factoring. True when the test is still to
// run (nothing found, or P-1 failed before a test: warned of); false when
// a factor settled the exponent, P-1 was the whole work, or it was stopped.
bool pm1_first(const exponent_plan& plan, const work_settings& s, engine_options eo, exponent_result& r) {
  const int32_t p = plan.p;
  if (!plan.pm1) {
    if (!plan.pm1_only) return true;
    r.engine = "pm1";
    r.outcome.error = plan.pm1_refusal;
    return false;
  }
  fill_run_options(plan, s, eo);
  eo.iterations = 0;
  // The driver's counts of stage 1 are told as its share: the test's own count starts after it.
  eo.progress = [report = eo.pm1_progress](int64_t done, int64_t total) {
    if (report && total > 0) report(1, static_cast<double>(done) / static_cast<double>(total));
  };
  pm1_request req;
  req.b1 = plan.pm1_b1;
  req.b2 = plan.pm1_b2;
  req.b2_start = plan.pm1_b2_start;
  req.all_factors = plan.pm1_only;
  pm1_outcome o;
  try {
    o = run_pm1(*plan.pm1_on, p, req, eo);
  } catch (const std::bad_alloc&) {
    o = pm1_outcome{};
    o.out.error = "not enough memory for P-1 of p = " + std::to_string(p);
  } catch (const std::exception& x) {
    o = pm1_outcome{};
    o.out.error = x.what();
  }
  if (o.out.interrupted) {
    r.engine = "pm1";
    r.outcome.interrupted = true;
    r.outcome.saved_at = o.out.saved_at;
    return false;
  }
  // Found factors count even where the rest of the run failed: each is checked to divide.
  if (!o.factors.empty()) {
    r.engine = "pm1";
    r.kind = result_kind::pm1_factor;
    r.pm1 = pm1_record(plan, o);
    r.outcome.note = o.out.note;
    return false;
  }
  if (o.out.error.empty() && !o.done)
    o.out.error = "P-1 of M" + std::to_string(p) + " ended before its bounds were covered";
  if (!o.out.error.empty()) {
    if (plan.pm1_only) {
      r.engine = "pm1";
      r.outcome = o.out;
      r.outcome.verdict = false;
      return false;
    }
    if (eo.warn) eo.warn("P-1 of M" + std::to_string(p) + " failed: " + o.out.error + "; going on with the test");
    return true;
  }
  r.pm1 = pm1_record(plan, o);
  if (!plan.pm1_only) return true;
  r.engine = "pm1";
  r.kind = result_kind::pm1_none;
  r.outcome.note = o.out.note;
  return false;
}

// ECM curves of plan into r.
void ecm_alone(const exponent_plan& plan, const engine_options& eo, exponent_result& r) {
  r.engine = "ecm";
  if (!ecm_applicable(plan.p)) {
    r.outcome.error = "ECM does not take M" + std::to_string(plan.p) + " (small exponents only)";
    return;
  }
  ecm_request req;
  req.curves = plan.ecm_curves;
  req.b1 = plan.ecm_b1;
  ecm_outcome o;
  const std::function<void(int, int)> progress = [&eo](int done, int total) {
    if (eo.progress) eo.progress(done, total);
  };
  try {
    o = run_ecm(plan.p, req, eo.stop, progress);
  } catch (const std::bad_alloc&) {
    o = ecm_outcome{};
    o.error = "not enough memory for ECM on p = " + std::to_string(plan.p);
  }
  r.ecm.ran = true;
  r.ecm.b1 = plan.ecm_b1;
  r.ecm.curves = o.curves_done;
  r.ecm.factors = o.factors;
  if (!o.factors.empty()) {
    r.kind = result_kind::ecm_factor;
  } else if (o.interrupted) {
    r.outcome.interrupted = true;
  } else if (!o.error.empty()) {
    r.ecm.ran = false;
    r.outcome.error = o.error;
  } else if (o.curves_done < plan.ecm_curves) {
    r.outcome.error = "ECM ran " + std::to_string(o.curves_done) + " of " + std::to_string(plan.ecm_curves) + " curves";
  } else {
    r.kind = result_kind::ecm_none;
  }
}

// P-1's part of the plan for prime p under s: its bounds (fixed, else
// chosen by the odds from the depth trial factoring reached, at least
// factored_to) and its engine, or why it cannot run when it is the whole work.
void plan_pm1(exponent_plan& plan, const work_settings& s, int factored_to) {
  const int32_t p = plan.p;
  plan.pm1_only = s.pm1_only;
  if (!(s.pm1 || s.pm1_only) || s.factor_only || s.ecm_only || s.iterations > 0) return;
  // P-1 alone, with no factoring asked for, counts on the depth a test would have been factored to.
  int depth = std::max(plan.factor_depth, factored_to);
  if (s.pm1_only && s.tf_bits < 0 && !s.tf_auto) depth = std::max(depth, factoring_depth(p, s));
  uint64_t b1 = s.pm1_b1, b2 = std::max(s.pm1_b2, s.pm1_b1);
  if (b1 < 2) {
    const pm1_choice c = choose_pm1_bounds(p, depth, s.tests_saved);
    b1 = c.b1;
    b2 = std::max(c.b2, c.b1);
  }
  const engine* fast = find_engine("fast");
  if (fast != nullptr && fast->applicable(p)) plan.pm1_on = fast;
  if (b1 < 2) {
    plan.pm1_refusal = "P-1 does not pay for M" + std::to_string(p) + " by the odds (--pm1-bounds sets its bounds)";
    return;
  }
  if (plan.pm1_on == nullptr) {
    plan.pm1_refusal = "P-1 runs on the fast engine, which does not take M" + std::to_string(p);
    return;
  }
  plan.pm1 = true;
  plan.pm1_b1 = b1;
  plan.pm1_b2 = b2;
  plan.pm1_b2_start = s.pm1_b2_start;
  plan.pm1_chance = pm1_chance(p, depth, b1, b2);
}

}  // namespace

core_share share_cores(int cores, int jobs, int threads, bool one_exponent) {
  core_share c;
  c.jobs = jobs > 0 ? jobs : 1;
  c.threads = threads > 0 ? threads : 1;
  for (auto [value, per_core, name] : {std::tuple{&c.jobs, kJobsPerCore, "--jobs"},
                                       std::tuple{&c.threads, kThreadsPerCore, "--threads"}}) {
    if (*value > per_core * cores) {
      c.warnings.push_back(std::string(name) + " " + std::to_string(*value) + " lowered to " +
                           std::to_string(per_core * cores) + " (" + std::to_string(per_core) + " per core, " +
                           std::to_string(cores) + (cores == 1 ? " core" : " cores") + " usable)");
      *value = per_core * cores;
    }
  }
  // Defaults never ask for more than cores threads in all (a jobs count
  // beyond the exponents starts no more workers than exponents).
  if (threads <= 0) c.threads = one_exponent || (jobs > 0 && c.jobs == 1) ? cores : 1;
  if (jobs <= 0) c.jobs = std::max(1, cores / c.threads);
  return c;
}

int factoring_depth(int32_t p, const work_settings& s) {
  if (s.tf_bits >= 0) return s.tf_bits;
  const double test = estimated_test_seconds(p);
  const bool asked = s.factor_only || s.tf_auto;
  // An interim residue (--iterations) is not about primality: factoring only when asked.
  if (asked || (s.iterations == 0 && test >= tuning::kFactorBeforeTestSeconds)) return factor_auto_depth(p, test);
  return 0;
}

exponent_plan plan_exponent(int32_t p, const work_settings& s, int factored_to) {
  exponent_plan plan;
  plan.p = p;
  plan.prp = s.prp;
  plan.factor_only = s.factor_only;
  plan.threads = s.threads;
  if (p == 2) {
    plan.settled = result_kind::small_prime;
    return plan;
  }
  if (const int32_t d = smallest_prime_factor(p); d != p) {
    plan.settled = result_kind::composite_exponent;
    plan.divisor = d;
    return plan;
  }
  plan.ecm_only = s.ecm_only;
  plan.ecm_curves = s.ecm_curves;
  plan.ecm_b1 = s.ecm_b1;
  // Factoring methods alone factor first only where asked to.
  const bool alone = s.pm1_only || s.ecm_only;
  plan.factor_depth = !alone || s.tf_bits >= 0 || s.tf_auto ? factoring_depth(p, s) : 0;
  plan_pm1(plan, s, factored_to);
  plan.runs_on = choose_engine(s.engine, p);
  plan.engine_name = plan.runs_on != nullptr ? plan.runs_on->name : s.engine;
  plan.engine_fits = plan.runs_on != nullptr && plan.runs_on->applicable(p);
  return plan;
}

exponent_result carry_out(const exponent_plan& plan, const work_settings& s, engine_options eo, int factored_to) {
  exponent_result r;
  r.p = plan.p;
  r.prp = plan.prp;
  r.factor_only = plan.factor_only;
  r.pm1_only = plan.pm1_only;
  r.ecm_only = plan.ecm_only;
  const auto t0 = clock_type::now();
  if (plan.settled != result_kind::tested) {
    r.kind = plan.settled;
    r.divisor = plan.divisor;
  } else if (plan.factor_depth > 0 && !factor_first(plan.p, plan, s, eo, factored_to, r)) {
    // Settled by factoring (a factor, the square root reached, or factoring only), or stopped.
  } else if (plan.ecm_only) {
    ecm_alone(plan, eo, r);
  } else if (!pm1_first(plan, s, eo, r)) {
    // Settled by P-1's factor, P-1 was the whole work, or it was stopped.
  } else {
    r.engine = plan.engine_name;
    if (!plan.engine_fits) {
      r.kind = result_kind::no_engine;
    } else {
      fill_run_options(plan, s, eo);
      eo.iterations = s.iterations;
      eo.proof_power = s.proof_power;
      eo.proof_dir = s.proof_dir;
      // Whatever escapes the loop (it reports its own failures) still gives no verdict, not a crash.
      try {
        r.outcome = plan.prp ? run_probable_prime(*plan.runs_on, plan.p, eo) : run_lucas_lehmer(*plan.runs_on, plan.p, eo);
      } catch (const std::bad_alloc&) {
        r.outcome = ll_outcome{};
        r.outcome.error = "not enough memory for p = " + std::to_string(plan.p);
      } catch (const std::exception& x) {
        r.outcome = ll_outcome{};
        r.outcome.error = x.what();
      }
    }
  }
  r.seconds = seconds_since(t0);
  return r;
}

exponent_result test_exponent(int32_t p, const work_settings& s, engine_options eo, int factored_to) {
  return carry_out(plan_exponent(p, s, factored_to), s, std::move(eo), factored_to);
}

exponent_result error_result(int32_t p, const work_settings& s, const std::string& error) {
  exponent_result r;
  r.p = p;
  r.prp = s.prp;
  r.pm1_only = s.pm1_only;
  r.ecm_only = s.ecm_only;
  const engine* e = choose_engine(s.engine, p);
  r.engine = s.pm1_only ? "pm1" : s.ecm_only ? "ecm" : e != nullptr ? e->name : s.engine;
  r.outcome.error = error;
  return r;
}
