// Rows of the inverse transform four to an AVX2 register. This file alone is
// compiled for AVX2; it runs only where the processor has it.
#include "inverse_kernels.h"
#include "inverse_rows.h"

namespace inverse_kernels {

void rows_avx2(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
               const double* res_dft_i, double* inf_dft_r, double* inf_dft_i) {
  if (n >= 8) {
    rows_blocks<4, 2>(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  } else if (n >= 4) {
    rows_blocks<4, 1>(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  } else {
    rows_blocks<2, 1>(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  }
}

}  // namespace inverse_kernels
