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
// Measured 2026-12-06 on AMD EPYC (2 cores, load about 1), thread CPU time of
// a whole test, best of several runs, one thread; e/f = exact time / fast time:
//   p    2003  2503  3001  3511  3761  4001  4253  4409  4523  4703  5003  5557  7001  10939  21377  33391
//   e/f  0.46  0.87  0.78  0.99  1.14  1.28  0.95  0.99  1.01  1.06  1.29  1.50  1.55  2.12   3.44   3.67
// Below 3500 exact wins; up to about 4500 the lead changes with the fast
// engine's length; from 4500 on fast wins at almost every exponent sampled
// (a few single points at 0.84-1.0 where the fast engine steps to a longer length).
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
