#include "methods/pm1_plan.h"

#include <cmath>
#include <numeric>
#include <primesieve.hpp>

#include "base/check.h"
#include "base/machine.h"
#include "base/tuning.h"

namespace {

// D's prime factors: 2, 3, 5, 7, 11, 13.
constexpr uint64_t kDs[] = {6, 30, 210, 2310, 30030};
// Products per prime of the plain pairing for each D (measured over the
// primes of (10^6, 3 10^7]: 0.866, 0.852 and 0.840 for 210, 2310 and 30030).
constexpr double kPairing[] = {0.95, 0.90, 0.866, 0.852, 0.840};

// The largest prime factor of kDs[k].
constexpr uint64_t largest_prime_of(size_t k) { return k == 0 ? 3 : k == 1 ? 5 : k == 2 ? 7 : k == 3 ? 11 : 13; }

}  // namespace

stage2_plan make_plan(uint64_t d, uint64_t lo, uint64_t hi) {
  stage2_plan plan;
  plan.d = d;
  plan.lo = lo;
  plan.hi = hi;
  plan.index_of.assign(d / 2, -1);
  for (uint32_t j = 1; j < d / 2; j += 2)
    if (std::gcd<uint64_t, uint64_t>(j, d) == 1) {
      plan.index_of[j] = static_cast<int32_t>(plan.js.size());
      plan.js.push_back(j);
    }
  // q in (lo, hi] lies in (mD - D/2, mD + D/2) for m = round(q / D).
  plan.m_first = (lo + 1 + d / 2) / d;
  plan.m_last = (hi + d / 2) / d;
  return plan;
}

uint64_t plan_window(const stage2_plan& plan, uint64_t m0, uint64_t m1, std::vector<std::vector<bool>>* rows) {
  rows->assign(static_cast<size_t>(m1 - m0), std::vector<bool>(plan.js.size(), false));
  const uint64_t from = std::max(plan.lo + 1, m0 * plan.d > plan.d / 2 ? m0 * plan.d - plan.d / 2 : 0);
  const uint64_t to = std::min(plan.hi, m1 * plan.d - plan.d / 2 - 1);
  uint64_t primes = 0;
  if (from > to) return 0;
  primesieve::iterator it(from, to);
  for (uint64_t q = it.next_prime(); q <= to; q = it.next_prime()) {
    const uint64_t m = (q + plan.d / 2) / plan.d;
    const uint64_t j = q > m * plan.d ? q - m * plan.d : m * plan.d - q;
    const int32_t k = plan.index_of[static_cast<size_t>(j)];
    MERSENNE_REQUIRE(k >= 0 && m >= m0 && m < m1);
    (*rows)[static_cast<size_t>(m - m0)][static_cast<size_t>(k)] = true;
    ++primes;
  }
  return primes;
}

uint64_t choose_d(const engine& e, int32_t p, int64_t n, uint64_t lo, uint64_t hi, int count) {
  const uint64_t each = e.memory_bytes != nullptr ? e.memory_bytes(p, n) : (static_cast<uint64_t>(p) / 8 + 64);
  const uint64_t usable = usable_memory_bytes();
  const double have = usable == 0 ? 1e18 : static_cast<double>(usable) * tuning::kPm1MemoryShare;
  const double range = static_cast<double>(hi - lo);
  const double primes = range / std::log(static_cast<double>(hi));
  uint64_t best = 0;
  double best_cost = 0;
  for (size_t k = 0; k < std::size(kDs); ++k) {
    const uint64_t d = kDs[k];
    if (largest_prime_of(k) > lo) break;
    uint64_t babies = 0;
    for (uint64_t j = 1; j < d / 2; j += 2) babies += std::gcd(j, d) == 1;
    if (static_cast<double>(each) * static_cast<double>(babies + static_cast<uint64_t>(count)) > have) break;
    // Products: the pairs, two per giant step, two per odd j below D/2 for the baby steps.
    const double cost = kPairing[k] * primes + 2 * range / static_cast<double>(d) + static_cast<double>(d) / 2;
    if (best == 0 || cost < best_cost) {
      best = d;
      best_cost = cost;
    }
  }
  return best;
}

