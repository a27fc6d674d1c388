#include "methods/factor/split.h"

#include <ecm.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "arith/residue.h"
#include "base/check.h"

namespace {

constexpr int kPrimeReps = 25;

// Whether n > 1 divides 2^p - 1 (2^p is 1 modulo n).
bool divides_mersenne(mpz_srcptr n, int32_t p) {
  if (mpz_cmp_ui(n, 1) <= 0) return false;
  mpz_value r, two;
  mpz_set_ui(two, 2);
  mpz_powm_ui(r, two, static_cast<unsigned long>(p), n);
  return mpz_cmp_ui(r.get(), 1) == 0;
}

// n in decimal.
std::string decimal(mpz_srcptr n) {
  char* s = mpz_get_str(nullptr, 10, n);
  std::string out(s);
  std::free(s);
  return out;
}

// Whether decimal a < decimal b by value (neither has leading zeros).
bool less_by_value(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The largest k to try so that 2kp + 1 stays at most sqrt(n) (capped at limit).
uint64_t trial_limit(mpz_srcptr n, int32_t p, uint64_t limit) {
  mpz_value root;
  mpz_sqrt(root, n);
  if (mpz_sizeinbase(root, 2) > 62) return limit;
  const uint64_t r = mpz_get_ui(root);
  const uint64_t k = r / (2 * static_cast<uint64_t>(p));
  return std::min(k, limit);
}

// Pollard's rho in Brent's form with x -> x^2 + c: a proper divisor of the
// composite n into f within steps steps; false when none was found.
bool rho_brent(mpz_srcptr n, uint64_t steps, unsigned long c, mpz_ptr f) {
  constexpr uint64_t kBatch = 128;
  mpz_value x, y, ys, q, d;
  mpz_set_ui(y, 2);
  mpz_set_ui(q, 1);
  mpz_set_ui(f, 1);
  const auto step = [&](mpz_ptr v) {
    mpz_mul(v, v, v);
    mpz_add_ui(v, v, c);
    mpz_mod(v, v, n);
  };
  uint64_t used = 0;
  for (uint64_t r = 1; mpz_cmp_ui(f, 1) == 0 && used < steps; r *= 2) {
    mpz_set(x, y);
    for (uint64_t i = 0; i < r; ++i) step(y);
    used += r;
    for (uint64_t k = 0; k < r && mpz_cmp_ui(f, 1) == 0; k += kBatch) {
      mpz_set(ys, y);
      const uint64_t m = std::min(kBatch, r - k);
      for (uint64_t i = 0; i < m; ++i) {
        step(y);
        mpz_sub(d, x, y);
        mpz_mul(q, q, d);
        mpz_mod(q, q, n);
      }
      used += m;
      mpz_gcd(f, q, n);
    }
  }
  if (mpz_cmp(f, n) == 0) {  // the batch overshot: step again from its start, one gcd a step
    do {
      step(ys);
      mpz_sub(d, x, ys);
      mpz_gcd(f, d, n);
    } while (mpz_cmp_ui(f, 1) == 0);
  }
  return mpz_cmp_ui(f, 1) > 0 && mpz_cmp(f, n) < 0;
}

// One GMP-ECM curve at b1 with sigma on n: a proper divisor into f, or false.
bool ecm_curve(mpz_srcptr n, double b1, uint64_t sigma, mpz_ptr f) {
  ecm_params params;
  ecm_init(params);
  params->verbose = 0;
  params->param = ECM_PARAM_SUYAMA;
  mpz_set_ui(params->sigma, static_cast<unsigned long>(sigma));
  mpz_value nn;
  mpz_set(nn, n);
  const int r = ecm_factor(f, nn, b1, params);
  ecm_clear(params);
  return r > 0 && mpz_cmp_ui(f, 1) > 0 && mpz_cmp(f, n) < 0;
}

struct splitter {
  explicit splitter(const split_budget& b) : budget(b) {}
  const split_budget& budget;
  std::mt19937_64 rng{0x5eed5e11ull};
  std::vector<std::string> primes;
  std::vector<std::string> composites;

  // A proper divisor of the composite n into f by a root (n a perfect
  // power), Pollard's rho or GMP-ECM; false when the budget ran out.
  bool find_divisor(mpz_srcptr n, mpz_ptr f) {
    if (mpz_sizeinbase(n, 2) > budget.rho_ecm_bits) return false;
    if (mpz_perfect_power_p(n)) {
      for (unsigned long e = 2; e <= mpz_sizeinbase(n, 2); ++e) {
        if (mpz_root(f, n, e) != 0) return true;
      }
    }
    if (rho_brent(n, budget.rho_steps, 1, f)) return true;
    for (const auto& [b1, curves] : budget.ecm_levels) {
      for (int i = 0; i < curves; ++i) {
        if (ecm_curve(n, b1, 6 + rng() % (~uint64_t{0} - 6), f)) return true;
      }
    }
    return false;
  }

  // Whether n is a probable prime (false, untested, past the budget's size).
  bool prime(mpz_srcptr n) const {
    return mpz_sizeinbase(n, 2) <= budget.prime_test_bits && mpz_probab_prime_p(n, kPrimeReps) > 0;
  }

  // Files n > 1 as a prime, or splits it and files its parts.
  void split(mpz_srcptr n) {
    if (prime(n)) {
      primes.push_back(decimal(n));
      return;
    }
    mpz_value f, rest;
    if (!find_divisor(n, f)) {
      composites.push_back(decimal(n));
      return;
    }
    mpz_divexact(rest, n, f);
    split(f);
    split(rest);
  }
};

}  // namespace

std::vector<std::string> prime_factors_of(mpz_srcptr g, int32_t p, bool* all_prime) {
  return prime_factors_within(g, p, split_budget{}, all_prime);
}

std::vector<std::string> prime_factors_within(mpz_srcptr g, int32_t p, const split_budget& budget, bool* all_prime) {
  MERSENNE_REQUIRE(p >= 2 && divides_mersenne(g, p));
  splitter s(budget);
  mpz_value rest;
  mpz_set(rest, g);
  // The small factors first: every prime factor of 2^p - 1 (p prime) is 2kp + 1,
  // and 1 or 7 modulo 8; the first such divisor of what is left is prime.
  if (mpz_cmp_ui(rest.get(), 1) > 0 && !s.prime(rest)) {
    uint64_t last_k = trial_limit(rest, p, budget.trial_k);
    for (uint64_t k = 1; k <= last_k; ++k) {
      const uint64_t q = 2 * k * static_cast<uint64_t>(p) + 1;
      if (q % 8 != 1 && q % 8 != 7) continue;
      if (!mpz_divisible_ui_p(rest, q)) continue;
      do {
        mpz_divexact_ui(rest, rest, q);
      } while (mpz_divisible_ui_p(rest, q));
      mpz_value qq;
      mpz_set_ui(qq, q);
      s.split(qq);
      if (mpz_cmp_ui(rest.get(), 1) == 0 || s.prime(rest)) break;
      last_k = trial_limit(rest, p, budget.trial_k);
    }
  }
  if (mpz_cmp_ui(rest.get(), 1) > 0) s.split(rest);

  // Each number listed divides 2^p - 1 (checked again: a wrong factor is never given out).
  std::vector<std::string> out;
  bool only_primes = true;
  const auto keep = [&](const std::vector<std::string>& list, bool prime) {
    for (const std::string& d : list) {
      mpz_value v;
      mpz_set_str(v, d.c_str(), 10);
      if (!divides_mersenne(v, p)) continue;
      out.push_back(d);
      if (!prime) only_primes = false;
    }
  };
  keep(s.primes, true);
  keep(s.composites, false);
  std::sort(out.begin(), out.end(), less_by_value);
  out.erase(std::unique(out.begin(), out.end()), out.end());
  if (all_prime != nullptr) *all_prime = only_primes;
  return out;
}
