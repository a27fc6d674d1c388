#include "transform.h"

void mul_complex(double a, double b, double c, double d, double* re, double* im) {
  const double ac = a * c, bd = b * d, ad = a * d, bc = b * c;
  *re = ac - bd;
  *im = ad + bc;
}

void reorder_even_odd(uint32_t* a, uint32_t* s, int32_t m) {
  int32_t o = 0;
  for (int32_t i = 0; i < m; i += 2) s[o++] = a[i];
  for (int32_t i = 1; i < m; i += 2) s[o++] = a[i];
  for (int32_t i = 0; i < m; ++i) a[i] = s[i];
  if (m > 4) {
    reorder_even_odd(a, s, m / 2);
    reorder_even_odd(a + m / 2, s + m / 2, m / 2);
  }
}

void get_fast_dft_vektor(int32_t n, uint32_t* buffer, uint32_t* u2, int32_t len,
                         const double* wr, const double* wi, double* dft_r1, double* dft_i1) {
  const int32_t h0 = n / 2;
  for (int32_t k = 0; k < n; ++k) dft_i1[k] = 0.0;
  for (int32_t k = len; k < h0; ++k) u2[k] = 0;
  reorder_even_odd(u2, buffer, h0);
  // Block length 2: each digit pairs with one of the zero-extension entries.
  for (int32_t k = 0; k < h0; ++k) dft_r1[2 * k] = dft_r1[2 * k + 1] = static_cast<double>(u2[k]);
  for (int32_t m = 4, h = 2, r = n / 4; m <= n; m *= 2, h *= 2, r /= 2) {
    for (int32_t g = 0; g < r; ++g) {
      for (int32_t k = 0; k < h; ++k) {
        const int32_t u = g * m + k, v = u + h;
        const double x_re = dft_r1[u], x_im = dft_i1[u];
        double t_re, t_im;
        mul_complex(wr[k * r], wi[k * r], dft_r1[v], dft_i1[v], &t_re, &t_im);
        dft_r1[u] = t_re + dft_r1[u];
        dft_i1[u] = t_im + dft_i1[u];
        dft_r1[v] = x_re - t_re;
        dft_i1[v] = x_im - t_im;
      }
    }
  }
}

void mul_dft(int32_t n, const double* a_re, const double* a_im, const double* b_re,
             const double* b_im, double* r_re, double* r_im) {
  for (int32_t k = 0; k < n; ++k) {
    const double rr = a_re[k] * b_re[k], ii = a_im[k] * b_im[k];
    r_re[k] = rr - ii;
    const double ri = a_re[k] * b_im[k], ir = a_im[k] * b_re[k];
    r_im[k] = ri + ir;
  }
}
