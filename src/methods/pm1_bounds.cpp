#include "methods/pm1_bounds.h"

#include <primesieve.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace {

// Rho is tabulated on [0, kRhoMax] with kRhoSteps points per unit.
constexpr int kRhoSteps = 512;
constexpr int kRhoMax = 40;

// Gauss-Legendre, 8 points on [-1, 1]: nodes and weights, the symmetric halves.
constexpr std::array<double, 4> kGaussNodes = {0.1834346424956498, 0.5255324099163290, 0.7966664774136267,
                                               0.9602898564975363};
constexpr std::array<double, 4> kGaussWeights = {0.3626837833783620, 0.3137066458778873, 0.2223810344533745,
                                                 0.1012285362903763};

// The integral of f over [a, b] by 8-point Gauss-Legendre (f smooth there).
template <class F>
double gauss(F&& f, double a, double b) {
  const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
  double sum = 0;
  for (size_t i = 0; i < kGaussNodes.size(); ++i)
    sum += kGaussWeights[i] * (f(mid - half * kGaussNodes[i]) + f(mid + half * kGaussNodes[i]));
  return half * sum;
}

// The weight of the last point in piece_sum's rule over n steps.
double last_weight(int n) { return n == 1 ? 0.5 : n == 2 || n == 4 ? 1.0 / 3 : 3.0 / 8; }

// The integral over n >= 1 equal steps (in units of the step) of the values
// y[0..n], y[n] taken as 0: a rule exact for cubics from n = 2 on (Simpson,
// 3/8, both, Gregory's end corrections from 5 on), the trapezoid for n = 1.
double piece_sum(const double* y, int n) {
  switch (n) {
    case 1: return 0.5 * y[0];
    case 2: return (y[0] + 4 * y[1]) / 3;
    case 3: return (3 * y[0] + 9 * y[1] + 9 * y[2]) / 8;
    case 4: return (y[0] + 4 * y[1] + 2 * y[2] + 4 * y[3]) / 3;
    default: break;
  }
  // Four running sums: the terms are many and the order of the additions fixed.
  double s[4] = {0, 0, 0, 0};
  int j = 0;
  for (; j + 4 <= n; j += 4)
    for (int q = 0; q < 4; ++q) s[q] += y[j + q];
  for (; j < n; ++j) s[0] += y[j];
  const double c[3] = {3.0 / 8 - 1, 7.0 / 6 - 1, 23.0 / 24 - 1};
  double ends = c[0] * y[0] + c[1] * y[1] + c[2] * y[2] + c[1] * y[n - 1] + c[2] * y[n - 2];
  return (s[0] + s[1]) + (s[2] + s[3]) + ends;
}

// Rho at u = i / kRhoSteps for i up to kRhoMax * kRhoSteps: exact on [0, 2]
// (1, then 1 - ln u), beyond from u rho(u) = the integral of rho over
// [u - 1, u], summed whole at every step (all its terms positive, so each
// value is as good relative to itself as the rule; the differential form
// stepped forward, or a sliding sum, lets errors of the early large values
// swamp the tiny late ones). The window is split at the whole number inside
// it, where rho is not smooth, and the unknown rho(u) at its right end
// solved for.
std::vector<double> build_rho_table() {
  const int n = kRhoSteps, last = kRhoMax * kRhoSteps;
  const double h = 1.0 / n;
  std::vector<double> rho(static_cast<size_t>(last) + 1);
  for (int i = 0; i <= 2 * n; ++i) rho[i] = i <= n ? 1.0 : 1.0 - std::log(i * h);
  for (int i = 2 * n + 1; i <= last; ++i) {
    const int r = i % n;  // steps from the whole number inside the window to u
    const double* y = &rho[i - n];
    double known, end;
    if (r == 0) {
      known = piece_sum(y, n), end = last_weight(n);
    } else {
      known = piece_sum(y, n - r) + last_weight(n - r) * y[n - r] + piece_sum(y + (n - r), r);
      end = last_weight(r);
    }
    rho[i] = known / (i - end);
  }
  return rho;
}

// u (ln u + ln ln u - 1 + (ln ln u - 1) / ln u): the growth of -ln rho(u) for large u.
double rho_exponent(double u) {
  const double l = std::log(u), ll = std::log(l);
  return u * (l + ll - 1 + (ll - 1) / l);
}

// zeta(s) for s >= 2: ten terms and the Euler-Maclaurin tail.
double zeta(double s) {
  constexpr double m = 10;
  double sum = 0;
  for (int n = 1; n <= 10; ++n) sum += std::pow(n, -s);
  return sum + std::pow(m, 1 - s) / (s - 1) - 0.5 * std::pow(m, -s) + s * std::pow(m, -s - 1) / 12;
}

// pi(b) estimated by Riemann's R (Gram's series, all its terms positive), b >= 2.
double prime_count_estimate(double b) {
  const double l = std::log(b);
  double sum = 1, power = 1;  // power: l^k / k!
  for (int k = 1; k < 400; ++k) {
    power *= l / k;
    const double add = power / (k * zeta(k + 1.0));
    sum += add;
    if (add < 1e-16 * sum && k > l) break;
  }
  return sum;
}

// Primes in (b1, b2], by the estimate above b2 = 2^kExactPrimeCountBits.
constexpr int kExactPrimeCountBits = 24;
double primes_between(uint64_t b1, uint64_t b2, bool exact) {
  if (b2 <= b1 || b2 < 2) return 0;
  if (exact && b2 <= (uint64_t{1} << kExactPrimeCountBits))
    return static_cast<double>(primesieve::count_primes(b1 + 1, b2));
  const double lo = b1 < 2 ? 0 : prime_count_estimate(static_cast<double>(b1));
  return std::max(0.0, prime_count_estimate(static_cast<double>(b2)) - lo);
}

// The cost in squarings; exact: count the primes where that is quick.
double cost_of(uint64_t b1, uint64_t b2, const pm1_costs& c, bool exact) {
  double cost = c.stage1 * 1.4427 * static_cast<double>(b1);
  if (b2 > b1) {
    // Stage 2's setup: the first giant step (about 2 log2 B2 squarings) and
    // one product per baby step below D/2, D = 2310 (the odd j there).
    const double setup = 2 * std::log2(static_cast<double>(b2)) + c.product * 1155;
    cost += setup + c.product * c.per_prime * primes_between(b1, b2, exact);
  }
  return cost;
}

// How much smoother k = (q - 1) / 2p is than a random integer of its size,
// in bits, for q a prime factor of 2^p - 1: q = +-1 mod 8 makes 4 | k for
// half of them (1.5 bits of 2 expected against 1), and an odd prime r != p
// divides q - 1 (so k) with probability 1/(r - 1), not 1/r, which adds
// log2 r / (r - 1)^2 bits expected. Taken as k being that many bits shorter.
double smoother_k_bits() {
  double bits = 0.5;
  for (uint64_t r = 3; r < 10000; r += 2) {
    bool prime = true;
    for (uint64_t d = 3; d * d <= r && prime; d += 2) prime = r % d != 0;
    if (prime) bits += std::log2(static_cast<double>(r)) / static_cast<double>((r - 1) * (r - 1));
  }
  return bits;
}

// v with two significant digits, the nearest such value (at least 1).
uint64_t round2(double v) {
  if (v < 10) return static_cast<uint64_t>(std::max(1.0, std::round(v)));
  const double scale = std::pow(10.0, std::floor(std::log10(v)) - 1);
  return static_cast<uint64_t>(std::round(v / scale) * scale);
}
// The value with two significant digits next above (dir > 0) or below v, which has two.
uint64_t next2(uint64_t v, int dir) {
  if (v < 10 || (v == 10 && dir < 0)) return dir > 0 ? v + 1 : std::max<uint64_t>(1, v - 1);
  uint64_t scale = 1;
  while (v / scale >= 100) scale *= 10;
  const uint64_t lead = v / scale;
  if (dir > 0) return (lead + 1) * scale;
  return lead == 10 ? 99 * (scale / 10) : (lead - 1) * scale;
}

}  // namespace

double dickman_rho(double u) {
  static const std::vector<double> table = build_rho_table();
  if (!(u > 1)) return 1;
  if (u <= 2) return 1 - std::log(u);
  if (u >= kRhoMax) {
    // Past the table: its last value carried on by the asymptotic growth
    // of -ln rho, positive (the smallest double at worst) and decreasing.
    const double v = table.back() * std::exp(rho_exponent(kRhoMax) - rho_exponent(u));
    return std::max(v, std::numeric_limits<double>::denorm_min());
  }
  // A cubic through four points of the table in u's unit interval.
  const double x = u * kRhoSteps;
  const int unit = static_cast<int>(u) * kRhoSteps;
  const int j = std::clamp(static_cast<int>(x) - 1, unit, unit + kRhoSteps - 3);
  const double t = x - j;
  const double* y = &table[j];
  return -y[0] * (t - 1) * (t - 2) * (t - 3) / 6 + y[1] * t * (t - 2) * (t - 3) / 2 -
         y[2] * t * (t - 1) * (t - 3) / 2 + y[3] * t * (t - 1) * (t - 2) / 6;
}

double smooth_probability(double bits, uint64_t b1, uint64_t b2) {
  if (b1 < 2) return bits <= 0 ? 1 : 0;
  const double log_n = bits * std::log(2.0);
  const double lb1 = std::log(static_cast<double>(b1));
  if (log_n <= lb1) return 1;
  const double alpha = lb1 / log_n;
  double p = dickman_rho(1 / alpha);
  if (b2 > b1) {
    // One prime q in (b1, b2], q = n^t, the rest b1-smooth: the integral
    // over t in (alpha, beta] of rho((1 - t) / alpha) / t, in pieces
    // between the t where (1 - t) / alpha is whole (rho's kinks).
    const double beta = std::min(1.0, std::log(static_cast<double>(b2)) / log_n);
    auto f = [&](double t) { return dickman_rho((1 - t) / alpha) / t; };
    double lo = alpha;
    while (lo < beta) {
      const double v = std::floor((1 - lo) / alpha - 1e-12);  // the next kink below (1 - lo) / alpha
      const double hi = std::min(beta, 1 - v * alpha);
      if (hi > lo) p += gauss(f, lo, hi);
      lo = std::max(hi, std::nextafter(lo, 2.0));
    }
  }
  return std::min(p, 1.0);
}

double pm1_chance(int32_t p, int factored_to, uint64_t b1, uint64_t b2) {
  if (p < 2 || b1 < 2) return 0;
  static const double smoother = smoother_k_bits();
  const double log2p = std::log2(static_cast<double>(p));
  // No factor below 2p + 1, and one at most up to the square root.
  const int first = std::max(factored_to, static_cast<int>(log2p) + 1);
  const int last = p / 2;
  double sum = 0;
  for (int x = first; x <= last; ++x) {
    const double term = smooth_probability(x - 1 - log2p - smoother, b1, b2) / x;
    sum += term;
    if (term <= 1e-6 * sum && x > first + 8) break;  // the terms only fall from here
  }
  return std::min(sum, 1.0);  // the model's sum overshoots for tiny p, where bounds reach most factors
}

double pm1_cost(uint64_t b1, uint64_t b2, const pm1_costs& c) { return cost_of(b1, b2, c, true); }

pm1_choice choose_pm1_bounds(int32_t p, int factored_to, double tests_saved, const pm1_costs& c) {
  if (p < 2 || !(tests_saved > 0)) return {};
  const double value = tests_saved * static_cast<double>(p);
  // The search costs the primes by their estimate, quick for any B2.
  auto gain = [&](uint64_t b1, uint64_t b2) {
    return pm1_chance(p, factored_to, b1, b2) * value - cost_of(b1, b2, c, false);
  };
  // A log grid: B1 in steps of 10^(1/8) up to where stage 1 alone would
  // cost the whole value, B2 / B1 from 1 to 100 in steps of 10^(1/5).
  double best = 0, best_b1 = 0, best_b2 = 0;
  const double b1_max = std::min(value / (c.stage1 * 1.4427), 1e13);
  for (double b1 = 100; b1 <= b1_max; b1 *= std::pow(10.0, 0.125)) {
    for (int m = 0; m <= 10; ++m) {
      const double b2 = b1 * std::pow(10.0, m / 5.0);
      const double g = gain(static_cast<uint64_t>(b1), static_cast<uint64_t>(b2));
      if (g > best) best = g, best_b1 = b1, best_b2 = b2;
    }
  }
  if (best <= 0) return {};
  // Refined on the values with two significant digits: a step of B1 or B2
  // up or down while one gains.
  uint64_t b1 = round2(best_b1), b2 = std::max(b1, round2(best_b2));
  double g = gain(b1, b2);
  for (bool moved = true; moved;) {
    moved = false;
    for (int which = 0; which < 2; ++which) {
      for (int dir : {1, -1}) {
        uint64_t n1 = b1, n2 = b2;
        (which == 0 ? n1 : n2) = next2(which == 0 ? b1 : b2, dir);
        if (n2 < n1 || n1 < 2) continue;
        const double ng = gain(n1, n2);
        if (ng > g) b1 = n1, b2 = n2, g = ng, moved = true;
      }
    }
  }
  pm1_choice out;
  out.chance = pm1_chance(p, factored_to, b1, b2);
  out.cost = pm1_cost(b1, b2, c);
  out.gain = out.chance * value - out.cost;
  if (out.gain <= 0) return {};
  out.b1 = b1;
  out.b2 = b2;
  return out;
}
