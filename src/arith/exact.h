// The exact engine: GMP squaring, the reduction modulo 2^p - 1 done by
// shifts and adds.
#pragma once

#include <cstdint>
#include <memory>

#include "arith/engine.h"

// Whether the exact engine tests 2^p - 1: any prime p >= 3 (memory permitting).
bool exact_applicable(int32_t p);

// About the bytes a stepper for p needs: its three integers and GMP's scratch
// for a product of two p-bit numbers.
uint64_t exact_memory_bytes(int32_t p, int64_t n);

// A stepper over GMP integers for 2^p - 1 (p >= 2); n and opt are not used.
std::unique_ptr<stepper> make_exact_stepper(int32_t p, int64_t n, const engine_options& opt);
