// The table of Lucas-Lehmer engines and the choice among them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "arith/engine.h"

// Every engine, fastest first where several apply.
std::span<const engine> engine_table();

// The row named name, or nullptr when there is none ("auto" is not a row).
const engine* find_engine(std::string_view name);

// The fastest engine that can test 2^p - 1 (prime p >= 3), by the measured
// crossovers; nullptr only when no engine applies.
const engine* auto_engine(int32_t p);

// The engine that name asks for: a row of the table, or auto_engine(p) for
// "auto"; nullptr for an unknown name.
const engine* choose_engine(std::string_view name, int32_t p);

// About how many seconds a whole test of 2^p - 1 (prime p >= 3) takes on one
// core with the fast engine, or with the exact one where the fast engine has
// no length for p, from their measured speeds (base/tuning.h).
double estimated_test_seconds(int32_t p);
