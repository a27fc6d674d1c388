// Splitting a divisor of 2^p - 1 into primes, held to published
// factorisations; ECM by GMP-ECM finding a known factor and stopping when
// asked; GMP-ECM's P-1 twin and the plain answer to which stage finds a factor.
#include <gtest/gtest.h>
#include <gmp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "arith/residue.h"
#include "base/tuning.h"
#include "methods/ecm.h"
#include "methods/factor/split.h"
#include "support/pm1_twin.h"
#include "support/test_support.h"

namespace {

using strings = std::vector<std::string>;

// The product of the decimal numbers in factors.
void product_of(mpz_ptr out, const strings& factors) {
  mpz_value f;
  mpz_set_ui(out, 1);
  for (const std::string& d : factors) {
    mpz_set_str(f, d.c_str(), 10);
    mpz_mul(out, out, f);
  }
}

// 2^p - 1 in decimal.
std::string mersenne_decimal(int32_t p) {
  mpz_value n;
  mpz_ui_pow_ui(n, 2, static_cast<unsigned long>(p));
  mpz_sub_ui(n, n, 1);
  char* s = mpz_get_str(nullptr, 10, n);
  std::string out(s);
  free(s);
  return out;
}

// prime_factors_of on the product of factors, with its all-prime mark.
strings split_product(const strings& factors, int32_t p, bool* all_prime) {
  mpz_value g;
  product_of(g, factors);
  return prime_factors_of(g, p, all_prime);
}

TEST(Split, PublishedFactorisations) {
  struct item {
    int32_t p;
    strings divisor;  // multiplied together
    strings primes;   // what the split must give
  };
  const std::string m67a = "193707721", m67b = "761838257287";
  const std::string m101a = "7432339208719", m101b = "341117531003194129";
  const std::string m137a = "32032215596496435569", m137b = "5439042183600204290159";
  const item items[] = {
      {67, {m67a, m67b}, {m67a, m67b}},                   // 2^67 - 1 itself
      {67, {m67b}, {m67b}},                               // a prime
      {101, {m101b, m101a}, {m101a, m101b}},              // beyond trial division and rho's reach
      {137, {m137b, m137a}, {m137a, m137b}},              // two primes of 20 and 22 digits: ECM
      {11, {"23", "89"}, {"23", "89"}},                   // trial division alone
      {21, {"7", "7", "127"}, {"7", "127"}},              // a square (p composite: 7 is not 2kp + 1)
      {21, {"7", "7", "127", "337"}, {"7", "127", "337"}},
      {127, {mersenne_decimal(127)}, {mersenne_decimal(127)}},  // a Mersenne prime
  };
  for (const item& it : items) {
    bool all_prime = false;
    EXPECT_EQ(split_product(it.divisor, it.p, &all_prime), it.primes) << "p = " << it.p;
    EXPECT_TRUE(all_prime) << "p = " << it.p;
  }
}

TEST(Split, PartBeyondTheBudgetIsMarkedComposite) {
  // The product of M137's two primes is past a few rho steps with no curves allowed.
  mpz_value g;
  product_of(g, {"32032215596496435569", "5439042183600204290159"});
  split_budget tight;
  tight.rho_steps = 1000;
  tight.ecm_levels.clear();
  bool all_prime = true;
  EXPECT_EQ(prime_factors_within(g, 137, tight, &all_prime), strings{"174224571863520493293247799005065324265471"});
  EXPECT_FALSE(all_prime);
  // Too large for rho and the curves at all.
  split_budget small_parts;
  small_parts.rho_ecm_bits = 64;
  all_prime = true;
  EXPECT_EQ(prime_factors_within(g, 137, small_parts, &all_prime).size(), 1u);
  EXPECT_FALSE(all_prime);
}

TEST(Ecm, FindsAKnownFactor) {
  int calls = 0;
  const ecm_outcome r = run_ecm(137, ecm_request{400, 11000, 12345}, nullptr, [&](int done, int total) {
    EXPECT_TRUE(done == ++calls && total == 400) << done << " " << total;
  });
  ASSERT_TRUE(r.error.empty() && !r.interrupted && !r.factors.empty()) << r.error << " curves: " << r.curves_done;
  EXPECT_TRUE(r.curves_done < 400 && calls == r.curves_done) << r.curves_done;
  for (const std::string& f : r.factors) EXPECT_TRUE(f == "32032215596496435569" || f == "5439042183600204290159") << f;
}

// 2^1061 - 1 is a product of primes of 143 and 177 digits: every curve runs
// unless a stop is asked, before the first, after it, or during a curve.
TEST(Ecm, RunsEveryCurveUnlessStopped) {
  ecm_outcome r = run_ecm(1061, ecm_request{3, 2000, 7}, nullptr, {});
  EXPECT_TRUE(r.error.empty() && r.factors.empty() && r.curves_done == 3 && !r.interrupted) << r.error;
  std::atomic<bool> stop{true};
  r = run_ecm(1061, ecm_request{3, 2000, 7}, &stop, {});
  EXPECT_TRUE(r.interrupted && r.curves_done == 0);
  stop = false;
  r = run_ecm(1061, ecm_request{3, 2000, 7}, &stop, [&](int, int) { stop = true; });
  EXPECT_TRUE(r.interrupted && r.curves_done == 1 && r.factors.empty());
  // A curve that would take hours is left at once, not counted.
  stop = false;
  std::thread asker([&] { stop = true; });
  r = run_ecm(1061, ecm_request{1, 2000000000, 7}, &stop, {});
  asker.join();
  EXPECT_TRUE(r.interrupted && r.curves_done == 0);
}

TEST(Ecm, TakesOnlyPrimeExponentsInItsRange) {
  EXPECT_TRUE(ecm_applicable(3) && ecm_applicable(1061) && !ecm_applicable(2) && !ecm_applicable(1063 * 3) &&
              !ecm_applicable(tuning::kEcmLargestExponent + 1));
  EXPECT_FALSE(run_ecm(21, ecm_request{1, 2000, 1}, nullptr, {}).error.empty());
  EXPECT_FALSE(run_ecm(1061, ecm_request{0, 2000, 1}, nullptr, {}).error.empty());
}

TEST(Pm1Twin, FindsAKnownFactorInTheStageItNeeds) {
  // 3454817 = 2 * 1009 * k + 1 with k = 2^4 * 107.
  mpz_value q;
  mpz_set_ui(q, 3454817);
  const std::string f = "3454817";
  const auto has = [&](const strings& v) { return std::find(v.begin(), v.end(), f) != v.end(); };
  EXPECT_FALSE(has(testing_support::ecm_pm1_factors(1009, 106, 0)));
  EXPECT_EQ(testing_support::pm1_stage_finding(1009, q, 106, 106), 0);
  EXPECT_TRUE(has(testing_support::ecm_pm1_factors(1009, 107, 0)));
  EXPECT_EQ(testing_support::pm1_stage_finding(1009, q, 107, 107), 1);
  EXPECT_FALSE(has(testing_support::ecm_pm1_factors(1009, 15, 0)));  // 2^4 > 15
  uint64_t covered = 0;
  EXPECT_TRUE(has(testing_support::ecm_pm1_factors(1009, 106, 107, &covered)));
  EXPECT_GE(covered, 107u);
  EXPECT_EQ(testing_support::pm1_stage_finding(1009, q, 106, 107), 2);
  EXPECT_EQ(testing_support::pm1_stage_finding(1009, q, 100, 106), 0);
}

TEST(Pm1Twin, AgreesWithThePlainAnswerOnRandomExponents) {
  std::mt19937_64 rng(testing_support::test_seed());
  const uint64_t b1 = 1000, b2 = 50000;
  const auto found = testing_support::smooth_factors(rng, 300, 3000, b1, b2, 30);
  ASSERT_GE(found.size(), 10u);
  for (const auto& s : found) {
    // q = 2kp + 1 divides 2^p - 1, and k is the product of its primes.
    mpz_value q, k, r, two, t;
    mpz_set_str(q, s.q.c_str(), 10), mpz_set_str(k, s.k.c_str(), 10), mpz_set_ui(two, 2), mpz_set_ui(t, 1);
    mpz_powm_ui(r, two, static_cast<unsigned long>(s.p), q);
    for (const auto& [prime, e] : s.k_primes)
      for (int i = 0; i < e; ++i) mpz_mul_ui(t, t, prime);
    EXPECT_TRUE(mpz_cmp_ui(r.get(), 1) == 0 && mpz_cmp(t, k) == 0) << s.q;
    // Where k is b1-powersmooth but for at most one prime of (b1, b2], P-1 finds
    // it (so says the plain answer), in stage 1 when there is no such prime.
    int above = 0;
    bool reached = true;
    for (const auto& [prime, e] : s.k_primes) {
      uint64_t power = 1;
      for (int i = 0; i < e; ++i) power *= prime;
      if (power <= b1) continue;
      ++above;
      reached = reached && e == 1 && prime <= b2;
    }
    if (above == 0) {
      EXPECT_EQ(s.stage, 1) << s.q;
    } else if (above == 1 && reached) {
      EXPECT_GE(s.stage, 1) << s.q;
    }
  }
}

TEST(Pm1Twin, FindsFactorsAbove64Bits) {
  for (int32_t p : testing_support::exponents_with_large_smooth_factors()) {
    const auto found = testing_support::smooth_factors_of(p, 100000, 10000000, 65);
    ASSERT_FALSE(found.empty()) << "p = " << p;
    EXPECT_GE(found[0].stage, 1) << found[0].q;
  }
}

}  // namespace
