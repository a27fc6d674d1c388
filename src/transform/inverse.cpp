#include "transform.h"

void inverse_dft_vektor_loop(int32_t n, const double* wr, const double* wi,
                             const double* res_dft_r, const double* res_dft_i,
                             double* inf_dft_r, double* inf_dft_i, double* res_polynom) {
  for (int32_t k = 0; k < n; ++k) inf_dft_r[k] = inf_dft_i[k] = 0.0;
  for (int32_t j = 0; j < n; ++j) inf_dft_r[0] = inf_dft_r[0] + res_dft_r[j];
  for (int32_t k = 1; k < n; ++k) {
    for (int32_t j = 0; j < n; ++j) {
      // Formed in 64 bits: (n-1)^2 exceeds 32 bits from n = 65536 on.
      const int64_t t = (static_cast<int64_t>(k) * j) % n;
      const double c = wr[t] * res_dft_r[j];
      inf_dft_r[k] = c + inf_dft_r[k];
      const double s = wi[t] * res_dft_i[j];
      inf_dft_i[k] = s + inf_dft_i[k];
    }
  }
  for (int32_t k = 0; k < n; ++k) res_polynom[k] = (inf_dft_r[k] + inf_dft_i[k]) / n;
}

void inverse_dft_vektor(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                        const double* res_dft_i, double* inf_dft_r, double* inf_dft_i,
                        double* res_polynom) {
  inverse_dft_vektor_loop(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i, res_polynom);
}
