#include "arith/engine_table.h"

#include <array>
#include <cmath>

#include "arith/exact.h"
#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/reference.h"
#include "base/tuning.h"

namespace {

constexpr std::array kEngines{
    engine{"fast", fast_applicable, make_fast_stepper, fast_start_length, fast_next_length, fast_memory_bytes},
    engine{"exact", exact_applicable, make_exact_stepper, nullptr, nullptr, exact_memory_bytes},
    engine{"reference", reference_applicable, make_reference_stepper, nullptr, nullptr, reference_memory_bytes},
};

}  // namespace

std::span<const engine> engine_table() { return kEngines; }

const engine* find_engine(std::string_view name) {
  for (const engine& e : kEngines)
    if (name == e.name) return &e;
  return nullptr;
}

const engine* auto_engine(int32_t p) {
  const engine* exact = find_engine("exact");
  if (p < tuning::kExactBelow && exact->applicable(p)) return exact;
  for (const engine& e : kEngines)
    if (e.applicable(p)) return &e;
  return nullptr;
}

const engine* choose_engine(std::string_view name, int32_t p) {
  return name == "auto" ? auto_engine(p) : find_engine(name);
}

double estimated_test_seconds(int32_t p) {
  if (p < 3) return 0;
  const int64_t n = fast_applicable(p) ? fast_start_length(p, 0) : 0;
  if (n == 0) {
    // No length of the fast engine holds p: the exact engine would run the test.
    const double bits = static_cast<double>(p);
    return bits * tuning::kExactSecondsPerBitLog * bits * std::log2(bits);
  }
  const double words = static_cast<double>(n);
  return static_cast<double>(p) * tuning::kFastSecondsPerWordLog * words * std::log2(words);
}
