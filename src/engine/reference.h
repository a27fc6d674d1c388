// The reference engine: the console program's own Lucas-Lehmer loop over the
// digit-string and transform stages, without the trace, behind the engine
// interface.
#pragma once

#include <cstdint>

#include "driver/lucas_lehmer.h"
#include "engine/engine.h"

// Always true for p >= 3: the engine itself refuses a verdict once its
// rounding bound is crossed, which happens from p around 2^14 on.
bool reference_applicable(int32_t p);

// The Lucas-Lehmer test of 2^p - 1 (prime p >= 3) through run_dialogue's loop.
// No verdict (verdict false, note says why) once a step's rounding distance
// reaches kMaxRoundoff; a failed allocation gives an outcome with error set.
ll_outcome reference_lucas_lehmer(int32_t p, const engine_options& opt);

// The same with the arrays taken from alloc instead of std::calloc.
ll_outcome reference_lucas_lehmer_with(int32_t p, const engine_options& opt, alloc_fn alloc);

// Low 64 bits of the digit string u2[0 .. len-1] (base 2^16, least significant first).
uint64_t low64_of_digits(const uint32_t* u2, int32_t len);

// True when u2[0 .. len-1] holds exactly 2^p - 1 (p >= 1), the other form of zero.
bool digits_are_all_ones(const uint32_t* u2, int32_t len, int32_t p);
