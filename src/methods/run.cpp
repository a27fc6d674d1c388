#include "methods/run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>

#include "base/check.h"
#include "base/clock.h"
#include "base/machine.h"
#include "methods/checks.h"
#include "methods/pacer.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "base/tuning.h"

namespace {

bool stop_asked(const engine_options& opt) { return opt.stop != nullptr && opt.stop->load(std::memory_order_relaxed); }

std::vector<uint8_t> residue_bytes(mpz_srcptr u, int32_t p) {
  std::vector<uint8_t> bytes((static_cast<size_t>(p) + 7) / 8, 0);
  size_t count = 0;
  mpz_export(bytes.data(), &count, -1, 1, 0, 0, u);
  return bytes;
}

// A residue with its shift and iteration: where the run stands, or the last
// point known to be right.
struct point {
  int64_t iteration = 0;
  uint32_t shift = 0;
  mpz_value u;
};

void copy(point& to, const point& from) {
  to.iteration = from.iteration;
  to.shift = from.shift;
  mpz_set(to.u, from.u);
}

class lucas_lehmer_run {
 public:
  lucas_lehmer_run(const engine& e, int32_t p, const engine_options& opt, ll_outcome& out)
      : e_(e), p_(p), opt_(opt), out_(out), total_(p - 2),
        target_(opt.iterations > 0 && opt.iterations < p - 2 ? opt.iterations : p - 2) {}

  void go();

 private:
  void start();
  bool resume();
  void warn(const std::string& text) const {
    if (opt_.warn) opt_.warn(text);
  }
  // One iteration with the retry at longer lengths; false when no length serves.
  bool advance();
  // Checks the residue now held; false when the run has to stop (hardware unreliable).
  bool check(bool* rolled_back);
  void roll_back(bool new_shift);
  // Keeps the first proper factor of 2^p - 1 a check found.
  void note_factor(mpz_srcptr g) {
    if (!out_.factor.empty()) return;
    std::string text(mpz_sizeinbase(g, 10) + 2, '\0');
    mpz_get_str(text.data(), 10, g);
    out_.factor = text.c_str();
  }
  // Saves the state (a verified one when the residue has just passed a
  // check); false when there is nowhere to save or the save failed.
  bool save(bool verified);
  double elapsed() const { return elapsed_before_ + seconds_between(started_, clock_type::now()); }

  const engine& e_;
  int32_t p_;
  const engine_options& opt_;
  int32_t factored_to_ = opt_.factored_to;  // the depth trial factoring searched before the test
  ll_outcome& out_;
  int64_t total_, target_;
  std::unique_ptr<stepper> st_;
  point now_, good_;  // good_: the last residue that passed a check (or the start)
  uint32_t start_shift_ = 0;
  std::mt19937_64 rng_{std::random_device{}()};
  std::map<int64_t, int> failures_at_;  // failed checks since each verified iteration
  std::set<int64_t> injected_;
  int64_t used_ = 0;
  double elapsed_before_ = 0;
  clock_type::time_point started_ = clock_type::now(), last_save_ = started_, last_check_end_ = started_;
  // The first check is spaced by an estimate of its cost, later ones by the measured cost.
  double last_check_cost_ =
      tuning::kCheckSecondsAtOneMillion * std::pow(static_cast<double>(p_) / 1e6, 1.5);
  int64_t zero_at_ = -1;  // iteration of a zero residue recomputed at another shift
  int64_t recheck_at_ = -1;  // iteration of the last failed check: the recomputation is checked there
  int retries_ = 0;       // lengths raised in this process
};

void lucas_lehmer_run::start() {
  start_shift_ = opt_.shift >= 0 ? static_cast<uint32_t>(opt_.shift % p_) : static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_));
  now_.iteration = 0;
  now_.shift = start_shift_;
  // s(0) = 4 held as 4 2^k = 2^(k + 2).
  mpz_set_ui(now_.u, 0);
  mpz_setbit(now_.u, (start_shift_ + 2) % static_cast<uint32_t>(p_));
}

bool lucas_lehmer_run::resume() {
  if (opt_.states == nullptr) return false;
  for (const run_state& s : opt_.states->load(p_, [&](const std::string& w) { warn(w); })) {
    const std::string name = s.file + " (the state of M" + std::to_string(p_) + " at iteration " +
                             std::to_string(s.iteration) + ")";
    if (s.iteration > target_) {  // a partial run never goes past its K
      warn(name + " is past the " + std::to_string(target_) + " iterations asked for; not used");
      continue;
    }
    mpz_import(now_.u, s.residue.size(), -1, 1, 0, 0, s.residue.data());
    if (mpz_sizeinbase(now_.u, 2) > static_cast<size_t>(p_)) {
      warn(name + ": its residue is 2^p or more; not used");
      continue;
    }
    mpz_value tmp, g, start;
    mersenne_reduce(now_.u, p_, tmp);
    // No sound run holds anything but 4 at iteration 0, nor 0 before its last
    // iteration (zeroed memory, which the Jacobi check passes): an older state is tried.
    mpz_setbit(start, (s.shift + 2) % static_cast<uint32_t>(p_));
    const bool impossible = s.iteration == 0 ? mpz_cmp(now_.u, start) != 0
                                             : mpz_sgn(now_.u.get()) == 0 && s.iteration < total_;
    if (impossible) {
      warn(name + ": its residue is " + (s.iteration == 0 ? "not the start value" : "0") +
           ", which no sound run holds there; not used");
      continue;
    }
    const jacobi_verdict v = s.iteration >= 1 ? jacobi_check(now_.u, s.shift, p_, g) : jacobi_verdict::passed;
    if (v == jacobi_verdict::failed) {
      warn(name + " fails the Jacobi check; not used");
      continue;
    }
    if (v == jacobi_verdict::factor) note_factor(g);
    now_.iteration = s.iteration;
    now_.shift = s.shift;
    start_shift_ = s.start_shift;
    out_.jacobi_errors = s.jacobi_errors;
    out_.roundoff_errors = s.roundoff_errors;
    elapsed_before_ = s.elapsed;
    out_.resumed_from = s.iteration;
    factored_to_ = std::max(factored_to_, s.tf_bits);  // a rerun that factors less keeps the depth
    return true;
  }
  return false;
}

bool lucas_lehmer_run::advance() {
  used_ = st_->length();
  const int32_t j = static_cast<int32_t>((2 * static_cast<uint64_t>(now_.shift)) % static_cast<uint64_t>(p_));
  double err = st_->square(2, j, tuning::kRetryDistance);
  while (!(err < tuning::kRetryDistance)) {
    const int64_t longer = e_.next_length != nullptr ? e_.next_length(p_, used_) : 0;
    if (longer == 0) {
      // The comparison is written so that a NaN distance counts as the largest.
      if (!(err <= out_.max_roundoff)) out_.max_roundoff = err;
      char text[160];
      std::snprintf(text, sizeof text, "rounding distance %.4f in iteration %lld reached the bound %.1f; no verdict",
                    err, static_cast<long long>(now_.iteration), tuning::kRetryDistance);
      out_.note = text;
      return false;
    }
    // Redo this iteration from the untouched residue at the longer length.
    mpz_value s;
    st_->store(s);
    st_.reset();
    st_ = make_stepper(e_, p_, longer, opt_);
    st_->load(s);
    if (!out_.note.empty()) out_.note += "; ";
    out_.note += "length raised from " + std::to_string(used_) + " to " + std::to_string(longer) + " at iteration " +
                 std::to_string(now_.iteration + 1);
    ++out_.roundoff_errors;
    ++retries_;
    used_ = st_->length();
    err = st_->square(2, j, tuning::kRetryDistance);
  }
  if (err > out_.max_roundoff) out_.max_roundoff = err;
  now_.shift = static_cast<uint32_t>(j);
  ++now_.iteration;
  const auto& faults = opt_.inject_faults;
  if (std::find(faults.begin(), faults.end(), now_.iteration) != faults.end() &&
      injected_.insert(now_.iteration).second) {
    // The damage a flipped bit could do, made so that the next check sees it.
    mpz_value c, u;
    damaged_residue(c, p_, static_cast<uint64_t>(now_.iteration));
    rotate_left(u, c, now_.shift, p_);
    st_->load(u);
  }
  return true;
}

void lucas_lehmer_run::roll_back(bool new_shift) {
  copy(now_, good_);
  if (new_shift) {
    // The same residue at another shift: another path through the arithmetic.
    const uint32_t d = 1 + static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_ - 1));
    mpz_value u;
    rotate_left(u, now_.u, d, p_);
    mpz_set(now_.u, u);
    now_.shift = (now_.shift + d) % static_cast<uint32_t>(p_);
  }
  st_->load(now_.u);
}

bool lucas_lehmer_run::check(bool* rolled_back) {
  *rolled_back = false;
  const auto t0 = clock_type::now();
  st_->store(now_.u);
  mpz_value g;
  jacobi_verdict v = jacobi_check(now_.u, now_.shift, p_, g);
  // Zeroed memory passes the rounding check: 0 before the last iteration is
  // only taken when a recomputation at another shift arrives at it again.
  bool zero = mpz_sgn(now_.u.get()) == 0 && now_.iteration < total_;
  if (zero && zero_at_ == now_.iteration) zero = false;
  const auto t1 = clock_type::now();
  last_check_cost_ = seconds_between(t0, t1);
  last_check_end_ = t1;
  if (zero) zero_at_ = now_.iteration;  // the recomputation is checked right there
  if (v != jacobi_verdict::failed && !zero) {
    if (v == jacobi_verdict::factor) note_factor(g);
    copy(good_, now_);
    return true;
  }
  ++out_.jacobi_errors;
  // Checked again where it failed, so that a passing recomputation becomes the
  // new verified point: otherwise, with checks spaced by time, separate faults
  // before the next check would all count against one point.
  recheck_at_ = now_.iteration;
  if (++failures_at_[good_.iteration] >= 3) {
    out_.note = "the check failed three times after iteration " + std::to_string(good_.iteration) +
                ": the hardware is unreliable; no verdict";
    return false;
  }
  roll_back(zero);
  *rolled_back = true;
  return true;
}

bool lucas_lehmer_run::save(bool verified) {
  if (opt_.states == nullptr) return false;
  run_state s;
  s.p = p_;
  s.iteration = now_.iteration;
  s.shift = now_.shift;
  s.start_shift = start_shift_;
  s.jacobi_errors = out_.jacobi_errors;
  s.roundoff_errors = out_.roundoff_errors;
  s.elapsed = elapsed();
  s.verified = verified;
  s.tf_bits = factored_to_;
  st_->store(now_.u);
  s.residue = residue_bytes(now_.u, p_);
  std::string why;
  last_save_ = clock_type::now();
  if (opt_.states->save(s, &why)) return true;
  warn("could not save the state of M" + std::to_string(p_) + ": " + why + "; going on");
  return false;
}

void lucas_lehmer_run::go() {
  int64_t n = 0;
  if (e_.start_length != nullptr) {
    n = e_.start_length(p_, opt_.start_length);
    if (n == 0) {
      out_.note = "no transform length for this exponent";
      return;
    }
  }
  if (!resume()) start();
  out_.shift = start_shift_;
  copy(good_, now_);
  st_ = make_stepper(e_, p_, n, opt_);
  st_->load(now_.u);

  progress_pacer pacer(opt_.progress, target_);
  if (opt_.progress) opt_.progress(now_.iteration, target_);
  int64_t mask = 0;  // the clock is read every mask + 1 iterations
  auto last_read = clock_type::now();
  for (;;) {
    while (now_.iteration < target_) {
      if (!advance()) {
        out_.fft_length = used_;
        return;
      }
      pacer.tick(now_.iteration);
      const bool stopping = stop_asked(opt_);
      const bool recheck = now_.iteration == zero_at_ || now_.iteration == recheck_at_;
      if ((now_.iteration & mask) != 0 && !stopping && !recheck) continue;
      const auto t = clock_type::now();
      if (seconds_between(last_read, t) < 1e-3 && mask < (int64_t{1} << 20) - 1) mask = 2 * mask + 1;
      last_read = t;
      // Checks at most as often as keeps them to about 1% of the run.
      const bool check_due =
          recheck ||
          seconds_between(last_check_end_, t) >= (1 - tuning::kCheckShare) / tuning::kCheckShare * last_check_cost_;
      const bool save_due = opt_.states != nullptr && seconds_between(last_save_, t) >= opt_.checkpoint_every;
      bool verified = false;
      if (check_due) {
        bool rolled_back;
        if (!check(&rolled_back)) {
          out_.fft_length = used_;
          return;
        }
        if (rolled_back) continue;  // a damaged residue is never saved
        verified = true;
      }
      const bool saved = (save_due || stopping) && save(verified);
      if (stopping) {
        out_.interrupted = true;
        out_.saved_at = saved ? now_.iteration : -1;
        out_.fft_length = used_;
        return;
      }
    }
    // The final residue is always checked before it is reported.
    bool rolled_back;
    if (now_.iteration >= 1 && now_.iteration == total_) {
      if (!check(&rolled_back)) {
        out_.fft_length = used_;
        return;
      }
      if (rolled_back) continue;
    }
    break;
  }
  pacer.finish();
  st_->store(now_.u);
  mpz_value s;
  rotate_left(s, now_.u, (static_cast<uint32_t>(p_) - now_.shift) % static_cast<uint32_t>(p_), p_);
  out_.res64 = low64(s);
  out_.fft_length = used_;
  if (target_ < total_) {
    out_.partial = target_;
    save(false);  // the same command without the iteration limit goes on from here
    return;
  }
  out_.verdict = true;
  out_.prime = mpz_sgn(s.get()) == 0;
  if (retries_ > 0) out_.note += " (" + std::to_string(retries_) + (retries_ == 1 ? " retry)" : " retries)");
}

}  // namespace

ll_outcome run_lucas_lehmer(const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p));
  ll_outcome out;
  try {
    lucas_lehmer_run(e, p, opt, out).go();
  } catch (const engine_failure& x) {
    out = ll_outcome{};
    out.error = x.what();
  } catch (const std::bad_alloc&) {
    out = ll_outcome{};
    out.error = "not enough memory for p = " + std::to_string(p);
  }
  return out;
}
