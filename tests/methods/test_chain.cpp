// The chain driver under a small policy of its own (x -> x^2 from 3, checked
// against GMP every 50 iterations, failing on demand): roll-back to the last
// verified point at a new shift, three failures from one point ending the
// run, the error counts a state holds; and the probable-prime test's retry
// note and memory guard on engines made for the purpose.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "arith/engine_table.h"
#include "arith/exact.h"
#include "base/machine.h"
#include "methods/checks.h"
#include "methods/driver.h"
#include "methods/prp.h"
#include "methods/run.h"
#include "support/test_support.h"

namespace {

constexpr int32_t kP = 607;

// 3^(2^i) mod 2^p - 1.
void oracle(mpz_ptr out, int64_t i) {
  mpz_value m, e;
  mpz_setbit(m, kP), mpz_sub_ui(m, m, 1), mpz_setbit(e, static_cast<mp_bitcnt_t>(i));
  mpz_set_ui(out, 3), mpz_powm(out, out, e, m);
}
uint64_t oracle_res64(int64_t i) {
  mpz_value x;
  oracle(x, i);
  return low64(x);
}

void unshifted(mpz_ptr out, mpz_srcptr u, uint32_t k) { rotate_left(out, u, (kP - k) % kP, kP); }

struct squares : chain_policy {
  std::map<int64_t, int> fail;       // iteration -> how many of its checks fail
  std::vector<int64_t> checked;      // iterations checked, in order
  std::vector<uint32_t> shifts;      // the shift at each check
  int64_t after_51 = 0;              // times iteration 51 was computed
  test_kind as = test_kind::ll;

  test_kind kind() const override { return as; }
  int64_t target() const override { return 200; }
  void start(chain_driver&, chain_point& at, bool) override {
    oracle(at.r[0], 0), rotate_left(at.r[0], at.r[0], at.shift[0], kP);
  }
  bool take(chain_driver&, const run_state& s, chain_point& at, bool, std::string*) override {
    mpz_import(at.r[0], s.residue.size(), -1, 1, 0, 0, s.residue.data());
    at.shift[0] = s.shift;
    return true;
  }
  after_step after(chain_driver&, int64_t i) override {
    after_51 += i == 51;
    return i % 50 == 0 ? after_step::check_now : after_step::go_on;
  }
  check_verdict check(chain_driver& d) override {
    const chain_point& now = d.now();
    checked.push_back(now.iteration), shifts.push_back(now.shift[0]);
    mpz_value got, want;
    unshifted(got, now.r[0], now.shift[0]), oracle(want, now.iteration);
    if (mpz_cmp(got, want) != 0) ADD_FAILURE() << "wrong residue at " << now.iteration;
    if (fail[now.iteration]-- <= 0) return check_verdict::passed;
    ++d.out().jacobi_errors;
    return check_verdict::failed;
  }
  void damage(chain_driver&, int64_t) override {}
  void verdict(chain_driver& d) override {
    mpz_value x;
    unshifted(x, d.now().r[0], d.now().shift[0]);
    d.out().verdict = true, d.out().res64 = low64(x);
  }
};

// Twice at each of two points (under three from one point): each failure
// rolls back to the last verified point, recomputed at another shift; three
// failures from one point end the run without a verdict.
TEST(Driver, AFailedCheckRollsBackAtANewShiftAndThreeFromOnePointEndTheRun) {
  squares s, t;
  s.fail = {{100, 2}, {150, 2}}, t.fail = {{100, 3}};
  const ll_outcome o = run_chain(s, *find_engine("exact"), kP, {}), n = run_chain(t, *find_engine("exact"), kP, {});
  EXPECT_TRUE(o.verdict && o.res64 == oracle_res64(200) && o.jacobi_errors == 4) << o.note << o.error;
  EXPECT_EQ(s.checked, (std::vector<int64_t>{50, 100, 100, 100, 150, 150, 150, 200}));
  EXPECT_EQ(s.after_51, 3) << "the recomputation starts at the verified point";
  EXPECT_TRUE(s.shifts[1] != s.shifts[2] && s.shifts[2] != s.shifts[3]);
  EXPECT_TRUE(!n.verdict && n.error.empty() && n.jacobi_errors == 3) << n.error;
  EXPECT_EQ(n.note, "the check failed three times after iteration 50: the hardware is unreliable; no verdict");
}

// Every error count a state holds goes on from it, whatever the method (a
// probable-prime state holds all three).
TEST(Driver, AResumedRunKeepsTheErrorCountsOfItsState) {
  testing_support::temp_dir t;
  std::string why;
  const auto dir = state_dir::open(t.path, &why);
  ASSERT_TRUE(dir) << why;
  run_state st;
  st.test = test_kind::prp, st.block = 1, st.p = kP, st.iteration = 120;
  st.jacobi_errors = 2, st.roundoff_errors = 1, st.gerbicz_errors = 5;
  mpz_value x;
  oracle(x, 120);
  st.residue.assign((kP + 7) / 8, 0);
  mpz_export(st.residue.data(), nullptr, -1, 1, 0, 0, x);
  st.check = st.residue;
  ASSERT_TRUE(dir->save(st, &why)) << why;
  engine_options opt;
  opt.states = dir.get();
  squares s;
  s.as = test_kind::prp;
  const ll_outcome o = run_chain(s, *find_engine("exact"), kP, opt);
  EXPECT_TRUE(o.verdict && o.res64 == oracle_res64(200) && o.resumed_from == 120) << o.note << o.error;
  EXPECT_TRUE(o.jacobi_errors == 2 && o.roundoff_errors == 1 && o.gerbicz_errors == 5 &&
              s.checked == (std::vector<int64_t>{150, 200}));
}

// The exact engine at a pretend length 1 whose 20th squaring on each
// stepper crosses the bound, with a longer length 2 that does not.
constexpr int kCrossAt = 20;
struct crossing : stepper {
  std::unique_ptr<stepper> in;
  int64_t n;
  int squarings = 0;
  crossing(int32_t p, int64_t length) : in(make_exact_stepper(p, 0, {})), n(length) {}
  void load(mpz_srcptr v) override { in->load(v); }
  void store(mpz_ptr out) const override { in->store(out); }
  double square(uint32_t c, int32_t j, double limit) override {
    return n == 1 && ++squarings == kCrossAt ? 1.0 : in->square(c, j, limit);  // 1.0: refused, the residue stays
  }
  double multiply(mpz_srcptr v, double limit) override { return in->multiply(v, limit); }
  int64_t length() const override { return n; }
};

// Both tests at the crossing engine name the iteration the crossing squaring
// computes. Under an engine each of whose steppers needs a little more than
// half of what the process can have, one fits, the probable-prime test's two do not.
TEST(Driver, TheRetryNoteNamesItsIterationAndTheMemoryGuardCountsEveryStepper) {
  const engine crossing_engine{"crossing", exact_applicable,
                               [](int32_t p, int64_t n, const engine_options&) -> std::unique_ptr<stepper> {
                                 return std::make_unique<crossing>(p, n);
                               },
                               [](int32_t, int64_t) -> int64_t { return 1; },
                               [](int32_t, int64_t n) -> int64_t { return n == 1 ? 2 : 0; }, nullptr};
  const std::string want = "length raised from 1 to 2 at iteration " + std::to_string(kCrossAt) + " (1 retry)";
  for (const ll_outcome& o : {run_lucas_lehmer(crossing_engine, kP, {}), run_probable_prime(crossing_engine, kP, {})})
    EXPECT_TRUE(o.verdict && o.prime && o.note == want && o.fft_length == 2) << o.note;
  engine half = *find_engine("exact");
  half.memory_bytes = [](int32_t, int64_t) { return usable_memory_bytes() / 2 + kMemoryMargin; };
  const ll_outcome ll = run_lucas_lehmer(half, kP, {}), prp = run_probable_prime(half, kP, {});
  EXPECT_TRUE(ll.verdict && ll.prime) << ll.error;
  EXPECT_TRUE(!prp.verdict && prp.error.find("exact engine needs about") != std::string::npos) << prp.error;
}

}  // namespace
