#include "arith/fast/transforms.h"

#include <fftw3.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include "base/aligned_buffer.h"
#include "base/check.h"
#include "arith/engine.h"
#include "arith/fast/plans.h"
#include "base/tuning.h"

using fast_kernels::row_mode;
using fast_kernels::shape_view;

namespace {

const long double kTwoPi = 6.283185307179586476925286766559005768L;

// exp(-2 pi i x / n) into at[0], at[1], rounded once from long double.
void put_root(double* at, int64_t x, int64_t n) {
  const long double a = kTwoPi * static_cast<long double>(x % n) / static_cast<long double>(n);
  at[0] = static_cast<double>(cosl(a));
  at[1] = static_cast<double>(-sinl(a));
}

struct fftw_twin_plans {
  fftw_plan fwd = nullptr, bwd = nullptr;  // one row, n1 complex, in place
  fftw_plan c2r = nullptr, r2c = nullptr;  // eight columns: (h + 1) x 8 complex <-> n2 x 8 reals, lanes interleaved
};

// One shape's tables, owned.
struct shape_tables {
  shape_view view;
  std::vector<int64_t> row_position, column_position;
  aligned_buffer<double> row_twiddles, column_twiddles, whole_rows, lane_twiddles, real_twiddles, exp_lo, exp_hi;
  fftw_twin_plans plans;
  bool planned = false;
};

// The steps of a transform of length L into f, its twiddles into tw and
// where it leaves each frequency into position.
void make_steps(int64_t L, fast_kernels::fft_steps& f, aligned_buffer<double>& tw, std::vector<int64_t>& position) {
  const std::vector<int> radices = fft_radices(L);
  MERSENNE_REQUIRE(static_cast<int>(radices.size()) <= fast_kernels::kMaxPasses);
  f.length = L;
  f.passes = static_cast<int>(radices.size());
  int64_t count = 0, span = L;
  for (int i = 0; i < f.passes; ++i) {
    f.radix[i] = radices[static_cast<size_t>(i)];
    f.twiddle_at[i] = count;
    span /= f.radix[i];
    count += 2 * span * (f.radix[i] - 1);
  }
  tw = aligned_buffer<double>(static_cast<size_t>(count > 0 ? count : 1));
  span = L;
  for (int i = 0; i < f.passes; ++i) {
    const int r = f.radix[i];
    const int64_t q = span / r;
    for (int64_t j = 0; j < q; ++j)
      for (int t = 1; t < r; ++t) put_root(&tw[static_cast<size_t>(f.twiddle_at[i] + 2 * (j * (r - 1) + t - 1))], j * t, span);
    span = q;
  }
  // Frequency k = t_1 + r_1 (t_2 + r_2 (...)) sits at sum t_i q_i.
  position.assign(static_cast<size_t>(L), 0);
  for (int64_t k = 0; k < L; ++k) {
    int64_t rest = k, at = 0, s = L;
    for (int i = 0; i < f.passes; ++i) {
      s /= f.radix[i];
      at += (rest % f.radix[i]) * s;
      rest /= f.radix[i];
    }
    position[static_cast<size_t>(k)] = at;
  }
  f.twiddles = tw.data();
  f.position = position.data();
}

// With fftw_planner_lock() held.
void make_plans(shape_tables& t) {
  const shape_view& s = t.view;
  fftw_begin_planning(1, 8 * static_cast<uint64_t>(2 * s.n1 + 16 * (s.h + 1) + 8 * s.n2));
  const unsigned flags = fftw_plan_flags(s.n);
  aligned_buffer<double> row(2 * static_cast<size_t>(s.n1)), col(16 * static_cast<size_t>(s.h + 1)),
      block(8 * static_cast<size_t>(s.n2));
  fftw_complex* z = reinterpret_cast<fftw_complex*>(row.data());
  fftw_complex* c = reinterpret_cast<fftw_complex*>(col.data());
  const int n1 = static_cast<int>(s.n1), n2 = static_cast<int>(s.n2);
  fftw_twin_plans& p = t.plans;
  p.fwd = fftw_plan_dft_1d(n1, z, z, FFTW_FORWARD, flags);
  p.bwd = fftw_plan_dft_1d(n1, z, z, FFTW_BACKWARD, flags);
  p.c2r = fftw_plan_many_dft_c2r(1, &n2, 8, c, nullptr, 8, 1, block.data(), nullptr, 8, 1, flags);
  p.r2c = fftw_plan_many_dft_r2c(1, &n2, 8, block.data(), nullptr, 8, 1, c, nullptr, 8, 1, flags);
  fftw_end_planning(flags);
  if (p.fwd == nullptr || p.bwd == nullptr || p.c2r == nullptr || p.r2c == nullptr) {
    for (fftw_plan made : {p.fwd, p.bwd, p.c2r, p.r2c})
      if (made != nullptr) fftw_destroy_plan(made);
    p = fftw_twin_plans{};
    throw engine_failure("FFTW could not plan the transforms of length " + std::to_string(s.n));
  }
  t.view.fftw = &t.plans;
  t.planned = true;
}

// The twin's functions.
inline void twin_root(const shape_view& s, int64_t x, double* w) {
  const double* hi = s.exp_hi + 2 * (x >> s.exp_shift);
  const double* lo = s.exp_lo + 2 * (x & ((int64_t{1} << s.exp_shift) - 1));
  w[0] = hi[0] * lo[0] - hi[1] * lo[1];
  w[1] = hi[0] * lo[1] + hi[1] * lo[0];
}

void twin_row(const shape_view& s, int64_t k2, row_mode mode, const double* in, double* out, const double* factor,
              double* scratch, const double*, double*) {
  const auto* pl = static_cast<const fftw_twin_plans*>(s.fftw);
  double* z = scratch;
  for (int64_t j = 0; j < s.n1; ++j) {
    double w[2];
    twin_root(s, j * k2 % s.n, w);
    const double re = in[16 * (j / 8) + j % 8], im = in[16 * (j / 8) + 8 + j % 8];
    z[2 * j] = re * w[0] - im * w[1];
    z[2 * j + 1] = re * w[1] + im * w[0];
  }
  fftw_execute_dft(pl->fwd, reinterpret_cast<fftw_complex*>(z), reinterpret_cast<fftw_complex*>(z));
  if (mode == row_mode::forward) {
    for (int64_t j = 0; j < s.n1; ++j) {
      out[16 * (j / 8) + j % 8] = z[2 * j];
      out[16 * (j / 8) + 8 + j % 8] = z[2 * j + 1];
    }
    return;
  }
  for (int64_t j = 0; j < s.n1; ++j) {
    const double re = z[2 * j], im = z[2 * j + 1];
    if (mode == row_mode::square) {
      z[2 * j] = re * re - im * im;
      z[2 * j + 1] = 2 * re * im;
    } else {
      const double fr = factor[16 * (j / 8) + j % 8], fi = factor[16 * (j / 8) + 8 + j % 8];
      z[2 * j] = re * fr - im * fi;
      z[2 * j + 1] = re * fi + im * fr;
    }
  }
  fftw_execute_dft(pl->bwd, reinterpret_cast<fftw_complex*>(z), reinterpret_cast<fftw_complex*>(z));
  for (int64_t j = 0; j < s.n1; ++j) {
    double w[2];
    twin_root(s, j * k2 % s.n, w);
    const double re = z[2 * j], im = z[2 * j + 1];
    out[16 * (j / 8) + j % 8] = re * w[0] + im * w[1];
    out[16 * (j / 8) + 8 + j % 8] = im * w[0] - re * w[1];
  }
}

void twin_column_inverse(const shape_view& s, const double* state, int64_t row_stride, double* block,
                         double* scratch) {
  const auto* pl = static_cast<const fftw_twin_plans*>(s.fftw);
  for (int64_t k = 0; k <= s.h; ++k)
    for (int t = 0; t < 8; ++t) {
      scratch[2 * (8 * k + t)] = state[k * row_stride + t];
      scratch[2 * (8 * k + t) + 1] = state[k * row_stride + 8 + t];
    }
  fftw_execute_dft_c2r(pl->c2r, reinterpret_cast<fftw_complex*>(scratch), block);
}

void twin_column_forward(const shape_view& s, double* block, double* state, int64_t row_stride, double* scratch) {
  const auto* pl = static_cast<const fftw_twin_plans*>(s.fftw);
  fftw_execute_dft_r2c(pl->r2c, block, reinterpret_cast<fftw_complex*>(scratch));
  for (int64_t k = 0; k <= s.h; ++k)
    for (int t = 0; t < 8; ++t) {
      state[k * row_stride + t] = scratch[2 * (8 * k + t)];
      state[k * row_stride + 8 + t] = scratch[2 * (8 * k + t) + 1];
    }
}

}  // namespace

std::vector<int> fft_radices(int64_t L) {
  std::vector<int> r;
  // The odd part first (9 as 3 3, 15 as 5 3), the powers of two after it.
  for (int f : {13, 11, 7, 5, 3})
    while (L % f == 0) {
      r.push_back(f);
      L /= f;
    }
  int a = 0;
  while (L > 1) {
    MERSENNE_REQUIRE(L % 2 == 0);
    L /= 2;
    ++a;
  }
  if (a == 1) r.push_back(2);
  if (a > 1 && a % 3 != 0) r.push_back(4);
  if (a > 1 && a % 3 == 1) r.push_back(4);
  for (int i = 0; i < a / 3 - (a % 3 == 1 ? 1 : 0); ++i) r.push_back(8);
  return r;
}

bool kernels_supported(const fast_kernels::table& t) {
  if (&t == &fast_kernels::avx512) return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma");
  if (&t == &fast_kernels::avx2) return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return true;
}

const fast_kernels::table& fftw_kernels() {
  static const fast_kernels::table twin = [] {
    const fast_kernels::table& best = *usable_kernels().front();
    return fast_kernels::table{"fftw", twin_row, twin_column_inverse, twin_column_forward, best.carry, best.weigh,
                              best.fix_up};
  }();
  return twin;
}

std::vector<const fast_kernels::table*> usable_kernels() {
  std::vector<const fast_kernels::table*> v;
  for (const fast_kernels::table* t : {&fast_kernels::avx512, &fast_kernels::avx2, &fast_kernels::portable})
    if (kernels_supported(*t)) v.push_back(t);
  return v;
}

const fast_kernels::table* kernels_named(const std::string& name) {
  if (name == "fftw") return &fftw_kernels();
  for (const fast_kernels::table* t : usable_kernels())
    if (name == t->name) return t;
  return nullptr;
}

const fast_kernels::table* kernels_asked() {
  const char* asked = std::getenv("MERSENNE_KERNELS");
  if (asked == nullptr || *asked == '\0') return nullptr;
  const fast_kernels::table* t = kernels_named(asked);
  if (t == nullptr)
    throw engine_failure(std::string("MERSENNE_KERNELS=") + asked +
                         " names no kernels this processor runs (avx512, avx2, portable, fftw)");
  return t;
}

const shape_view& kernel_shape(int64_t n1, int64_t n2, bool with_fftw) {
  MERSENNE_REQUIRE(n1 >= 64 && (n1 & (n1 - 1)) == 0 && n2 >= 16 && n2 % 8 == 0);
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  // Never destroyed: squarers on other threads may still use them at exit.
  static auto& cache = *new std::map<std::pair<int64_t, int64_t>, std::unique_ptr<shape_tables>>;
  std::unique_ptr<shape_tables>& slot = cache[{n1, n2}];
  if (!slot) {
    auto t = std::make_unique<shape_tables>();
    shape_view& v = t->view;
    v.n = n1 * n2;
    v.n1 = n1;
    v.n2 = n2;
    v.m = n1 / 8;
    v.h = n2 / 2;
    make_steps(v.m, v.row_fft, t->row_twiddles, t->row_position);
    make_steps(v.h, v.column_fft, t->column_twiddles, t->column_position);
    t->lane_twiddles = aligned_buffer<double>(16 * static_cast<size_t>(v.m));
    for (int64_t c = 0; c < v.m; ++c) {
      double* at = &t->lane_twiddles[16 * static_cast<size_t>(t->row_position[static_cast<size_t>(c)])];
      for (int a = 0; a < 8; ++a) {
        double w[2];
        put_root(w, a * c, n1);
        at[a] = w[0];
        at[8 + a] = w[1];
      }
    }
    t->real_twiddles = aligned_buffer<double>(2 * static_cast<size_t>(v.h / 2 + 1));
    for (int64_t k = 0; k <= v.h / 2; ++k) put_root(&t->real_twiddles[2 * static_cast<size_t>(k)], k, n2);
    int shift = 0;
    while ((int64_t{1} << (2 * shift)) < v.n) ++shift;
    v.exp_shift = shift;
    const int64_t lo = int64_t{1} << shift, hi = (v.n - 1) / lo + 1;
    t->exp_lo = aligned_buffer<double>(2 * static_cast<size_t>(lo));
    t->exp_hi = aligned_buffer<double>(2 * static_cast<size_t>(hi));
    for (int64_t x = 0; x < lo; ++x) put_root(&t->exp_lo[2 * static_cast<size_t>(x)], x, v.n);
    for (int64_t y = 0; y < hi; ++y) put_root(&t->exp_hi[2 * static_cast<size_t>(y)], y * lo, v.n);
    if (v.n <= tuning::kRowTwiddleTableTo) {
      t->whole_rows = aligned_buffer<double>(2 * static_cast<size_t>(v.n1 * (v.h + 1)));
      for (int64_t k2 = 0; k2 <= v.h; ++k2)
        for (int64_t j = 0; j < n1; ++j) {
          double w[2];
          put_root(w, j * k2, v.n);
          double* at = &t->whole_rows[static_cast<size_t>(2 * n1 * k2 + 16 * (j / 8) + j % 8)];
          at[0] = w[0];
          at[8] = w[1];
        }
      v.row_twiddles = t->whole_rows.data();
    }
    v.lane_twiddles = t->lane_twiddles.data();
    v.real_twiddles = t->real_twiddles.data();
    v.exp_lo = t->exp_lo.data();
    v.exp_hi = t->exp_hi.data();
    slot = std::move(t);
  }
  if (with_fftw && !slot->planned) make_plans(*slot);
  return slot->view;
}
