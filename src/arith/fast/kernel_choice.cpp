#include "arith/fast/kernel_choice.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <cstdio>
#include <sstream>

#include "base/clock.h"
#include "base/files.h"
#include "base/processor.h"
#include "base/tuning.h"
#include "arith/engine.h"
#include "arith/residue.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"

namespace {

// 2: the AVX2 and portable kernels halved their costs, so a choice measured
// with the earlier ones (one-transform at the short lengths) is measured again.
// 3: the two-pass iteration is also timed at 2K, so that a near tie at 1K no
// longer sends 1K-4K to the one-transform squarer where it is the slower one.
constexpr const char* kFormatLine = "mersenne kernel choice 3";

// An exponent that length n serves with the two-pass iteration (not
// necessarily prime: the timing does not care).
int32_t exponent_for(int64_t n) {
  int32_t p = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, 18 * n)) | 1;
  while (p > 1 && !two_pass_serves(p, n)) p -= 2;
  return p;
}

// Squarings in one timed round at length n: a few milliseconds' worth.
int squarings_at(int64_t n) { return static_cast<int>(std::max<int64_t>(2, (int64_t{1} << 21) / n)); }

double seconds_of(stepper& s, int count) {
  const auto t0 = clock_type::now();
  for (int i = 0; i < count; ++i) s.square(2, 0, 1e9);
  return seconds_since(t0);
}

// The best of the rounds of each stepper at length n, the rounds
// interleaving them, so that a burst of load elsewhere slows one round of
// each rather than every round of one.
std::vector<double> best_rounds(std::vector<std::unique_ptr<stepper>>& steppers, int32_t p, int64_t n) {
  mpz_value start;
  mpz_ui_pow_ui(start, 3, static_cast<unsigned long>(p / 2));  // digits of every size
  for (auto& st : steppers) st->load(start);
  const int count = squarings_at(n);
  std::vector<double> best(steppers.size(), HUGE_VAL);
  for (int round = 0; round <= tuning::kKernelChoiceRounds; ++round)
    for (size_t i = 0; i < steppers.size(); ++i) {
      const double s = seconds_of(*steppers[i], count) / count;
      if (round > 0 && s < best[i]) best[i] = s;
    }
  return best;
}

// The lengths below the shortest probe at which the two-pass iteration is
// timed against the one-transform squarer, longest first; the last is the
// shortest length the two-pass iteration serves.
constexpr int64_t kShortestTimed = 1024;
constexpr int64_t kBelowProbe[] = {2048, kShortestTimed};

// The length a "short two-pass from N" line names, where the measurement
// can have chosen it (the shortest probe, or a timed length above the
// shortest); else 0.
int64_t two_pass_from_line(const std::string& line) {
  std::vector<int64_t> starts{kernel_choice_probes().front()};
  for (const int64_t n : kBelowProbe)
    if (n != kShortestTimed) starts.push_back(n);
  for (const int64_t n : starts)
    if (line == "short two-pass from " + std::to_string(n)) return n;
  return 0;
}

}  // namespace

std::vector<int64_t> kernel_choice_probes() { return {int64_t{1} << 12, int64_t{1} << 16, int64_t{1} << 20}; }

std::string kernel_choice_text(const kernel_choice& c) {
  std::string s = std::string(kFormatLine) + "\n" + processor_identity() + "\n";
  for (const auto& [n, name] : c.tables) s += std::to_string(n) + " " + name + "\n";
  if (c.two_pass_from == 0)
    s += "short two-pass\n";
  else if (c.two_pass_from < tuning::kTwoPassFrom)
    s += "short two-pass from " + std::to_string(c.two_pass_from) + "\n";
  else
    s += "short one-transform\n";
  return s;
}

bool parse_kernel_choice(const std::string& text, kernel_choice* out) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kFormatLine) return false;
  if (!std::getline(in, line) || line != processor_identity()) return false;
  kernel_choice c;
  for (int64_t probe : kernel_choice_probes()) {
    if (!std::getline(in, line)) return false;
    const std::string head = std::to_string(probe) + " ";
    if (line.compare(0, head.size(), head) != 0) return false;
    const std::string name = line.substr(head.size());
    const fast_kernels::table* t = kernels_named(name);
    if (t == nullptr || name == "fftw") return false;
    c.tables.emplace_back(probe, name);
  }
  if (!std::getline(in, line)) return false;
  if (line == "short two-pass")
    c.two_pass_from = 0;
  else if (const int64_t from = two_pass_from_line(line); from != 0)
    c.two_pass_from = from;
  else if (line == "short one-transform")
    c.two_pass_from = tuning::kTwoPassFrom;
  else
    return false;
  if (std::getline(in, line) || text.empty() || text.back() != '\n') return false;
  *out = c;
  return true;
}

kernel_choice measure_kernel_choice() {
  kernel_choice c;
  const std::vector<const fast_kernels::table*> tables = usable_kernels();
  const auto timing_line = [&](int64_t n, const std::vector<std::string>& names, const std::vector<double>& best) {
    std::string line = std::to_string(n);
    for (size_t i = 0; i < names.size(); ++i) {
      char ms[32];
      std::snprintf(ms, sizeof ms, " %.4g", best[i] * 1e3);
      line += " " + names[i] + ms;
    }
    c.timings.push_back(line + " ms");
  };
  for (int64_t n : kernel_choice_probes()) {
    const int32_t p = exponent_for(n);
    // The one-transform squarer only where it competes: at the shortest probe.
    const bool shortest = n == kernel_choice_probes().front();
    std::vector<std::unique_ptr<stepper>> steppers;
    std::vector<std::string> names;
    std::vector<double> best;
    try {
      for (const fast_kernels::table* t : tables) {
        steppers.push_back(std::make_unique<two_pass_squarer>(p, n, 1, t));
        names.push_back(t->name);
      }
      if (shortest) {
        steppers.push_back(std::make_unique<fast_squarer>(p, n));
        names.push_back("one-transform");
      }
      best = best_rounds(steppers, p, n);
    } catch (const std::exception&) {
      // Short of memory or plans: the widest table, as if it had won.
      c.tables.emplace_back(n, tables.front()->name);
      continue;
    }
    timing_line(n, names, best);
    size_t win = 0;
    for (size_t i = 1; i < tables.size(); ++i)
      if (best[i] < best[win]) win = i;
    c.tables.emplace_back(n, tables[win]->name);
    if (!shortest) continue;
    if (best[win] >= best.back()) {
      c.two_pass_from = tuning::kTwoPassFrom;
      continue;
    }
    // It won there: is it also faster at the shorter lengths, with the same
    // table? Down from the probe, as far as it keeps winning: a near tie at
    // 1K then costs nothing at 2K, where it may win by a third.
    c.two_pass_from = n;
    for (const int64_t below : kBelowProbe) {
      try {
        const int32_t q = exponent_for(below);
        std::vector<std::unique_ptr<stepper>> pair;
        pair.push_back(std::make_unique<two_pass_squarer>(q, below, 1, tables[win]));
        pair.push_back(std::make_unique<fast_squarer>(q, below));
        const std::vector<double> at = best_rounds(pair, q, below);
        timing_line(below, {tables[win]->name, "one-transform"}, at);
        if (!(at[0] < at[1])) break;
        c.two_pass_from = below == kShortestTimed ? 0 : below;
      } catch (const std::exception&) {
        break;  // unmeasured there: from the last length it won at, as measured
      }
    }
  }
  return c;
}

kernel_choice choose_kernels(const std::string& file, kernel_choice (*measure)()) {
  std::string text, why;
  bool missing = false;
  kernel_choice c;
  if (!file.empty() && read_whole_file(file, 4096, &text, &missing, &why) && parse_kernel_choice(text, &c)) return c;
  c = measure();
  if (file.empty()) return c;
  // Best effort: without the file the next run measures again.
  const std::string dir = folder_of(file);
  make_dir(folder_of(dir), 0700, &why);
  make_dir(dir, 0700, &why);
  const std::string out = kernel_choice_text(c);
  write_file_synced(file, out.data(), out.size(), &why);
  return c;
}

const kernel_choice& kernel_choice_default() {
  static std::once_flag once;
  static kernel_choice chosen;
  std::call_once(once, [] {
    const std::string dir = choice_cache_dir();
    chosen = choose_kernels(dir.empty() ? std::string() : dir + "/kernel-choice");
  });
  return chosen;
}

const fast_kernels::table& kernels_at(const kernel_choice& c, int64_t n) {
  const fast_kernels::table* best = usable_kernels().front();
  double distance = HUGE_VAL;
  for (const auto& [probe, name] : c.tables) {
    const double d = std::fabs(std::log(static_cast<double>(n) / static_cast<double>(probe)));
    const fast_kernels::table* t = kernels_named(name);
    if (t != nullptr && d < distance) {
      distance = d;
      best = t;
    }
  }
  return *best;
}

const fast_kernels::table& chosen_kernels(int64_t n) {
  if (const fast_kernels::table* t = kernels_asked()) return *t;
  return kernels_at(kernel_choice_default(), n);
}

bool two_pass_chosen(int64_t n) {
  if (n >= tuning::kTwoPassFrom) return true;
  if (const fast_kernels::table* t = kernels_asked()) return t == kernels_named("avx512");
  return n >= kernel_choice_default().two_pass_from;
}
