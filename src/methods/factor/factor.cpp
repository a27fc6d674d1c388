#include "methods/factor/factor.h"

#include <gmp.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include "base/check.h"
#include "methods/factor/ifma.h"
#include "methods/factor/montgomery.h"
#include "base/tuning.h"

namespace {

using factor_arith::mont1;
using factor_arith::mont2;
using factor_arith::u128;

// k is split into classes modulo 4 * 3 * 5 * 7 * 11: q mod 8 depends on k mod
// 4 (p odd), q mod 3, 5, 7, 11 on k mod each prime. 960 of the 4620 classes
// can hold a factor. A q of a skipped class that equals 3, 5, 7 or 11 would
// need kp <= 5, so p <= 5 and q <= 11 < 2p + 1 or q = 7 = 2^3 - 1 itself:
// never a proper factor, so no class skipped hides one.
constexpr uint32_t kClassModulus = kFactorClassModulus;
constexpr uint32_t kClassPrimes[] = {3, 5, 7, 11};

// Candidates per sieve block: a byte each.
constexpr size_t kBlock = tuning::kFactorSieveBlock;

// The sieve primes: 13 up to tuning::kFactorSieveLimit.
const std::vector<uint32_t>& sieve_primes() {
  static const std::vector<uint32_t> primes = [] {
    const uint32_t n = tuning::kFactorSieveLimit;
    std::vector<uint8_t> composite(n + 1, 0);
    std::vector<uint32_t> out;
    for (uint32_t i = 2; i <= n; ++i) {
      if (composite[i]) continue;
      if (i >= 13) out.push_back(i);
      for (uint64_t j = static_cast<uint64_t>(i) * i; j <= n; j += i) composite[j] = 1;
    }
    return out;
  }();
  return primes;
}

// a^-1 mod r for a prime r not dividing a.
uint32_t inverse_mod(uint64_t a, uint32_t r) {
  int64_t t = 0, nt = 1, m = r, na = static_cast<int64_t>(a % r);
  while (na != 0) {
    const int64_t k = m / na;
    std::tie(t, nt) = std::pair(nt, t - k * nt);
    std::tie(m, na) = std::pair(na, m - k * na);
  }
  return static_cast<uint32_t>(t < 0 ? t + r : t);
}

int bit_length(u128 v) {
  int n = 0;
  while (v != 0) {
    ++n;
    v >>= 1;
  }
  return n;
}

std::string decimal(u128 v) {
  if (v == 0) return "0";
  std::string s;
  while (v != 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  }
  return s;
}

// Whether q is a proper factor of 2^p - 1, by GMP alone.
bool gmp_confirms(int32_t p, u128 q) {
  mpz_t m, qq, r;
  mpz_inits(m, qq, r, nullptr);
  mpz_import(qq, 2, -1, sizeof(uint64_t), 0, 0, &q);
  mpz_set_ui(m, 1);
  mpz_mul_2exp(m, m, static_cast<mp_bitcnt_t>(p));
  mpz_sub_ui(m, m, 1);
  mpz_mod(r, m, qq);
  const bool ok = mpz_cmp_ui(qq, 1) > 0 && mpz_cmp(qq, m) < 0 && mpz_sgn(r) == 0;
  mpz_clears(m, qq, r, nullptr);
  return ok;
}

// The search for one exponent: the classes, the sieve primes' steps, and the
// candidates of each block tested in groups.
class searcher {
 public:
  searcher(int32_t p, const factor_options& opt, bool ifma, factor_outcome& out)
      : p_(p), opt_(opt), out_(out), ifma_(ifma), step_(2 * static_cast<uint64_t>(p) * kClassModulus) {
    for (uint32_t c = 0; c < kClassModulus; ++c) {
      const uint64_t q = 2 * static_cast<uint64_t>(p) * c + 1;
      bool keep = q % 8 == 1 || q % 8 == 7;
      for (uint32_t r : kClassPrimes) keep = keep && q % r != 0;
      if (keep) classes_.push_back(c);
    }
    for (uint32_t r : sieve_primes()) {
      if (step_ % r == 0) continue;  // r = p: every q is 1 mod r
      primes_.push_back(r);
      two_p_mod_.push_back(static_cast<uint32_t>(2 * static_cast<uint64_t>(p) % r));
      step_mod_.push_back(static_cast<uint32_t>(step_ % r));
      step_inv_.push_back(inverse_mod(step_, r));
    }
    next_.resize(primes_.size());
    sieve_.resize(kBlock);
    gathered_.resize(kBlock);
    residues_.resize(kBlock);
  }

  void run();

 private:
  bool stopping() const { return opt_.stop != nullptr && opt_.stop->load(std::memory_order_relaxed); }
  // Searches k in [kmin, kmax] of level, but for the classes in done, which
  // gathers the classes as they finish; false when stopped.
  bool level(int level, u128 kmin, u128 kmax, factor_classes& done);
  // Searches k in [kmin, kmax] of class classes_[ci] of level; false when stopped.
  bool one_class(int level, size_t ci, u128 kmin, u128 kmax);
  // Tests the candidates gathered so far; keeps the smallest factor confirmed.
  void test_gathered(int level);

  int32_t p_;
  const factor_options& opt_;
  factor_outcome& out_;
  bool ifma_;      // the candidates are tested with the IFMA arithmetic
  uint64_t step_;  // 2 p kClassModulus: q grows by this from one k of a class to the next
  std::vector<uint32_t> classes_, primes_, two_p_mod_, step_mod_, step_inv_, next_;
  std::vector<uint8_t> sieve_;
  std::vector<u128> gathered_, residues_;  // kBlock each; the first gathered_count_ in use
  size_t gathered_count_ = 0;
  u128 found_ = 0;  // smallest factor confirmed in this level; 0: none
};

void searcher::test_gathered(int level) {
  const size_t n = gathered_count_;
  out_.tested += n;
  const uint32_t p = static_cast<uint32_t>(p_);
  auto confirm = [&](u128 q) {
    if (!gmp_confirms(p_, q)) {
      out_.error = "the trial factoring arithmetic called " + decimal(q) + " a factor of M" + std::to_string(p_) +
                   " but GMP does not: the hardware or the build is unreliable";
      return;
    }
    if (found_ == 0 || q < found_) found_ = q;
  };
  if (ifma_) {
    // 2^-p mod q: 1 exactly when 2^p is.
    factor_ifma::pow2_inverse(p, gathered_.data(), n, residues_.data());
    for (size_t i = 0; i < n; ++i)
      if (residues_[i] == 1) confirm(gathered_[i]);
  } else if (level < 64) {
    constexpr int kLanes = 8;
    for (size_t i = 0; i < n; i += kLanes) {
      mont1 mods[kLanes];
      uint64_t r[kLanes];
      for (int l = 0; l < kLanes; ++l)
        mods[l] = mont1(static_cast<uint64_t>(gathered_[std::min(i + l, n - 1)]));
      factor_arith::pow2_lanes<mont1, uint64_t, kLanes>(mods, p, 6, r);
      for (int l = 0; l < kLanes && i + l < n; ++l)
        if (r[l] == 1) confirm(gathered_[i + l]);
    }
  } else {
    constexpr int kLanes = 4;
    for (size_t i = 0; i < n; i += kLanes) {
      mont2 mods[kLanes];
      u128 r[kLanes];
      for (int l = 0; l < kLanes; ++l) mods[l] = mont2(gathered_[std::min(i + l, n - 1)]);
      factor_arith::pow2_lanes<mont2, u128, kLanes>(mods, p, 4, r);
      for (int l = 0; l < kLanes && i + l < n; ++l)
        if (r[l] == 1) confirm(gathered_[i + l]);
    }
  }
  gathered_count_ = 0;
}

bool searcher::level(int level, u128 kmin, u128 kmax, factor_classes& done) {
  for (size_t ci = 0; ci < classes_.size(); ++ci) {
    const uint32_t c = classes_[ci];
    if (done[c]) continue;
    if (!one_class(level, ci, kmin, kmax)) return false;
    done.set(c);
    if (opt_.reached && found_ == 0) opt_.reached(level, done);
  }
  return true;
}

bool searcher::one_class(int level, size_t ci, u128 kmin, u128 kmax) {
  const size_t nclasses = classes_.size();
  const uint32_t c = classes_[ci];
  if (kmax < c) return true;
  const u128 ilo = kmin <= c ? 0 : (kmin - c + kClassModulus - 1) / kClassModulus;
  const u128 ihi = (kmax - c) / kClassModulus;
  if (ilo > ihi) return true;
  const u128 count = ihi - ilo + 1;
  const u128 q0 = static_cast<u128>(2 * static_cast<uint64_t>(p_)) * (c + kClassModulus * ilo) + 1;
  // A prime pays for its setup only where it strikes out a few candidates.
  const u128 useful = count * 4;
  const size_t np = useful >= primes_.back()
                        ? primes_.size()
                        : static_cast<size_t>(std::upper_bound(primes_.begin(), primes_.end(),
                                                               static_cast<uint32_t>(useful)) -
                                              primes_.begin());
  for (size_t k = 0; k < np; ++k) {
    const uint32_t r = primes_[k];
    // q0 mod r from q0 = (2 p c + 1) + step ilo.
    const uint64_t a = (static_cast<uint64_t>(two_p_mod_[k]) * c + 1) % r;
    const uint64_t im = static_cast<uint64_t>(ilo >> 64) == 0 ? static_cast<uint64_t>(ilo) % r
                                                                : static_cast<uint64_t>(ilo % r);
    const uint64_t q0r = (a + static_cast<uint64_t>(step_mod_[k]) * im) % r;
    // First j with q0 + step j = 0 mod r; never strike r itself out.
    uint64_t j = (static_cast<uint64_t>(r - q0r) % r) * step_inv_[k] % r;
    if (q0 <= r && q0 + static_cast<u128>(step_) * j == r) j += r;
    next_[k] = static_cast<uint32_t>(j);
  }
  for (u128 j0 = 0; j0 < count; j0 += kBlock) {
    if (stopping()) return false;
    const size_t len = count - j0 < kBlock ? static_cast<size_t>(count - j0) : kBlock;
    std::memset(sieve_.data(), 1, len);
    for (size_t k = 0; k < np; ++k) {
      const uint32_t r = primes_[k];
      size_t pos = next_[k];
      for (; pos < len; pos += r) sieve_[pos] = 0;
      next_[k] = static_cast<uint32_t>(pos - len);
    }
    const u128 base = q0 + static_cast<u128>(step_) * j0;
    // Without a branch on the sieve (a fifth of the bytes survive, at
    // random): every q is written, the next one over it unless it survived.
    size_t m = 0;
    u128 q = base;
    for (size_t j = 0; j < len; ++j, q += step_) {
      gathered_[m] = q;
      m += sieve_[j];
    }
    gathered_count_ = m;
    test_gathered(level);
    if (!out_.error.empty()) return false;
    if (opt_.progress)
      opt_.progress(level + 1, (static_cast<double>(ci) + static_cast<double>(j0 + len) / static_cast<double>(count)) /
                                   static_cast<double>(nclasses));
  }
  return true;
}

void searcher::run() {
  const u128 qlim = mersenne_sqrt_floor(p_);  // 0: beyond every level searched here
  const int sqrt_bits = qlim == 0 ? kFactorMaxBits + 1 : bit_length(qlim);
  const u128 two_p = 2 * static_cast<u128>(p_);
  out_.bits = opt_.from_bits;
  for (int b = opt_.from_bits; b < opt_.to_bits; ++b) {
    if (b >= sqrt_bits) break;
    u128 qlo = static_cast<u128>(1) << b, qhi = (static_cast<u128>(1) << (b + 1)) - 1;
    if (qlim != 0 && qhi > qlim) qhi = qlim;
    u128 kmin = (qlo - 1 + two_p - 1) / two_p, kmax = (qhi - 1) / two_p;
    if (kmin < 1) kmin = 1;
    if (opt_.k_first != 0 && kmin < opt_.k_first) kmin = opt_.k_first;
    if (opt_.k_last != 0 && kmax > opt_.k_last) kmax = opt_.k_last;
    factor_classes done = b == opt_.from_bits ? opt_.from_classes : factor_classes();
    if (kmin <= kmax && !level(b, kmin, kmax, done)) {
      if (out_.error.empty()) out_.interrupted = true;
      return;
    }
    out_.bits = b + 1;
    if (found_ != 0) {
      out_.factor = decimal(found_);
      return;
    }
    if (opt_.reached) opt_.reached(b + 1, factor_classes());
  }
  if (opt_.to_bits >= sqrt_bits) {
    out_.sqrt_reached = true;
    out_.bits = std::max(out_.bits, sqrt_bits);
  }
}

}  // namespace

u128 mersenne_sqrt_floor(int32_t p) {
  if (p > 2 * kFactorMaxBits) return 0;
  mpz_t m;
  mpz_init(m);
  mpz_set_ui(m, 1);
  mpz_mul_2exp(m, m, static_cast<mp_bitcnt_t>(p));
  mpz_sub_ui(m, m, 1);
  mpz_sqrt(m, m);
  u128 v = 0;
  if (mpz_sizeinbase(m, 2) <= static_cast<size_t>(kFactorMaxBits)) mpz_export(&v, nullptr, -1, sizeof(u128), 0, 0, m);
  mpz_clear(m);
  return v;
}

bool factor_ifma_supported() { return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512ifma"); }

namespace {

// The arithmetic asked for, automatic resolved; empty with *error set when
// MERSENNE_FACTOR_KERNEL names none, or the one named does not run here.
std::optional<factor_kernel> resolve(factor_kernel kernel, std::string* error) {
  if (kernel == factor_kernel::automatic) {
    const char* asked = std::getenv("MERSENNE_FACTOR_KERNEL");
    const std::string name = asked == nullptr ? "" : asked;
    if (name.empty())
      kernel = factor_ifma_supported() ? factor_kernel::ifma : factor_kernel::scalar;
    else if (name == "ifma" || name == "scalar")
      kernel = name == "ifma" ? factor_kernel::ifma : factor_kernel::scalar;
    else {
      *error = "MERSENNE_FACTOR_KERNEL=" + name + " names no trial factoring arithmetic (ifma, scalar)";
      return std::nullopt;
    }
  }
  if (kernel == factor_kernel::ifma && !factor_ifma_supported()) {
    *error = "trial factoring with the ifma arithmetic needs AVX-512 IFMA, which this processor lacks";
    return std::nullopt;
  }
  return kernel;
}

}  // namespace

factor_outcome trial_factor(int32_t p, const factor_options& opt) {
  MERSENNE_REQUIRE(p >= 3 && opt.from_bits >= 0 && opt.from_bits <= opt.to_bits && opt.to_bits <= kFactorMaxBits);
  factor_outcome out;
  out.bits = opt.from_bits;
  const std::optional<factor_kernel> kernel = resolve(opt.kernel, &out.error);
  if (!kernel) return out;
  searcher(p, opt, *kernel == factor_kernel::ifma, out).run();
  return out;
}

u128 factor_pow2_mod(uint32_t p, u128 q) {
  MERSENNE_REQUIRE(p >= 1 && (q & 1) == 1 && (q >> 126) == 0);
  if (q == 1) return 0;
  if ((q >> 64) == 0) {
    const mont1 m(static_cast<uint64_t>(q));
    uint64_t r;
    factor_arith::pow2_lanes<mont1, uint64_t, 1>(&m, p, 6, &r);
    return r;
  }
  const mont2 m(q);
  u128 r;
  factor_arith::pow2_lanes<mont2, u128, 1>(&m, p, 4, &r);
  return r;
}

double factor_level_seconds(int32_t p, int level) {
  // Candidates: the k of the level, in the classes kept, surviving the sieve.
  double survive = 960.0 / kClassModulus;
  for (uint32_t r : sieve_primes())
    if (static_cast<uint32_t>(p) != r) survive *= 1.0 - 1.0 / r;
  const double candidates = std::ldexp(1.0, level) / (2.0 * p) * survive;
  // The measured rates are at p near 10^8 (27 bits): the chain is one squaring per bit of p.
  const double bits = std::log2(static_cast<double>(p)) + 1;
  // The arithmetic a search would use (IFMA where the processor has it).
  std::string ignored;
  const bool ifma = resolve(factor_kernel::automatic, &ignored).value_or(factor_kernel::scalar) == factor_kernel::ifma;
  const double rate = ifma ? (level < 64 ? tuning::kFactorRateBelow64 : tuning::kFactorRateAbove64)
                           : (level < 64 ? tuning::kFactorScalarRateBelow64 : tuning::kFactorScalarRateAbove64);
  return candidates / (rate * 27.0 / bits);
}

int factor_auto_depth(int32_t p, double test_seconds) {
  const u128 qlim = mersenne_sqrt_floor(p);
  const int cap = qlim == 0 ? kFactorMaxBits : std::min(kFactorMaxBits, bit_length(qlim));
  int depth = 1;
  while (depth < cap && factor_level_seconds(p, depth) < test_seconds / depth) ++depth;
  return depth;
}
