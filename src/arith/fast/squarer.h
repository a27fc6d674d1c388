// One residue of the fast engine at one length: its arrays, layout and
// plans, advanced by a weighted transform, the pointwise product and the
// carry stage.
#pragma once

#include <cstdint>

#include "base/aligned_buffer.h"
#include "arith/engine.h"
#include "arith/fast/layout.h"

class fast_squarer final : public stepper {
 public:
  // The residue 0 of 2^p - 1 at length n (1 <= n <= p), on one thread.
  // Throws engine_failure or std::bad_alloc when its arrays or plans cannot be had.
  fast_squarer(int32_t p, int64_t n);

  void load(mpz_srcptr v) override;
  void store(mpz_ptr out) const override;
  double square(uint32_t c, int32_t j, double limit) override;
  double multiply(mpz_srcptr v, double limit) override;
  // With another fast_squarer of the same p and length: its weighted digits
  // are transformed here, never stored.
  double multiply_by(const stepper& other, double limit) override;
  double square_times(uint32_t m, double limit) override;
  // With fast_squarers of the same p and length: digit by digit.
  void set_difference(const stepper& a, const stepper& b, int32_t p) override;
  int64_t length() const override { return layout_.n; }

  const fast_layout& layout() const { return layout_; }
  // The squaring alone, for timing: transform pair and pointwise square, no carry.
  void transform_only();

 private:
  // The weighted digits of v mod 2^p - 1 (v >= 0) into out[0..n).
  void weigh_in(mpz_srcptr v, double* out) const;
  // The carry of z_ into next_ less sub; swaps next_ in when the distance is below limit.
  double carry(fast_subtract sub, double limit);

  fast_layout layout_;
  bool vector_;  // the vector carry (n a multiple of 4, at least 8)
  aligned_buffer<double> x_;     // weighted input, n doubles
  aligned_buffer<double> next_;  // the step's output, n doubles; swapped with x_ when the step is good
  aligned_buffer<double> z_;     // spectrum / product, 2 (n/2 + 1) doubles
  aligned_buffer<double> y_;     // the other factor's spectrum, made on the first multiply
  void* r2c_ = nullptr;
  void* c2r_ = nullptr;
};
