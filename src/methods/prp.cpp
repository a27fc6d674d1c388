#include "methods/prp.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>

#include "base/check.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/machine.h"
#include "methods/checks.h"
#include "methods/pacer.h"
#include "methods/proof.h"
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

// bytes as a residue into u (reduced); false when the value is 2^p or more.
bool residue_from(mpz_ptr u, const std::vector<uint8_t>& bytes, int32_t p) {
  mpz_import(u, bytes.size(), -1, 1, 0, 0, bytes.data());
  if (mpz_sizeinbase(u, 2) > static_cast<size_t>(p)) return false;
  mpz_value tmp;
  mersenne_reduce(u, p, tmp);
  return true;
}

// u held with shift k, as the plain value.
void unshift(mpz_ptr out, mpz_srcptr u, uint32_t k, int32_t p) {
  rotate_left(out, u, (static_cast<uint32_t>(p) - k) % static_cast<uint32_t>(p), p);
}

// Where the run stands: the residue u = x_i 2^shift and the check product
// held as D = d 2^check_shift (d taken at the last multiple of B).
struct point {
  int64_t iteration = 0;
  uint32_t shift = 0, check_shift = 0;
  mpz_value u, d;
};

void copy(point& to, const point& from) {
  to.iteration = from.iteration;
  to.shift = from.shift;
  to.check_shift = from.check_shift;
  mpz_set(to.u, from.u);
  mpz_set(to.d, from.d);
}

// Removes what a killed run on p left in dir: half-written proofs
// (M<p>.*.proof.tmp.<pid>) and residue folders of runs without checkpoints
// (.M<p>.proof-residues.<pid>.*) whose writer is gone (left_by_dead_writer).
void remove_stale_proof_files(const std::string& dir, int32_t p) {
  const std::string file_prefix = mersenne_name(p) + ".", folder_prefix = "." + mersenne_name(p) + ".proof-residues.";
  remove_left_by_dead_writers(dir, [&](const std::string& name) -> pid_t {
    std::string digits;
    if (name.compare(0, file_prefix.size(), file_prefix) == 0) {
      const size_t at = name.rfind(".proof.tmp.");
      if (at == std::string::npos) return 0;
      digits = name.substr(at + 11);
    } else if (name.compare(0, folder_prefix.size(), folder_prefix) == 0) {
      const size_t dot = name.find('.', folder_prefix.size());
      if (dot == std::string::npos) return 0;  // an older name without the pid: its writer is unknown
      digits = name.substr(folder_prefix.size(), dot - folder_prefix.size());
    } else {
      return 0;
    }
    int64_t pid = 0;
    return read_decimal(digits, 999999999, &pid) == decimal_read::ok ? static_cast<pid_t>(pid) : 0;
  });
}

class prp_test {
 public:
  prp_test(const engine& e, int32_t p, const engine_options& opt, ll_outcome& out)
      : e_(e), p_(p), opt_(opt), out_(out), block_(gerbicz_block(p)), power_(opt.proof_power) {
    top_ = power_ > 0 ? proof_top(p, power_) : 0;
    step_ = power_ > 0 ? top_ >> power_ : 0;
    const int64_t end = power_ > 0 ? top_ : p;
    final_ = (end + block_ - 1) / block_ * block_;
  }
  ~prp_test() {
    std::error_code ec;
    if (!temp_dir_.empty()) std::filesystem::remove_all(temp_dir_, ec);
    if (temp_dir_fd_ >= 0) ::close(temp_dir_fd_);
  }

  void go();

 private:
  void warn(const std::string& text) const {
    if (opt_.warn) opt_.warn(text);
  }
  bool prepare_proof();
  bool resume();
  bool usable(const run_state& s, point& at, mpz_ptr kept, std::string* why);
  void start_fresh(point& at) const;
  // Runs step on the residue's stepper (on_x) or the check product's, at a
  // longer length for both while its distance reaches the bound; false when no length serves.
  template <class Step>
  bool on(bool on_x, Step step);
  bool advance();
  // The Gerbicz check at a multiple of B^2 or the end: d_old is the check
  // product before the last one; false when the run has to stop.
  bool check(mpz_srcptr d_old, uint32_t old_shift, bool* rolled_back);
  void roll_back();
  void load_steppers() {
    x_->load(now_.u);
    d_->load(now_.d);
  }
  bool save(bool verified);
  // Makes, checks and writes the proof once the test has its verdict; false
  // (with out_.error) when it could not be made or written.
  bool finish_proof();
  double elapsed() const { return elapsed_before_ + seconds_between(started_, clock_type::now()); }

  const engine& e_;
  int32_t p_;
  const engine_options& opt_;
  int32_t factored_to_ = opt_.factored_to;  // the depth trial factoring searched before the test
  ll_outcome& out_;
  uint32_t block_;
  int power_;
  int64_t top_ = 0, step_ = 0, final_ = 0, n_ = 0;
  std::unique_ptr<stepper> x_, d_;
  point now_, good_;        // good_: the last point that passed the check (or the start)
  mpz_value kept_, good_kept_;  // x_p without shift, once passed
  mpz_value x0_;            // x_0 = 3 held with the starting shift
  uint32_t start_shift_ = 0;
  std::mt19937_64 rng_{std::random_device{}()};
  std::map<int64_t, int> failures_at_;
  std::map<int64_t, int64_t> injected_;  // faults injected so far after each iteration
  std::unique_ptr<proof_residues> residues_;
  std::string temp_dir_;  // the proof residues' folder without checkpoints, removed at the end
  int temp_dir_fd_ = -1;  // temp_dir_ open and locked (flock) while this run uses it
  double elapsed_before_ = 0;
  clock_type::time_point started_ = clock_type::now(), last_save_ = started_;
  int retries_ = 0;
};

void prp_test::start_fresh(point& at) const {
  at.iteration = 0;
  at.shift = start_shift_;
  at.check_shift = start_shift_;
  mpz_set(at.u, x0_);
  mpz_set(at.d, x0_);  // d_0 = x_0
}

bool prp_test::usable(const run_state& s, point& at, mpz_ptr kept, std::string* why) {
  if (s.block != block_ || static_cast<int>(s.proof_power) != power_ || s.proof_step != step_) {
    *why = "saved with another check block or proof power";
    return false;
  }
  if (s.iteration > final_ || !residue_from(at.u, s.residue, p_) || !residue_from(at.d, s.check, p_) ||
      (!s.kept.empty() && !residue_from(kept, s.kept, p_))) {
    *why = "fields out of range";
    return false;
  }
  // 3^k is never 0 mod 2^p - 1, nor is a product of such powers.
  if (mpz_sgn(at.u.get()) == 0 || mpz_sgn(at.d.get()) == 0) {
    *why = "its residue or check product is 0, which no sound run holds";
    return false;
  }
  // Every proof residue up to this point must be there and whole.
  mpz_value x;
  for (int64_t i = step_; power_ > 0 && i <= std::min(s.iteration, top_); i += step_)
    if (!residues_->load(i, x, why)) return false;
  at.iteration = s.iteration;
  at.shift = s.shift;
  at.check_shift = s.check_shift;
  return true;
}

bool prp_test::resume() {
  if (opt_.states == nullptr) return false;
  const std::vector<run_state> found =
      opt_.states->load(p_, [&](const std::string& w) { warn(w); }, test_kind::prp);
  // The newest usable state to go on from; the newest verified one not past it to roll back to.
  size_t i = 0;
  for (; i < found.size(); ++i) {
    std::string why;
    if (usable(found[i], now_, kept_, &why)) break;
    warn(found[i].file + " (the probable-prime state of " + mersenne_name(p_) + " at iteration " +
         std::to_string(found[i].iteration) + "): " + why + "; not used");
  }
  if (i == found.size()) return false;
  const run_state& s = found[i];
  start_shift_ = s.start_shift;
  {
    mpz_value three;
    mpz_set_ui(three, 3);
    rotate_left(x0_, three, start_shift_, p_);
  }
  out_.jacobi_errors = 0;
  out_.roundoff_errors = s.roundoff_errors;
  out_.gerbicz_errors = s.gerbicz_errors;
  elapsed_before_ = s.elapsed;
  out_.resumed_from = s.iteration;
  factored_to_ = std::max(factored_to_, s.tf_bits);  // a rerun that factors less keeps the depth
  bool verified = false;
  for (size_t j = i; j < found.size() && !verified; ++j) {
    std::string why;
    if (!found[j].verified || found[j].start_shift != start_shift_ || found[j].iteration > now_.iteration) continue;
    verified = usable(found[j], good_, good_kept_, &why);
    if (!verified)
      warn(found[j].file + " (a verified probable-prime state of " + mersenne_name(p_) + " at iteration " +
           std::to_string(found[j].iteration) + "): " + why + "; not used to roll back to");
  }
  if (!verified) {
    // A state that was tried and refused may have left parts in good_: the start, whole.
    start_fresh(good_);
    mpz_set_ui(good_kept_, 0);
  }
  return true;
}

bool prp_test::prepare_proof() {
  if (power_ == 0) return true;
  const std::string proof_dir = opt_.proof_dir.empty() ? "." : opt_.proof_dir;
  remove_stale_proof_files(proof_dir, p_);
  std::string dir;
  if (opt_.states != nullptr) {
    dir = opt_.states->proof_residue_dir(p_);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      out_.error = "cannot make the folder for the proof residues " + dir + ": " + ec.message();
      return false;
    }
  } else {
    // Named for this process and locked, so that a later run can tell it from a killed one's.
    std::string templ = proof_dir + "/." + mersenne_name(p_) + ".proof-residues." + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      out_.error = "cannot make a folder for the proof residues in " + proof_dir + ": " + errno_text();
      return false;
    }
    dir = temp_dir_ = templ;
    temp_dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temp_dir_fd_ >= 0) ::flock(temp_dir_fd_, LOCK_EX);
  }
  residues_ = std::make_unique<proof_residues>(dir, p_);
  return true;
}

template <class Step>
bool prp_test::on(bool on_x, Step step) {
  double err = step(on_x ? *x_ : *d_);
  while (!(err < tuning::kRetryDistance)) {
    const int64_t longer = e_.next_length != nullptr ? e_.next_length(p_, n_) : 0;
    if (longer == 0) {
      if (!(err <= out_.max_roundoff)) out_.max_roundoff = err;
      char text[160];
      std::snprintf(text, sizeof text, "rounding distance %.4f after iteration %lld reached the bound %.1f; no verdict",
                    err, static_cast<long long>(now_.iteration), tuning::kRetryDistance);
      out_.note = text;
      return false;
    }
    // Both residues move to the longer length; the refused step left its own untouched.
    mpz_value u, d;
    x_->store(u);
    d_->store(d);
    x_.reset();
    d_.reset();
    x_ = make_stepper(e_, p_, longer, opt_);
    d_ = make_stepper(e_, p_, longer, opt_);
    x_->load(u);
    d_->load(d);
    if (!out_.note.empty()) out_.note += "; ";
    out_.note += "length raised from " + std::to_string(n_) + " to " + std::to_string(longer) + " at iteration " +
                 std::to_string(now_.iteration);
    n_ = longer;
    ++out_.roundoff_errors;
    ++retries_;
    err = step(on_x ? *x_ : *d_);
  }
  if (err > out_.max_roundoff) out_.max_roundoff = err;
  return true;
}

bool prp_test::advance() {
  if (!on(true, [](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); })) return false;
  now_.shift = static_cast<uint32_t>((2 * static_cast<uint64_t>(now_.shift)) % static_cast<uint64_t>(p_));
  ++now_.iteration;
  const auto& faults = opt_.inject_faults;
  // An iteration listed k times is damaged on each of its first k passes.
  const auto listed = faults.empty() ? 0 : std::count(faults.begin(), faults.end(), now_.iteration);
  if (listed > 0 && listed > injected_[now_.iteration]) {
    ++injected_[now_.iteration];
    // One flipped bit, as a memory or arithmetic error might leave it.
    mpz_value u, tmp;
    x_->store(u);
    mpz_combit(u, static_cast<mp_bitcnt_t>(now_.iteration % p_));
    mersenne_reduce(u, p_, tmp);
    x_->load(u);
  }
  return true;
}

void prp_test::roll_back() {
  copy(now_, good_);
  mpz_set(kept_, good_kept_);
  // The same residue at another shift: another path through the arithmetic.
  const uint32_t e = 1 + static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_ - 1));
  mpz_value u;
  rotate_left(u, now_.u, e, p_);
  mpz_set(now_.u, u);
  now_.shift = (now_.shift + e) % static_cast<uint32_t>(p_);
  load_steppers();
}

bool prp_test::check(mpz_srcptr d_old, uint32_t old_shift, bool* rolled_back) {
  *rolled_back = false;
  mpz_value d_new, want, a, b;
  d_->store(d_new);
  // d_old^(2^B) x_0 from the product before the last one.
  d_->load(d_old);
  uint32_t shift = old_shift;
  for (uint32_t i = 0; i < block_; ++i) {
    if (!on(false, [](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); })) return false;
    shift = static_cast<uint32_t>((2 * static_cast<uint64_t>(shift)) % static_cast<uint64_t>(p_));
  }
  if (!on(false, [this](stepper& s) { return s.multiply(x0_, tuning::kRetryDistance); })) return false;
  shift = (shift + start_shift_) % static_cast<uint32_t>(p_);
  d_->store(want);
  d_->load(d_new);
  unshift(a, want, shift, p_);
  unshift(b, d_new, now_.check_shift, p_);
  if (mpz_cmp(a, b) == 0) {
    x_->store(now_.u);
    mpz_set(now_.d, d_new);
    copy(good_, now_);
    mpz_set(good_kept_, kept_);
    return true;
  }
  ++out_.gerbicz_errors;
  if (++failures_at_[good_.iteration] >= 3) {
    out_.note = "the Gerbicz check failed three times after iteration " + std::to_string(good_.iteration) +
                ": the hardware is unreliable; no verdict";
    return false;
  }
  roll_back();
  *rolled_back = true;
  return true;
}

bool prp_test::save(bool verified) {
  if (opt_.states == nullptr) return false;
  run_state s;
  s.test = test_kind::prp;
  s.p = p_;
  s.iteration = now_.iteration;
  s.shift = now_.shift;
  s.start_shift = start_shift_;
  s.roundoff_errors = out_.roundoff_errors;
  s.gerbicz_errors = out_.gerbicz_errors;
  s.elapsed = elapsed();
  s.verified = verified;
  s.tf_bits = factored_to_;
  s.block = block_;
  s.check_shift = now_.check_shift;
  s.proof_power = static_cast<uint32_t>(power_);
  s.proof_step = step_;
  x_->store(now_.u);
  d_->store(now_.d);
  s.residue = residue_bytes(now_.u, p_);
  s.check = residue_bytes(now_.d, p_);
  if (now_.iteration >= p_) s.kept = residue_bytes(kept_, p_);
  std::string why;
  last_save_ = clock_type::now();
  if (opt_.states->save(s, &why)) return true;
  warn("could not save the state of " + mersenne_name(p_) + ": " + why + "; going on");
  return false;
}

bool prp_test::finish_proof() {
  const std::string dir = opt_.proof_dir.empty() ? "." : opt_.proof_dir;
  const std::string path = dir + "/" + proof_file_name(p_, power_);
  mpz_value x_top;
  std::string why;
  std::vector<uint8_t> bytes;
  // Each proof is checked as --verify would check it before it is put where
  // the result names it: a kept residue whose value is wrong under a good
  // checksum, or a fault while making the middles, gives none. A second
  // making from the same residues clears a passing fault.
  proof_verdict v;
  for (int attempt = 0; attempt < 2 && !v.valid; ++attempt) {
    if (!residues_->load(top_, x_top, &why) ||
        !make_proof(e_, p_, power_, opt_, *residues_, x_top, kept_, &bytes, &why)) {
      out_.error = "the proof could not be written: " + why;
      return false;
    }
    v = verify_proof(bytes.data(), bytes.size(), opt_);
    if (v.valid && (v.prime != out_.prime || v.res64 != out_.res64)) {
      v.valid = false;
      v.why = "its residue differs from the test's";
    }
  }
  if (!v.valid) {
    if (!out_.note.empty()) out_.note += "; ";
    out_.note += "no proof: the one made failed its check twice (" + v.why + ")";
  } else if (!write_file_synced(path, bytes.data(), bytes.size(), &why)) {
    out_.error = "the proof could not be written: " + why;
    return false;
  } else {
    out_.proof_file = path;
    out_.proof_power = power_;
  }
  std::error_code ec;
  std::filesystem::remove_all(residues_->dir(), ec);
  return true;
}

void prp_test::go() {
  if (e_.start_length != nullptr) {
    n_ = e_.start_length(p_, opt_.start_length);
    if (n_ == 0) {
      out_.note = "no transform length for this exponent";
      return;
    }
  }
  if (!prepare_proof()) return;
  if (!resume()) {
    start_shift_ = opt_.shift >= 0 ? static_cast<uint32_t>(opt_.shift % p_)
                                   : static_cast<uint32_t>(rng_() % static_cast<uint64_t>(p_));
    mpz_value three;
    mpz_set_ui(three, 3);
    rotate_left(x0_, three, start_shift_, p_);
    start_fresh(now_);
    copy(good_, now_);
  }
  out_.shift = start_shift_;
  if (power_ > 0) {
    // The residues still to be kept, and the proof itself, must fit.
    const uint64_t rb = (static_cast<uint64_t>(p_) + 7) / 8 + 100;
    const int64_t done = std::min(now_.iteration, top_) / step_;
    const uint64_t need = rb * static_cast<uint64_t>((int64_t{1} << power_) - done + power_ + 2);
    const uint64_t have = free_bytes(residues_->dir());
    if (have < need) {
      out_.error = "not enough free space for the proof of power " + std::to_string(power_) + ": it needs about " +
                   format_bytes(need) + " in " + residues_->dir() + ", which has " + format_bytes(have) +
                   " free; choose a lower power or make room";
      return;
    }
  }
  x_ = make_stepper(e_, p_, n_, opt_);
  d_ = make_stepper(e_, p_, n_, opt_);
  load_steppers();

  progress_pacer pacer(opt_.progress, final_);
  if (opt_.progress) opt_.progress(now_.iteration, final_);
  const int64_t check_every = static_cast<int64_t>(block_) * block_;
  int64_t mask = 0;
  auto last_read = clock_type::now();
  mpz_value tmp, d_old, x;
  bool failed = false;  // stopped without a verdict: the note or error says why
  while (now_.iteration < final_) {
    if (!advance()) {
      failed = true;
      break;
    }
    const int64_t i = now_.iteration;
    if (i == p_ || (power_ > 0 && i % step_ == 0 && i <= top_)) {
      x_->store(tmp);
      unshift(x, tmp, now_.shift, p_);
      if (i == p_) mpz_set(kept_, x);
      std::string why;
      if (power_ > 0 && i % step_ == 0 && i <= top_ && !residues_->save(i, x, &why)) {
        out_.error = "cannot keep a proof residue: " + why;
        failed = true;
        break;
      }
    }
    bool verified = false;
    if (i % block_ == 0) {
      const bool checking = i % check_every == 0 || i == final_;
      if (checking) d_->store(d_old);
      const uint32_t old_shift = now_.check_shift;
      if (!on(false, [this](stepper& s) { return s.multiply_by(*x_, tuning::kRetryDistance); })) {
        failed = true;
        break;
      }
      now_.check_shift = (now_.check_shift + now_.shift) % static_cast<uint32_t>(p_);
      if (checking) {
        bool rolled_back = false;
        if (!check(d_old, old_shift, &rolled_back)) {
          failed = true;
          break;
        }
        if (rolled_back) continue;  // a damaged residue is never saved
        verified = true;
      }
    }
    pacer.tick(i);
    const bool stopping = stop_asked(opt_);
    if ((i & mask) != 0 && !stopping && !verified) continue;
    const auto t = clock_type::now();
    if (seconds_between(last_read, t) < 1e-3 && mask < (int64_t{1} << 20) - 1) mask = 2 * mask + 1;
    last_read = t;
    const bool save_due = opt_.states != nullptr && seconds_between(last_save_, t) >= opt_.checkpoint_every;
    const bool saved = (save_due || stopping) && now_.iteration < final_ && save(verified);
    if (stopping && now_.iteration < final_) {
      out_.interrupted = true;
      out_.saved_at = saved ? now_.iteration : -1;
      out_.fft_length = n_;
      return;
    }
  }
  out_.fft_length = n_;
  if (failed || now_.iteration < final_) return;
  pacer.finish();
  // The Fermat residue x_p / 9.
  mpz_value m, inv, r;
  mpz_setbit(m, static_cast<mp_bitcnt_t>(p_));
  mpz_sub_ui(m, m, 1);
  mpz_set_ui(inv, 9);
  mpz_invert(inv, inv, m);
  mpz_mul(r, kept_, inv);
  mpz_mod(r, r, m);
  out_.verdict = true;
  out_.prime = mpz_cmp_ui(r.get(), 1) == 0;
  out_.res64 = low64(r);
  if (retries_ > 0) out_.note += " (" + std::to_string(retries_) + (retries_ == 1 ? " retry)" : " retries)");
  if (power_ > 0 && !finish_proof()) {
    out_.verdict = out_.prime = false;
    out_.res64 = 0;
  }
}

}  // namespace

uint32_t gerbicz_block(int32_t p) {
  const auto b = static_cast<uint32_t>(std::sqrt(static_cast<double>(p) / 10.0));
  return std::clamp<uint32_t>(b, 1, 1000);
}

ll_outcome run_probable_prime(const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p) && opt.proof_power >= 0 && opt.proof_power <= kMaxProofPower);
  ll_outcome out;
  try {
    prp_test(e, p, opt, out).go();
  } catch (const engine_failure& x) {
    out = ll_outcome{};
    out.error = x.what();
  } catch (const std::bad_alloc&) {
    out = ll_outcome{};
    out.error = "not enough memory for p = " + std::to_string(p);
  }
  return out;
}
