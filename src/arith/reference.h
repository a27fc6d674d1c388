// The reference engine: the console program's own step over the digit-string
// and transform stages, without the trace, as a stepper.
#pragma once

#include <cstdint>
#include <memory>

#include "console/lucas_lehmer.h"
#include "arith/engine.h"

// Always true for p >= 3: the loop withholds the verdict once a step's
// rounding distance reaches the bound, which happens from p around 2^14 on.
bool reference_applicable(int32_t p);

// About the bytes a stepper for p needs: the twelve working arrays and a copy of the residue.
uint64_t reference_memory_bytes(int32_t p, int64_t n);

// A stepper over the stages for 2^p - 1 (p >= 3) with the working arrays
// from std::calloc; n and opt are not used.
std::unique_ptr<stepper> make_reference_stepper(int32_t p, int64_t n, const engine_options& opt);

// The same with the arrays from alloc and the inverse transform along path;
// throws engine_failure when an array cannot be had (none is kept).
std::unique_ptr<stepper> make_reference_stepper_with(int32_t p, alloc_fn alloc, inverse_path path);
