#include "methods/pm1.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>
#include <primesieve.hpp>

#include "arith/modular.h"
#include "arith/residue.h"
#include "base/check.h"
#include "base/clock.h"
#include "base/machine.h"
#include "base/tuning.h"
#include "formats/state.h"
#include "methods/checks.h"
#include "methods/driver.h"
#include "methods/factor/split.h"
#include "methods/pm1_plan.h"

namespace {

// n = 2 p E, E the product of the largest powers of the primes up to b1 that
// are at most b1. Built as a product tree (partial products of about equal
// size merged pairwise), never one prime at a time into a growing number.
void stage1_exponent(mpz_ptr n, int32_t p, uint64_t b1) {
  std::vector<std::unique_ptr<mpz_value>> stack;
  const auto push = [&stack](mpz_srcptr v) {
    stack.push_back(std::make_unique<mpz_value>());
    mpz_set(*stack.back(), v);
    // Merge while the top two are of about one size: the tree stays balanced.
    while (stack.size() >= 2 &&
           mpz_size(*stack[stack.size() - 2]) <= 2 * mpz_size(*stack.back())) {
      mpz_mul(*stack[stack.size() - 2], *stack[stack.size() - 2], *stack.back());
      stack.pop_back();
    }
  };
  mpz_value word;
  unsigned __int128 acc = 1;
  primesieve::iterator it;
  for (uint64_t q = it.next_prime(); q <= b1; q = it.next_prime()) {
    uint64_t power = q;
    while (power <= b1 / q) power *= q;
    if (acc > (~static_cast<unsigned __int128>(0)) / power) {
      mpz_import(word, 1, -1, sizeof acc, 0, 0, &acc);
      push(word);
      acc = 1;
    }
    acc *= power;
  }
  mpz_import(word, 1, -1, sizeof acc, 0, 0, &acc);
  push(word);
  mpz_set_ui(n, 2);
  mpz_mul_ui(n, n, static_cast<unsigned long>(p));
  while (!stack.empty()) {
    mpz_mul(n, n, *stack.back());
    stack.pop_back();
  }
}

// Stage 1 over the chain driver: x_0 = 3 (the top bit of n), then per bit
// of n from the top down one squaring, times 3 where the bit is set, so
// that x_i = 3^(n >> (T - i)), T = bits - 1 the target.
//
// Its check is Gerbicz's, for an exponent that is not a power of two:
// blocks of B bits end at the iterations b with T - b a multiple of B (the
// first block is shorter; its leading zero bits are steps of 1 -> 1^2), so
// y_k = y_(k-1)^(2^B) 3^(a_k), a_k the block's bits. From a base y_s = v,
// the product D_t = v y_(s+1) ... y_(s+t) obeys
//   D_t = v D_(t-1)^(2^B) 3^(a_(s+1) + ... + a_(s+t)),
// checked with B squarings at the end of every B blocks and at T; then v
// and D start again from the checked residue. The first base is 1 at the
// (virtual) block end before iteration 0. Stepper 0 holds x, 1 holds D and
// 2 holds v, each with its own shift.
class pm1_stage1 : public chain_policy {
 public:
  pm1_stage1(int32_t p, uint64_t b1, mpz_srcptr n)
      : p_(p), b1_(b1), n_(n), bits_(mpz_sizeinbase(n, 2)), block_(pm1_block(static_cast<int64_t>(bits_) - 1)) {
    first_end_ = target() % block_;
  }

  // The check block for a stage 1 of t iterations: about sqrt(t) / 4, so
  // that the check costs under 1% from t = 10^6 on, at most 1000.
  static uint32_t pm1_block(int64_t t) {
    return std::clamp<uint32_t>(static_cast<uint32_t>(std::sqrt(static_cast<double>(t) / 16.0)), 2, 1000);
  }

  test_kind kind() const override { return test_kind::pm1; }
  int steppers() const override { return 3; }
  int64_t target() const override { return static_cast<int64_t>(bits_) - 1; }
  uint32_t times(int64_t i) const override { return bit(i) ? 3 : 1; }
  bool checks_end() const override { return true; }
  bool verifies_on_load() const override { return false; }
  bool faults_repeat() const override { return false; }
  const char* state_noun() const override { return "P-1 state"; }
  const char* check_name() const override { return "Gerbicz check"; }
  const char* bound_word() const override { return "after"; }

  void start(chain_driver&, chain_point& at, bool) override {
    mpz_value one, three;
    mpz_set_ui(one, 1);
    mpz_set_ui(three, 3);
    rotate_left(at.r[0], three, at.shift[0], p_);
    rotate_left(at.r[1], one, at.shift[1], p_);
    rotate_left(at.r[2], one, at.shift[2], p_);
    if (first_end_ == 0) multiply_in(at);  // iteration 0 ends the first block
  }
  bool take(chain_driver&, const run_state& s, chain_point& at, bool, std::string* tail) override;
  after_step after(chain_driver& d, int64_t i) override;
  check_verdict check(chain_driver& d) override;
  void verified(chain_driver& d) override;
  void put(chain_driver& d, run_state& s) override {
    const chain_point& now = d.now();
    s.pm1_stage = 1;
    s.pm1_b1 = b1_;
    s.block = block_;
    s.check = residue_bytes(now.r[1], p_);
    s.check_shift = now.shift[1];
    s.pm1_base = residue_bytes(now.r[2], p_);
    s.pm1_base_shift = now.shift[2];
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
    const chain_point& now = d.now();
    unshift(x_, now.r[0], now.shift[0], p_);
    d.out().verdict = true;
  }

  // Stage 1's result, unshifted, once the verdict is in.
  mpz_srcptr result() const { return x_; }

 private:
  // Bit i of n from the top: the one iteration i takes.
  bool bit(int64_t i) const { return mpz_tstbit(n_, bits_ - 1 - static_cast<mp_bitcnt_t>(i)) != 0; }
  // Whether iteration i ends a block, and whether it ends a checked run of blocks.
  bool block_end(int64_t i) const { return (target() - i) % block_ == 0; }
  int64_t period() const { return static_cast<int64_t>(block_) * block_; }
  bool check_end(int64_t i) const { return i == target() || (i - first_end_ + block_) % period() == 0; }
  // The base of the checked run that iteration i (>= 1) ends or lies in.
  int64_t base_of(int64_t i) const {
    const int64_t from = static_cast<int64_t>(first_end_) - block_;
    return from + (i - 1 - from) / period() * period();
  }
  // D times x in at's residues (x at shift 0's, D at shift 1's).
  void multiply_in(chain_point& at) {
    mpz_value t, tmp;
    mpz_mul(t, at.r[1], at.r[0]);
    mersenne_reduce(t, p_, tmp);
    mpz_set(at.r[1], t);
    at.shift[1] = (at.shift[1] + at.shift[0]) % static_cast<uint32_t>(p_);
  }

  int32_t p_;
  uint64_t b1_;
  mpz_srcptr n_;
  mp_bitcnt_t bits_;
  uint32_t block_;
  int64_t first_end_;  // the iteration that ends the first block
  mpz_value x_;
  mpz_value d_old_;        // the check product before the last one, at a check
  uint32_t old_shift_ = 0;  // its shift
};

bool pm1_stage1::take(chain_driver&, const run_state& s, chain_point& at, bool, std::string* tail) {
  if (s.pm1_b1 != b1_) {
    *tail = " was saved with B1=" + std::to_string(s.pm1_b1) + ", not " + std::to_string(b1_);
    return false;
  }
  if (s.pm1_stage != 1) {
    *tail = " is of stage 2";  // run_pm1 takes those of this B1 itself
    return false;
  }
  if (s.pm1_base.empty()) {
    *tail = " holds no check product (an earlier format); stage 1 starts again";
    return false;
  }
  if (s.block != block_) {
    *tail = ": saved with another check block";
    return false;
  }
  if (s.iteration > target() || !residue_from(at.r[0], s.residue, p_) || !residue_from(at.r[1], s.check, p_) ||
      !residue_from(at.r[2], s.pm1_base, p_)) {
    *tail = ": fields out of range";
    return false;
  }
  // Powers of 3 and products of them are never 0 mod 2^p - 1.
  if (mpz_sgn(at.r[0].get()) == 0 || mpz_sgn(at.r[1].get()) == 0 || mpz_sgn(at.r[2].get()) == 0) {
    *tail = ": its residue or check product is 0, which no sound run holds";
    return false;
  }
  at.shift[0] = s.shift;
  at.shift[1] = s.check_shift;
  at.shift[2] = s.pm1_base_shift;
  return true;
}

after_step pm1_stage1::after(chain_driver& d, int64_t i) {
  if (!block_end(i)) return after_step::go_on;
  chain_point& now = d.now();
  const bool checking = check_end(i);
  if (checking) d.stepper_at(1).store(d_old_);
  old_shift_ = now.shift[1];
  if (!d.step(1, [&d](stepper& s) { return s.multiply_by(d.stepper_at(0), tuning::kRetryDistance); }))
    return after_step::stop;
  now.shift[1] = (now.shift[1] + now.shift[0]) % static_cast<uint32_t>(p_);
  return checking ? after_step::check_now : after_step::go_on;
}

check_verdict pm1_stage1::check(chain_driver& d) {
  // v (d_old 3^hi)^(2^B) 3^lo must be the product now, hi 2^B + lo the sum of
  // the blocks' bits since the base.
  const chain_point& now = d.now();
  const int64_t i = now.iteration, base = base_of(i);
  mpz_value sum, a, b;
  for (int64_t end = base + block_; end <= i; end += block_) {
    mpz_set_ui(a, 0);
    for (int64_t k = end - block_ + 1; k <= end; ++k) {
      mpz_mul_2exp(a, a, 1);
      if (k >= 0 && bit(k)) mpz_add_ui(a, a, 1);
    }
    mpz_add(sum, sum, a);
  }
  mpz_tdiv_q_2exp(a, sum, block_);  // hi < the blocks' count
  mpz_value lift;
  mpz_set_ui(lift, 3);
  mpz_pow_ui(lift, lift, mpz_get_ui(a));
  mpz_value tmp;
  mersenne_reduce(lift, p_, tmp);
  d.stepper_at(1).load(d_old_);
  uint32_t shift = old_shift_;
  if (!d.step(1, [&lift](stepper& s) { return s.multiply(lift, tuning::kRetryDistance); })) return check_verdict::stop;
  for (uint32_t k = 0; k < block_; ++k) {
    const bool one = mpz_tstbit(sum, block_ - 1 - k) != 0;
    if (!d.step(1, [one](stepper& s) {
          return one ? s.square_times(3, tuning::kRetryDistance) : s.square(0, 0, tuning::kRetryDistance);
        }))
      return check_verdict::stop;
    shift = static_cast<uint32_t>((2 * static_cast<uint64_t>(shift)) % static_cast<uint64_t>(p_));
  }
  if (!d.step(1, [&d](stepper& s) { return s.multiply_by(d.stepper_at(2), tuning::kRetryDistance); }))
    return check_verdict::stop;
  shift = (shift + now.shift[2]) % static_cast<uint32_t>(p_);
  mpz_value want;
  d.stepper_at(1).store(want);
  d.stepper_at(1).load(now.r[1]);
  unshift(a, want, shift, p_);
  unshift(b, now.r[1], now.shift[1], p_);
  if (mpz_cmp(a, b) == 0) return check_verdict::passed;
  ++d.out().gerbicz_errors;
  return check_verdict::failed;
}

void pm1_stage1::verified(chain_driver& d) {
  // A checked run's end is the next one's base: v = D = x.
  chain_point& now = d.now();
  if (now.iteration == 0 || !check_end(now.iteration)) return;
  for (chain_point* at : {&now, &d.good()}) {
    mpz_set(at->r[1], now.r[0]);
    mpz_set(at->r[2], now.r[0]);
    at->shift[1] = at->shift[2] = now.shift[0];
  }
  d.stepper_at(1).load(now.r[1]);
  d.stepper_at(2).load(now.r[2]);
}

// The stepper set's stepper k raised to the power e >= 1 of the residue x,
// with stepper base holding x; false when no length serves a step.
bool power(stepper_set& set, size_t k, size_t base, mpz_srcptr x, mpz_srcptr e) {
  MERSENNE_REQUIRE(mpz_sgn(e) > 0);
  set[k].load(x);
  for (mp_bitcnt_t b = mpz_sizeinbase(e, 2) - 1; b-- > 0;) {
    if (!(set.run(k, [](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); }) < tuning::kRetryDistance))
      return false;
    if (mpz_tstbit(e, b) != 0 &&
        !(set.run(k, [&set, base](stepper& s) { return s.multiply_by(set[base], tuning::kRetryDistance); }) <
          tuning::kRetryDistance))
      return false;
  }
  return true;
}

// The factors of text (comma-separated decimals) and of more, ascending by value, each once.
std::vector<std::string> merged(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::string> all = a;
  for (const std::string& f : b)
    if (std::find(all.begin(), all.end(), f) == all.end()) all.push_back(f);
  std::sort(all.begin(), all.end(), [](const std::string& x, const std::string& y) {
    return x.size() != y.size() ? x.size() < y.size() : x < y;
  });
  return all;
}

std::string joined(const std::vector<std::string>& fs) {
  std::string s;
  for (const std::string& f : fs) s += (s.empty() ? "" : ",") + f;
  return s;
}

std::vector<std::string> split_list(const std::string& text) {
  std::vector<std::string> fs;
  size_t at = 0;
  while (at < text.size()) {
    const size_t comma = std::min(text.find(',', at), text.size());
    if (comma > at) fs.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return fs;
}

// The prime factors of gcd(v, cofactor) other than 2^p - 1 itself; v may be 0.
std::vector<std::string> factors_in(mpz_srcptr v, mpz_srcptr cofactor, int32_t p, std::string* note) {
  mpz_value g, m;
  mpz_gcd(g, v, cofactor);
  if (mpz_cmp_ui(g.get(), 1) == 0) return {};
  mersenne_number(m, p);
  // Every factor at once: a proper factor only where 2^p - 1 is composite.
  if (mpz_cmp(g, m) == 0 && mpz_probab_prime_p(m, 25) != 0) {
    *note = "every factor of 2^p - 1 is reached at once: it has no proper factor within the bounds";
    return {};
  }
  return prime_factors_of(g, p);
}

class pm1_run {
 public:
  pm1_run(const engine& e, int32_t p, const pm1_request& req, const engine_options& opt)
      : e_(e), p_(p), req_(req), opt_(opt) {
    mersenne_number(m_, p);
    lo_ = std::max(req.b1, req.b2_start);
  }

  pm1_outcome go();

 private:
  // A stage 2 state of this B1 to go on from into x_ (and the product and
  // position where its bounds are these); false when there is none.
  bool resume_stage2(mpz_ptr product, uint64_t* done);
  // Saves stage 2's point: x_, the product, the giant steps done, the factors.
  bool save(mpz_srcptr product, uint64_t done);
  // Stage 2 from done giant steps on with the product so far; false when it ended early (out says why).
  bool stage2(mpz_ptr product, uint64_t done);
  void found(const std::vector<std::string>& fs) { r_.factors = merged(r_.factors, fs); }

  const engine& e_;
  int32_t p_;
  const pm1_request& req_;
  const engine_options& opt_;
  mpz_value m_, x_;
  uint64_t lo_;
  pm1_outcome r_;
  double elapsed_before_ = 0;
  clock_type::time_point started_ = clock_type::now();
};

bool pm1_run::resume_stage2(mpz_ptr product, uint64_t* done) {
  if (opt_.states == nullptr) return false;
  const auto quiet = [](const std::string&) {};
  for (const run_state& s : opt_.states->load(p_, opt_.warn ? opt_.warn : quiet, test_kind::pm1)) {
    if (s.pm1_stage != 2 || s.pm1_b1 != req_.b1) continue;
    mpz_import(x_, s.residue.size(), -1, 1, 0, 0, s.residue.data());
    mpz_import(product, s.check.size(), -1, 1, 0, 0, s.check.data());
    if (mpz_cmp(x_, m_) >= 0 || mpz_cmp(product, m_) >= 0 || mpz_sgn(x_.get()) == 0) continue;
    r_.factors = split_list(s.pm1_factors);
    r_.out.resumed_from = s.iteration;
    r_.out.roundoff_errors = s.roundoff_errors;
    r_.out.jacobi_errors = s.jacobi_errors;
    r_.out.gerbicz_errors = s.gerbicz_errors;
    elapsed_before_ = s.elapsed;
    // The same stage 2 goes on; another one starts over from stage 1's result.
    const bool same = s.pm1_b2 == req_.b2 && s.pm1_b2_start == req_.b2_start;
    *done = same ? s.pm1_done : 0;
    if (!same) mpz_set_ui(product, 1);
    return true;
  }
  return false;
}

bool pm1_run::save(mpz_srcptr product, uint64_t done) {
  if (opt_.states == nullptr) return false;
  run_state s;
  s.test = test_kind::pm1;
  s.p = p_;
  s.iteration = 1 + static_cast<int64_t>(done);  // after every stage 1 state
  s.roundoff_errors = r_.out.roundoff_errors;
  s.jacobi_errors = r_.out.jacobi_errors;
  s.gerbicz_errors = r_.out.gerbicz_errors;
  s.elapsed = elapsed_before_ + seconds_between(started_, clock_type::now());
  s.verified = true;
  s.tf_bits = opt_.factored_to;
  s.residue = residue_bytes(x_, p_);
  s.check = residue_bytes(product, p_);
  s.pm1_stage = 2;
  s.pm1_b1 = req_.b1;
  s.pm1_b2 = req_.b2;
  s.pm1_b2_start = req_.b2_start;
  s.pm1_done = done;
  s.pm1_factors = joined(r_.factors);
  std::string why;
  if (opt_.states->save(s, &why)) return true;
  if (opt_.warn) opt_.warn("could not save the P-1 state of M" + std::to_string(p_) + ": " + why + "; going on");
  return false;
}

pm1_outcome pm1_run::go() {
  ll_outcome& out = r_.out;
  r_.b1 = r_.b2 = req_.b1;
  mpz_value product;
  mpz_set_ui(product, 1);
  uint64_t done = 0;
  if (!resume_stage2(product, &done)) {
    mpz_value n;
    stage1_exponent(n, p_, req_.b1);
    pm1_stage1 policy(p_, req_.b1, n);
    out = run_chain(policy, e_, p_, opt_);
    if (out.interrupted || !out.verdict) return r_;
    out.verdict = false;
    mpz_set(x_, policy.result());
    mpz_value x1;
    mpz_sub_ui(x1, x_, 1);
    found(factors_in(x1, m_, p_, &out.note));
    // Stage 1's result and its factors are kept before anything else is done.
    save(product, 0);
  }
  const bool stage2_wanted = req_.b2 > lo_;
  if (!r_.factors.empty() && !req_.all_factors) {
    r_.done = true;
    return r_;
  }
  if (stage2_wanted) {
    if (!stage2(product, done)) return r_;
    r_.b2 = req_.b2;
  }
  r_.done = true;
  return r_;
}

bool pm1_run::stage2(mpz_ptr product, uint64_t done) {
  ll_outcome& out = r_.out;
  int64_t n = out.fft_length;
  if (n == 0 && !starting_length(e_, p_, opt_, &n)) {
    out.note = "no transform length for this exponent";
    return false;
  }
  // Steppers: 0 the product, 1 the giant step G = x^((mD)^2), 2 its step
  // H = x^((2m + 1) D^2), 3 x^(2 D^2), 4 the difference, 5 x; then the baby steps x^(j^2).
  constexpr int kFixed = 6;
  const uint64_t d = choose_d(e_, p_, n, lo_, req_.b2, kFixed);
  if (d == 0) {
    out.error = "not enough memory for the baby steps of P-1's stage 2";
    return false;
  }
  const stage2_plan plan = make_plan(d, lo_, req_.b2);
  const uint64_t steps = plan.m_last + 1 - plan.m_first;
  if (done >= steps) {
    found(factors_in(product, m_, p_, &out.note));  // the saved product is the whole one
    return true;
  }
  try {
    stepper_set set(e_, p_, n, opt_, kFixed + static_cast<int>(plan.js.size()), kFixed);
    set.on_raise = [&out](int64_t from, int64_t to) {
      if (!out.note.empty()) out.note += "; ";
      out.note += "stage 2's length raised from " + std::to_string(from) + " to " + std::to_string(to);
      ++out.roundoff_errors;
    };
    const auto ok = [&out](double err) {
      if (err < tuning::kRetryDistance) {
        out.max_roundoff = std::max(out.max_roundoff, err);
        return true;
      }
      out.note = "a rounding distance of stage 2 reached the bound at the longest length; no result";
      return false;
    };
    const auto mul = [&set, &ok](size_t k, size_t by) {
      return ok(set.run(k, [&set, by](stepper& s) { return s.multiply_by(set[by], tuning::kRetryDistance); }));
    };
    // Baby steps: x^((j+2)^2) = x^(j^2) x^(4j + 4) and x^(4j + 8) = x^(4j + 4) x^8,
    // in steppers 4 (x^(j^2)), 1 (x^(4j + 4)) and 2 (x^8).
    set[5].load(x_);
    mpz_value e;
    mpz_set_ui(e, 8);
    if (!power(set, 2, 5, x_, e)) return ok(1.0);
    if (!power(set, 1, 5, x_, e)) return ok(1.0);  // x^(4j + 4) for j = 1
    set[4].load(x_);
    mpz_value v;
    for (uint32_t j = 1; j < d / 2; j += 2) {
      if (j > 1) {
        if (!mul(4, 1) || !mul(1, 2)) return false;
      }
      const int32_t k = plan.index_of[j];
      if (k >= 0) {
        set[4].store(v);
        set[kFixed + static_cast<size_t>(k)].load(v);
      }
    }
    // Giant steps from m = m_first + done.
    const uint64_t m = plan.m_first + done;
    mpz_set_ui(e, m);
    mpz_mul_ui(e, e, d);
    mpz_mul(e, e, e);
    if (mpz_sgn(e.get()) == 0) {
      mpz_set_ui(v, 1);  // m = 0: the primes below D / 2
      set[1].load(v);
    } else if (!power(set, 1, 5, x_, e)) {
      return ok(1.0);
    }
    mpz_set_ui(e, 2 * m + 1);
    mpz_mul_ui(e, e, d);
    mpz_mul_ui(e, e, d);
    if (!power(set, 2, 5, x_, e)) return ok(1.0);
    mpz_set_ui(e, 2 * d);
    mpz_mul_ui(e, e, d);
    if (!power(set, 3, 5, x_, e)) return ok(1.0);
    set[0].load(product);

    std::vector<std::vector<bool>> rows;
    auto last_save = clock_type::now();
    uint64_t window_at = 0, window_end = 0;
    while (done < steps) {
      const uint64_t at = plan.m_first + done;
      if (at >= window_end) {
        window_at = at;
        window_end = std::min(plan.m_last + 1, at + kWindow);
        plan_window(plan, window_at, window_end, &rows);
      }
      const std::vector<bool>& row = rows[static_cast<size_t>(at - window_at)];
      for (size_t k = 0; k < row.size(); ++k) {
        if (!row[k]) continue;
        set[4].set_difference(set[1], set[kFixed + k], p_);
        if (!mul(0, 4)) return false;
      }
      if (!mul(1, 2) || !mul(2, 3)) return false;
      ++done;
      if (opt_.pm1_progress)
        opt_.pm1_progress(2, static_cast<double>(done) / static_cast<double>(steps));
      else if (opt_.progress)
        opt_.progress(static_cast<int64_t>(done), static_cast<int64_t>(steps));
      const bool stopping = opt_.stop != nullptr && opt_.stop->load(std::memory_order_relaxed);
      const auto now = clock_type::now();
      if (done < steps && (stopping || seconds_between(last_save, now) >= opt_.checkpoint_every)) {
        set[0].store(v);
        const bool saved = save(v, done);
        last_save = now;
        if (stopping) {
          out.interrupted = true;
          out.saved_at = saved ? static_cast<int64_t>(done) : -1;
          return false;
        }
      }
    }
    set[0].store(product);
    out.fft_length = set.length();
  } catch (const engine_failure& x) {
    out.error = x.what();
    return false;
  } catch (const std::bad_alloc&) {
    out.error = "not enough memory for P-1's stage 2";
    return false;
  }
  // The rest of 2^p - 1 once stage 1's factors are taken out.
  mpz_value rest;
  mpz_set(rest, m_);
  for (const std::string& f : r_.factors) {
    mpz_value q;
    mpz_set_str(q, f.c_str(), 10);
    while (mpz_divisible_p(rest, q) != 0) mpz_divexact(rest, rest, q);
  }
  found(factors_in(product, rest, p_, &out.note));
  save(product, steps);
  return true;
}

}  // namespace

pm1_outcome run_pm1(const engine& e, int32_t p, const pm1_request& req, const engine_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && e.applicable(p) && req.b1 >= 2);
  pm1_outcome r;
  if (req.b1 > tuning::kPm1LargestB1) {
    r.out.error = "B1 above " + std::to_string(tuning::kPm1LargestB1) + " is not supported";
    return r;
  }
  try {
    r = pm1_run(e, p, req, opt).go();
  } catch (const engine_failure& x) {
    r = pm1_outcome{};
    r.out.error = x.what();
  } catch (const std::bad_alloc&) {
    r = pm1_outcome{};
    r.out.error = "not enough memory for P-1 of p = " + std::to_string(p);
  }
  return r;
}
