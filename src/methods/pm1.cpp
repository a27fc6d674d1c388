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

// Stage 1 over the chain driver: x_0 = 3 (the top bit of n), then per bit of
// n from the top down one squaring, times 3 where the bit is set. x_i =
// 3^(n >> (bits - 1 - i)), whose Jacobi symbol is (-1)^(that exponent), the
// parity being the bit just taken; the shift does not change it, (2 | M) = 1.
class pm1_stage1 : public chain_policy {
 public:
  pm1_stage1(int32_t p, uint64_t b1, mpz_srcptr n) : p_(p), b1_(b1), n_(n), bits_(mpz_sizeinbase(n, 2)) {
    mersenne_number(m_, p);
  }

  test_kind kind() const override { return test_kind::pm1; }
  int64_t target() const override { return static_cast<int64_t>(bits_) - 1; }
  uint32_t times(int64_t i) const override { return bit(i) ? 3 : 1; }
  bool timed_checks() const override { return true; }
  bool checks_end() const override { return true; }
  bool faults_repeat() const override { return false; }
  const char* state_noun() const override { return "P-1 state"; }
  const char* check_name() const override { return "Jacobi check"; }

  void start(chain_driver&, chain_point& at, bool) override {
    mpz_value three;
    mpz_set_ui(three, 3);
    rotate_left(at.r[0], three, at.shift[0], p_);
  }
  bool take(chain_driver& d, const run_state& s, chain_point& at, bool, std::string* tail) override {
    if (s.pm1_b1 != b1_) {
      *tail = " was saved with B1=" + std::to_string(s.pm1_b1) + ", not " + std::to_string(b1_);
      return false;
    }
    if (s.pm1_stage != 1) {
      *tail = " is of stage 2";  // run_pm1 takes those of this B1 itself
      return false;
    }
    if (s.iteration > target()) {
      *tail = ": fields out of range";
      return false;
    }
    mpz_ptr u = at.r[0];
    mpz_import(u, s.residue.size(), -1, 1, 0, 0, s.residue.data());
    if (mpz_sizeinbase(u, 2) > static_cast<size_t>(p_)) {
      *tail = ": its residue is 2^p or more";
      return false;
    }
    mpz_value tmp;
    mersenne_reduce(u, p_, tmp);
    if (!sound(u, s.iteration)) {
      *tail = " fails the Jacobi check";
      return false;
    }
    (void)d;
    at.shift[0] = s.shift;
    return true;
  }
  check_verdict check(chain_driver& d) override {
    if (sound(d.now().r[0], d.now().iteration)) return check_verdict::passed;
    ++d.out().jacobi_errors;
    return check_verdict::failed;
  }
  void put(chain_driver&, run_state& s) override {
    s.pm1_stage = 1;
    s.pm1_b1 = b1_;
  }
  void damage(chain_driver& d, int64_t) override {
    // Times 3: the Jacobi symbol turns, as half of all damage turns it.
    mpz_value u, tmp;
    d.stepper_at(0).store(u);
    mpz_mul_ui(u, u, 3);
    mersenne_reduce(u, p_, tmp);
    d.stepper_at(0).load(u);
  }
  void verdict(chain_driver& d) override {
    const chain_point& now = d.now();
    rotate_left(x_, now.r[0], (static_cast<uint32_t>(p_) - now.shift[0]) % static_cast<uint32_t>(p_), p_);
    d.out().verdict = true;
  }

  // Stage 1's result, unshifted, once the verdict is in.
  mpz_srcptr result() const { return x_; }

 private:
  // Bit i of n from the top: the one iteration i takes.
  bool bit(int64_t i) const { return mpz_tstbit(n_, bits_ - 1 - static_cast<mp_bitcnt_t>(i)) != 0; }
  // Whether u can be x_i: its symbol is (-1)^(bit i).
  bool sound(mpz_srcptr u, int64_t i) const { return mpz_jacobi(u, m_) == (bit(i) ? -1 : 1); }

  int32_t p_;
  uint64_t b1_;
  mpz_srcptr n_;
  mp_bitcnt_t bits_;
  mpz_value m_, x_;
};

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
