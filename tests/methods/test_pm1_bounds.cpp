// P-1's bounds by the odds: Dickman's rho against published values, the
// two-bound smooth probability's shape, the chance held to the same model
// worked out here another way (rho by plain Euler steps, the integral by the
// midpoint rule, the sum without early stop), and the chosen bounds against
// their neighbours.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "methods/pm1_bounds.h"

namespace {

TEST(DickmanRho, PublishedValuesAndTail) {
  EXPECT_EQ(dickman_rho(0), 1);
  EXPECT_EQ(dickman_rho(1), 1);
  EXPECT_NEAR(dickman_rho(1.5), 1 - std::log(1.5), 1e-15);
  const struct { double u, rho; } known[] = {{2, 1 - std::log(2.0)},
                                             {3, 0.0486083882911},
                                             {4, 0.00491092564776},
                                             {5, 0.000354724700},
                                             {10, 2.770171837725958e-11}};
  for (const auto& k : known) EXPECT_NEAR(dickman_rho(k.u) / k.rho, 1, 1e-7) << "u = " << k.u;
  // Beyond: tiny, positive and falling, with no jump where the table ends.
  double prev = dickman_rho(20);
  for (double u = 20.5; u <= 400; u += 0.5) {
    const double r = dickman_rho(u);
    EXPECT_GT(r, 0) << u;
    EXPECT_LE(r, prev) << u;
    if (prev > 1e-300) {
      EXPECT_LT(r, prev) << u;
    }
    prev = r;
  }
  EXPECT_NEAR(dickman_rho(40 + 1e-7) / dickman_rho(40 - 1e-7), 1, 1e-5);
}

TEST(SmoothProbability, MonotoneAndRhoWithoutStage2) {
  const uint64_t b1s[] = {1000, 30000, 1000000, 20000000};
  for (const double bits : {30.0, 50.0, 80.0}) {
    double prev_b1 = 0;
    for (const uint64_t b1 : b1s) {
      const double rho = dickman_rho(bits * std::log(2.0) / std::log(static_cast<double>(b1)));
      EXPECT_NEAR(smooth_probability(bits, b1, b1), rho, 1e-12 * rho);
      EXPECT_NEAR(smooth_probability(bits, b1, b1 / 2), rho, 1e-12 * rho);
      EXPECT_GT(smooth_probability(bits, b1, b1), prev_b1);
      prev_b1 = smooth_probability(bits, b1, b1);
      double prev_b2 = prev_b1;
      for (const uint64_t m : {2, 10, 30, 100, 1000}) {
        const double p = smooth_probability(bits, b1, m * b1);
        if (prev_b2 < 1) {
          EXPECT_GT(p, prev_b2) << bits << " " << b1 << " " << m;
        }
        EXPECT_LE(p, 1);
        prev_b2 = p;
      }
    }
  }
  EXPECT_EQ(smooth_probability(15, 1000000, 1000000), 1);
}

// The model evaluated plainly: rho by Euler steps of rho'(u) = -rho(u - 1) / u.
struct plain_model {
  static constexpr double h = 1e-4;
  std::vector<double> rho;
  plain_model() : rho(static_cast<size_t>(30 / h) + 2, 1.0) {
    const size_t unit = static_cast<size_t>(1 / h + 0.5);
    for (size_t i = unit; i + 1 < rho.size(); ++i) rho[i + 1] = rho[i] - h * rho[i - unit + 1] / ((i + 1) * h);
  }
  double r(double u) const {
    if (u <= 1) return 1;
    const size_t i = static_cast<size_t>(u / h);
    return i + 1 < rho.size() ? rho[i] + (u / h - i) * (rho[i + 1] - rho[i]) : 0;
  }
  // rho(1 / alpha) + the integral over (alpha, beta] of rho((1 - t) / alpha) / t dt.
  double smooth(double bits, double b1, double b2) const {
    const double ln = bits * std::log(2.0), a = std::log(b1) / ln, b = std::min(1.0, std::log(b2) / ln);
    if (a >= 1) return 1;
    double s = r(1 / a);
    const int steps = 4000;
    for (int i = 0; i < steps && b > a; ++i) {
      const double t = a + (i + 0.5) * (b - a) / steps;
      s += r((1 - t) / a) / t * (b - a) / steps;
    }
    return s;
  }
  // The chance: factors of 2^x..2^(x+1) with probability 1/x, k about
  // x - 1 - log2 p bits less the extra smoothness of k (half the k a multiple
  // of 4, an odd prime r dividing k with probability 1/(r - 1)).
  double chance(double p, int t, double b1, double b2) const {
    double smoother = 0.5;
    std::vector<bool> composite(100000);
    for (uint64_t r = 3; r < composite.size(); r += 2) {
      if (composite[r]) continue;
      for (uint64_t m = r * r; m < composite.size(); m += r) composite[m] = true;
      smoother += std::log2(static_cast<double>(r)) / ((r - 1.0) * (r - 1.0));
    }
    double sum = 0;
    for (int x = t; x < 400; ++x) sum += smooth(x - 1 - std::log2(p) - smoother, b1, b2) / x;
    return sum;
  }
};

TEST(Pm1Chance, HeldToThePlainModel) {
  const plain_model model;
  const struct { int32_t p; int t; uint64_t b1, b2; } cases[] = {
      {100000007, 77, 1000000, 30000000}, {100000007, 77, 1000000, 1000000}, {10000019, 64, 50000, 5000000}};
  for (const auto& c : cases) {
    const double ours = pm1_chance(c.p, c.t, c.b1, c.b2);
    const double plain = model.chance(c.p, c.t, static_cast<double>(c.b1), static_cast<double>(c.b2));
    EXPECT_NEAR(ours / plain, 1, 0.1) << c.p << " B1 " << c.b1 << " B2 " << c.b2 << ": " << ours << " " << plain;
  }
  // The published figure for these bounds is some 3-4 %.
  const double chance = pm1_chance(100000007, 77, 1000000, 30000000);
  EXPECT_GT(chance, 0.03);
  EXPECT_LT(chance, 0.05);
  EXPECT_LT(pm1_chance(100000007, 80, 1000000, 30000000), chance);
  // Far past any reach: every term rounds to 0, and the sum still ends.
  EXPECT_LT(pm1_chance(2147483647, 3000, 100, 100), 1e-300);
}

TEST(Pm1Cost, CountsThePrimesOfStage2) {
  pm1_costs c;
  c.stage1 = 0, c.product = 1, c.per_prime = 1;
  const double setup = 1155 + 2 * std::log2(10000.0);
  EXPECT_NEAR(pm1_cost(1000, 10000, c), 1061 + setup, 1e-9);  // pi(10^4) - pi(10^3)
  EXPECT_EQ(pm1_cost(5000, 5000, c), 0);
  // Counted below 2^24, estimated above: no step between.
  const uint64_t edge = uint64_t{1} << 24;
  EXPECT_NEAR(pm1_cost(1, edge + 1, c) / pm1_cost(1, edge, c), 1, 1e-4);
  EXPECT_NEAR(pm1_cost(1000000, 1000000, {}), 1.05 * 1.4427 * 1e6, 1e-6);
}

TEST(ChoosePm1Bounds, BestOfItsNeighboursAndCheap) {
  const int32_t p = 100000007;
  const pm1_choice c = choose_pm1_bounds(p, 77, 2);
  ASSERT_GT(c.b1, 0u);
  EXPECT_GT(c.b2, c.b1);
  EXPECT_GT(c.gain, 0);
  EXPECT_LE(c.cost, 0.05 * p);
  EXPECT_DOUBLE_EQ(c.chance, pm1_chance(p, 77, c.b1, c.b2));
  EXPECT_DOUBLE_EQ(c.cost, pm1_cost(c.b1, c.b2));
  auto gain = [&](double f) {
    const auto b1 = static_cast<uint64_t>(static_cast<double>(c.b1) * f);
    const auto b2 = static_cast<uint64_t>(static_cast<double>(c.b2) * f);
    return pm1_chance(p, 77, b1, b2) * 2 * p - pm1_cost(b1, b2);
  };
  EXPECT_GT(c.gain, gain(0.7));
  EXPECT_GT(c.gain, gain(1.4));
  // Bounds that read well: at most three significant digits.
  for (uint64_t b : {c.b1, c.b2}) {
    while (b % 10 == 0) b /= 10;
    EXPECT_LT(b, 1000u);
  }
  // A double-check saves less: smaller bounds.
  EXPECT_LT(choose_pm1_bounds(p, 77, 1).b1, c.b1);
  // Nothing pays: no test saved, or trial factoring far past P-1's reach.
  for (const pm1_choice& none : {choose_pm1_bounds(p, 77, 0), choose_pm1_bounds(p, 2000, 2)}) {
    EXPECT_EQ(none.b1, 0u);
    EXPECT_EQ(none.b2, 0u);
    EXPECT_LE(none.gain, 0);
  }
}

}  // namespace
