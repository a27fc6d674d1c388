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

// Below this exponent auto takes the exact engine, above it the fast one.
// Measured 2026-12-06 on AMD EPYC (2 cores shared with other builds, load
// about 8), thread CPU time of a whole test, best of several runs, one thread:
//   p      2003  2503  3001  3511  3761  4001  4253  4507  4751  5003  5501  6007
//   e/f    0.52  0.86  0.76  1.00  1.17  1.34  0.81  1.05  1.25  1.53  1.61  1.36
// (e/f: exact time over fast time). Below 3500 exact wins; from 3500 to 4500
// the lead changes with the fast engine's length by up to 25% either way;
// from 4500 on fast wins at every exponent sampled, by 1.5x at 5000 and 4.5x
// at 30000.
constexpr int32_t kExactBelow = 4500;

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
