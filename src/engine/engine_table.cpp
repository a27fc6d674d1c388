#include "engine/engine_table.h"

#include <array>

#include "engine/exact.h"
#include "engine/fast.h"
#include "engine/reference.h"

namespace {

constexpr std::array kEngines{
    engine{"fast", fast_applicable, fast_lucas_lehmer},
    engine{"exact", exact_applicable, exact_lucas_lehmer},
    engine{"reference", reference_applicable, reference_lucas_lehmer},
};

// Below this exponent the exact engine is faster than the fast one.
// MEASURED_CROSSOVER
constexpr int32_t kExactBelow = 0;

}  // namespace

std::span<const engine> engine_table() { return kEngines; }

const engine* find_engine(std::string_view name) {
  for (const engine& e : kEngines)
    if (name == e.name) return &e;
  return nullptr;
}

const engine* auto_engine(int32_t p) {
  const engine* exact = find_engine("exact");
  if (p < kExactBelow && exact->applicable(p)) return exact;
  for (const engine& e : kEngines)
    if (e.applicable(p)) return &e;
  return nullptr;
}

const engine* choose_engine(std::string_view name, int32_t p) {
  return name == "auto" ? auto_engine(p) : find_engine(name);
}
