// Every engine of the table against the GMP oracle and each other: one sweep
// over the small primes, random and known primes for the fast and exact
// engines, and what an engine reports when it cannot give a verdict.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>

#include "engine/engine_table.h"
#include "engine/exact.h"
#include "engine/fast.h"
#include "engine/reference.h"
#include "support/test_support.h"

namespace {

bool is_prime(int32_t n) {
  for (int32_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return n >= 2;
}

// Every engine that wanted admits, on every prime in lo .. hi, against the
// oracle (which also holds the exact engine's shift-and-add reduction to GMP's).
void sweep(int32_t lo, int32_t hi, bool (*wanted)(std::string_view name, int32_t p)) {
  mpz_t want;
  mpz_init(want);
  for (int32_t p = lo; p <= hi; ++p) {
    if (!is_prime(p)) continue;
    testing_support::lucas_lehmer_residue(want, static_cast<unsigned>(p));
    for (const engine& e : engine_table()) {
      if (!wanted(e.name, p)) continue;
      ASSERT_TRUE(e.applicable(p)) << e.name << " " << p;
      const ll_outcome o = e.run(p, {});
      ASSERT_TRUE(o.verdict) << e.name << " p=" << p << ": " << o.note << o.error;
      EXPECT_EQ(o.res64, low64(want)) << e.name << " p=" << p;
      EXPECT_EQ(o.prime, mpz_sgn(want) == 0) << e.name << " p=" << p;
      EXPECT_EQ(o.note, "") << e.name << " p=" << p;  // the fast engine's table length needs no retry
    }
  }
  mpz_clear(want);
}

TEST(Engines, EveryEngineMatchesOracleOnEveryPrimeTo3000) {
  sweep(3, 3000, [](std::string_view name, int32_t p) { return name != "reference" || p <= 1000; });
}
TEST(LongEngines, ReferenceMatchesOracleFrom1000To3000) {
  sweep(1000, 3000, [](std::string_view name, int32_t) { return name == "reference"; });
}

TEST(Engines, FastAndExactAgreeOnRandomPrimesBelow50000) {
  std::mt19937_64 rng(testing_support::test_seed());
  for (int k = 0; k < 5; ++k) {
    int32_t p = 3000 + static_cast<int32_t>(rng() % 46900);
    while (!is_prime(p)) ++p;
    const ll_outcome f = fast_lucas_lehmer(p, {}), e = exact_lucas_lehmer(p, {});
    ASSERT_TRUE(f.verdict) << p << " " << f.note;
    EXPECT_TRUE(f.res64 == e.res64 && f.prime == e.prime) << "p=" << p;
    EXPECT_LT(f.max_roundoff, 0.3) << "p=" << p;
  }
}

// A known prime exponent: prime, Res64 zero, progress paced and ending at p - 2.
void expect_prime(ll_outcome (*run)(int32_t, const engine_options&), int32_t p, int threads) {
  int64_t last = -1, calls = 0;
  engine_options opt{.threads = threads, .progress = [&](int64_t done, int64_t total) {
                       EXPECT_TRUE(total == p - 2 && done >= last) << done << "/" << total;
                       last = done, ++calls;
                     }};
  const ll_outcome o = run(p, opt);
  EXPECT_TRUE(o.verdict && o.prime && o.res64 == 0) << "p=" << p << " " << o.note;
  EXPECT_TRUE(last == p - 2 && calls < 100) << "p=" << p << ": " << calls << " reports, last " << last;
  if (o.fft_length > 0)
    std::cout << "M" << p << ": length " << o.fft_length << ", max rounding distance " << o.max_roundoff << "\n";
}

TEST(Engines, FastAndExactFindKnownPrimes) {
  for (int32_t p : {4423, 9689, 9941, 11213, 19937, 21701, 23209, 44497}) {
    expect_prime(fast_lucas_lehmer, p, 1);
    if (p < 40000) expect_prime(exact_lucas_lehmer, p, 1);
  }
}

TEST(LongEngines, FastFindsLargerKnownPrimes) {
  for (int32_t p : {86243, 110503, 132049, 216091}) expect_prime(fast_lucas_lehmer, p, p > 200000 ? 2 : 1);
}

// Past its rounding bound the reference engine says so instead of guessing.
TEST(LongEngines, ReferenceGivesNoVerdictAt21701) {
  const ll_outcome o = reference_lucas_lehmer(21701, {});
  EXPECT_TRUE(!o.verdict && !o.prime && o.error.empty()) << o.error;
  EXPECT_GE(o.max_roundoff, 0.4);
  EXPECT_NE(o.note.find("no verdict"), std::string::npos) << o.note;
}

int fail_at = 0, calls = 0;
void* failing_calloc(size_t count, size_t size) { return ++calls == fail_at ? nullptr : std::calloc(count, size); }

// Each of the reference engine's arrays failing in turn: an error, no verdict,
// and the others freed (the sanitizer build checks).
TEST(Engines, ReferenceAllocationFailureIsAnErrorNotAVerdict) {
  for (fail_at = 1; fail_at <= kArrayCount; ++fail_at) {
    calls = 0;
    const ll_outcome o = reference_lucas_lehmer_with(127, {}, failing_calloc);
    EXPECT_TRUE(!o.verdict && !o.prime) << fail_at;
    EXPECT_NE(o.error.find("memory"), std::string::npos) << o.error;
  }
}

TEST(Engines, TableNamesAndAutoChoice) {
  const char* names[] = {"fast", "exact", "reference"};  // fastest first
  ASSERT_EQ(engine_table().size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(find_engine(names[i]) == &engine_table()[i] && choose_engine(names[i], 3) == &engine_table()[i]);
  EXPECT_TRUE(find_engine("auto") == nullptr && find_engine("Fast") == nullptr && !choose_engine("x", 3));
  // Auto picks an engine that applies, never the slow reference one: exact for small p, fast for large.
  for (int32_t p : {3, 127, 3001, 21701, 86243, 1257787, 2147483647}) {
    const engine* e = auto_engine(p);
    ASSERT_TRUE(e != nullptr && e->applicable(p) && choose_engine("auto", p) == e) << p;
    EXPECT_NE(std::string_view(e->name), "reference") << p;
  }
  EXPECT_EQ(std::string_view(auto_engine(127)->name), "exact");
  EXPECT_EQ(std::string_view(auto_engine(86243)->name), "fast");
}

}  // namespace
