// The fast engine: the residue held as an irrational-base discrete weighted
// transform of balanced words (arith/fast/layout.h), squared by transform
// kernels of our own (arith/fast/two_pass.h) or FFTW's real transforms, at a
// length from its table (arith/fast/lengths.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "arith/engine.h"

// Whether the fast engine tests 2^p - 1: p >= 3 within the length table.
bool fast_applicable(int32_t p);

// The length to start at: asked (0: the table's length for p), moved up to
// the first table length whose words hold at most 26 bits (a longer word
// cannot even hold its square exactly); 0 when none fits.
int64_t fast_start_length(int32_t p, int64_t asked);

// About the bytes a stepper for p at length n needs: its arrays, layout
// tables, FFTW's plan data and the exact residue passed in and out.
uint64_t fast_memory_bytes(int32_t p, int64_t n);

// The stepper at length n for 2^p - 1: the two-pass iteration (on
// opt.threads threads from tuning::kTwoPassThreadsFrom on) where it serves,
// the one-transform squarer on one thread elsewhere. Throws engine_failure
// when its arrays or plans cannot be had.
std::unique_ptr<stepper> make_fast_stepper(int32_t p, int64_t n, const engine_options& opt);

// What make_fast_stepper runs for p at length n, in a word or two:
// "two-pass avx512" (the kernels' name) or "one-transform".
std::string fast_iteration_name(int32_t p, int64_t n);
