#include "methods/pm1_plan.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <primesieve.hpp>

#include "base/check.h"
#include "base/machine.h"
#include "base/tuning.h"

namespace {

// a b mod n.
uint64_t mul_mod(uint64_t a, uint64_t b, uint64_t n) {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % n);
}

// D's prime factors: 2, 3, 5, 7, 11, 13.
constexpr uint64_t kDs[] = {6, 30, 210, 2310, 30030};
// Products per prime for each D, pairs and relocation together (measured by
// bench_pm1_plan over the primes of (10^6, 3 10^7]; the plain pairing took
// 0.919, 0.881, 0.866, 0.852 and 0.840 there).
constexpr double kPairing[] = {0.852, 0.843, 0.838, 0.833, 0.828};

// The largest prime factor of kDs[k].
constexpr uint64_t largest_prime_of(size_t k) { return k == 0 ? 3 : k == 1 ? 5 : k == 2 ? 7 : k == 3 ? 11 : 13; }

// Relocation: the product of a prime q of (lo, hi] can go when r q (r > 1
// coprime to D, r q <= hi) shares a giant step's product with a prime n of
// (lo, hi], n > q, that keeps its own: x^((mD)^2) - x^(j^2) has the factor
// x^((mD - j)(mD + j)) - 1 with r q n dividing the exponent. n's partner in
// that product is r q, no prime, so n keeps its product unless it moves in
// turn; each step of the chain goes up, so whether q moves depends on the
// primes above it alone, and windows made in any order decide it alike. Both
// members of a pair have to move for their product to go.
class relocation {
 public:
  explicit relocation(const stage2_plan& plan) : plan_(plan) {}

  // Whether q's product is covered by a multiple's and can go.
  bool movable(uint64_t q) const {
    if (!plan_.relocate) return false;
    const uint64_t d = plan_.d;
    for (uint64_t r = 3;; r += 2) {
      if (std::gcd(r, d) != 1) continue;
      if (r > plan_.hi / q) return false;
      const uint64_t rq = r * q;
      const uint64_t m = (rq + d / 2) / d;
      if (m == 0) continue;  // 1 - x^(j^2) has the one member j
      const uint64_t n = 2 * m * d - rq;
      if (n > q && n <= plan_.hi && is_prime_u64(n) && !movable(n)) return true;
    }
  }

 private:
  const stage2_plan& plan_;
};

}  // namespace

// Trial division by the primes below 64, then Miller-Rabin with bases that are
// proven to decide every n below 2^64.
bool is_prime_u64(uint64_t n) {
  constexpr uint64_t kSmall[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};
  for (const uint64_t s : kSmall) {
    if (n == s) return true;
    if (n % s == 0) return false;
  }
  if (n < 67 * 67) return n > 1;
  uint64_t odd = n - 1;
  int twos = 0;
  for (; odd % 2 == 0; odd /= 2) ++twos;
  // Below 2^32: 2, 7, 61 (Jaeschke); to 2^64: Sinclair's seven bases.
  static constexpr uint64_t kBases32[] = {2, 7, 61};
  static constexpr uint64_t kBases64[] = {2, 325, 9375, 28178, 450775, 9780504, 1795265022};
  const auto witness = [&](uint64_t a) {
    a %= n;
    if (a == 0) return false;
    uint64_t x = 1;
    for (uint64_t e = odd, b = a; e != 0; e >>= 1, b = mul_mod(b, b, n))
      if (e & 1) x = mul_mod(x, b, n);
    if (x == 1 || x == n - 1) return false;
    for (int i = 1; i < twos; ++i) {
      x = mul_mod(x, x, n);
      if (x == n - 1) return false;
    }
    return true;
  };
  if (n < (uint64_t{1} << 32)) {
    for (const uint64_t a : kBases32)
      if (witness(a)) return false;
  } else {
    for (const uint64_t a : kBases64)
      if (witness(a)) return false;
  }
  return true;
}

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
  const uint64_t d = plan.d;
  const uint64_t from = std::max(plan.lo + 1, m0 * d > d / 2 ? m0 * d - d / 2 : 0);
  const uint64_t to = std::min(plan.hi, m1 * d - d / 2 - 1);
  if (from > to) return 0;
  const relocation moves(plan);
  uint64_t primes = 0;
  // The primes of one giant step at a time, so that each finds its partner.
  std::vector<uint64_t> slot;
  uint64_t slot_m = 0;
  const auto flush = [&]() {
    for (const uint64_t q : slot) {
      const uint64_t partner = 2 * slot_m * d - q;
      const bool paired =
          partner > plan.lo && partner <= plan.hi && std::binary_search(slot.begin(), slot.end(), partner);
      const bool keeps = paired ? !(moves.movable(q) && moves.movable(partner)) : !moves.movable(q);
      if (!keeps) continue;
      const uint64_t j = q > slot_m * d ? q - slot_m * d : slot_m * d - q;
      const int32_t k = plan.index_of[static_cast<size_t>(j)];
      MERSENNE_REQUIRE(k >= 0 && slot_m >= m0 && slot_m < m1);
      (*rows)[static_cast<size_t>(slot_m - m0)][static_cast<size_t>(k)] = true;
    }
    slot.clear();
  };
  primesieve::iterator it(from, to);
  for (uint64_t q = it.next_prime(); q <= to; q = it.next_prime()) {
    const uint64_t m = (q + d / 2) / d;
    if (m != slot_m) flush();
    slot_m = m;
    slot.push_back(q);
    ++primes;
  }
  flush();
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

