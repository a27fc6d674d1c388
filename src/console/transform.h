// Squaring a digit string through a complex discrete Fourier transform:
// transform length, roots of unity, forward transform, pointwise product and
// the direct inverse transform. Complex vectors are pairs of double arrays.
#pragma once

#include <cstdint>
#include <string>

// Twice the least power of two not below len (2 for len <= 1). Saturates at
// 2^30 for len > 2^29, where no larger power of two fits 32 bits.
int32_t get_n(int32_t len);

// wr[k] + i*wi[k] = cos + i*sin of the accumulated angle k*(2pi/n), k < n.
// Writes exactly n entries of each array.
void get_einheitswurzel(int32_t n, double* wr, double* wi);

// Same table, each angle computed directly as (k*2pi)/n.
void get_einheitswurzel_direct(int32_t n, double* wr, double* wi);

// (re, im) = (a + ib)(c + id), each product rounded before the sum.
void mul_complex(double a, double b, double c, double d, double* re, double* im);

// Bit-reversal permutation of a[0 .. m-1] in place (m a power of two), s: m scratch words.
void reorder_even_odd(uint32_t* a, uint32_t* s, int32_t m);

// Spectrum X_q = sum_j d_j e^{+2 pi i jq/n} of the first len digits of u2, into
// dft_r1/dft_i1[0 .. n-1]. Requires 0 <= len <= n/2 and the root table for n.
// Leaves u2[0 .. n/2-1] zero-extended and bit-reversed, buffer[0 .. n/2-1] scratch.
void get_fast_dft_vektor(int32_t n, uint32_t* buffer, uint32_t* u2, int32_t len,
                         const double* wr, const double* wi, double* dft_r1, double* dft_i1);

// R = A * B entrywise as complex numbers, k < n. R must not overlap A or B.
void mul_dft(int32_t n, const double* a_re, const double* a_im, const double* b_re,
             const double* b_im, double* r_re, double* r_im);

// Real part of the inverse transform: res_polynom[k] = (inf_dft_r[k] + inf_dft_i[k]) / n
// with the cosine and sine sums accumulated in ascending j. Writes entries 0 .. n-1.
void inverse_dft_vektor(int32_t n, const double* wr, const double* wi, const double* res_dft_r,
                        const double* res_dft_i, double* inf_dft_r, double* inf_dft_i,
                        double* res_polynom);

// The same stage as the straightforward row-by-row loop: the slow twin that
// defines the bits every faster path must reproduce.
void inverse_dft_vektor_loop(int32_t n, const double* wr, const double* wi,
                             const double* res_dft_r, const double* res_dft_i,
                             double* inf_dft_r, double* inf_dft_i, double* res_polynom);

// The ways inverse_dft_vektor can be computed. All give the loop's bits; they
// differ only in how many rows they work on at once: loop one row at a time,
// scalar several rows interleaved, avx2 / avx512 rows in vector lanes.
enum class inverse_path : int { loop, scalar, avx2, avx512 };
inline constexpr inverse_path kInversePaths[] = {inverse_path::loop, inverse_path::scalar,
                                                 inverse_path::avx2, inverse_path::avx512};

// True when this processor can run path (loop and scalar always).
bool inverse_path_available(inverse_path path);

// Lower-case name of path: "loop", "scalar", "avx2" or "avx512".
const char* inverse_path_name(inverse_path path);

// The path inverse_dft_vektor takes on this processor: the one measured
// fastest here, kept in the cache folder (base/processor.h) once measured,
// so that only a processor's first run measures (a few milliseconds).
inverse_path inverse_path_default();

// The available path (not the loop) that runs one inverse transform of
// tuning::kInverseChoiceLength fastest now; the widest when memory is short.
inverse_path inverse_path_measured();

// The path saved in file when it was measured on this processor; else the
// path measured now, saved there (best effort; "" saves nothing).
inverse_path choose_inverse_path(const std::string& file);

// inverse_dft_vektor computed along path. A path the processor cannot run
// falls back to the loop.
void inverse_dft_vektor_on(inverse_path path, int32_t n, const double* wr, const double* wi,
                           const double* res_dft_r, const double* res_dft_i, double* inf_dft_r,
                           double* inf_dft_i, double* res_polynom);
