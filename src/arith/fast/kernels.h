// The two-pass iteration's transforms and carry, as one table of functions
// per instruction set: our own radix kernels for AVX-512 with FMA, for AVX2
// with FMA and for any x86-64 processor, and FFTW as their slow twin.
//
// All of them work on one layout. A row of the state holds n1 complex
// values in groups of eight, eight real parts then eight imaginary parts:
// value j1 of row k2 is at row + 16 (j1 / 8) + j1 % 8 (+ 8 for the
// imaginary part). A block of the column pass is eight columns side by
// side, one group of each row; its n2 real words of column t are at
// block[8 j2 + t], so that word pairs (j2 even, j2 + 1) form the complex
// values of a half-length transform in the same layout.
#pragma once

#include <cstdint>

namespace fast_kernels {

constexpr int kMaxPasses = 24;

// An in-place transform of `length` complex values in the group layout,
// every lane its own transform: forward by decimation in frequency into
// digit-reversed order, back by decimation in time into natural order.
struct fft_steps {
  int64_t length = 0;
  int passes = 0;
  int radix[kMaxPasses] = {};
  int64_t twiddle_at[kMaxPasses] = {};  // pass i's twiddles: twiddles + twiddle_at[i], (j, t) at 2 (j (r - 1) + t - 1)
  const double* twiddles = nullptr;     // exp(-2 pi i j t / M) for the pass's span M = r q, j < q, 0 < t < r
  const int64_t* position = nullptr;    // where the forward transform leaves frequency k
};

// Everything a kernel needs for one shape; the arrays belong to whoever made it.
struct shape_view {
  int64_t n = 0, n1 = 0, n2 = 0;
  int64_t m = 0;                          // n1 / 8: groups in a row
  int64_t h = 0;                          // n2 / 2: complex values down a column
  fft_steps row_fft;                      // length m
  fft_steps column_fft;                   // length h
  const double* lane_twiddles = nullptr;  // per row position: exp(-2 pi i a c / n1), lanes a, 16 doubles
  const double* real_twiddles = nullptr;  // exp(-2 pi i k / n2), k = 0 .. h / 2, complex
  const double* row_twiddles = nullptr;   // at short lengths: row k2's exp(-2 pi i j1 k2 / n) at 2 n1 k2, row layout
  const double* exp_lo = nullptr;         // exp(-2 pi i x / n) = exp_hi[x >> exp_shift] exp_lo[x & mask]
  const double* exp_hi = nullptr;
  int exp_shift = 0;
  const void* fftw = nullptr;             // the twin's plans
};

// The column pass's per-word constants, as two small tables each: word
// (j1, j2) has weight index r = (col_r[j1] + row_r[j2]) mod n, and is a long
// word (one bit more) when r < q. Its unweight u = col_u[j1] row_u[j2] is
// 2^(-(col_r + row_r) / n) / n to a few units in the last place, so the sum
// wraps (is n or more) exactly when u <= wrap_at, and, with u doubled there,
// the word is long exactly when u > long_above: each threshold lies half an
// index step (a factor 2^(0.5 / n), far more than the products' error) from
// the unweights on either side of it.
struct word_tables {
  const double *col_r, *row_r, *col_w, *row_w, *col_u, *row_u;
  double n, q;
  double wrap_at, long_above;
  double round_short, round_long;  // 1.5 * 2^(52 + bits) for a word's bits
  double inv_short, inv_long;      // 2^-bits
  int64_t n2;
};

// What a step subtracts: value at word (column, row); column -1 when nothing.
struct placed_subtract {
  int64_t column = -1;
  int64_t row = 0;
  double value = 0;
  double times = 1;  // each rounded word is first multiplied by this
};

enum class row_mode { square, multiply, forward };

struct table {
  const char* name;
  // Row k2 of the row pass: in times its twiddles, transformed, squared (or
  // multiplied by factor's row, itself left by the forward mode), transformed
  // back and untwiddled into out (in may be out). Scratch: 2 n1 doubles.
  // The forward mode leaves the transformed row in an order of the table's own.
  // next_in, next_out (either may be null): the row the caller takes next,
  // fetched into the cache while this one is worked on; only a hint.
  void (*row)(const shape_view& s, int64_t k2, row_mode mode, const double* in, double* out, const double* factor,
              double* scratch, const double* next_in, double* next_out);
  // The inverse real transforms of eight columns: rows 0 .. h of the state
  // starting at `state` (row_stride doubles apart) into block, scaled by n2.
  // Scratch: 16 (h + 1) doubles. Leaves the state alone.
  void (*column_inverse)(const shape_view& s, const double* state, int64_t row_stride, double* block,
                         double* scratch);
  // The forward real transforms of the block's eight columns into rows 0 .. h
  // of the state; may overwrite the block. Scratch: 16 (h + 1) doubles.
  void (*column_forward)(const shape_view& s, double* block, double* state, int64_t row_stride, double* scratch);
  // Carries the block of columns j1_0 .. j1_0 + 7: rounds each unweighted
  // word, takes off the subtraction, carries along each row from carries[]
  // (0 when fresh) leaving the carry out there, and writes the digits back,
  // weighted when weigh. Gives the largest rounding distance and product.
  void (*carry)(const word_tables& k, int64_t j1_0, double* block, double* carries, bool fresh, bool weigh,
                const placed_subtract& sub, double* err_out, double* big_out);
  // Multiplies the block's digits at columns j1_0 .. j1_0 + 7 by their weights.
  void (*weigh)(const word_tables& k, int64_t j1_0, double* block);
  // Adds carries_in[j2] to the block's word (j1_0, j2) (unweighted digits)
  // and carries it along the row until it is at most 1; *overflow: for some
  // row it was not by the block's last word.
  void (*fix_up)(const word_tables& k, int64_t j1_0, double* block, const double* carries_in, bool* overflow);
};

// The tables this build has (AVX-512, AVX2, portable); each is usable only
// where supported() says so.
extern const table avx512;
extern const table avx2;
extern const table portable;

}  // namespace fast_kernels
