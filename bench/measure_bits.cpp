// The fast engine's largest average bits per word, measured per length, and
// the generated table that carries them (src/arith/fast/length_table.h).
//
// At a length n and b bits per word (p = floor(n b)) a sweep runs
// Lucas-Lehmer iterations from random residues and keeps the worst rounding
// distance. A length's bound is the largest b, in steps of 0.01, at which the
// worst distance stays at most 0.35 (the engine redoes a step at 0.4): first
// on the path the engine runs there with the full count, then on every other
// path this processor has with an eighth of it (each from its own residues),
// stepping down until all of them pass. (The search itself runs a quarter
// of the count; the bound it finds is then held to the whole count.)
//
//   measure_bits [--from N] [--to N] [--part I/K] [--only-powers-above N]
//       one line per length: "n bits iterations worst path:worst ...", as each is done
//   measure_bits --header FILE...
//       the table (C++ header) from such lines; a length without a line takes
//       the bits of the measured trend between its measured neighbours (past
//       the last, of the last two). A length whose bound would pass 2^31 - 1
//       is measured at p = 2^31 - 1 only and says nothing of its own bound:
//       leave its line out.
//
// Iterations at length n: 2^31 / n words' worth, at least 100 and at most
// 2000 (thousands of iterations up to 1M, 256 at 8M, 100 above); 20000 below 4K.
#include <gmp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "arith/residue.h"

namespace {

constexpr double kBound = 0.35;
constexpr int kMostHundredths = 2600;  // the engine takes no more than 26 bits a word
constexpr int64_t kTwoPassPathsTo = 262144;  // the one-transform squarer is never run above this

struct path {
  std::string name;
  const fast_kernels::table* kernels = nullptr;  // null: the one-transform squarer
};

// Below 4K, where a few words make the tail of the distances heavy and a
// whole run costs nothing, 20000.
int64_t iterations_at(int64_t n) {
  return n < 4096 ? 20000 : std::clamp<int64_t>((int64_t{1} << 31) / n, 100, 2000);
}

std::unique_ptr<stepper> make(const path& at, int32_t p, int64_t n) {
  if (at.kernels == nullptr) return std::make_unique<fast_squarer>(p, n);
  return std::make_unique<two_pass_squarer>(p, n, 1, at.kernels);
}

// The paths that serve p at n, the one the engine runs first.
std::vector<path> paths_at(int32_t p, int64_t n) {
  std::vector<path> v;
  const std::string runs = fast_iteration_name(p, n);
  std::vector<const fast_kernels::table*> tables = usable_kernels();
  tables.push_back(&fftw_kernels());
  if (two_pass_serves(p, n))
    for (const fast_kernels::table* t : tables) v.push_back({t->name, t});
  if (n <= kTwoPassPathsTo || v.empty()) v.push_back({"one-transform", nullptr});
  std::stable_partition(v.begin(), v.end(), [&](const path& x) {
    return runs == "one-transform" ? x.kernels == nullptr : runs == "two-pass " + x.name;
  });
  return v;
}

// The worst rounding distance of `count` iterations at p on `at`, from
// random residues (a fresh one every 500 iterations); stops once above kBound.
double worst_distance(const path& at, int32_t p, int64_t n, int64_t count, std::mt19937_64& rng) {
  std::unique_ptr<stepper> s = make(at, p, n);
  mpz_value v, m;
  mersenne_number(m, p);
  std::vector<uint64_t> words(static_cast<size_t>(p / 64 + 1));
  double worst = 0;
  for (int64_t i = 0; i < count; ++i) {
    if (i % 500 == 0) {
      for (uint64_t& w : words) w = rng();
      mpz_import(v, words.size(), -1, 8, 0, 0, words.data());
      mpz_mod(v, v, m);
      s->load(v);
    }
    worst = std::max(worst, s->square(2, 0, 1e9));
    if (worst > kBound) break;
  }
  return worst;
}

struct measured {
  int64_t n = 0;
  double bits = 0;
  int64_t iterations = 0;
  double worst = 0;
  std::string by_path;
};

int32_t exponent_at(int64_t n, double bits) {
  return static_cast<int32_t>(std::min<double>(std::floor(static_cast<double>(n) * bits), INT32_MAX));
}

// Whether bits (hundredths) passes on the first path with count iterations; its worst into *worst.
bool passes(const path& at, int64_t n, int hundredths, int64_t count, std::mt19937_64& rng, double* worst) {
  *worst = worst_distance(at, exponent_at(n, hundredths / 100.0), n, count, rng);
  return *worst <= kBound;
}

measured measure(int64_t n, double guess, std::mt19937_64& rng) {
  const int64_t count = iterations_at(n);
  int b = static_cast<int>(std::lround(guess * 100));
  int good = -1, bad = -1;
  double good_worst = 0;
  const auto first = [&](int h) { return paths_at(exponent_at(n, h / 100.0), n).front(); };
  // Bracket, then halve: about fourfold distance per bit sets the first steps.
  while (bad < 0 || good < 0 || bad - good > 1) {
    double w = 0;
    b = std::min(b, kMostHundredths);
    if (b == kMostHundredths && good == b) break;
    if (passes(first(b), n, b, count / 4, rng, &w)) {
      good = b;
      good_worst = w;
    } else {
      bad = b;
    }
    if (good >= 0 && bad >= 0) {
      b = (good + bad) / 2;
      if (b == good) break;
    } else {
      const double step = std::log(kBound / std::max(w, 1e-6)) / std::log(4.0);
      const int hundredths = std::max(1, static_cast<int>(std::fabs(step) * 100 * 0.8));
      b += good >= 0 ? hundredths : -hundredths;
    }
  }
  // The search ran a quarter of the count: the bound takes the whole count,
  // then the other paths an eighth of it each; down until all pass.
  for (;;) {
    while (good > 0 && !passes(first(good), n, good, count, rng, &good_worst)) --good;
    const int32_t p = exponent_at(n, good / 100.0);
    const std::vector<path> all = paths_at(p, n);
    std::ostringstream line;
    bool ok = true;
    double worst = good_worst;
    line << all.front().name << ':' << good_worst;
    for (size_t i = 1; i < all.size() && ok; ++i) {
      const double w = worst_distance(all[i], p, n, std::max<int64_t>(count / 8, 16), rng);
      line << ' ' << all[i].name << ':' << w;
      worst = std::max(worst, w);
      ok = w <= kBound;
    }
    if (ok) return {n, good / 100.0, count, worst, line.str()};
    --good;
  }
}

// The lines of earlier runs, by length.
std::map<int64_t, measured> read_lines(int argc, char** argv, int from) {
  std::map<int64_t, measured> rows;
  for (int a = from; a < argc; ++a) {
    std::ifstream in(argv[a]);
    std::string text;
    while (std::getline(in, text)) {
      std::istringstream f(text);
      measured m;
      if (!(f >> m.n >> m.bits >> m.iterations >> m.worst)) continue;
      std::getline(f, m.by_path);
      rows[m.n] = m;
    }
  }
  return rows;
}

int print_header(const std::map<int64_t, measured>& rows) {
  std::printf(
      "// The fast engine's lengths and the largest average bits per word each\n"
      "// carries. Generated by bench/measure_bits (measure_bits --header); do not\n"
      "// edit by hand. At each length, Lucas-Lehmer iterations from random\n"
      "// residues at p = floor(n bits): the largest bits (in hundredths) whose worst\n"
      "// rounding distance stayed at most 0.35 on the path the engine runs there,\n"
      "// and then on every other path this processor has (an eighth of the\n"
      "// iterations each); below 4K no more than 24.45 - 0.28 log2 n, the line\n"
      "// that held whole tests there. A row with 0 iterations was not measured: its bits\n"
      "// follow the measured trend (linear in log2 n) between the measured\n"
      "// lengths around it, or of the last two past the last one.\n"
      "//\n"
      "// Columns: length, bits per word, iterations, the worst distance seen.\n"
      "#pragma once\n\n#include <cstdint>\n\n"
      "struct fast_length_row {\n  int64_t n;\n  double bits;\n  int64_t iterations;\n  double worst;\n};\n\n"
      "inline constexpr fast_length_row kFastLengths[] = {\n");
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    auto at = rows.find(n);
    if (at != rows.end()) {
      // Below 4K a bound measured at one p does not hold for the others it
      // would serve (p = 479 at length 20, whose bound measured 24.04 bits at
      // p = 480, reached 0.4 in a whole test): those lengths keep the line
      // that held whole tests there, 24.45 - 0.28 log2 n, where it is lower.
      const double line = std::floor((24.45 - 0.28 * std::log2(static_cast<double>(n))) * 100) / 100;
      const double bits = n < 4096 ? std::min(at->second.bits, line) : at->second.bits;
      std::printf("    {%lld, %.2f, %lld, %.4f},\n", static_cast<long long>(n), bits,
                  static_cast<long long>(at->second.iterations), at->second.worst);
      continue;
    }
    auto above = rows.lower_bound(n);
    if (above == rows.end() && rows.size() >= 2) --above;  // past the last: the trend of the last two
    if (above == rows.begin() || above == rows.end()) {
      std::fprintf(stderr, "measure_bits: length %lld has no measured lengths on both sides\n",
                   static_cast<long long>(n));
      return 1;
    }
    auto below = std::prev(above);
    const double x0 = std::log2(static_cast<double>(below->first)), x1 = std::log2(static_cast<double>(above->first));
    const double t = (std::log2(static_cast<double>(n)) - x0) / (x1 - x0);
    const double bits = std::floor((below->second.bits + t * (above->second.bits - below->second.bits)) * 100) / 100;
    std::printf("    {%lld, %.2f, 0, 0.0},\n", static_cast<long long>(n), bits);
  }
  std::printf("};\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  fast_set_measured_plans(false);
  if (argc >= 2 && std::strcmp(argv[1], "--header") == 0) return print_header(read_lines(argc, argv, 2));
  int64_t from = 0, to = int64_t{1} << 27, powers_above = int64_t{1} << 27;
  int part = 1, parts = 1;
  for (int a = 1; a + 1 < argc; a += 2) {
    if (std::strcmp(argv[a], "--from") == 0) from = std::atoll(argv[a + 1]);
    if (std::strcmp(argv[a], "--to") == 0) to = std::atoll(argv[a + 1]);
    if (std::strcmp(argv[a], "--only-powers-above") == 0) powers_above = std::atoll(argv[a + 1]);
    if (std::strcmp(argv[a], "--part") == 0 && std::sscanf(argv[a + 1], "%d/%d", &part, &parts) != 2) return 2;
  }
  std::mt19937_64 rng(20261209u + static_cast<uint64_t>(part));
  int index = 0;
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    if (n < from || n > to) continue;
    if (n > powers_above && (n & (n - 1)) != 0) continue;
    if (index++ % parts != part - 1) continue;
    // The guess: the table's present figure.
    const measured m = measure(n, fast_max_bits(n), rng);
    std::printf("%lld %.2f %lld %.4f %s\n", static_cast<long long>(m.n), m.bits, static_cast<long long>(m.iterations),
                m.worst, m.by_path.c_str());
    std::fflush(stdout);
  }
  return 0;
}
