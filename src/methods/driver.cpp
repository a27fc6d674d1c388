#include "methods/driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "base/check.h"
#include "base/tuning.h"
#include "methods/checks.h"
#include "methods/pacer.h"

namespace {

void copy(chain_point& to, const chain_point& from) {
  to.iteration = from.iteration;
  to.shift = from.shift;
  for (size_t k = 0; k < from.r.size(); ++k) mpz_set(to.r[k], from.r[k]);
}

}  // namespace

chain_driver::chain_driver(const engine& e, int32_t p, const engine_options& opt, chain_policy& policy,
                           ll_outcome& out)
    : e_(e), p_(p), opt_(opt), policy_(policy), out_(out), factored_to_(opt.factored_to),
      now_(static_cast<size_t>(policy.steppers())), good_(static_cast<size_t>(policy.steppers())),
      // The first check is spaced by an estimate of its cost, later ones by the measured cost.
      last_check_cost_(tuning::kCheckSecondsAtOneMillion * std::pow(static_cast<double>(p) / 1e6, 1.5)) {}

double chain_driver::elapsed() const { return elapsed_before_ + seconds_between(started_, clock_type::now()); }

void chain_driver::start(chain_point& at, bool good) {
  at.iteration = 0;
  std::fill(at.shift.begin(), at.shift.end(), start_shift_);
  policy_.start(*this, at, good);
}

bool chain_driver::resume() {
  if (opt_.states == nullptr) return false;
  const std::vector<run_state> found =
      opt_.states->load(p_, [&](const std::string& w) { warn(w); }, policy_.kind());
  const auto name = [&](const run_state& s, const char* which) {
    return s.file + " (" + which + policy_.state_noun() + " of M" + std::to_string(p_) + " at iteration " +
           std::to_string(s.iteration) + ")";
  };
  // The newest usable state to go on from.
  size_t i = 0;
  for (; i < found.size(); ++i) {
    std::string tail;
    if (policy_.take(*this, found[i], now_, false, &tail)) break;
    warn(name(found[i], "the ") + tail + "; not used");
  }
  if (i == found.size()) return false;
  const run_state& s = found[i];
  now_.iteration = s.iteration;
  start_shift_ = s.start_shift;
  out_.jacobi_errors = s.jacobi_errors;
  out_.roundoff_errors = s.roundoff_errors;
  out_.gerbicz_errors = s.gerbicz_errors;
  elapsed_before_ = s.elapsed;
  out_.resumed_from = s.iteration;
  factored_to_ = std::max(factored_to_, s.tf_bits);  // a rerun that factors less keeps the depth
  policy_.begin(*this);
  if (policy_.verifies_on_load()) {
    copy(good_, now_);
    policy_.verified(*this);
    return true;
  }
  // The newest verified state not past it, of the same run, to roll back to.
  bool verified = false;
  for (size_t j = i; j < found.size() && !verified; ++j) {
    std::string tail;
    if (!found[j].verified || found[j].start_shift != start_shift_ || found[j].iteration > now_.iteration) continue;
    verified = policy_.take(*this, found[j], good_, true, &tail);
    if (verified)
      good_.iteration = found[j].iteration;
    else
      warn(name(found[j], "a verified ") + tail + "; not used to roll back to");
  }
  // A state that was tried and refused may have left parts in good_: the start, whole.
  if (!verified) start(good_, true);
  return true;
}

void chain_driver::load_steppers() {
  for (size_t k = 0; k < set_->size(); ++k) (*set_)[k].load(now_.r[k]);
}

void chain_driver::store() {
  for (size_t k = 0; k < set_->size(); ++k) (*set_)[k].store(now_.r[k]);
}

bool chain_driver::within_bound(double err) {
  if (err < tuning::kRetryDistance) {
    if (err > out_.max_roundoff) out_.max_roundoff = err;
    return true;
  }
  // The comparison is written so that a NaN distance counts as the largest.
  if (!(err <= out_.max_roundoff)) out_.max_roundoff = err;
  char text[160];
  std::snprintf(text, sizeof text, "rounding distance %.4f %s iteration %lld reached the bound %.1f; no verdict", err,
                policy_.bound_word(), static_cast<long long>(now_.iteration), tuning::kRetryDistance);
  out_.note = text;
  return false;
}

bool chain_driver::square() {
  const uint32_t j = static_cast<uint32_t>((2 * static_cast<uint64_t>(now_.shift[0])) % static_cast<uint64_t>(p_));
  const int32_t at = c_ != 0 ? static_cast<int32_t>(j) : 0;
  raise_at_ = now_.iteration + 1;  // a length raised is named for the iteration it computes
  const uint32_t m = policy_.times(now_.iteration + 1);
  MERSENNE_REQUIRE(m == 1 || c_ == 0);
  const double err = set_->run(0, [this, at, m](stepper& s) {
    used_ = s.length();
    return m == 1 ? s.square(c_, at, tuning::kRetryDistance) : s.square_times(m, tuning::kRetryDistance);
  });
  if (!within_bound(err)) return false;
  now_.shift[0] = j;
  const int64_t i = ++now_.iteration;
  const auto& faults = opt_.inject_faults;
  if (!faults.empty()) {
    // An iteration listed k times is damaged on each of its first k passes.
    const auto listed = policy_.faults_repeat() ? std::count(faults.begin(), faults.end(), i) : 1;
    if (std::find(faults.begin(), faults.end(), i) != faults.end() && listed > injected_[i]) {
      ++injected_[i];
      policy_.damage(*this, i);
    }
  }
  return true;
}

void chain_driver::roll_back() {
  copy(now_, good_);
  // The same residue at another shift: another path through the arithmetic.
  uint32_t e = 1 + static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_ - 1));
  // Never the shift of the attempt just failed from the same point: that
  // would repeat its arithmetic.
  const auto shifted = [&](uint32_t by) { return static_cast<int64_t>((uint64_t{now_.shift[0]} + by) % uint64_t(p_)); };
  if (shifted(e) == last_retry_shift_) e = e % static_cast<uint32_t>(p_ - 1) + 1;
  last_retry_shift_ = shifted(e);
  mpz_value u;
  rotate_left(u, now_.r[0], e, p_);
  mpz_set(now_.r[0], u);
  now_.shift[0] = (now_.shift[0] + e) % static_cast<uint32_t>(p_);
  load_steppers();
  policy_.rolled_back(*this);
}

check_verdict chain_driver::check() {
  const auto t0 = clock_type::now();
  store();
  const check_verdict v = policy_.check(*this);
  const auto t1 = clock_type::now();
  last_check_cost_ = seconds_between(t0, t1);
  last_check_end_ = t1;
  if (v == check_verdict::stop) return v;
  if (v == check_verdict::passed) {
    copy(good_, now_);
    verified_at_ = now_.iteration;
    policy_.verified(*this);
    return v;
  }
  // Checked again where it failed, so that a passing recomputation becomes the
  // new verified point: otherwise, with checks spaced by time, separate faults
  // before the next check would all count against one point.
  recheck_at_ = now_.iteration;
  if (++failures_at_[good_.iteration] >= 3) {
    out_.note = std::string("the ") + policy_.check_name() + " failed three times after iteration " +
                std::to_string(good_.iteration) + ": the hardware is unreliable; no verdict";
    return check_verdict::stop;
  }
  roll_back();
  return check_verdict::failed;
}

bool chain_driver::save(bool verified) {
  if (opt_.states == nullptr) return false;
  run_state s;
  s.test = policy_.kind();
  s.p = p_;
  s.iteration = now_.iteration;
  store();
  s.shift = now_.shift[0];
  s.start_shift = start_shift_;
  s.jacobi_errors = out_.jacobi_errors;
  s.roundoff_errors = out_.roundoff_errors;
  s.gerbicz_errors = out_.gerbicz_errors;
  s.elapsed = elapsed();
  s.verified = verified;
  s.tf_bits = factored_to_;
  s.residue = residue_bytes(now_.r[0], p_);
  policy_.put(*this, s);
  std::string why;
  last_save_ = clock_type::now();
  if (opt_.states->save(s, &why)) return true;
  warn("could not save the state of M" + std::to_string(p_) + ": " + why + "; going on");
  return false;
}

void chain_driver::go() {
  if (!starting_length(e_, p_, opt_, &n_)) {
    out_.note = "no transform length for this exponent";
    return;
  }
  if (!policy_.prepare(*this)) return;
  target_ = policy_.target();
  c_ = policy_.subtract();
  if (!resume()) {
    start_shift_ = opt_.shift >= 0 ? static_cast<uint32_t>(opt_.shift % p_)
                                   : static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_));
    policy_.begin(*this);
    start(now_, false);
    copy(good_, now_);
    policy_.verified(*this);
  }
  out_.shift = start_shift_;
  if (!policy_.before_steppers(*this)) return;
  set_ = std::make_unique<stepper_set>(e_, p_, n_, opt_, policy_.steppers());
  set_->on_raise = [this](int64_t from, int64_t to) {
    if (!out_.note.empty()) out_.note += "; ";
    out_.note += "length raised from " + std::to_string(from) + " to " + std::to_string(to) + " at iteration " +
                 std::to_string(raise_at_);
    ++out_.roundoff_errors;
    ++retries_;
    n_ = to;
  };
  load_steppers();
  used_ = set_->length();
  run();
  out_.fft_length = policy_.reports_made_length() ? n_ : used_;
}

void chain_driver::run() {
  progress_pacer pacer(opt_.progress, target_);
  if (opt_.progress) opt_.progress(now_.iteration, target_);
  const bool timed = policy_.timed_checks();
  int64_t mask = 0;  // the clock is read every mask + 1 iterations
  auto last_read = clock_type::now();
  for (;;) {
    while (now_.iteration < target_) {
      if (!square()) return;
      const int64_t i = now_.iteration;
      const after_step next = policy_.after(*this, i);
      if (next == after_step::stop) return;
      pacer.tick(i);
      const bool stopping = opt_.stop != nullptr && opt_.stop->load(std::memory_order_relaxed);
      const bool forced = next == after_step::check_now || (timed && i == recheck_at_);
      if ((i & mask) != 0 && !stopping && !forced) continue;
      const auto t = clock_type::now();
      if (seconds_between(last_read, t) < 1e-3 && mask < (int64_t{1} << 20) - 1) mask = 2 * mask + 1;
      last_read = t;
      // Timed checks take at most about kCheckShare of the run.
      const bool check_due =
          forced || (timed && seconds_between(last_check_end_, t) >=
                                  (1 - tuning::kCheckShare) / tuning::kCheckShare * last_check_cost_);
      const bool save_due = opt_.states != nullptr && seconds_between(last_save_, t) >= opt_.checkpoint_every;
      bool verified = false;
      if (check_due) {
        const check_verdict v = check();
        if (v == check_verdict::stop) return;
        if (v == check_verdict::failed) continue;  // a damaged residue is never saved
        verified = true;
      }
      // The target itself is never saved nor stopped at: the verdict follows at once.
      const bool saved = (save_due || stopping) && i < target_ && save(verified);
      if (stopping && i < target_) {
        out_.interrupted = true;
        out_.saved_at = saved ? i : -1;
        return;
      }
    }
    // The final residue is checked before it is reported.
    if (policy_.checks_end() && now_.iteration >= 1 && verified_at_ != now_.iteration) {
      const check_verdict v = check();
      if (v == check_verdict::stop) return;
      if (v == check_verdict::failed) continue;
    }
    break;
  }
  pacer.finish();
  store();
  policy_.verdict(*this);
  if (out_.verdict && retries_ > 0)
    out_.note += " (" + std::to_string(retries_) + (retries_ == 1 ? " retry)" : " retries)");
  policy_.after_verdict(*this);
}

ll_outcome run_chain(chain_policy& policy, const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p));
  ll_outcome out;
  try {
    chain_driver(e, p, opt, policy, out).go();
  } catch (const engine_failure& x) {
    out = ll_outcome{};
    out.error = x.what();
  } catch (const std::bad_alloc&) {
    out = ll_outcome{};
    out.error = "not enough memory for p = " + std::to_string(p);
  }
  return out;
}
