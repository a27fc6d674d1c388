// Rows of the inverse transform for any processor: pairs of rows in plain
// two-lane vectors, several pairs at once to overlap the chains of sums.
#include "inverse_kernels.h"
#include "inverse_rows.h"

namespace inverse_kernels {

void rows_scalar(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                 const double* res_dft_i, double* inf_dft_r, double* inf_dft_i) {
  if (n >= 8) {
    rows_blocks<2, 4>(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  } else {
    rows_blocks<2, 1>(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  }
}

}  // namespace inverse_kernels
