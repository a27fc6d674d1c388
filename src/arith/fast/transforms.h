// Choosing the two-pass iteration's kernels, and the tables they share per
// shape (fast_kernels::shape_view).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arith/fast/kernels.h"

// Whether this processor can run the table's instructions.
bool kernels_supported(const fast_kernels::table& t);

// The twin over FFTW: the same layout and functions, FFTW's transforms.
const fast_kernels::table& fftw_kernels();

// Every table this processor runs: the fastest first, FFTW last.
std::vector<const fast_kernels::table*> usable_kernels();

// The table named `name` ("avx512", "avx2", "portable", "fftw"), or nullptr
// when there is none by that name or the processor cannot run it.
const fast_kernels::table* kernels_named(const std::string& name);

// The table MERSENNE_KERNELS names, or nullptr when it is unset or empty.
// Throws engine_failure when it names no table this processor runs.
const fast_kernels::table* kernels_asked();

// The shared tables of shape n1 x n2 (n1 a power of two >= 64, n2 a
// multiple of 8 >= 16 whose half is 2^a times 1, 3, 5, 7, 9, 11, 13 or 15), made once per
// process; with FFTW's plans for the twin when `with_fftw`. Throws
// engine_failure when FFTW cannot plan them.
const fast_kernels::shape_view& kernel_shape(int64_t n1, int64_t n2, bool with_fftw);

// The radices of a transform of length L (2^a times 1, 3, 5, 7, 9, 11, 13
// or 15), in the order the forward transform takes them.
std::vector<int> fft_radices(int64_t L);
