// Every engine of the table gives the same verdict and Res64 for every prime
// exponent of the sweep; auto picks an engine that can test p.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine_table.h"
#include "engine/exact.h"
#include "engine/reference.h"

namespace {

std::vector<int32_t> primes_between(int32_t lo, int32_t hi) {
  std::vector<int32_t> out;
  for (int32_t p = lo; p <= hi; ++p) {
    bool prime = p >= 2;
    for (int32_t d = 2; d * d <= p && prime; ++d) prime = p % d != 0;
    if (prime) out.push_back(p);
  }
  return out;
}

// Runs the named engine on every prime in lo .. hi and holds it to the exact engine.
void expect_agreement(const char* name, int32_t lo, int32_t hi) {
  const engine* e = find_engine(name);
  ASSERT_NE(e, nullptr) << name;
  int tested = 0;
  for (int32_t p : primes_between(lo, hi)) {
    ASSERT_TRUE(e->applicable(p)) << name << " " << p;
    const ll_outcome want = exact_lucas_lehmer(p, engine_options{});
    const ll_outcome got = e->run(p, engine_options{});
    ASSERT_TRUE(want.verdict) << p;
    ASSERT_TRUE(got.verdict) << name << " " << p << ": " << got.note << got.error;
    ASSERT_EQ(got.prime, want.prime) << name << " " << p;
    ASSERT_EQ(got.res64, want.res64) << name << " " << p;
    ++tested;
  }
  EXPECT_GT(tested, 0);
}

TEST(Agreement, FastAndExactOnEveryPrimeTo3000) { expect_agreement("fast", 3, 3000); }

TEST(Agreement, ReferenceAndExactOnEveryPrimeTo1000) { expect_agreement("reference", 3, 1000); }

TEST(LongAgreement, ReferenceAndExactOnEveryPrimeFrom1000To3000) {
  expect_agreement("reference", 1000, 3000);
}

TEST(EngineTable, NamesAndAutoChoice) {
  std::vector<std::string> names;
  for (const engine& e : engine_table()) {
    names.emplace_back(e.name);
    EXPECT_EQ(find_engine(e.name), &e);
    EXPECT_EQ(choose_engine(e.name, 3), &e);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"fast", "exact", "reference"}));
  EXPECT_EQ(find_engine("auto"), nullptr);
  EXPECT_EQ(find_engine("Fast"), nullptr);
  EXPECT_EQ(choose_engine("nope", 3), nullptr);
  // Auto always lands on an engine that applies, and on a fast one: never the reference engine.
  for (int32_t p : {3, 5, 7, 127, 3001, 9941, 21701, 86243, 1257787, 2147483647}) {
    const engine* e = auto_engine(p);
    ASSERT_NE(e, nullptr) << p;
    EXPECT_TRUE(e->applicable(p)) << p;
    EXPECT_NE(std::string(e->name), "reference") << p;
    EXPECT_EQ(choose_engine("auto", p), e);
  }
  // Small exponents go to the exact engine, large ones to the fast one.
  EXPECT_EQ(std::string(auto_engine(127)->name), "exact");
  EXPECT_EQ(std::string(auto_engine(86243)->name), "fast");
}

}  // namespace
