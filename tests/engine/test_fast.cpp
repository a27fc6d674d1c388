// The weighted-transform engine: exact conversions, the carry stage against
// its sequential twin, one squaring against GMP, whole runs against the exact
// engine, the rounding margin of every table length, and the length retry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "engine/exact.h"
#include "engine/fast.h"
#include "support/test_support.h"

namespace {

using testing_support::guarded;

bool is_prime(int32_t n) {
  if (n < 2) return false;
  for (int32_t d = 2; d * d <= n; ++d)
    if (n % d == 0) return false;
  return true;
}

struct gmp_rng {
  gmp_randstate_t st;
  explicit gmp_rng(uint64_t seed) {
    gmp_randinit_default(st);
    gmp_randseed_ui(st, static_cast<unsigned long>(seed));
  }
  ~gmp_rng() { gmp_randclear(st); }
  // A random residue in [0, 2^p - 1).
  void residue(mpz_t v, int32_t p) {
    mpz_urandomb(v, st, static_cast<mp_bitcnt_t>(p));
    mpz_t tmp;
    mpz_init(tmp);
    mersenne_reduce(v, p, tmp);
    mpz_clear(tmp);
  }
};

// (p, n) pairs from one word up to lengths the table uses, words of 1 to 24 bits.
std::vector<std::pair<int32_t, int64_t>> layouts() {
  std::vector<std::pair<int32_t, int64_t>> r;
  for (int32_t p : {3, 5, 7, 13, 31, 61, 89, 127, 521}) {
    for (int64_t n = 1; n <= 16 && n <= p; ++n)
      if (fast_max_bits(n) > 0 && (p + n - 1) / n <= 24) r.push_back({p, n});
  }
  for (int64_t n : {24, 64, 112, 320, 1024, 5120}) r.push_back({static_cast<int32_t>(fast_max_exponent(n)), n});
  return r;
}

TEST(FastLayout, SplitAndJoinRoundTripWithBalancedDigits) {
  gmp_rng rng(testing_support::test_seed());
  mpz_t v, back, m;
  mpz_inits(v, back, m, nullptr);
  for (auto [p, n] : layouts()) {
    const fast_layout L = make_fast_layout(p, n);
    ASSERT_EQ(L.offset[n], p);
    ASSERT_GE(L.min_bits, p / n);
    ASSERT_LE(L.max_bits, (p + n - 1) / n);
    mpz_set_ui(m, 0);
    mpz_setbit(m, static_cast<mp_bitcnt_t>(p));
    mpz_sub_ui(m, m, 1);
    for (int k = 0; k < 8; ++k) {
      if (k == 0) mpz_set_ui(v, 0);
      else if (k == 1) mpz_sub_ui(v, m, 1);  // 2^p - 2, every word full
      else rng.residue(v, p);
      guarded<double> d(static_cast<size_t>(n));
      fast_split(v, L, d.data());
      ASSERT_TRUE(d.intact()) << p << "/" << n;
      for (int64_t j = 0; j < n; ++j) {
        const double half = std::ldexp(1.0, static_cast<int>(L.offset[j + 1] - L.offset[j]) - 1);
        ASSERT_TRUE(d[j] >= -half && d[j] < half) << "p=" << p << " n=" << n << " word " << j;
      }
      fast_join(d.data(), L, back);
      ASSERT_EQ(mpz_cmp(back, v), 0) << "p=" << p << " n=" << n << " k=" << k;
    }
    // 2^p - 1 itself stands for 0.
    guarded<double> d(static_cast<size_t>(n));
    fast_split(v, L, d.data());
    for (int64_t j = 0; j < n; ++j) d[j] = std::ldexp(1.0, static_cast<int>(L.offset[j + 1] - L.offset[j])) - 1;
    fast_join(d.data(), L, back);
    EXPECT_EQ(mpz_sgn(back), 0) << p << "/" << n;
  }
  mpz_clears(v, back, m, nullptr);
}

// The carry of a plausible product: random integers of 2b + 6 bits (at most
// 44), plus a little rounding noise, weighted as the inverse transform leaves them.
TEST(FastCarry, VectorSweepsAndTheirPartsAgreeWithSequentialCarry) {
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_t a, b;
  mpz_inits(a, b, nullptr);
  for (int64_t n : {8, 12, 16, 20, 28, 64, 96, 640, 4096}) {
    for (int32_t p : {static_cast<int32_t>(fast_max_exponent(n)), static_cast<int32_t>(n * 12 + 5)}) {
      const fast_layout L = make_fast_layout(p, n);
      guarded<double> z1(static_cast<size_t>(n)), z2(static_cast<size_t>(n));
      guarded<double> x1(static_cast<size_t>(n)), x2(static_cast<size_t>(n));
      double noise = 0;
      for (int64_t j = 0; j < n; ++j) {
        const int shift = std::min(2 * L.max_bits + 6, 44) - 63;
        const double v = std::ldexp(static_cast<double>(static_cast<int64_t>(rng())), shift);
        const double r = std::nearbyint(v);
        const double fuzz = (static_cast<double>(rng() % 1000) - 500) / 4000.0;  // below 1/8
        noise = std::fmax(noise, std::fabs(fuzz));
        z1[j] = z2[j] = (r + fuzz) / L.unweight[j];
      }
      // The vector carry in three parts (as threads run it) first, on its own copy.
      guarded<double> z3(static_cast<size_t>(n)), x3(static_cast<size_t>(n));
      for (int64_t j = 0; j < n; ++j) z3[j] = z2[j];
      const int64_t blocks = n / 4, cut1 = blocks / 3, cut2 = blocks - 1;
      double err = 0, big = 0;
      for (auto [from, to] : {std::pair<int64_t, int64_t>{cut2, blocks}, {0, cut1}, {cut1, cut2}}) {
        double e, b;
        fast_carry_vector_part(L, z3.data(), x3.data(), from, to, &e, &b);
        err = std::fmax(err, e);
        big = std::fmax(big, b);
      }
      const double e3 = fast_carry_vector_finish(L, z3.data(), x3.data(), err, big);
      const double e1 = fast_carry_scalar(L, z1.data(), x1.data());
      const double e2 = fast_carry_vector(L, z2.data(), x2.data());
      ASSERT_TRUE(z1.intact() && z2.intact() && x1.intact() && x2.intact() && z3.intact() && x3.intact());
      EXPECT_EQ(e3, e2);
      for (int64_t j = 0; j < n; ++j) ASSERT_EQ(x3[j], x2[j]) << "n=" << n << " word " << j;
      EXPECT_EQ(e1, e2);
      EXPECT_LE(e1, noise + 1e-2);
      EXPECT_GE(e1, noise - 1e-2);
      // Same value, nearly balanced digits.
      std::vector<double> d1(static_cast<size_t>(n)), d2(static_cast<size_t>(n));
      for (int64_t j = 0; j < n; ++j) {
        d1[j] = std::nearbyint(x1[j] / L.weight[j]);
        d2[j] = std::nearbyint(x2[j] / L.weight[j]);
        EXPECT_LE(std::fabs(d2[j]), 0.75 * L.base[j]) << "n=" << n << " word " << j;
      }
      fast_join(d1.data(), L, a);
      fast_join(d2.data(), L, b);
      EXPECT_EQ(mpz_cmp(a, b), 0) << "p=" << p << " n=" << n;
    }
  }
  mpz_clears(a, b, nullptr);
}

TEST(FastSquarer, OneStepIsSquareMinusTwo) {
  gmp_rng rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  mpz_t s, want, got, tmp;
  mpz_inits(s, want, got, tmp, nullptr);
  for (auto [p, n] : layouts()) {
    for (fast_carry_kind kind : {fast_carry_kind::scalar, fast_carry_kind::automatic}) {
      fast_squarer sq(p, n, 1, kind);
      for (int k = 0; k < 4; ++k) {
        if (k == 0) mpz_set_ui(s, 1);  // s^2 - 2 < 0
        else rng.residue(s, p);
        sq.load(s);
        const double err = sq.step(kFastRetryDistance);
        ASSERT_LT(err, kFastRetryDistance) << p << "/" << n;
        mpz_mul(want, s, s);
        mpz_sub_ui(want, want, 2);
        mersenne_reduce(want, p, tmp);
        sq.store(got);
        ASSERT_EQ(mpz_cmp(got, want), 0) << "p=" << p << " n=" << n << " k=" << k;
      }
    }
  }
  mpz_clears(s, want, got, tmp, nullptr);
}

TEST(FastEngine, Res64MatchesExactForEveryPrimeTo3000) {
  fast_set_measured_plans(false);
  for (int32_t p = 3; p <= 3000; ++p) {
    if (!is_prime(p)) continue;
    const ll_outcome f = fast_lucas_lehmer(p, {});
    const ll_outcome e = exact_lucas_lehmer(p, {});
    ASSERT_TRUE(f.verdict) << p << " " << f.note;
    EXPECT_EQ(f.res64, e.res64) << "p=" << p;
    EXPECT_EQ(f.prime, e.prime) << "p=" << p;
    EXPECT_EQ(f.fft_length, fast_length_for(p));
    EXPECT_TRUE(f.note.empty()) << p << ": " << f.note;
  }
}

TEST(FastEngine, Res64MatchesExactForRandomPrimesBelow50000) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  for (int k = 0; k < 5; ++k) {
    int32_t p = 3000 + static_cast<int32_t>(rng() % 47000);
    while (!is_prime(p)) ++p;
    const ll_outcome f = fast_lucas_lehmer(p, {});
    const ll_outcome e = exact_lucas_lehmer(p, {});
    ASSERT_TRUE(f.verdict) << p;
    EXPECT_EQ(f.res64, e.res64) << "p=" << p;
    EXPECT_LT(f.max_roundoff, 0.3) << "p=" << p;
  }
}

void expect_prime(int32_t p, int threads) {
  engine_options opt;
  opt.threads = threads;
  const ll_outcome f = fast_lucas_lehmer(p, opt);
  EXPECT_TRUE(f.verdict && f.prime) << "p=" << p << " " << f.note;
  EXPECT_EQ(f.res64, 0u) << "p=" << p;
  EXPECT_LT(f.max_roundoff, 0.3) << "p=" << p;
  std::cout << "M" << p << ": length " << f.fft_length << ", max rounding distance " << f.max_roundoff << "\n";
}

TEST(FastEngine, FindsKnownPrimes) {
  fast_set_measured_plans(false);
  for (int32_t p : {4423, 9689, 9941, 11213, 19937, 21701, 23209, 44497}) expect_prime(p, 1);
}

TEST(LongFastEngine, FindsLargerKnownPrimes) {
  for (int32_t p : {86243, 110503, 132049, 216091}) expect_prime(p, p > 200000 ? 2 : 1);
}

TEST(FastEngine, TwoThreadsAndConcurrentRunsGiveTheSameBits) {
  fast_set_measured_plans(false);
  engine_options two;
  two.threads = 2;
  const int32_t ps[] = {9973, 11213, 9967, 9949};
  ll_outcome one[4], par[4];
  for (int i = 0; i < 4; ++i) one[i] = fast_lucas_lehmer(ps[i], {});
  // Runs side by side share the plan cache; one of them with FFTW's threads.
  std::vector<std::thread> t;
  for (int i = 0; i < 4; ++i)
    t.emplace_back([&, i] { par[i] = fast_lucas_lehmer(ps[i], i == 0 ? two : engine_options{}); });
  for (auto& th : t) th.join();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(par[i].res64, one[i].res64) << ps[i];
    EXPECT_EQ(par[i].max_roundoff, one[i].max_roundoff) << ps[i];
  }
}

TEST(FastSquarer, TwoThreadsSplitTheCarryWithoutChangingBits) {
  gmp_rng rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  mpz_t s, a, b;
  mpz_inits(s, a, b, nullptr);
  for (int64_t n : {16384, 20480}) {
    const int32_t p = static_cast<int32_t>(fast_max_exponent(n) - 11);
    fast_squarer one(p, n, 1), two(p, n, 2);
    rng.residue(s, p);
    one.load(s);
    two.load(s);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(one.step(), two.step()) << n;
    one.store(a);
    two.store(b);
    EXPECT_EQ(mpz_cmp(a, b), 0) << n;
  }
  mpz_clears(s, a, b, nullptr);
}

// The largest rounding distance of a few steps from random residues at p near
// the table's bound for length n.
double margin_at(int64_t n, gmp_rng& rng) {
  const int64_t top = fast_max_exponent(n);
  double worst = 0;
  mpz_t s;
  mpz_init(s);
  for (int64_t p : {top, top - 1 - top / 500, top - 2 - top / 100}) {
    if (p < n || p < 3) continue;
    fast_squarer sq(static_cast<int32_t>(p), n);
    for (int k = 0; k < 2; ++k) {
      rng.residue(s, static_cast<int32_t>(p));
      sq.load(s);
      for (int i = 0; i < 2; ++i) worst = std::fmax(worst, sq.step(1e9));
    }
  }
  mpz_clear(s);
  return worst;
}

// Every length's bound leaves the rounding distance at most 0.25 (retry at 0.4).
void check_margins(int64_t from, int64_t to) {
  gmp_rng rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    if (n < from || n > to) continue;
    const double worst = margin_at(n, rng);
    EXPECT_LE(worst, 0.25) << "length " << n << " up to p = " << fast_max_exponent(n);
    std::cout << "length " << n << " (p <= " << fast_max_exponent(n) << "): " << worst << "\n";
  }
}

TEST(FastLengths, RoundingStaysWithinMarginAtEveryBound) { check_margins(1, 65536); }
TEST(LongFastLengths, RoundingStaysWithinMarginAtEveryBound) { check_margins(65537, int64_t{1} << 22); }

TEST(FastLengths, TableIsOrderedAndCoversEveryPrime) {
  for (int i = 1; i < fast_length_count(); ++i) {
    ASSERT_LT(fast_length(i - 1), fast_length(i));
    EXPECT_LE(fast_max_bits(fast_length(i)), fast_max_bits(fast_length(i - 1)));
  }
  for (int32_t p = 3; p < 200000; p += (p < 5000 ? 1 : 97)) {
    const int64_t n = fast_length_for(p);
    ASSERT_GT(n, 0) << p;
    EXPECT_LE(p, fast_max_exponent(n));
    EXPECT_LE(n, p);
  }
}

// Starts of 24 to 26 bits per word: the rounding distance crosses 0.4 once
// the residue fills its words, a few iterations in.
TEST(FastEngine, TooShortStartLengthIsRaisedAndStillRight) {
  fast_set_measured_plans(false);
  for (auto [p, start] : {std::pair<int32_t, int64_t>{21701, 896}, {9973, 384}, {44497, 1792}}) {
    const ll_outcome f = fast_lucas_lehmer_from(p, start, {});
    const ll_outcome e = exact_lucas_lehmer(p, {});
    ASSERT_TRUE(f.verdict) << p << " " << f.note;
    EXPECT_EQ(f.res64, e.res64) << p;
    EXPECT_EQ(f.prime, e.prime) << p;
    EXPECT_GT(f.fft_length, start);
    EXPECT_LT(f.max_roundoff, kFastRetryDistance);
    EXPECT_NE(f.note.find("length raised from " + std::to_string(start)), std::string::npos) << f.note;
  }
}

}  // namespace
