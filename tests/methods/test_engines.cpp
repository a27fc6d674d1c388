// Every engine of the table through the chain driver, against the GMP oracle and
// each other, and what the driver reports when it cannot give a verdict.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "arith/engine_table.h"
#include "arith/fast/fast.h"
#include "arith/reference.h"
#include "arith/residue.h"
#include "base/numbers.h"
#include "methods/run.h"
#include "support/test_support.h"

namespace {

ll_outcome run(const char* name, int32_t p, const engine_options& opt = {}) {
  return run_lucas_lehmer(*find_engine(name), p, opt);
}

// Every engine that wanted admits, on every prime in lo .. hi, against the
// oracle (which also holds the exact engine's shift-and-add reduction to GMP's).
void sweep(int32_t lo, int32_t hi, bool (*wanted)(std::string_view name, int32_t p)) {
  mpz_value want;
  for (int32_t p = lo; p <= hi; ++p) {
    if (!is_prime(p)) continue;
    testing_support::lucas_lehmer_residue(want, static_cast<unsigned>(p));
    for (const engine& e : engine_table()) {
      if (!wanted(e.name, p)) continue;
      ASSERT_TRUE(e.applicable(p)) << e.name << " " << p;
      const ll_outcome o = run_lucas_lehmer(e, p, {});
      // The fast engine's table length needs no retry: no note.
      ASSERT_TRUE(o.verdict && o.note.empty()) << e.name << " p=" << p << ": " << o.note << o.error;
      EXPECT_TRUE(o.res64 == low64(want) && o.prime == (mpz_sgn(want.get()) == 0)) << e.name << " p=" << p;
    }
  }
}

TEST(Engines, EveryEngineMatchesOracleOnEveryPrimeTo3000) {
  sweep(3, 3000, [](std::string_view name, int32_t p) { return name != "reference" || p <= 1000; });
}
TEST(LongEngines, ReferenceMatchesOracleFrom1000To3000) {
  sweep(1000, 3000, [](std::string_view name, int32_t) { return name == "reference"; });
}

// Known primes: prime, Res64 zero, progress reports monotone and ending at
// p - 2 (how many arrive depends on the machine's speed).
void expect_prime(const char* name, int32_t p) {
  int64_t last = -1;
  engine_options opt;
  opt.progress = [&](int64_t done, int64_t total) {
    EXPECT_TRUE(total == p - 2 && done >= last && done <= total) << done << "/" << total;
    last = done;
  };
  const ll_outcome o = run(name, p, opt);
  EXPECT_TRUE(o.verdict && o.prime && o.res64 == 0) << name << " p=" << p << " " << o.note;
  EXPECT_EQ(last, p - 2) << name << " p=" << p;
}

TEST(Engines, FastAndExactFindKnownPrimes) {
  for (int32_t p : {4423, 9689, 9941, 11213, 19937, 21701, 23209, 44497}) {
    expect_prime("fast", p);
    if (p < 40000) expect_prime("exact", p);
  }
}

TEST(LongEngines, FastFindsLargerKnownPrimes) {
  for (int32_t p : {86243, 110503, 132049, 216091}) expect_prime("fast", p);
}

// Starts of 24 to 26 bits per word cross the retry distance a few steps in:
// the loop redoes the step at a longer length. Without a longer length the
// same crossing ends the run without a verdict.
TEST(Loop, CrossingTheBoundRetriesLongerOrGivesNoVerdict) {
  for (auto [p, start] : {std::pair<int32_t, int64_t>{21701, 896}, {9973, 384}}) {
    engine_options opt;
    opt.start_length = start;
    const ll_outcome f = run("fast", p, opt), e = run("exact", p);
    ASSERT_TRUE(f.verdict) << p << " " << f.note;
    EXPECT_TRUE(f.res64 == e.res64 && f.prime == e.prime && f.fft_length > start) << p;
    EXPECT_NE(f.note.find("length raised from " + std::to_string(start)), std::string::npos) << f.note;

    engine fixed = *find_engine("fast");
    fixed.next_length = nullptr;
    const ll_outcome n = run_lucas_lehmer(fixed, p, opt);
    EXPECT_TRUE(!n.verdict && n.error.empty() && n.fft_length == start && n.max_roundoff >= 0.4) << n.note;
  }
}

// An exact stepper whose residue is wiped once, as zeroed memory would be,
// after its hundredth squaring: the rounding check cannot see it.
struct zeroing_stepper final : stepper {
  std::unique_ptr<stepper> in;
  int squarings = 0;
  explicit zeroing_stepper(int32_t p) : in(find_engine("exact")->make(p, 0, {})) {}
  void load(mpz_srcptr v) override { in->load(v); }
  void store(mpz_ptr out) const override { in->store(out); }
  double square(uint32_t c, int32_t j, double limit) override {
    const double d = in->square(c, j, limit);
    if (++squarings == 100) in->load(mpz_value().get());
    return d;
  }
  double multiply(mpz_srcptr v, double limit) override { return in->multiply(v, limit); }
  int64_t length() const override { return 0; }
};

TEST(Loop, WipedResidueIsCaughtAndRecomputed) {
  const engine wiping{"exact", [](int32_t) { return true; },
                      [](int32_t p, int64_t, const engine_options&) -> std::unique_ptr<stepper> {
                        return std::make_unique<zeroing_stepper>(p);
                      }};
  const ll_outcome o = run_lucas_lehmer(wiping, 4423, {});
  EXPECT_TRUE(o.verdict && o.prime && o.jacobi_errors >= 1) << o.note << o.error;
}

int fail_at = 0, calls = 0;
void* failing_calloc(size_t count, size_t size) { return ++calls == fail_at ? nullptr : std::calloc(count, size); }

// Each of the reference engine's arrays failing in turn: an error, no verdict,
// and the others freed (the sanitizer build checks).
TEST(Loop, AllocationFailureIsAnErrorNotAVerdict) {
  const engine failing{"reference", reference_applicable, [](int32_t p, int64_t, const engine_options&) {
                         return make_reference_stepper_with(p, failing_calloc, inverse_path_default());
                       }};
  for (fail_at = 1; fail_at <= kArrayCount; ++fail_at) {
    calls = 0;
    const ll_outcome o = run_lucas_lehmer(failing, 127, {});
    EXPECT_TRUE(!o.verdict && !o.prime && o.error.find("memory") != std::string::npos) << fail_at << " " << o.error;
  }
}

// Auto picks an engine that applies, never the slow reference one.
TEST(Engines, AutoChoiceAppliesAndIsNeverTheReference) {
  for (int32_t p : {3, 127, 3001, 21701, 86243, 1257787, 2147483647}) {
    const engine* e = auto_engine(p);
    ASSERT_TRUE(e != nullptr && e->applicable(p) && choose_engine("auto", p) == e) << p;
    EXPECT_NE(std::string_view(e->name), "reference") << p;
  }
}

}  // namespace
