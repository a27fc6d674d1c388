// Row kernels of the inverse transform. Each fills inf_dft_r[k] and
// inf_dft_i[k] for every row k < n with the cosine and sine sums, each
// accumulated in ascending j exactly as the loop does; they differ only in
// how many rows they carry at once. Row 0 is formed by the general rule
// (table entry 0 times each term) and must be redone by the caller.
// Each takes any power-of-two n >= 2 and writes entries 0 .. n-1 only.
#pragma once

#include <cstdint>

namespace inverse_kernels {

// Pairs of rows in two-lane vectors, for any processor.
void rows_scalar(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                 const double* res_dft_i, double* inf_dft_r, double* inf_dft_i);

// Four rows per AVX2 register. Requires a processor with AVX2.
void rows_avx2(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
               const double* res_dft_i, double* inf_dft_r, double* inf_dft_i);

// Eight rows per AVX-512 register. Requires a processor with AVX-512F.
void rows_avx512(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                 const double* res_dft_i, double* inf_dft_r, double* inf_dft_i);

}  // namespace inverse_kernels
