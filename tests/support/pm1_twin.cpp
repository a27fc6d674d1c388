#include "support/pm1_twin.h"

#include <ecm.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace testing_support {

namespace {

// n in decimal.
std::string decimal(mpz_srcptr n) {
  char* s = mpz_get_str(nullptr, 10, n);
  std::string out(s);
  std::free(s);
  return out;
}

// The primes up to n, by a plain sieve.
std::vector<uint64_t> primes_to(uint64_t n) {
  std::vector<bool> composite(n + 1, false);
  std::vector<uint64_t> out;
  for (uint64_t i = 2; i <= n; ++i) {
    if (composite[i]) continue;
    out.push_back(i);
    for (uint64_t j = i * i; j <= n; j += i) composite[j] = true;
  }
  return out;
}

// Whether decimal a < decimal b by value.
bool less_by_value(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The prime factors of g > 1 into out, split by GMP-ECM's ECM (sigma from a
// fixed seed); a part that does not split is kept as it is.
void split_by_ecm(mpz_srcptr g, std::vector<std::string>& out, std::mt19937_64& rng) {
  if (mpz_probab_prime_p(g, 25) > 0) {
    out.push_back(decimal(g));
    return;
  }
  mpz_t f, n;
  mpz_init(f);
  mpz_init_set(n, g);
  bool split = false;
  for (double b1 : {2000.0, 11000.0, 50000.0, 250000.0}) {
    for (int curve = 0; curve < 200 && !split; ++curve) {
      ecm_params params;
      ecm_init(params);
      params->param = ECM_PARAM_SUYAMA;
      mpz_set_ui(params->sigma, 6 + rng() % 1000000000);
      split = ecm_factor(f, n, b1, params) > 0 && mpz_cmp_ui(f, 1) > 0 && mpz_cmp(f, n) < 0;
      ecm_clear(params);
    }
  }
  if (split) {
    mpz_divexact(n, n, f);
    split_by_ecm(f, out, rng);
    split_by_ecm(n, out, rng);
  } else {
    out.push_back(decimal(g));
  }
  mpz_clear(f);
  mpz_clear(n);
}

// The bound B2=... in GMP-ECM's report text, or 0.
uint64_t reported_b2(const std::string& text) {
  const size_t at = text.find("B2=");
  return at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 3, nullptr, 10);
}

// Whether p is prime.
bool is_prime_exponent(int32_t p) {
  if (p < 2) return false;
  for (int32_t d = 2; d * d <= p; ++d) {
    if (p % d == 0) return false;
  }
  return true;
}

}  // namespace

std::vector<std::string> ecm_pm1_factors(int32_t p, uint64_t b1, uint64_t b2, uint64_t* b2_covered) {
  mpz_t n, f;
  mpz_init(n);
  mpz_init(f);
  mpz_ui_pow_ui(n, 2, static_cast<unsigned long>(p));
  mpz_sub_ui(n, n, 1);
  ecm_params params;
  ecm_init(params);
  params->method = ECM_PM1;
  mpz_set_ui(params->x, 3);
  mpz_powm_ui(params->x, params->x, 2 * static_cast<unsigned long>(p), n);
  // A stage 2 bound below B1 leaves out stage 2.
  mpz_set_ui(params->B2, static_cast<unsigned long>(b2 > b1 ? b2 : 1));
  // Its first report line names the stage 2 bound it chose.
  char* report = nullptr;
  size_t report_size = 0;
  FILE* os = open_memstream(&report, &report_size);
  params->verbose = 1;
  params->os = os;
  const int r = ecm_factor(f, n, static_cast<double>(b1), params);
  ecm_clear(params);
  std::fclose(os);
  const std::string text = report != nullptr ? std::string(report, report_size) : std::string();
  std::free(report);
  if (b2_covered != nullptr) *b2_covered = b2 > b1 ? std::max(reported_b2(text), b2) : b1;

  std::vector<std::string> out;
  if (r > 0 && mpz_cmp_ui(f, 1) > 0) {
    std::mt19937_64 rng(0x7717);
    split_by_ecm(f, out, rng);
  }
  std::sort(out.begin(), out.end(), less_by_value);
  out.erase(std::unique(out.begin(), out.end()), out.end());
  mpz_clear(n);
  mpz_clear(f);
  return out;
}

int pm1_stage_finding(int32_t p, mpz_srcptr q, uint64_t b1, uint64_t b2) {
  mpz_t y, e, t;
  mpz_init_set_ui(y, 3);
  mpz_init(e);
  mpz_init(t);
  mpz_powm_ui(y, y, 2 * static_cast<unsigned long>(p), q);
  const std::vector<uint64_t> primes = primes_to(std::max(b1, b2));
  for (uint64_t r : primes) {
    if (r > b1) break;
    uint64_t power = r;
    while (power <= b1 / r) power *= r;
    mpz_powm_ui(y, y, power, q);
  }
  int stage = 0;
  if (mpz_cmp_ui(y, 1) == 0) {
    stage = 1;
  } else {
    mpz_sub_ui(t, q, 1);
    for (uint64_t r : primes) {
      if (r <= b1 || !mpz_divisible_ui_p(t, r)) continue;
      mpz_powm_ui(e, y, r, q);
      if (mpz_cmp_ui(e, 1) == 0) {
        stage = 2;
        break;
      }
    }
  }
  mpz_clear(y);
  mpz_clear(e);
  mpz_clear(t);
  return stage;
}

uint64_t smooth_factor::largest_power() const {
  uint64_t most = 1;
  for (const auto& [r, a] : k_primes) {
    uint64_t v = 1;
    for (int i = 0; i < a; ++i) v *= r;
    most = std::max(most, v);
  }
  return most;
}

std::vector<smooth_factor> smooth_factors_of(int32_t p, uint64_t b1, uint64_t b2, int min_bits) {
  std::vector<smooth_factor> out;
  mpz_t q, k;
  mpz_init(q);
  mpz_init(k);
  uint64_t covered = 0;
  const std::vector<std::string> found = ecm_pm1_factors(p, b1, b2, &covered);
  const std::vector<uint64_t> primes = primes_to(std::max(covered, b1));
  for (const std::string& d : found) {
    mpz_set_str(q, d.c_str(), 10);
    if (mpz_probab_prime_p(q, 25) == 0 || static_cast<int>(mpz_sizeinbase(q, 2)) < min_bits) continue;
    mpz_sub_ui(k, q, 1);
    if (!mpz_divisible_ui_p(k, 2 * static_cast<unsigned long>(p))) continue;
    mpz_divexact_ui(k, k, 2 * static_cast<unsigned long>(p));
    smooth_factor s;
    s.p = p;
    s.q = d;
    s.k = decimal(k);
    for (uint64_t r : primes) {
      if (mpz_cmp_ui(k, 1) == 0) break;
      int a = 0;
      while (mpz_divisible_ui_p(k, r)) {
        mpz_divexact_ui(k, k, r);
        ++a;
      }
      if (a > 0) s.k_primes.emplace_back(r, a);
    }
    if (mpz_cmp_ui(k, 1) != 0) continue;  // k has a prime beyond GMP-ECM's bounds
    s.stage = pm1_stage_finding(p, q, b1, std::max(b1, b2));
    out.push_back(std::move(s));
  }
  mpz_clear(q);
  mpz_clear(k);
  return out;
}

std::vector<smooth_factor> smooth_factors(std::mt19937_64& rng, int32_t p_lo, int32_t p_hi, uint64_t b1, uint64_t b2,
                                          int count, int min_bits, int tries) {
  std::vector<smooth_factor> out;
  std::set<int32_t> used;
  std::uniform_int_distribution<int32_t> pick(p_lo, p_hi);
  for (int attempt = 0; attempt < tries && static_cast<int>(out.size()) < count; ++attempt) {
    int32_t p = pick(rng);
    while (!is_prime_exponent(p)) p = p < p_hi ? p + 1 : p_lo;
    if (!used.insert(p).second) continue;
    for (smooth_factor& s : smooth_factors_of(p, b1, b2, min_bits)) {
      if (static_cast<int>(out.size()) < count) out.push_back(std::move(s));
    }
  }
  return out;
}

const std::vector<int32_t>& exponents_with_large_smooth_factors() {
  static const std::vector<int32_t> exponents = {433, 743};
  return exponents;
}

}  // namespace testing_support
