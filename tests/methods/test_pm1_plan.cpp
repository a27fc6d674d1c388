// Stage 2's plan: every prime of (lo, hi] covered by a product taken (its own
// or a multiple's), checked by factoring the products' members with a plain
// sieve; the same rows from windows of any size made in any order; the
// products per prime relocation reaches; the primality test it leans on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <numeric>
#include <primesieve.hpp>
#include <random>
#include <vector>

#include "methods/pm1_plan.h"
#include "support/test_support.h"

namespace {

struct range_case {
  uint64_t d, lo, hi;
};

// lo below D, ranges inside giant step 0, hi off a multiple of D, wider ones,
// and small D over hi / lo = 200, where a prime's host moves in turn and few
// other multiples would cover it by chance.
constexpr range_case kCases[] = {{210, 7, 100},           {2310, 11, 1000},         {30, 5, 20000},
                                 {210, 1000, 123457},     {2310, 13, 300001},       {2310, 50000, 2000003},
                                 {30030, 100000, 3000001}, {6, 3, 5000},            {6, 1000, 200000},
                                 {30, 1000, 200000}};

// The rows of the whole plan, window by window.
std::vector<std::vector<bool>> all_rows(const stage2_plan& plan, uint64_t* primes) {
  std::vector<std::vector<bool>> all, rows;
  *primes = 0;
  for (uint64_t m = plan.m_first; m <= plan.m_last; m += kWindow) {
    *primes += plan_window(plan, m, std::min(plan.m_last + 1, m + kWindow), &rows);
    all.insert(all.end(), rows.begin(), rows.end());
  }
  return all;
}

// Smallest prime factor of each n up to top (0 and 1 get 0).
std::vector<uint32_t> smallest_factors(uint64_t top) {
  std::vector<uint32_t> spf(top + 1, 0);
  for (uint64_t i = 2; i <= top; ++i)
    if (spf[i] == 0)
      for (uint64_t k = i; k <= top; k += i)
        if (spf[k] == 0) spf[k] = static_cast<uint32_t>(i);
  return spf;
}

TEST(Pm1Plan, EveryPrimeIsCoveredAndEveryProductCoversOne) {
  for (const range_case& c : kCases) {
    for (const bool relocate : {false, true}) {
      stage2_plan plan = make_plan(c.d, c.lo, c.hi);
      plan.relocate = relocate;
      uint64_t primes = 0;
      const auto rows = all_rows(plan, &primes);
      ASSERT_EQ(rows.size(), plan.m_last + 1 - plan.m_first);
      const uint64_t top = plan.m_last * c.d + c.d / 2;
      const std::vector<uint32_t> spf = smallest_factors(top);
      std::vector<bool> covered(c.hi + 1, false);
      uint64_t products = 0;
      for (size_t i = 0; i < rows.size(); ++i)
        for (size_t k = 0; k < rows[i].size(); ++k) {
          if (!rows[i][k]) continue;
          ++products;
          const uint64_t md = (plan.m_first + i) * c.d, j = plan.js[k];
          bool useful = false;
          // Giant step 0 takes 1 - x^(j^2): j alone.
          for (const uint64_t member : md == 0 ? std::vector<uint64_t>{j} : std::vector<uint64_t>{md - j, md + j})
            for (uint64_t n = member; n > 1; n /= spf[n])
              if (spf[n] > c.lo && spf[n] <= c.hi) {
                covered[spf[n]] = true;
                useful = true;
              }
          EXPECT_TRUE(useful) << "a product for no prime of the range at m = " << md / c.d << ", j = " << j;
        }
      uint64_t count = 0;
      for (uint64_t q = c.lo + 1; q <= c.hi; ++q) {
        if (spf[q] != q) continue;
        ++count;
        ASSERT_TRUE(covered[q]) << "prime " << q << " skipped, D = " << c.d << ", (" << c.lo << ", " << c.hi
                                << "], relocation " << relocate;
      }
      EXPECT_EQ(primes, count) << c.d << " " << c.lo << " " << c.hi;
      if (relocate && c.hi > 100000) {
        EXPECT_LT(products, primes);  // relocation leaves fewer than one a prime
      }
    }
  }
}

TEST(Pm1Plan, WindowsOfAnySizeInAnyOrderGiveTheSameRows) {
  std::mt19937_64 rng(testing_support::test_seed());
  for (const range_case& c : kCases) {
    const stage2_plan plan = make_plan(c.d, c.lo, c.hi);
    uint64_t primes = 0;
    const auto whole = all_rows(plan, &primes);
    // Cut [m_first, m_last] at random places, windows from 1 to about two kWindow long.
    std::vector<std::pair<uint64_t, uint64_t>> windows;
    for (uint64_t m = plan.m_first; m <= plan.m_last;) {
      const uint64_t longest = rng() % 2 == 0 ? 7 : 2 * kWindow;
      const uint64_t size = 1 + rng() % longest;
      const uint64_t end = std::min(plan.m_last + 1, m + size);
      windows.emplace_back(m, end);
      m = end;
    }
    std::shuffle(windows.begin(), windows.end(), rng);
    uint64_t again = 0;
    std::vector<std::vector<bool>> rows;
    for (const auto& [m0, m1] : windows) {
      again += plan_window(plan, m0, m1, &rows);
      ASSERT_EQ(rows.size(), m1 - m0);
      for (uint64_t m = m0; m < m1; ++m)
        ASSERT_EQ(rows[m - m0], whole[m - plan.m_first]) << "D = " << c.d << ", m = " << m << " in [" << m0 << ", "
                                                         << m1 << ")";
    }
    EXPECT_EQ(again, primes);
  }
}

TEST(Pm1Plan, RelocationKeepsProductsPerPrimeAtMost085) {
  // The bounds of a first test near p = 10^8, at the D this machine's memory allows there.
  stage2_plan plan = make_plan(2310, 1000000, 30000000);
  uint64_t primes = 0;
  uint64_t products = 0;
  for (const auto& row : all_rows(plan, &primes))
    products += static_cast<uint64_t>(std::count(row.begin(), row.end(), true));
  const double per_prime = static_cast<double>(products) / static_cast<double>(primes);
  EXPECT_LE(per_prime, 0.85);
  plan.relocate = false;
  uint64_t plain = 0;
  for (const auto& row : all_rows(plan, &primes))
    plain += static_cast<uint64_t>(std::count(row.begin(), row.end(), true));
  EXPECT_LT(products, plain);
  std::cout << "products per prime " << per_prime << ", plain pairing "
            << static_cast<double>(plain) / static_cast<double>(primes) << "\n";
}

TEST(Pm1Plan, PrimalityAgreesWithTheSieveAndRejectsStrongPseudoprimes) {
  const std::pair<uint64_t, uint64_t> spans[] = {
      {0, 200000},
      {(uint64_t{1} << 32) - 10000, (uint64_t{1} << 32) + 10000},
      {uint64_t{1} << 62, (uint64_t{1} << 62) + 5000},
      {~uint64_t{0} - 6000, ~uint64_t{0} - 1000}};
  for (const auto& [from, to] : spans) {
    std::vector<uint64_t> primes;
    primesieve::generate_primes(from, to, &primes);
    size_t at = 0;
    for (uint64_t n = from; n <= to; ++n) {
      const bool prime = at < primes.size() && primes[at] == n;
      at += prime;
      ASSERT_EQ(is_prime_u64(n), prime) << n;
    }
  }
  // Strong pseudoprimes to the first bases (2 through 7, 2 through 23, 2, 7 and 61 together).
  for (const uint64_t n : {3215031751ull, 3825123056546413051ull, 4759123141ull}) EXPECT_FALSE(is_prime_u64(n)) << n;
}

}  // namespace
