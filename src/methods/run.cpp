#include "methods/run.h"

#include <string>

#include "arith/residue.h"
#include "methods/checks.h"
#include "methods/driver.h"

namespace {

class lucas_lehmer : public chain_policy {
 public:
  lucas_lehmer(int32_t p, const engine_options& opt)
      : p_(p), total_(p - 2), target_(opt.iterations > 0 && opt.iterations < p - 2 ? opt.iterations : p - 2) {}

  test_kind kind() const override { return test_kind::ll; }
  int64_t target() const override { return target_; }
  uint32_t subtract() const override { return 2; }
  bool timed_checks() const override { return true; }
  bool checks_end() const override { return target_ == total_; }
  bool faults_repeat() const override { return false; }

  void start(chain_driver&, chain_point& at, bool) override {
    // s(0) = 4 held as 4 2^k = 2^(k + 2).
    mpz_set_ui(at.r[0], 0);
    mpz_setbit(at.r[0], (at.shift[0] + 2) % static_cast<uint32_t>(p_));
  }

  bool take(chain_driver& d, const run_state& s, chain_point& at, bool, std::string* tail) override {
    if (s.iteration > target_) {  // a partial run never goes past its K
      *tail = " is past the " + std::to_string(target_) + " iterations asked for";
      return false;
    }
    mpz_ptr u = at.r[0];
    mpz_import(u, s.residue.size(), -1, 1, 0, 0, s.residue.data());
    if (mpz_sizeinbase(u, 2) > static_cast<size_t>(p_)) {
      *tail = ": its residue is 2^p or more";
      return false;
    }
    mpz_value tmp, g, start;
    mersenne_reduce(u, p_, tmp);
    // No sound run holds anything but 4 at iteration 0, nor 0 before its last
    // iteration (zeroed memory, which the Jacobi check passes): an older state is tried.
    mpz_setbit(start, (s.shift + 2) % static_cast<uint32_t>(p_));
    const bool impossible = s.iteration == 0 ? mpz_cmp(u, start) != 0 : mpz_sgn(u) == 0 && s.iteration < total_;
    if (impossible) {
      *tail = std::string(": its residue is ") + (s.iteration == 0 ? "not the start value" : "0") +
              ", which no sound run holds there";
      return false;
    }
    const jacobi_verdict v = s.iteration >= 1 ? jacobi_check(u, s.shift, p_, g) : jacobi_verdict::passed;
    if (v == jacobi_verdict::failed) {
      *tail = " fails the Jacobi check";
      return false;
    }
    if (v == jacobi_verdict::factor) note_factor(d, g);
    at.shift[0] = s.shift;
    return true;
  }

  check_verdict check(chain_driver& d) override {
    const chain_point& now = d.now();
    mpz_value g;
    const jacobi_verdict v = jacobi_check(now.r[0], now.shift[0], p_, g);
    // Zeroed memory passes the rounding check: 0 before the last iteration is
    // only taken when a recomputation at another shift arrives at it again.
    bool zero = mpz_sgn(now.r[0].get()) == 0 && now.iteration < total_;
    if (zero && zero_at_ == now.iteration) zero = false;
    if (zero) zero_at_ = now.iteration;
    if (v != jacobi_verdict::failed && !zero) {
      if (v == jacobi_verdict::factor) note_factor(d, g);
      return check_verdict::passed;
    }
    ++d.out().jacobi_errors;
    return check_verdict::failed;
  }

  void damage(chain_driver& d, int64_t i) override {
    // The damage a flipped bit could do, made so that the next check sees it.
    mpz_value c, u;
    damaged_residue(c, p_, static_cast<uint64_t>(i));
    rotate_left(u, c, d.now().shift[0], p_);
    d.stepper_at(0).load(u);
  }

  void verdict(chain_driver& d) override {
    ll_outcome& out = d.out();
    mpz_value s;
    unshift(s, d.now().r[0], d.now().shift[0], p_);
    out.res64 = low64(s);
    if (target_ < total_) {
      out.partial = target_;
      d.save(false);  // the same command without the iteration limit goes on from here
      return;
    }
    out.verdict = true;
    out.prime = mpz_sgn(s.get()) == 0;
  }

 private:
  // Keeps the first proper factor of 2^p - 1 a check found.
  static void note_factor(chain_driver& d, mpz_srcptr g) {
    if (!d.out().factor.empty()) return;
    std::string text(mpz_sizeinbase(g, 10) + 2, '\0');
    mpz_get_str(text.data(), 10, g);
    d.out().factor = text.c_str();
  }

  int32_t p_;
  int64_t total_, target_;
  int64_t zero_at_ = -1;  // iteration of a zero residue recomputed at another shift
};

}  // namespace

ll_outcome run_lucas_lehmer(const engine& e, int32_t p, const engine_options& opt) {
  lucas_lehmer policy(p, opt);
  return run_chain(policy, e, p, opt);
}
