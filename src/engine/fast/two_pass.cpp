#include "engine/fast/two_pass.h"

#include <fftw3.h>

#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "base/check.h"
#include "engine/fast/plans.h"
#include "engine/fast/team.h"
#include "engine/residue.h"
#include "engine/tuning.h"

// FFTW's plans for one shape, made once per process and shared by every
// squarer of that shape (new-array execution on 64-byte aligned arrays).
struct two_pass_plans {
  fftw_plan c2r;  // width columns: n2/2 + 1 complex, stride n1 -> n2 reals each, contiguous
  fftw_plan r2c;  // and back
  fftw_plan fwd;  // one row in place: n1 complex, forward
  fftw_plan bwd;  // the same, backward
};

// The per-word constants of the column pass, as two small tables each.
struct two_pass_word_tables {
  const double *col_r, *row_r, *col_w, *row_w, *col_u, *row_u;
  double n, q;                          // length; long words have weight index below q
  double round_short, round_long;       // 1.5 * 2^(52 + bits) for a word's bits
  double inv_short, inv_long;           // 2^-bits
  int64_t n2;
};

namespace {

constexpr double kRound = 0x1.8p52;     // adding and subtracting it rounds a double below 2^51 to an integer
constexpr double kTooLarge = 0x1p50;    // products this large cannot be rounded safely
constexpr int64_t kWidth = 8;           // columns per block: one cache line of each row
constexpr int kLanes = 8;               // rows carried side by side
// Each word holds at least this many bits: a carry out of a block (below
// 2^(51 - bits)) then shrinks below 2 within five words of the next block,
// short of its last word, so the fix-up never reaches the block's own carry out.
constexpr int kMinBits = 12;

typedef double v8 __attribute__((vector_size(64), aligned(8)));
typedef long long v8i __attribute__((vector_size(64), aligned(8)));

inline v8 load8(const double* p) { return *reinterpret_cast<const v8*>(p); }
inline void put8(double* p, v8 v) { *reinterpret_cast<v8*>(p) = v; }
inline v8 abs8(v8 v) { return reinterpret_cast<v8>(reinterpret_cast<v8i>(v) & 0x7fffffffffffffffLL); }
inline v8 max8(v8 a, v8 b) { return a > b ? a : b; }
inline v8 splat(double d) { return v8{d, d, d, d, d, d, d, d}; }


// The subtraction of a step, placed: block column t, row group g, lane value.
struct placed_subtract {
  int64_t column = -1;  // j1; -1: none
  int64_t row = 0;      // j2
  double value = 0;
};

// Carries the block of columns j1_0 .. j1_0 + kWidth - 1 held column by
// column in s (inverse transform output, n2 reals a column): rounds each
// unweighted word, takes off the subtraction, and carries along each row
// from the carry in carries[] (0 when fresh), leaving the carry out there;
// writes the digits back, weighted when weigh. Gives the largest rounding
// distance and product size seen. Requires n2 % 8 == 0.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void carry_block(const two_pass_word_tables& k, int64_t j1_0, double* s, double* carries, bool fresh, bool weigh,
                 const placed_subtract& sub, double* err_out, double* big_out) {
  const int64_t n2 = k.n2;
  v8 err = splat(0), big = splat(0);
  const bool sub_here = sub.column >= j1_0 && sub.column < j1_0 + kWidth;
  for (int64_t g = 0; g < n2; g += kLanes) {
    v8 c = fresh ? splat(0) : load8(carries + g);
    const v8 rr = load8(k.row_r + g), ru = load8(k.row_u + g), rw = load8(k.row_w + g);
    for (int64_t t = 0; t < kWidth; ++t) {
      const int64_t j1 = j1_0 + t;
      v8 r = rr + k.col_r[j1];
      const v8i wrap = r >= k.n;
      r = wrap ? r - k.n : r;
      const v8i long_word = r < k.q;
      double* at = s + t * n2 + g;
      const v8 u = load8(at) * (ru * k.col_u[j1]) * (wrap ? splat(2.0) : splat(1.0));
      v8 rv = (u + kRound) - kRound;
      err = max8(err, abs8(u - rv));
      big = max8(big, abs8(u));
      if (sub_here && j1 == sub.column && sub.row >= g && sub.row < g + kLanes) rv[sub.row - g] -= sub.value;
      const v8 x = rv + c;
      const v8 round_at = long_word ? splat(k.round_long) : splat(k.round_short);
      const v8 hi = (x + round_at) - round_at;
      const v8 d = x - hi;
      c = hi * (long_word ? splat(k.inv_long) : splat(k.inv_short));
      put8(at, weigh ? d * (rw * k.col_w[j1]) * (wrap ? splat(0.5) : splat(1.0)) : d);
    }
    put8(carries + g, c);
  }
  double e = 0, b = 0;
  for (int i = 0; i < kLanes; ++i) {
    e = std::fmax(e, err[i]);
    b = std::fmax(b, big[i]);
  }
  *err_out = e;
  *big_out = b;
}

// Multiplies the digits of the block at columns j1_0.. (column by column in s) by their weights.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void weigh_block(const two_pass_word_tables& k, int64_t j1_0, double* s) {
  for (int64_t t = 0; t < kWidth; ++t) {
    const int64_t j1 = j1_0 + t;
    for (int64_t g = 0; g < k.n2; g += kLanes) {
      const v8 r = load8(k.row_r + g) + k.col_r[j1];
      const v8i wrap = r >= k.n;
      double* at = s + t * k.n2 + g;
      put8(at, load8(at) * (load8(k.row_w + g) * k.col_w[j1]) * (wrap ? splat(0.5) : splat(1.0)));
    }
  }
}

// Complex values, four to a vector: re, im, re, im, ...
inline v8 swap_pairs(v8 a) { return __builtin_shuffle(a, v8i{1, 0, 3, 2, 5, 4, 7, 6}); }
inline v8 cmul(v8 a, v8 b) {
  const v8 re = __builtin_shuffle(a, v8i{0, 0, 2, 2, 4, 4, 6, 6});
  const v8 im = __builtin_shuffle(a, v8i{1, 1, 3, 3, 5, 5, 7, 7});
  return re * b + im * swap_pairs(b) * v8{-1, 1, -1, 1, -1, 1, -1, 1};
}

// The twiddles of row k2 into w (lo[a] hi[b] at a + split b, split = lo_count)
// and in times them into out, for n1 = lo_count hi_count complex values.
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void twiddle_in(double* out, const double* in, double* w, const double* lo, int64_t lo_count, const double* hi,
                int64_t hi_count) {
  for (int64_t b = 0; b < hi_count; ++b) {
    const v8 h = v8{hi[2 * b], hi[2 * b + 1], hi[2 * b], hi[2 * b + 1], hi[2 * b], hi[2 * b + 1], hi[2 * b], hi[2 * b + 1]};
    for (int64_t a = 0; a < lo_count; a += 4) {
      const int64_t at = 2 * (b * lo_count + a);
      const v8 t = cmul(load8(lo + 2 * a), h);
      put8(w + at, t);
      put8(out + at, cmul(load8(in + at), t));
    }
  }
}

// z[i] = z[i] conj(w[i]) for count complex values (count % 4 == 0).
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void twiddle_out(double* z, const double* w, int64_t count) {
  const v8 flip = v8{1, -1, 1, -1, 1, -1, 1, -1};
  for (int64_t i = 0; i < 2 * count; i += 8) put8(z + i, cmul(load8(z + i), load8(w + i) * flip));
}

// z[i] = z[i]^2, or z[i] y[i] when y is given, for count complex values (count % 4 == 0).
__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void pointwise(double* z, const double* y, int64_t count) {
  if (y != nullptr) {
    for (int64_t i = 0; i < 2 * count; i += 8) put8(z + i, cmul(load8(z + i), load8(y + i)));
    return;
  }
  for (int64_t i = 0; i < 2 * count; i += 8) {
    const v8 a = load8(z + i), s = swap_pairs(a);
    const v8 real = (a + s) * (a - s), imag = (a * 2.0) * s;
    put8(z + i, __builtin_shuffle(real, imag, v8i{0, 9, 2, 11, 4, 13, 6, 15}));
  }
}

// [lo, hi) of count items shared out to member of members.
std::pair<int64_t, int64_t> share(int64_t count, int member, int members) {
  return {count * member / members, count * (member + 1) / members};
}

const two_pass_plans* plans_for_shape(const two_pass_shape& s, double* work, double* block) {
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  // Never destroyed: other threads may still be running them at exit.
  static auto& cache = *new std::map<std::tuple<int64_t, int64_t, int64_t, int64_t>, two_pass_plans>;
  const auto key = std::make_tuple(s.n1, s.n2, s.width, s.stride);
  if (auto it = cache.find(key); it != cache.end()) return &it->second;
  fftw_begin_planning(1);
  const unsigned flags = fftw_plan_flags(s.n);
  const int n1 = static_cast<int>(s.n1), n2 = static_cast<int>(s.n2), w = static_cast<int>(s.width),
            stride = static_cast<int>(s.stride);
  fftw_complex* z = reinterpret_cast<fftw_complex*>(work);
  two_pass_plans pl{};
  pl.c2r = fftw_plan_many_dft_c2r(1, &n2, w, z, nullptr, stride, 1, block, nullptr, 1, n2, flags);
  pl.r2c = fftw_plan_many_dft_r2c(1, &n2, w, block, nullptr, 1, n2, z, nullptr, stride, 1, flags);
  pl.fwd = fftw_plan_dft_1d(n1, z, z, FFTW_FORWARD, flags);
  pl.bwd = fftw_plan_dft_1d(n1, z, z, FFTW_BACKWARD, flags);
  if (pl.c2r == nullptr || pl.r2c == nullptr || pl.fwd == nullptr || pl.bwd == nullptr) {
    for (fftw_plan p : {pl.c2r, pl.r2c, pl.fwd, pl.bwd})
      if (p != nullptr) fftw_destroy_plan(p);
    throw engine_failure("FFTW could not plan the transforms of length " + std::to_string(s.n));
  }
  const two_pass_plans* made = &cache.emplace(key, pl).first->second;
  fftw_end_planning(flags);
  return made;
}

}  // namespace

two_pass_shape two_pass_shape_for(int64_t n) {
  two_pass_shape s;
  if (n < 64 || n % 64 != 0 || n > INT32_MAX) return s;
  int64_t n1 = 8;
  while (n1 * 2 * n1 * 2 <= n) n1 *= 2;
  while (n1 > 8 && (n % n1 != 0 || (n / n1) % 8 != 0)) n1 /= 2;
  s.n = n;
  s.n1 = n1;
  s.n2 = n / n1;
  s.width = kWidth;
  s.stride = n1 + tuning::kRowPad;
  return s;
}

bool two_pass_serves(int32_t p, int64_t n) {
  return n >= 1 && n <= p && two_pass_shape_for(n).n != 0 && p / n >= kMinBits;
}

two_pass_squarer::two_pass_squarer(int32_t p, int64_t n, int threads) : p_(p), shape_(two_pass_shape_for(n)) {
  MERSENNE_REQUIRE(two_pass_serves(p, n));
  const int64_t n1 = shape_.n1, n2 = shape_.n2;
  rows_ = n2 / 2 + 1;
  blocks_ = n1 / shape_.width;
  split_ = 1;
  while (split_ * split_ < n1 || split_ < 4) split_ *= 2;
  bits_ = static_cast<int>(p / n);
  small_words_ = static_cast<double>(p % n);

  col_r_ = aligned_buffer<double>(n1);
  col_weight_ = aligned_buffer<double>(n1);
  col_unweight_ = aligned_buffer<double>(n1);
  row_r_ = aligned_buffer<double>(n2);
  row_weight_ = aligned_buffer<double>(n2);
  row_unweight_ = aligned_buffer<double>(n2);
  const long double ln = static_cast<long double>(n);
  for (int64_t j1 = 0; j1 < n1; ++j1) {
    const int64_t r = (n - (static_cast<int64_t>(p) * j1) % n) % n;
    col_r_[j1] = static_cast<double>(r);
    col_weight_[j1] = static_cast<double>(exp2l(r / ln));
    col_unweight_[j1] = static_cast<double>(exp2l(-r / ln) / ln);
  }
  for (int64_t j2 = 0; j2 < n2; ++j2) {
    const int64_t r = (n - (static_cast<int64_t>(p) % n) * (n1 * j2 % n) % n) % n;
    row_r_[j2] = static_cast<double>(r);
    row_weight_[j2] = static_cast<double>(exp2l(r / ln));
    row_unweight_[j2] = static_cast<double>(exp2l(-r / ln));
  }
  const int64_t lo = split_, hi = n1 / split_;
  twiddle_lo_ = aligned_buffer<double>(2 * rows_ * lo);
  twiddle_hi_ = aligned_buffer<double>(2 * rows_ * hi);
  const long double two_pi = 6.283185307179586476925286766559005768L;
  auto put = [&](double* at, int64_t m) {  // exp(-2 pi i m / n)
    const long double a = two_pi * static_cast<long double>(m % n) / ln;
    at[0] = static_cast<double>(cosl(a));
    at[1] = static_cast<double>(-sinl(a));
  };
  for (int64_t k2 = 0; k2 < rows_; ++k2) {
    for (int64_t a = 0; a < lo; ++a) put(&twiddle_lo_[2 * (k2 * lo + a)], k2 * a);
    for (int64_t b = 0; b < hi; ++b) put(&twiddle_hi_[2 * (k2 * hi + b)], k2 * split_ * b);
  }

  const size_t complex_doubles = 2 * static_cast<size_t>(rows_ * shape_.stride);
  state_ = aligned_buffer<double>(complex_doubles);
  work_ = aligned_buffer<double>(complex_doubles);
  team_ = std::make_unique<worker_team>(threads);
  scratch_.resize(static_cast<size_t>(team_->size()));
  for (member_scratch& m : scratch_) {
    m.block = aligned_buffer<double>(static_cast<size_t>(shape_.width * n2));
    m.twiddle = aligned_buffer<double>(2 * static_cast<size_t>(n1));
  }
  segments_.resize(static_cast<size_t>(std::min<int64_t>(blocks_, tuning::kCarrySegments)));
  for (segment& sg : segments_) {
    sg.held = aligned_buffer<double>(static_cast<size_t>(shape_.width * n2));
    sg.carries = aligned_buffer<double>(static_cast<size_t>(n2));
  }
  plans_ = plans_for_shape(shape_, work_.data(), scratch_[0].block.data());
  std::memset(work_.data(), 0, complex_doubles * sizeof(double));
}

two_pass_squarer::~two_pass_squarer() = default;

int two_pass_squarer::threads() const { return team_->size(); }

bool two_pass_squarer::buffers_intact() const {
  for (const aligned_buffer<double>* b : std::initializer_list<const aligned_buffer<double>*>{&col_r_, &row_r_, &col_weight_, &row_weight_, &col_unweight_,
                                          &row_unweight_, &twiddle_lo_, &twiddle_hi_, &state_, &work_, &factor_})
    if (!b->intact()) return false;
  for (const member_scratch& m : scratch_)
    if (!m.block.intact() || !m.twiddle.intact()) return false;
  for (const segment& sg : segments_)
    if (!sg.held.intact() || !sg.carries.intact()) return false;
  return true;
}

void two_pass_squarer::row_pass(int member, row_mode mode, double* from, double* to) {
  const int64_t n1 = shape_.n1, lo_count = split_, hi_count = n1 / split_;
  double* w = scratch_[static_cast<size_t>(member)].twiddle.data();
  const auto [lo, hi] = share(rows_, member, team_->size());
  for (int64_t k2 = lo; k2 < hi; ++k2) {
    double* in = from + 2 * k2 * shape_.stride;
    double* out = to + 2 * k2 * shape_.stride;
    twiddle_in(out, in, w, &twiddle_lo_[2 * k2 * lo_count], lo_count, &twiddle_hi_[2 * k2 * hi_count], hi_count);
    fftw_execute_dft(plans_->fwd, reinterpret_cast<fftw_complex*>(out), reinterpret_cast<fftw_complex*>(out));
    if (mode == row_mode::forward) continue;
    pointwise(out, mode == row_mode::square ? nullptr : factor_.data() + 2 * k2 * shape_.stride, n1);
    fftw_execute_dft(plans_->bwd, reinterpret_cast<fftw_complex*>(out), reinterpret_cast<fftw_complex*>(out));
    twiddle_out(out, w, n1);
  }
}

two_pass_word_tables two_pass_squarer::tables() const {
  return two_pass_word_tables{col_r_.data(), row_r_.data(), col_weight_.data(), row_weight_.data(),
                              col_unweight_.data(), row_unweight_.data(), static_cast<double>(shape_.n),
                              small_words_, std::ldexp(1.5, 52 + bits_), std::ldexp(1.5, 53 + bits_),
                              std::ldexp(1.0, -bits_), std::ldexp(1.0, -bits_ - 1), shape_.n2};
}

int two_pass_squarer::column_members() const {
  return static_cast<int>(std::min<int64_t>(team_->size(), static_cast<int64_t>(segments_.size())));
}

void two_pass_squarer::column_pass(int member, fast_subtract sub) {
  member_scratch& m = scratch_[static_cast<size_t>(member)];
  m.err = 0;
  m.big = 0;
  m.overflow = false;
  const int members = column_members();
  if (member >= members) return;
  const two_pass_word_tables k = tables();
  placed_subtract ps;
  if (sub.value != 0) {
    ps.column = sub.word % shape_.n1;
    ps.row = sub.word / shape_.n1;
    ps.value = sub.value;
  }
  const int64_t count = static_cast<int64_t>(segments_.size());
  const auto [first, last] = share(count, member, members);
  for (int64_t seg = first; seg < last; ++seg) {
    segment& sg = segments_[static_cast<size_t>(seg)];
    const auto [lo, hi] = share(blocks_, static_cast<int>(seg), static_cast<int>(count));
    for (int64_t b = lo; b < hi; ++b) {
      double* s = b == lo ? sg.held.data() : m.block.data();
      fftw_complex* z = reinterpret_cast<fftw_complex*>(work_.data()) + b * shape_.width;
      fftw_execute_dft_c2r(plans_->c2r, z, s);
      double e, g;
      carry_block(k, b * shape_.width, s, sg.carries.data(), b == lo, b != lo, ps, &e, &g);
      m.err = std::fmax(m.err, e);
      m.big = std::fmax(m.big, g);
      if (b != lo) fftw_execute_dft_r2c(plans_->r2c, s, z);
    }
  }
}

void two_pass_squarer::fix_up(int member) {
  const int members = column_members();
  if (member >= members) return;
  member_scratch& m = scratch_[static_cast<size_t>(member)];
  const int64_t count = static_cast<int64_t>(segments_.size());
  const int64_t n2 = shape_.n2, width = shape_.width;
  const two_pass_word_tables k = tables();
  const auto [first, last] = share(count, member, members);
  for (int64_t seg = first; seg < last; ++seg) {
    segment& sg = segments_[static_cast<size_t>(seg)];
    // The carries into this segment's first block: the previous segment's
    // last block, same row; for the first segment the last block, one row up
    // (the top word's carry wraps to word 0 since 2^p = 1).
    const double* in = segments_[static_cast<size_t>(seg == 0 ? count - 1 : seg - 1)].carries.data();
    const int64_t j1_0 = share(blocks_, static_cast<int>(seg), static_cast<int>(count)).first * width;
    for (int64_t j2 = 0; j2 < n2; ++j2) {
      double c = seg == 0 ? in[j2 == 0 ? n2 - 1 : j2 - 1] : in[j2];
      for (int64_t t = 0; c != 0; ++t) {
        double& d = sg.held[static_cast<size_t>(t * n2 + j2)];
        if (std::fabs(c) <= 1) {
          d += c;
          break;
        }
        if (t == width - 1) {
          m.overflow = true;
          break;
        }
        double r = k.col_r[j1_0 + t] + k.row_r[j2];
        if (r >= k.n) r -= k.n;
        const bool long_word = r < k.q;
        const double at = long_word ? k.round_long : k.round_short;
        const double x = d + c;
        const double hi = (x + at) - at;
        d = x - hi;
        c = hi * (long_word ? k.inv_long : k.inv_short);
      }
    }
    weigh_block(k, j1_0, sg.held.data());
    fftw_execute_dft_r2c(plans_->r2c, sg.held.data(), reinterpret_cast<fftw_complex*>(work_.data()) + j1_0);
  }
}

double two_pass_squarer::iterate(row_mode mode, fast_subtract sub) {
  auto job = [this, mode, sub](int member) {
    row_pass(member, mode, state_.data(), work_.data());
    team_->sync();
    column_pass(member, sub);
    team_->sync();
    fix_up(member);
  };
  team_->run(job);
  double err = 0, big = 0;
  bool overflow = false;
  for (const member_scratch& m : scratch_) {
    err = std::fmax(err, m.err);
    big = std::fmax(big, m.big);
    overflow = overflow || m.overflow;
  }
  if (overflow || !(big < kTooLarge)) return 1.0;
  return err;
}

double two_pass_squarer::square(uint32_t c, int32_t j, double limit) {
  const double err = iterate(row_mode::square, fast_subtract_at(p_, shape_.n, c, j));
  if (err < limit) state_.swap(work_);
  return err;
}

double two_pass_squarer::multiply(mpz_srcptr v, double limit) {
  if (factor_.size() == 0) factor_ = aligned_buffer<double>(state_.size());
  transform_in(v, factor_.data());
  auto job = [this](int member) { row_pass(member, row_mode::forward, factor_.data(), factor_.data()); };
  team_->run(job);
  const double err = iterate(row_mode::multiply, fast_subtract{});
  if (err < limit) state_.swap(work_);
  return err;
}

void two_pass_squarer::transform_in(mpz_srcptr v, double* out) const {
  MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
  const int64_t n = shape_.n, n1 = shape_.n1, n2 = shape_.n2, width = shape_.width;
  mpz_value r, tmp;
  mpz_set(r, v);
  mersenne_reduce(r, p_, tmp);
  std::vector<double> digits(static_cast<size_t>(n));
  fast_split(r, p_, n, digits.data());
  const two_pass_word_tables k = tables();
  double* s = scratch_[0].block.data();
  for (int64_t b = 0; b < blocks_; ++b) {
    for (int64_t t = 0; t < width; ++t)
      for (int64_t j2 = 0; j2 < n2; ++j2) s[t * n2 + j2] = digits[static_cast<size_t>(b * width + t + n1 * j2)];
    weigh_block(k, b * width, s);
    fftw_execute_dft_r2c(plans_->r2c, s, reinterpret_cast<fftw_complex*>(out) + b * width);
  }
}

void two_pass_squarer::load(mpz_srcptr v) { transform_in(v, state_.data()); }

void two_pass_squarer::store(mpz_ptr out) const {
  const int64_t n = shape_.n, n1 = shape_.n1, n2 = shape_.n2, width = shape_.width;
  std::vector<double> digits(static_cast<size_t>(n));
  double* s = scratch_[0].block.data();
  const double scale = static_cast<double>(n1);
  for (int64_t b = 0; b < blocks_; ++b) {
    // The inverse transform may overwrite its input: it runs on a copy in work_.
    for (int64_t k2 = 0; k2 < rows_; ++k2) {
      const size_t at = static_cast<size_t>(2 * (k2 * shape_.stride + b * width));
      std::memcpy(&work_[at], &state_[at], 2 * static_cast<size_t>(width) * sizeof(double));
    }
    fftw_execute_dft_c2r(plans_->c2r, reinterpret_cast<fftw_complex*>(work_.data()) + b * width, s);
    for (int64_t t = 0; t < width; ++t) {
      const int64_t j1 = b * width + t;
      for (int64_t j2 = 0; j2 < n2; ++j2) {
        const bool wrap = col_r_[static_cast<size_t>(j1)] + row_r_[static_cast<size_t>(j2)] >= static_cast<double>(n);
        const double u = col_unweight_[static_cast<size_t>(j1)] * row_unweight_[static_cast<size_t>(j2)] *
                         (wrap ? 2.0 : 1.0) * scale;
        const double v = s[t * n2 + j2] * u;
        digits[static_cast<size_t>(j1 + n1 * j2)] = (v + kRound) - kRound;
      }
    }
  }
  fast_join(digits.data(), p_, n, out);
}
