#include "transform.h"

#include "inverse_kernels.h"

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

namespace {

using rows_fn = void (*)(int32_t, const double*, const double*, const double*, const double*,
                         double*, double*);

// Row 0 by its own rule (the plain sum of the real parts; the sine sum stays
// 0) over whatever a kernel left there, then the coefficients.
void finish_rows(int32_t n, const double* res_dft_r, double* inf_dft_r, double* inf_dft_i,
                 double* res_polynom) {
  double s0 = 0.0;
  for (int32_t j = 0; j < n; ++j) s0 = s0 + res_dft_r[j];
  inf_dft_r[0] = s0;
  inf_dft_i[0] = 0.0;
  for (int32_t k = 0; k < n; ++k) res_polynom[k] = (inf_dft_r[k] + inf_dft_i[k]) / n;
}

}  // namespace

bool inverse_path_available(inverse_path path) {
  switch (path) {
    case inverse_path::loop:
    case inverse_path::scalar:
      return true;
    case inverse_path::avx2:
      return __builtin_cpu_supports("avx2");
    case inverse_path::avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
}

const char* inverse_path_name(inverse_path path) {
  switch (path) {
    case inverse_path::loop:
      return "loop";
    case inverse_path::scalar:
      return "scalar";
    case inverse_path::avx2:
      return "avx2";
    case inverse_path::avx512:
      return "avx512";
  }
  return "?";
}

void inverse_dft_vektor_on(inverse_path path, int32_t n, const double* wr, const double* wi,
                           const double* res_dft_r, const double* res_dft_i, double* inf_dft_r,
                           double* inf_dft_i, double* res_polynom) {
  rows_fn rows = nullptr;
  if (inverse_path_available(path)) {
    switch (path) {
      case inverse_path::loop:
        break;
      case inverse_path::scalar:
        rows = inverse_kernels::rows_scalar;
        break;
      case inverse_path::avx2:
        rows = inverse_kernels::rows_avx2;
        break;
      case inverse_path::avx512:
        rows = inverse_kernels::rows_avx512;
        break;
    }
  }
  if (rows == nullptr) {
    inverse_dft_vektor_loop(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i, res_polynom);
    return;
  }
  rows(n, wr, wi, res_dft_r, res_dft_i, inf_dft_r, inf_dft_i);
  finish_rows(n, res_dft_r, inf_dft_r, inf_dft_i, res_polynom);
}

void inverse_dft_vektor(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                        const double* res_dft_i, double* inf_dft_r, double* inf_dft_i,
                        double* res_polynom) {
  inverse_dft_vektor_on(inverse_path_default(), n, wr, wi, res_dft_r, res_dft_i, inf_dft_r,
                        inf_dft_i, res_polynom);
}
