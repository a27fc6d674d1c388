// The one driver of every chain of squarings on an engine's steppers:
// x_(i+1) = x_i^2 - c 2^(2k) with the residue held shifted by k, and what a
// method adds at iterations of its choosing. The driver starts the chain or
// resumes it from the newest usable state, makes the steppers under the
// memory guard, retries a step at a longer length, reports progress, stops
// on request, saves checkpoints, runs the method's check and rolls back to
// the last verified point at a new shift (three failures from one point end
// the run), checks the end and turns every failure into the outcome. A
// method is a chain_policy: its start value, its own steps, its check, what
// it keeps in a state and its verdict; it has no loop of its own.
#pragma once

#include <gmp.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/clock.h"
#include "arith/engine.h"
#include "arith/modular.h"
#include "arith/residue.h"
#include "formats/state.h"

// Where a chain stands: the iterations done and, for each stepper, its
// residue held with its shift (stepper 0 holds the chain itself).
struct chain_point {
  explicit chain_point(size_t count) : shift(count, 0), r(count) {}
  int64_t iteration = 0;
  std::vector<uint32_t> shift;
  std::vector<mpz_value> r;
};

// What a policy's hook after an iteration asks of the driver.
enum class after_step { go_on, check_now, stop };  // stop: out's note or error says why
enum class check_verdict { passed, failed, stop };  // failed: rolled back; stop as above

class chain_driver;

// A method over the driver. Hooks get the driver, through which they reach
// p, the options, the outcome, the points and the steppers.
class chain_policy {
 public:
  virtual ~chain_policy() = default;
  // The kind of state this method saves and resumes from.
  virtual test_kind kind() const = 0;
  // Steppers held at once (counted together by the memory guard); stepper 0 is the chain's.
  virtual int steppers() const { return 1; }
  // The iteration the chain ends at.
  virtual int64_t target() const = 0;
  // c in x -> x^2 - c 2^(2k) each iteration (0..3; 0: plain squarings).
  virtual uint32_t subtract() const { return 0; }
  // m in x -> m x^2 for the squaring that makes iteration i (1..3; 1: none),
  // for a policy that subtracts nothing.
  virtual uint32_t times(int64_t) const { return 1; }
  // True: checks are spaced by time, about kCheckShare of the run, and
  // repeated where one failed; false: only where after() asks for one.
  virtual bool timed_checks() const { return false; }
  // True: the residue at the target is checked before the verdict when no check ran there.
  virtual bool checks_end() const { return false; }
  // True: a state the policy takes is as good as checked, and is the point to roll back to.
  virtual bool verifies_on_load() const { return true; }
  // True: an iteration listed k times for --inject-fault is damaged on each
  // of its first k passes; false: on its first pass only.
  virtual bool faults_repeat() const { return true; }
  // True: the outcome's length is the one the steppers were made at (or
  // raised to); false: the one stepper 0 gave for its last squaring.
  virtual bool reports_made_length() const { return false; }
  // Names in messages: "state" in "the state of M<p> ...", "check" in "the check failed three times".
  virtual const char* state_noun() const { return "state"; }
  virtual const char* check_name() const { return "check"; }
  // "in" or "after" in "rounding distance ... <word> iteration N reached the bound".
  virtual const char* bound_word() const { return "in"; }

  // Before the states are looked at; false to end the run (out's error or note set).
  virtual bool prepare(chain_driver&) { return true; }
  // Once the starting shift is known (fresh or resumed), before any start value.
  virtual void begin(chain_driver&) {}
  // The start value into at, whose shifts are the starting shift; good: at is the point to roll back to.
  virtual void start(chain_driver& d, chain_point& at, bool good) = 0;
  // s's residues and shifts into at when s can be used; else false with
  // *tail, the reason as it follows the state's name (" is ...", ": ...").
  virtual bool take(chain_driver& d, const run_state& s, chain_point& at, bool good, std::string* tail) = 0;
  // After the start point is settled, before the steppers are made; false to end the run.
  virtual bool before_steppers(chain_driver&) { return true; }
  // After iteration i: the method's own steps; whether a check is due now.
  virtual after_step after(chain_driver&, int64_t) { return after_step::go_on; }
  // Checks the point now (its residues stored from the steppers); counts its own failures.
  virtual check_verdict check(chain_driver& d) = 0;
  // Now has just become the verified point, or been rolled back to it.
  virtual void verified(chain_driver&) {}
  virtual void rolled_back(chain_driver&) {}
  // The method's own fields of a state about to be saved (the chain's residue and shift are in).
  virtual void put(chain_driver&, run_state&) {}
  // Damages the residue after iteration i, as a fault might (--inject-fault).
  virtual void damage(chain_driver& d, int64_t i) = 0;
  // The verdict at the target, into out; then, once the retries are noted, what follows it.
  virtual void verdict(chain_driver& d) = 0;
  virtual void after_verdict(chain_driver&) {}
};

class chain_driver {
 public:
  chain_driver(const engine& e, int32_t p, const engine_options& opt, chain_policy& policy, ll_outcome& out);
  // Runs the chain to its verdict, an interruption or a failure; may throw engine_failure or std::bad_alloc.
  void go();

  const engine& eng() const { return e_; }
  int32_t p() const { return p_; }
  const engine_options& options() const { return opt_; }
  ll_outcome& out() { return out_; }
  chain_point& now() { return now_; }
  chain_point& good() { return good_; }
  uint32_t start_shift() const { return start_shift_; }
  // Stepper k (valid from the first iteration on; a longer length replaces it).
  stepper& stepper_at(size_t k) { return (*set_)[k]; }
  // Runs one of the policy's own steps (double(stepper&)) on stepper k after
  // iteration now().iteration, at a longer length while it needs one; false
  // (out's note set) when no length serves.
  template <class Step>
  bool step(size_t k, Step&& s) {
    raise_at_ = now_.iteration;
    return within_bound(set_->run(k, s));
  }
  // Saves the state now (verified: it has just passed a check); false when there is nowhere or it failed.
  bool save(bool verified);
  void warn(const std::string& text) const {
    if (opt_.warn) opt_.warn(text);
  }

 private:
  bool resume();
  void start(chain_point& at, bool good);
  void load_steppers();
  void store();
  // One iteration of the chain; false when no length serves.
  bool square();
  // Notes a distance; false (with the note) when it reached the bound.
  bool within_bound(double err);
  check_verdict check();
  void roll_back();
  void run();
  double elapsed() const;

  const engine& e_;
  int32_t p_;
  const engine_options& opt_;
  chain_policy& policy_;
  ll_outcome& out_;
  int64_t n_ = 0, target_ = 0;
  int64_t used_ = 0;  // the length stepper 0 gave for its last squaring
  uint32_t c_ = 0, start_shift_ = 0;
  int32_t factored_to_;
  std::unique_ptr<stepper_set> set_;
  chain_point now_, good_;
  std::mt19937_64 rng_{std::random_device{}()};
  int64_t last_retry_shift_ = -1;  // the shift the last roll-back started from (each differs from the one before)
  std::map<int64_t, int> failures_at_;  // failed checks since each verified iteration
  std::map<int64_t, int> injected_;     // faults injected after each iteration so far
  int64_t raise_at_ = 0;                // the iteration a length raised now is named for
  int64_t recheck_at_ = -1;             // timed checks: where the last one failed, checked again there
  int64_t verified_at_ = -1;
  int retries_ = 0;
  double elapsed_before_ = 0, last_check_cost_;
  clock_type::time_point started_ = clock_type::now(), last_save_ = started_, last_check_end_ = started_;
};

// Runs policy's chain for 2^p - 1 on e. Failures to set up (no memory, no
// length) come back in the outcome's error or note, never as an exception.
ll_outcome run_chain(chain_policy& policy, const engine& e, int32_t p, const engine_options& opt);
