// The stage the driver calls, on the fastest path this processor has. Kept
// alone in its file so that a program may supply its own definition instead
// (the timing program that runs the dialogue on the plain loop does).
#include "transform.h"

void inverse_dft_vektor(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                        const double* res_dft_i, double* inf_dft_r, double* inf_dft_i,
                        double* res_polynom) {
  inverse_dft_vektor_on(inverse_path_default(), n, wr, wi, res_dft_r, res_dft_i, inf_dft_r,
                        inf_dft_i, res_polynom);
}
