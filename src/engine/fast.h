// The fast engine: the Lucas-Lehmer test with an irrational-base discrete
// weighted transform of the residue, squared by FFTW's real transforms.
//
// At length N, 2^p - 1 is held in N words; word j carries b_j = B_{j+1} - B_j
// bits, B_j = ceil(p j / N), so b_j is floor(p/N) or ceil(p/N). Digits are
// balanced (about [-2^(b-1), 2^(b-1)]) and enter the transform multiplied by
// a_j = 2^(B_j - p j / N); the cyclic convolution of the weighted digits is
// then the square modulo 2^p - 1, the carry out of the top word wrapping to
// word 0 since 2^p = 1.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/engine.h"

// A rounding distance at or above this redoes the iteration at a larger length.
inline constexpr double kFastRetryDistance = 0.4;

// ---- The length table -------------------------------------------------------

// Number of lengths in the table (N = 2^a * {1,3,5,7}, ascending).
int fast_length_count();
// The index-th table length, 0 <= index < fast_length_count().
int64_t fast_length(int index);
// Largest average bits per word allowed at table length n (0 for a length not in the table).
double fast_max_bits(int64_t n);
// Largest exponent the table gives to length n: floor(n * fast_max_bits(n)).
int64_t fast_max_exponent(int64_t n);
// The smallest table length for p (p >= 3), or 0 when p is beyond the table.
int64_t fast_length_for(int32_t p);
// The next table length above n that can hold p (at most p words), or 0.
int64_t fast_next_length(int32_t p, int64_t n);

// ---- Word layout and exact conversions ---------------------------------------

// Per-word constants of length n for exponent p (1 <= n <= p).
struct fast_layout {
  int32_t p = 0;
  int64_t n = 0;
  int min_bits = 0, max_bits = 0;
  std::vector<int64_t> offset;  // B_j, n + 1 entries (B_n = p)
  std::vector<double> base;     // 2^b_j
  std::vector<double> round_at; // 1.5 * 2^(52 + b_j): adding and subtracting it rounds to a multiple of 2^b_j
  std::vector<double> inv_base; // 2^-b_j
  std::vector<double> weight;   // a_j
  std::vector<double> unweight; // 1 / (n a_j): undoes the weight and the transform's scale
};

// The layout of 2^p - 1 at length n; requires 1 <= n <= p.
fast_layout make_fast_layout(int32_t p, int64_t n);

// Writes v (0 <= v < 2^p) as n balanced digits of layout L into digits[0..n).
void fast_split(const mpz_t v, const fast_layout& L, double* digits);

// The residue in [0, 2^p - 1) of digits[0..n) (any integers below 2^62 in size) of layout L.
void fast_join(const double* digits, const fast_layout& L, mpz_t out);

// ---- The carry stage ---------------------------------------------------------

// Rounds the product z[0..n) (inverse transform output), unweights it,
// subtracts 2, carries, and writes the weighted next input to x[0..n).
// Returns the largest rounding distance (1 when a value is too large to round
// safely); z is left holding scratch. Sequential carry, any n.
double fast_carry_scalar(const fast_layout& L, double* z, double* x);

// The same, without a sequential carry chain: two carry sweeps over blocks of
// four words leave each digit within 2^(b-1) plus a small carry of zero; a
// sequential sweep follows only when that carry could exceed a quarter word
// (words of a few bits, which the table never chooses). Requires n % 4 == 0
// and n >= 8. Digits may differ from fast_carry_scalar's, the value they
// stand for may not.
double fast_carry_vector(const fast_layout& L, double* z, double* x);

// fast_carry_vector in parts, for several threads: a part does the blocks of
// four words [from, to) (reading z, writing only those words of x) and gives
// its largest rounding distance and product size; finish, once all parts are
// done, applies the checks to the maxima over all parts. The parts together
// write exactly what fast_carry_vector writes.
void fast_carry_vector_part(const fast_layout& L, const double* z, double* x, int64_t from, int64_t to,
                            double* err, double* big);
double fast_carry_vector_finish(const fast_layout& L, double* z, double* x, double err, double big);

// ---- One residue at one length ------------------------------------------------

enum class fast_carry_kind { automatic, scalar, vector };

struct fast_carry_helper;

// The residue of a Lucas-Lehmer run at one length: arrays, layout and plans.
class fast_squarer {
 public:
  fast_squarer(int32_t p, int64_t n, int threads = 1, fast_carry_kind kind = fast_carry_kind::automatic);
  ~fast_squarer();
  fast_squarer(const fast_squarer&) = delete;
  fast_squarer& operator=(const fast_squarer&) = delete;

  int64_t length() const { return layout_.n; }
  const fast_layout& layout() const { return layout_; }
  // Sets the residue to v mod 2^p - 1 (v >= 0).
  void load(const mpz_t v);
  // The residue in [0, 2^p - 1).
  void store(mpz_t out) const;
  // One step s -> s^2 - 2 mod 2^p - 1. Returns the largest rounding distance;
  // when it is >= limit the residue is left as it was.
  double step(double limit = kFastRetryDistance);
  // The squaring alone, for timing: transform pair and pointwise square, no carry.
  void transform_only();

 private:
  fast_layout layout_;
  int threads_;
  bool vector_;
  double* x_ = nullptr;     // weighted input, n doubles
  double* next_ = nullptr;  // the step's output, n doubles; swapped with x_ when the step is good
  double* z_ = nullptr;  // spectrum / product, 2 (n/2 + 1) doubles
  void* r2c_ = nullptr;
  void* c2r_ = nullptr;
  fast_carry_helper* helper_ = nullptr;  // second thread for the carry stage, with threads >= 2
};

// Times FFTW's bare forward plus inverse real transform of length n (no
// squaring, no carry), reps times, with the engine's plans; returns seconds
// per pair, of the calling thread's CPU time (meaningful for one thread) or
// of wall-clock time.
double fast_bare_pair_seconds(int64_t n, int threads, int reps, bool cpu_time);

// FFTW planning: measured (default) or estimated plans for lengths from 32K on.
void fast_set_measured_plans(bool measure);

// ---- The engine ----------------------------------------------------------------

// Whether the fast engine tests 2^p - 1: p >= 3 within the length table.
bool fast_applicable(int32_t p);

// Lucas-Lehmer test of 2^p - 1 (p prime, p >= 3) by weighted transforms.
ll_outcome fast_lucas_lehmer(int32_t p, const engine_options& opt);

// The same, starting at length start (0: the table's length for p); a
// length is raised whenever an iteration's rounding distance reaches the limit.
ll_outcome fast_lucas_lehmer_from(int32_t p, int64_t start, const engine_options& opt);
