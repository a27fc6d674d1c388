#include "arith/fast/squarer.h"

#include <fftw3.h>

#include <vector>

#include "base/check.h"
#include "arith/fast/carry.h"
#include "arith/fast/plans.h"
#include "arith/residue.h"

namespace {

typedef double v4 __attribute__((vector_size(32), aligned(8)));
typedef long long v4i __attribute__((vector_size(32), aligned(8)));

// z[k] = z[k]^2 for the count complex values of a real signal's spectrum,
// two at a time: re' = (re + im)(re - im), im' = 2 re im, the same operations
// in every lane as in the scalar tail.
__attribute__((target_clones("avx2", "default")))
void square_spectrum(double* z, int64_t count) {
  int64_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const v4 a = *reinterpret_cast<const v4*>(z + 2 * k);
    const v4 swapped = __builtin_shuffle(a, v4i{1, 0, 3, 2});  // im, re, im, re
    const v4 real = (a + swapped) * (a - swapped);               // lanes 0, 2
    const v4 imag = (a * 2.0) * swapped;                         // lanes 1, 3: 2 im re
    *reinterpret_cast<v4*>(z + 2 * k) = __builtin_shuffle(real, imag, v4i{0, 5, 2, 7});
  }
  for (; k < count; ++k) {
    const double re = z[2 * k], im = z[2 * k + 1];
    z[2 * k] = (re + im) * (re - im);
    z[2 * k + 1] = (2.0 * im) * re;
  }
}

// z[k] = z[k] y[k] for count complex values.
void multiply_spectra(double* z, const double* y, int64_t count) {
  for (int64_t k = 0; k < count; ++k) {
    const double a = z[2 * k], b = z[2 * k + 1], c = y[2 * k], d = y[2 * k + 1];
    z[2 * k] = a * c - b * d;
    z[2 * k + 1] = a * d + b * c;
  }
}

}  // namespace

fast_squarer::fast_squarer(int32_t p, int64_t n) : layout_(make_fast_layout(p, n)), vector_(n % 4 == 0 && n >= 8) {
  const size_t words = static_cast<size_t>(n), spectrum = 2 * static_cast<size_t>(n / 2 + 1);
  x_ = aligned_buffer<double>(words);
  next_ = aligned_buffer<double>(words);
  z_ = aligned_buffer<double>(spectrum);
  const plan_pair pp = plans_for(n, 1);
  r2c_ = pp.r2c;
  c2r_ = pp.c2r;
}

void fast_squarer::weigh_in(mpz_srcptr v, double* out) const {
  MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
  mpz_value r, tmp;
  mpz_set(r, v);
  mersenne_reduce(r, layout_.p, tmp);
  fast_split(r, layout_, out);
  for (int64_t j = 0; j < layout_.n; ++j) out[j] *= layout_.weight[j];
}

void fast_squarer::load(mpz_srcptr v) { weigh_in(v, x_.data()); }

void fast_squarer::store(mpz_ptr out) const {
  const int64_t n = layout_.n;
  std::vector<double> d(static_cast<size_t>(n));
  for (int64_t j = 0; j < n; ++j) {
    const double v = x_[j] * layout_.unweight[j] * static_cast<double>(n);
    d[static_cast<size_t>(j)] = (v + 0x1.8p52) - 0x1.8p52;
  }
  fast_join(d.data(), layout_, out);
}

void fast_squarer::transform_only() {
  fftw_complex* z = reinterpret_cast<fftw_complex*>(z_.data());
  fftw_execute_dft_r2c(static_cast<fftw_plan>(r2c_), x_.data(), z);
  square_spectrum(z_.data(), layout_.n / 2 + 1);
  fftw_execute_dft_c2r(static_cast<fftw_plan>(c2r_), z, z_.data());
}

double fast_squarer::carry(fast_subtract sub, double limit) {
  double* next = next_.data();
  const double err = vector_ ? fast_carry_vector(layout_, z_.data(), next, sub)
                             : fast_carry_scalar(layout_, z_.data(), next, sub);
  if (!(err < limit)) return err;
  x_.swap(next_);  // the step is good: its output is the next input
  return err;
}

double fast_squarer::square(uint32_t c, int32_t j, double limit) {
  transform_only();
  return carry(fast_subtract_at(layout_, c, j), limit);
}

double fast_squarer::square_times(uint32_t m, double limit) {
  MERSENNE_REQUIRE(m >= 1 && m <= 3);
  transform_only();
  fast_subtract sub;
  sub.times = m;
  return carry(sub, limit);
}

void fast_squarer::set_difference(const stepper& a, const stepper& b, int32_t p) {
  const auto* x = dynamic_cast<const fast_squarer*>(&a);
  const auto* y = dynamic_cast<const fast_squarer*>(&b);
  if (x == nullptr || y == nullptr || x->layout_.n != layout_.n || y->layout_.n != layout_.n ||
      x->layout_.p != layout_.p || y->layout_.p != layout_.p)
    return stepper::set_difference(a, b, p);
  for (int64_t j = 0; j < layout_.n; ++j) x_[j] = x->x_[j] - y->x_[j];
}

double fast_squarer::multiply_by(const stepper& other, double limit) {
  const auto* o = dynamic_cast<const fast_squarer*>(&other);
  if (o == nullptr || o->layout_.n != layout_.n || o->layout_.p != layout_.p) return stepper::multiply_by(other, limit);
  const int64_t n = layout_.n;
  if (y_.size() == 0) y_ = aligned_buffer<double>(z_.size());
  const fftw_plan r2c = static_cast<fftw_plan>(r2c_);
  // Out of place, FFTW's real transform leaves its input as it was: other may be this one.
  fftw_execute_dft_r2c(r2c, const_cast<double*>(o->x_.data()), reinterpret_cast<fftw_complex*>(y_.data()));
  fftw_execute_dft_r2c(r2c, x_.data(), reinterpret_cast<fftw_complex*>(z_.data()));
  multiply_spectra(z_.data(), y_.data(), n / 2 + 1);
  fftw_execute_dft_c2r(static_cast<fftw_plan>(c2r_), reinterpret_cast<fftw_complex*>(z_.data()), z_.data());
  return carry(fast_subtract{}, limit);
}

double fast_squarer::multiply(mpz_srcptr v, double limit) {
  const int64_t n = layout_.n;
  if (y_.size() == 0) y_ = aligned_buffer<double>(z_.size());
  // v's weighted digits go through next_, which the carry overwrites anyway.
  weigh_in(v, next_.data());
  const fftw_plan r2c = static_cast<fftw_plan>(r2c_);
  fftw_execute_dft_r2c(r2c, next_.data(), reinterpret_cast<fftw_complex*>(y_.data()));
  fftw_execute_dft_r2c(r2c, x_.data(), reinterpret_cast<fftw_complex*>(z_.data()));
  multiply_spectra(z_.data(), y_.data(), n / 2 + 1);
  fftw_execute_dft_c2r(static_cast<fftw_plan>(c2r_), reinterpret_cast<fftw_complex*>(z_.data()), z_.data());
  return carry(fast_subtract{}, limit);
}
