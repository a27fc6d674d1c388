// Trial factoring against GMP: the Montgomery arithmetic on random moduli
// below and above 2^64 (one and two words, and the IFMA limbs where the
// processor has them), and whole searches held to a plain GMP search over
// every k (no classes, no sieve) for ranges of p and windows of k, and the
// IFMA search to the scalar one.
#include <gtest/gtest.h>
#include <gmp.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "methods/factor/factor.h"
#include "methods/factor/ifma.h"
#include "arith/residue.h"
#include "base/numbers.h"
#include "methods/factor/montgomery.h"
#include "support/test_support.h"

namespace {

using u128 = unsigned __int128;

using mpz = mpz_value;

void to_mpz(mpz_ptr out, u128 x) { mpz_import(out, 2, -1, sizeof(uint64_t), 0, 0, &x); }

std::string str(mpz_srcptr m) {
  std::string s(mpz_sizeinbase(m, 10) + 2, '\0');
  mpz_get_str(s.data(), 10, m);
  return s.c_str();
}

std::string decimal(u128 x) {
  mpz m;
  return to_mpz(m, x), str(m);
}

// p and the k of published factors 2kp + 1 of 2^p - 1 between 2^64 and 2^80
// (the plain search over their windows finds each).
std::vector<std::pair<int32_t, u128>> published_factors() {
  const std::pair<int32_t, const char*> factors[] = {{137, "32032215596496435569"}, {149, "86656268566282183151"},
                                                     {163, "36230454570129675721"}, {191, "87274497124602996457"},
                                                     {193, "61654440233248340616559"}};
  std::vector<std::pair<int32_t, u128>> out;
  for (const auto& [p, decimal_q] : factors) {
    mpz q;
    mpz_set_str(q, decimal_q, 10);
    u128 qq = 0;
    mpz_export(&qq, nullptr, -1, sizeof(u128), 0, 0, q);
    out.emplace_back(p, (qq - 1) / (2 * static_cast<u128>(p)));
  }
  return out;
}

// The smallest q = 2kp + 1 with k in [k_first, k_last], q below 2^p - 1, that
// divides 2^p - 1: a plain GMP search; 0 when there is none.
u128 gmp_search(int32_t p, u128 k_first, u128 k_last) {
  mpz q, r, two;
  mpz_set_ui(two, 2);
  for (u128 k = k_first; k <= k_last; ++k) {
    const u128 qq = 2 * k * static_cast<u128>(p) + 1;
    if (p < 127 && qq >= (static_cast<u128>(1) << p) - 1) return 0;
    to_mpz(q, qq);
    mpz_powm_ui(r, two, static_cast<unsigned long>(p), q);
    if (mpz_cmp_ui(r.get(), 1) == 0) return qq;
  }
  return 0;
}

// Random odd moduli of every size from 2 bits to 125 (one word and two) and
// random exponents: 2^p mod q agrees with GMP.
TEST(Factor, MontgomeryPowerAgreesWithGmp) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz q, r, two;
  mpz_set_ui(two, 2);
  for (int i = 0; i < 20000; ++i) {
    const int bits = 2 + static_cast<int>(rng() % 124);
    const u128 qq = ((static_cast<u128>(rng()) << 64 | rng()) >> (128 - bits)) | (static_cast<u128>(1) << (bits - 1)) | 1;
    const uint32_t p = 1 + static_cast<uint32_t>(rng() % (i % 2 == 0 ? 200 : 2147483647u));
    to_mpz(q, qq);
    mpz_powm_ui(r, two, p, q);
    ASSERT_EQ(decimal(factor_pow2_mod(p, qq)), str(r)) << "p " << p << " q " << decimal(qq);
  }
}

// Every prime p up to 1500, searched to 2^21 (to 2^40 up to 83, where the
// search reaches the square root), finds exactly the smallest factor the
// plain search finds (many of them are themselves sieve primes, e.g. 23 for
// p = 11), never 2^p - 1 itself; the square root is reached exactly for the
// Mersenne primes, and the automatic depth stops there too.
TEST(Factor, FindsTheSmallestFactorTheGmpSearchFinds) {
  for (int32_t p = 3; p <= 1500; p += 2) {
    if (!is_prime(p)) continue;
    factor_options o;
    o.to_bits = p <= 83 ? 40 : 21;
    const factor_outcome f = trial_factor(p, o);
    const bool mersenne_prime = p == 3 || p == 5 || p == 7 || p == 13 || p == 17 || p == 19 || p == 31 || p == 61;
    const u128 want =
        mersenne_prime ? 0 : gmp_search(p, 1, ((static_cast<u128>(1) << o.to_bits) - 2) / (2 * static_cast<u128>(p)));
    ASSERT_TRUE(f.error.empty() && !f.interrupted);
    EXPECT_EQ(f.factor, want == 0 ? "" : decimal(want)) << "p " << p;
    EXPECT_TRUE(p > 83 ? want != 0 || f.sqrt_reached || f.bits == 21 : f.sqrt_reached == mersenne_prime) << p;
  }
  EXPECT_LE(factor_auto_depth(61, 1e9), 31);
}

// Windows of k across 2^52, 2^64 and 2^90 for a range of p, and around
// published factors: every kernel this processor runs finds the plain
// search's smallest factor over the window (or none), and the IFMA one
// tests as many candidates as the scalar one.
TEST(Factor, WindowsAgreeWithGmpOnEveryKernel) {
  std::vector<std::pair<int32_t, u128>> windows = published_factors();  // p and the window's middle k
  for (int32_t p = 100003; p < 100003 + 200; p += 2)
    if (is_prime(p))
      for (int b : {40, 52, 64, 90}) windows.emplace_back(p, (static_cast<u128>(1) << b) / (2 * static_cast<u128>(p)));
  int found = 0;
  for (const auto& [p, middle] : windows) {
    factor_options o;
    o.to_bits = kFactorMaxBits;
    o.k_first = middle - 5000, o.k_last = middle + 5000;
    const u128 want = gmp_search(p, o.k_first, o.k_last);
    uint64_t scalar_tested = 0;
    for (const factor_kernel kernel : {factor_kernel::scalar, factor_kernel::ifma}) {
      if (kernel == factor_kernel::ifma && !factor_ifma_supported()) continue;
      o.kernel = kernel;
      const factor_outcome f = trial_factor(p, o);
      ASSERT_TRUE(f.error.empty()) << f.error;
      EXPECT_EQ(f.factor, want == 0 ? "" : decimal(want)) << "p " << p << " kernel " << static_cast<int>(kernel);
      if (kernel == factor_kernel::scalar) scalar_tested = f.tested, found += !f.factor.empty();
      EXPECT_EQ(f.tested, scalar_tested) << "p " << p;
    }
  }
  EXPECT_GE(found, 5);
}

// The IFMA chain's 2^-p mod q on random odd q of every size from 2 bits to
// 96, and on q at 2^k +- a little (the limb boundary 2^52, 2^64, up to just
// below 2^96), for random p, in batches of every length (the last group
// filled with copies of the last q): GMP's inverse of 2^p, and nothing
// written past the batch.
TEST(Factor, IfmaInversePowerAgreesWithGmp) {
  if (!factor_ifma_supported()) GTEST_SKIP() << "this processor lacks AVX-512 IFMA";
  std::mt19937_64 rng(testing_support::test_seed());
  std::vector<u128> qs;
  for (int k = 2; k <= 96; ++k)
    for (int d = -7; d <= 7; d += 2)
      if (const u128 q = (static_cast<u128>(1) << k) + d; q >= 3 && (q >> 96) == 0) qs.push_back(q);
  for (int i = 0; i < 4000; ++i) {
    const int bits = 2 + static_cast<int>(rng() % 95);
    qs.push_back(((static_cast<u128>(rng()) << 64 | rng()) >> (128 - bits)) | (static_cast<u128>(1) << (bits - 1)) | 1);
  }
  std::shuffle(qs.begin(), qs.end(), rng);
  mpz q, r, two, e;
  mpz_set_ui(two, 2);
  for (size_t at = 0, n; at < qs.size(); at += n) {
    n = std::min<size_t>(qs.size() - at, rng() % 40);
    const uint32_t p = 1 + static_cast<uint32_t>(rng() % (at % 3 == 0 ? 300 : 0xFFFFFFFEu));
    testing_support::guarded<u128> out(n);
    factor_ifma::pow2_inverse(p, qs.data() + at, n, out.data());
    ASSERT_TRUE(out.intact()) << "p " << p << " n " << n;
    mpz_set_si(e, -static_cast<long>(p));
    for (size_t i = 0; i < n; ++i) {
      to_mpz(q, qs[at + i]);
      mpz_powm(r, two, e, q);
      ASSERT_EQ(decimal(out[i]), str(r)) << "p " << p << " q " << decimal(qs[at + i]);
    }
  }
}

// MERSENNE_FACTOR_KERNEL picks the arithmetic; a name it does not know, or
// ifma on a processor without it, is an error (no verdict), never a search.
TEST(Factor, KernelOverrideIsHonouredOrRefused) {
  factor_options o;
  o.to_bits = 20;
  setenv("MERSENNE_FACTOR_KERNEL", "avx", 1);
  const factor_outcome bad = trial_factor(30323, o);
  setenv("MERSENNE_FACTOR_KERNEL", "ifma", 1);
  const factor_outcome ifma = trial_factor(30323, o);
  unsetenv("MERSENNE_FACTOR_KERNEL");
  EXPECT_TRUE(!bad.error.empty() && bad.factor.empty() && bad.tested == 0) << bad.error;
  EXPECT_TRUE(factor_ifma_supported() ? ifma.factor == "60647" : !ifma.error.empty() && ifma.factor.empty()) << ifma.error;
}

// A search stopped at a class boundary and resumed from the point it last
// reported tests every candidate once and ends as the whole search does; the
// classes a resume point marks done are skipped; no point past a factor found
// is reported (resuming from it would lose the factor).
TEST(Factor, ResumesFromTheReportedClassBoundary) {
  for (const factor_kernel kernel : {factor_kernel::scalar, factor_kernel::ifma}) {
    if (kernel == factor_kernel::ifma && !factor_ifma_supported()) continue;
    factor_options whole_opt;
    whole_opt.to_bits = 30, whole_opt.kernel = kernel;
    const factor_outcome whole = trial_factor(30011, whole_opt);
    ASSERT_TRUE(whole.factor.empty() && whole.bits == 30 && whole.error.empty());
    // Stopped at the 300th class of level 29 (every class holds a k there).
    std::atomic<bool> stop{false};
    int level = 0;
    factor_classes done;
    factor_options first = whole_opt;
    first.stop = &stop;
    first.reached = [&](int l, const factor_classes& d) {
      level = l, done = d;
      if (l == 29 && d.count() == 300) stop = true;
    };
    const factor_outcome stopped = trial_factor(30011, first);
    ASSERT_TRUE(stopped.interrupted && level == 29 && done.count() == 300) << level << " " << done.count();
    factor_options rest = whole_opt;
    rest.from_bits = level, rest.from_classes = done;
    const factor_outcome resumed = trial_factor(30011, rest);
    EXPECT_TRUE(resumed.factor.empty() && resumed.bits == 30 && !resumed.interrupted);
    EXPECT_EQ(stopped.tested + resumed.tested, whole.tested);
  }
  // 60647 = 2 * 30323 + 1 divides M30323: k = 1, class 1 of level 15.
  factor_options opt;
  opt.from_bits = 15, opt.to_bits = 20;
  opt.reached = [](int l, const factor_classes& d) { EXPECT_TRUE(l < 15 || (l == 15 && !d[1])) << l; };
  EXPECT_EQ(trial_factor(30323, opt).factor, "60647");
  opt.from_classes.set(1);
  opt.reached = nullptr;
  const factor_outcome skipped = trial_factor(30323, opt);
  EXPECT_TRUE(skipped.factor.empty() && skipped.bits == 20);
}

}  // namespace
