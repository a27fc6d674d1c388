#include "methods/prp.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>

#include "base/check.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/machine.h"
#include "arith/engine_table.h"
#include "arith/modular.h"
#include "methods/checks.h"
#include "methods/driver.h"
#include "methods/proof.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "base/tuning.h"

namespace {

// Removes what a killed run on p left in dir: half-written proofs
// (M<p>.*.proof.tmp.<pid>) and residue folders of runs without checkpoints
// (.M<p>.proof-residues.<pid>.*) whose writer is gone (left_by_dead_writer).
void remove_stale_proof_files(const std::string& dir, int32_t p) {
  const std::string file_prefix = mersenne_name(p) + ".";
  std::string folder_prefix = ".";  // appended: GCC 12 warns falsely about "." + std::string
  folder_prefix += file_prefix + "proof-residues.";
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

// The probable-prime test over the chain driver: stepper 0 holds x_i,
// stepper 1 the check product D = d 2^(its shift); x_p is kept unshifted
// once reached, and the proof residues at the multiples of top / 2^power.
class prp_test : public chain_policy {
 public:
  prp_test(int32_t p, const engine_options& opt) : p_(p), opt_(opt), block_(gerbicz_block(p)), power_(opt.proof_power) {
    top_ = power_ > 0 ? proof_top(p, power_) : 0;
    step_ = power_ > 0 ? top_ >> power_ : 0;
    const int64_t end = power_ > 0 ? top_ : p;
    final_ = (end + block_ - 1) / block_ * block_;
  }
  ~prp_test() override {
    std::error_code ec;
    if (!temp_dir_.empty()) std::filesystem::remove_all(temp_dir_, ec);
    if (temp_dir_fd_ >= 0) ::close(temp_dir_fd_);
  }

  test_kind kind() const override { return test_kind::prp; }
  int steppers() const override { return 2; }
  int64_t target() const override { return final_; }
  bool verifies_on_load() const override { return false; }
  bool reports_made_length() const override { return true; }
  const char* state_noun() const override { return "probable-prime state"; }
  const char* check_name() const override { return "Gerbicz check"; }
  const char* bound_word() const override { return "after"; }

  bool prepare(chain_driver& d) override;
  void begin(chain_driver& d) override {
    mpz_value three;
    mpz_set_ui(three, 3);
    rotate_left(x0_, three, d.start_shift(), p_);
  }
  void start(chain_driver&, chain_point& at, bool good) override {
    mpz_set(at.r[0], x0_);
    mpz_set(at.r[1], x0_);  // d_0 = x_0
    mpz_set_ui(good ? good_kept_ : kept_, 0);
  }
  bool take(chain_driver& d, const run_state& s, chain_point& at, bool good, std::string* tail) override;
  bool before_steppers(chain_driver& d) override;
  after_step after(chain_driver& d, int64_t i) override;
  check_verdict check(chain_driver& d) override;
  void verified(chain_driver&) override { mpz_set(good_kept_, kept_); }
  void rolled_back(chain_driver&) override { mpz_set(kept_, good_kept_); }
  void put(chain_driver& d, run_state& s) override {
    s.block = block_;
    s.check_shift = d.now().shift[1];
    s.proof_power = static_cast<uint32_t>(power_);
    s.proof_step = step_;
    s.check = residue_bytes(d.now().r[1], p_);
    if (d.now().iteration >= p_) s.kept = residue_bytes(kept_, p_);
  }
  void damage(chain_driver& d, int64_t i) override {
    // One flipped bit, as a memory or arithmetic error might leave it.
    mpz_value u, tmp;
    d.stepper_at(0).store(u);
    mpz_combit(u, static_cast<mp_bitcnt_t>(i % p_));
    mersenne_reduce(u, p_, tmp);
    d.stepper_at(0).load(u);
  }
  void verdict(chain_driver& d) override {
    ll_outcome& out = d.out();
    mpz_value r;
    fermat_residue(r, kept_, p_);
    out.verdict = true;
    out.prime = mpz_cmp_ui(r.get(), 1) == 0;
    out.res64 = low64(r);
    out.res2048 = low_bits_hex(r, 2048);
  }
  void after_verdict(chain_driver& d) override {
    if (power_ > 0 && !finish_proof(d)) {
      d.out().verdict = d.out().prime = false;
      d.out().res64 = 0;
      d.out().res2048.clear();
    }
  }

 private:
  // Makes, checks and writes the proof once the test has its verdict; false
  // (with the outcome's error) when it could not be made or written.
  bool finish_proof(chain_driver& d);

  int32_t p_;
  const engine_options& opt_;
  uint32_t block_;
  int power_;
  int64_t top_ = 0, step_ = 0, final_ = 0;
  mpz_value kept_, good_kept_;  // x_p without shift, once passed
  mpz_value x0_;                // x_0 = 3 held with the starting shift
  mpz_value d_old_;             // the check product before the last one, at a check
  uint32_t old_shift_ = 0;      // its shift
  std::unique_ptr<proof_residues> residues_;
  std::string temp_dir_;  // the proof residues' folder without checkpoints, removed at the end
  int temp_dir_fd_ = -1;  // temp_dir_ open and locked (flock) while this run uses it
};

bool prp_test::take(chain_driver&, const run_state& s, chain_point& at, bool good, std::string* tail) {
  if (s.block != block_ || static_cast<int>(s.proof_power) != power_ || s.proof_step != step_) {
    *tail = ": saved with another check block or proof power";
    return false;
  }
  if (s.iteration > final_ || !residue_from(at.r[0], s.residue, p_) || !residue_from(at.r[1], s.check, p_) ||
      (!s.kept.empty() && !residue_from(good ? good_kept_ : kept_, s.kept, p_))) {
    *tail = ": fields out of range";
    return false;
  }
  // 3^k is never 0 mod 2^p - 1, nor is a product of such powers.
  if (mpz_sgn(at.r[0].get()) == 0 || mpz_sgn(at.r[1].get()) == 0) {
    *tail = ": its residue or check product is 0, which no sound run holds";
    return false;
  }
  // Every proof residue up to this point must be there and whole.
  mpz_value x;
  std::string why;
  for (int64_t i = step_; power_ > 0 && i <= std::min(s.iteration, top_); i += step_)
    if (!residues_->load(i, x, &why)) {
      *tail = ": " + why;
      return false;
    }
  at.shift[0] = s.shift;
  at.shift[1] = s.check_shift;
  return true;
}

bool prp_test::prepare(chain_driver& d) {
  if (power_ == 0) return true;
  const std::string proof_dir = opt_.proof_dir.empty() ? "." : opt_.proof_dir;
  remove_stale_proof_files(proof_dir, p_);
  std::string dir;
  if (opt_.states != nullptr) {
    dir = opt_.states->proof_residue_dir(p_);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
      d.out().error = "cannot make the folder for the proof residues " + dir + ": " + ec.message();
      return false;
    }
  } else {
    // Named for this process and locked, so that a later run can tell it from a killed one's.
    std::string templ = proof_dir + "/." + mersenne_name(p_) + ".proof-residues." + std::to_string(::getpid()) + ".XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
      d.out().error = "cannot make a folder for the proof residues in " + proof_dir + ": " + errno_text();
      return false;
    }
    dir = temp_dir_ = templ;
    temp_dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temp_dir_fd_ >= 0) ::flock(temp_dir_fd_, LOCK_EX);
  }
  residues_ = std::make_unique<proof_residues>(dir, p_);
  return true;
}

bool prp_test::before_steppers(chain_driver& d) {
  if (power_ == 0) return true;
  // The residues still to be kept, and the proof itself, must fit.
  const uint64_t rb = (static_cast<uint64_t>(p_) + 7) / 8 + 100;
  const int64_t done = std::min(d.now().iteration, top_) / step_;
  const uint64_t need = rb * static_cast<uint64_t>((int64_t{1} << power_) - done + power_ + 2);
  const uint64_t have = free_bytes(residues_->dir());
  if (have >= need) return true;
  d.out().error = "not enough free space for the proof of power " + std::to_string(power_) + ": it needs about " +
                  format_bytes(need) + " in " + residues_->dir() + ", which has " + format_bytes(have) +
                  " free; choose a lower power or make room";
  return false;
}

after_step prp_test::after(chain_driver& d, int64_t i) {
  chain_point& now = d.now();
  if (i == p_ || (power_ > 0 && i % step_ == 0 && i <= top_)) {
    mpz_value tmp, x;
    d.stepper_at(0).store(tmp);
    unshift(x, tmp, now.shift[0], p_);
    if (i == p_) mpz_set(kept_, x);
    std::string why;
    if (power_ > 0 && i % step_ == 0 && i <= top_ && !residues_->save(i, x, &why)) {
      d.out().error = "cannot keep a proof residue: " + why;
      return after_step::stop;
    }
  }
  if (i % block_ != 0) return after_step::go_on;
  // Every B iterations the check product takes the residue; every B^2 and at the end it is checked.
  const bool checking = i % (static_cast<int64_t>(block_) * block_) == 0 || i == final_;
  if (checking) d.stepper_at(1).store(d_old_);
  old_shift_ = now.shift[1];
  if (!d.step(1, [&d](stepper& s) { return s.multiply_by(d.stepper_at(0), tuning::kRetryDistance); }))
    return after_step::stop;
  now.shift[1] = (now.shift[1] + now.shift[0]) % static_cast<uint32_t>(p_);
  return checking ? after_step::check_now : after_step::go_on;
}

check_verdict prp_test::check(chain_driver& d) {
  // d_old^(2^B) x_0 from the product before the last one must be the product now.
  const chain_point& now = d.now();
  mpz_value want, a, b;
  d.stepper_at(1).load(d_old_);
  uint32_t shift = old_shift_;
  for (uint32_t i = 0; i < block_; ++i) {
    if (!d.step(1, [](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); })) return check_verdict::stop;
    shift = static_cast<uint32_t>((2 * static_cast<uint64_t>(shift)) % static_cast<uint64_t>(p_));
  }
  if (!d.step(1, [this](stepper& s) { return s.multiply(x0_, tuning::kRetryDistance); })) return check_verdict::stop;
  shift = (shift + d.start_shift()) % static_cast<uint32_t>(p_);
  d.stepper_at(1).store(want);
  d.stepper_at(1).load(now.r[1]);
  unshift(a, want, shift, p_);
  unshift(b, now.r[1], now.shift[1], p_);
  if (mpz_cmp(a, b) == 0) return check_verdict::passed;
  ++d.out().gerbicz_errors;
  return check_verdict::failed;
}

bool prp_test::finish_proof(chain_driver& d) {
  ll_outcome& out = d.out();
  const std::string dir = opt_.proof_dir.empty() ? "." : opt_.proof_dir;
  const std::string path = dir + "/" + proof_file_name(p_, power_);
  mpz_value x_top;
  std::string why;
  std::vector<uint8_t> bytes;
  // Each proof is checked as --verify would check it before it is put where
  // the result names it: a kept residue whose value is wrong under a good
  // checksum, or a fault while making the middles, gives none. A second
  // making from the same residues clears a passing fault.
  // The proof holds x_top, not x_p: x_p squared on to top must give it.
  proof_verdict v;
  for (int attempt = 0; attempt < 2 && !v.valid; ++attempt) {
    if (!residues_->load(top_, x_top, &why) ||
        !make_proof(d.eng(), p_, power_, opt_, *residues_, x_top, &bytes, &why)) {
      out.error = "the proof could not be written: " + why;
      return false;
    }
    v = verify_proof(*find_engine("fast"), bytes.data(), bytes.size(), opt_);
    mpz_value x;
    if (v.valid) modular_arith(d.eng(), p_, opt_).square_times(x, kept_, top_ - p_);
    if (v.valid && (v.prime != out.prime || v.top != top_ || mpz_cmp(x, x_top) != 0)) {
      v.valid = false;
      v.why = "its residue differs from the test's";
    }
  }
  if (!v.valid) {
    if (!out.note.empty()) out.note += "; ";
    out.note += "no proof: the one made failed its check twice (" + v.why + ")";
  } else if (!write_file_synced(path, bytes.data(), bytes.size(), &why)) {
    out.error = "the proof could not be written: " + why;
    return false;
  } else {
    out.proof_file = path;
    out.proof_power = power_;
  }
  std::error_code ec;
  std::filesystem::remove_all(residues_->dir(), ec);
  return true;
}

}  // namespace

uint32_t gerbicz_block(int32_t p) {
  const auto b = static_cast<uint32_t>(std::sqrt(static_cast<double>(p) / 10.0));
  return std::clamp<uint32_t>(b, 1, 1000);
}

ll_outcome run_probable_prime(const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p) && opt.proof_power >= 0 && opt.proof_power <= kMaxProofPower);
  prp_test policy(p, opt);
  return run_chain(policy, e, p, opt);
}
