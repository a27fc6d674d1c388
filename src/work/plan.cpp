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
#include "methods/factor/factor.h"
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

exponent_plan plan_exponent(int32_t p, const work_settings& s) {
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
  plan.factor_depth = factoring_depth(p, s);
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
  const auto t0 = clock_type::now();
  if (plan.settled != result_kind::tested) {
    r.kind = plan.settled;
    r.divisor = plan.divisor;
  } else if (plan.factor_depth > 0 && !factor_first(plan.p, plan, s, eo, factored_to, r)) {
    // Settled by factoring (a factor, the square root reached, or factoring only), or stopped.
  } else {
    r.engine = plan.engine_name;
    if (!plan.engine_fits) {
      r.kind = result_kind::no_engine;
    } else {
      eo.threads = plan.threads;
      eo.shift = s.shift;
      eo.iterations = s.iterations;
      eo.inject_faults = s.inject_faults;
      eo.checkpoint_every = s.checkpoint_every;
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
  return carry_out(plan_exponent(p, s), s, std::move(eo), factored_to);
}

exponent_result error_result(int32_t p, const work_settings& s, const std::string& error) {
  exponent_result r;
  r.p = p;
  r.prp = s.prp;
  const engine* e = choose_engine(s.engine, p);
  r.engine = e != nullptr ? e->name : s.engine;
  r.outcome.error = error;
  return r;
}
