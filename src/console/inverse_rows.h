// The row-block kernel of the inverse transform, written once over GCC vector
// types and compiled in one file per instruction set. Lane l of group g holds
// row k0 + W*g + l; each lane is an ordinary rounded product followed by an
// ordinary rounded sum, so every row is the loop's row, bit for bit.
//
// Everything here has internal linkage: each including file gets its own
// copy built for its own instruction set, and the linker can never hand the
// portable path a copy compiled for a wider one.
#pragma once

#include <cstdint>

namespace inverse_kernels {
namespace {

// W doubles as one GCC vector (a dependent vector_size is not accepted, hence
// one specialisation per width).
template <int W>
struct lanes;
template <>
struct lanes<1> {
  typedef double type __attribute__((vector_size(8)));
};
template <>
struct lanes<2> {
  typedef double type __attribute__((vector_size(16)));
};
template <>
struct lanes<4> {
  typedef double type __attribute__((vector_size(32)));
};
template <>
struct lanes<8> {
  typedef double type __attribute__((vector_size(64)));
};

// Rows k0 .. k0 + W*G - 1 for every block k0, W lanes per vector, G vectors.
// Row k0 + i reads the table at (k0*j + i*j) mod n: base holds k0*j mod n,
// advanced by k0 per term, and u steps from row to row by j; masking to n - 1
// is the remainder since n is a power of two (u stays below (W*G + 1)*n, far
// from overflow for n <= 2^30). The table entries are loaded one by one into
// the lanes, which on the processors measured beats the gather instructions.
// Requires n to be a multiple of W*G.
template <int W, int G>
void rows_blocks(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                 const double* res_dft_i, double* inf_dft_r, double* inf_dft_i) {
  using vec = typename lanes<W>::type;
  const uint64_t mask = static_cast<uint64_t>(n) - 1;
  for (int32_t k0 = 0; k0 < n; k0 += W * G) {
    vec sr[G], si[G];
    for (int g = 0; g < G; ++g) sr[g] = si[g] = vec{};
    uint64_t base = 0;
    for (int32_t j = 0; j < n; ++j) {
      const double xr = res_dft_r[j];
      const double xi = res_dft_i[j];
      uint64_t u = base;
      for (int g = 0; g < G; ++g) {
        vec cr, ci;
        for (int l = 0; l < W; ++l) {
          const uint64_t t = u & mask;
          cr[l] = wr[t];
          ci[l] = wi[t];
          u += static_cast<uint64_t>(j);
        }
        const vec c = cr * xr;
        sr[g] = c + sr[g];
        const vec s = ci * xi;
        si[g] = s + si[g];
      }
      base = (base + static_cast<uint64_t>(k0)) & mask;
    }
    for (int g = 0; g < G; ++g) {
      for (int l = 0; l < W; ++l) {
        inf_dft_r[k0 + W * g + l] = sr[g][l];
        inf_dft_i[k0 + W * g + l] = si[g][l];
      }
    }
  }
}

}  // namespace
}  // namespace inverse_kernels
