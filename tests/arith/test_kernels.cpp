// Our transform kernels held to their slow twin over FFTW, on random data
// with guard lines around every array: each row mode and both column
// transforms at every shape the length table splits into, for every kernel
// table this processor runs.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "base/aligned_buffer.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "support/test_support.h"

namespace {

using fast_kernels::row_mode;

aligned_buffer<double> random_doubles(size_t count, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  aligned_buffer<double> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = u(rng);
  return v;
}

// The largest difference between a and b over count doubles, relative to b's largest value.
double relative_gap(const double* a, const double* b, size_t count) {
  double gap = 0, top = 0;
  for (size_t i = 0; i < count; ++i) {
    gap = std::fmax(gap, std::fabs(a[i] - b[i]));
    top = std::fmax(top, std::fabs(b[i]));
  }
  return gap / top;
}

TEST(Kernels, AgreeWithFftwAtEveryShape) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  const fast_kernels::table& twin = fftw_kernels();
  constexpr double kTolerance = 1e-13;
  for (int i = 0; i < fast_length_count(); ++i) {
    const two_pass_shape shape = two_pass_shape_for(fast_length(i));
    if (shape.n == 0) continue;
    const fast_kernels::shape_view& view = kernel_shape(shape.n1, shape.n2, true);
    const size_t row = 2 * static_cast<size_t>(shape.n1), rows = static_cast<size_t>(view.h + 1);
    const size_t scratch = std::max(row, 16 * rows), block = 8 * static_cast<size_t>(shape.n2);
    for (const fast_kernels::table* k : usable_kernels()) {
      SCOPED_TRACE(std::string(k->name) + " at " + std::to_string(shape.n1) + " x " + std::to_string(shape.n2));
      const int64_t k2 = static_cast<int64_t>(rng() % rows);
      aligned_buffer<double> in = random_doubles(row, rng), other = random_doubles(row, rng), s1(scratch),
                             s2(scratch), out1(row), out2(row), f1(row), f2(row);
      k->row(view, k2, row_mode::square, in.data(), out1.data(), nullptr, s1.data(), nullptr, nullptr);
      twin.row(view, k2, row_mode::square, in.data(), out2.data(), nullptr, s2.data(), nullptr, nullptr);
      EXPECT_LT(relative_gap(out1.data(), out2.data(), row), kTolerance) << "square, row " << k2;
      k->row(view, k2, row_mode::forward, other.data(), f1.data(), nullptr, s1.data(), nullptr, nullptr);
      twin.row(view, k2, row_mode::forward, other.data(), f2.data(), nullptr, s2.data(), nullptr, nullptr);
      k->row(view, k2, row_mode::multiply, in.data(), out1.data(), f1.data(), s1.data(), nullptr, nullptr);
      twin.row(view, k2, row_mode::multiply, in.data(), out2.data(), f2.data(), s2.data(), nullptr, nullptr);
      EXPECT_LT(relative_gap(out1.data(), out2.data(), row), kTolerance) << "multiply, row " << k2;
      // One block's rows, 16 doubles apart.
      aligned_buffer<double> state = random_doubles(16 * rows, rng), reals = random_doubles(block, rng), b1(block),
                             b2(block), st1(16 * rows), st2(16 * rows);
      k->column_inverse(view, state.data(), 16, b1.data(), s1.data());
      twin.column_inverse(view, state.data(), 16, b2.data(), s2.data());
      EXPECT_LT(relative_gap(b1.data(), b2.data(), block), kTolerance) << "column inverse";
      for (double* b : {b1.data(), b2.data()}) std::copy(reals.data(), reals.data() + block, b);
      k->column_forward(view, b1.data(), st1.data(), 16, s1.data());
      twin.column_forward(view, b2.data(), st2.data(), 16, s2.data());
      EXPECT_LT(relative_gap(st1.data(), st2.data(), 16 * rows), kTolerance) << "column forward";
      for (const aligned_buffer<double>* b : {&in, &other, &s1, &s2, &out1, &out2, &f1, &f2, &state, &b1, &b2, &st1, &st2})
        EXPECT_TRUE(b->intact());
    }
  }
}

}  // namespace
