#include "arith/fast/two_pass.h"

#include <chrono>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/check.h"
#include "arith/fast/kernel_choice.h"
#include "arith/fast/team.h"
#include "arith/fast/transforms.h"
#include "arith/residue.h"
#include "base/tuning.h"

namespace {

constexpr double kRound = 0x1.8p52;     // adding and subtracting it rounds a double below 2^51 to an integer
constexpr double kTooLarge = 0x1p50;    // products this large cannot be rounded safely
constexpr int64_t kWidth = 8;           // columns per block: one group of each row
// Each word holds at least this many bits: a carry out of a block (below
// 2^(51 - bits)) then shrinks below 2 within five words of the next block,
// short of its last word, so the fix-up never reaches the block's own carry out.
constexpr int kMinBits = 12;

// [lo, hi) of count items shared out to member of members.
std::pair<int64_t, int64_t> share(int64_t count, int member, int members) {
  return {count * member / members, count * (member + 1) / members};
}

}  // namespace

two_pass_shape two_pass_shape_for(int64_t n) {
  two_pass_shape s;
  if (n < 1024 || n > INT32_MAX) return s;
  int64_t n1 = 64;
  while (n1 * 2 * n1 * 2 <= n) n1 *= 2;
  while (n1 > 64 && (n % n1 != 0 || (n / n1) % 8 != 0)) n1 /= 2;
  if (n % n1 != 0 || (n / n1) % 8 != 0 || n / n1 < 16) return s;
  int64_t half = n / n1 / 2;
  for (int64_t f : {15, 13, 11, 9, 7, 5, 3})
    if (half % f == 0) {
      half /= f;
      break;
    }
  if ((half & (half - 1)) != 0) return s;
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

void two_pass_word_constants(int32_t p, const two_pass_shape& s, two_pass_word_arrays out, double* wrap_at,
                             double* long_above) {
  const int64_t n = s.n, n1 = s.n1, n2 = s.n2;
  MERSENNE_REQUIRE(n > 0 && n1 * n2 == n && p > 0);
  const long double ln = static_cast<long double>(n);
  for (int64_t j1 = 0; j1 < n1; ++j1) {
    const int64_t r = (n - (static_cast<int64_t>(p) * j1) % n) % n;
    out.col_r[j1] = static_cast<double>(r);
    out.col_w[j1] = static_cast<double>(exp2l(r / ln));
    out.col_u[j1] = static_cast<double>(exp2l(-r / ln) / ln);
  }
  for (int64_t j2 = 0; j2 < n2; ++j2) {
    const int64_t r = (n - (static_cast<int64_t>(p) % n) * (n1 * j2 % n) % n) % n;
    out.row_r[j2] = static_cast<double>(r);
    out.row_w[j2] = static_cast<double>(exp2l(r / ln));
    out.row_u[j2] = static_cast<double>(exp2l(-r / ln));
  }
  // Half an index step past the last unweight that does not wrap, and
  // before the first one of a short word.
  const long double q = static_cast<long double>(p % n);
  *wrap_at = static_cast<double>(exp2l(-(ln - 0.5L) / ln) / ln);
  *long_above = static_cast<double>(exp2l(-(q - 0.5L) / ln) / ln);
}

two_pass_squarer::two_pass_squarer(int32_t p, int64_t n, int threads, const fast_kernels::table* kernels)
    : p_(p), shape_(two_pass_shape_for(n)), kernels_(kernels != nullptr ? kernels : &chosen_kernels(n)) {
  MERSENNE_REQUIRE(two_pass_serves(p, n));
  const int64_t n1 = shape_.n1, n2 = shape_.n2;
  view_ = &kernel_shape(n1, n2, std::strcmp(kernels_->name, "fftw") == 0);
  rows_ = n2 / 2 + 1;
  blocks_ = n1 / shape_.width;
  bits_ = static_cast<int>(p / n);
  small_words_ = static_cast<double>(p % n);

  col_r_ = aligned_buffer<double>(n1);
  col_weight_ = aligned_buffer<double>(n1);
  col_unweight_ = aligned_buffer<double>(n1);
  row_r_ = aligned_buffer<double>(n2);
  row_weight_ = aligned_buffer<double>(n2);
  row_unweight_ = aligned_buffer<double>(n2);
  two_pass_word_constants(p, shape_,
                          {col_r_.data(), col_weight_.data(), col_unweight_.data(), row_r_.data(), row_weight_.data(),
                           row_unweight_.data()},
                          &wrap_at_, &long_above_);

  const size_t doubles = static_cast<size_t>(rows_ * row_stride());
  state_ = aligned_buffer<double>(doubles);
  work_ = aligned_buffer<double>(doubles);
  team_ = std::make_unique<worker_team>(threads);
  chooser_ = team_chooser(team_->size());
  scratch_.resize(static_cast<size_t>(team_->size()));
  const size_t scratch = static_cast<size_t>(std::max(2 * n1, 16 * rows_));
  for (member_scratch& m : scratch_) {
    m.block = aligned_buffer<double>(static_cast<size_t>(shape_.width * n2));
    m.scratch = aligned_buffer<double>(scratch);
    m.factor = aligned_buffer<double>(2 * static_cast<size_t>(n1));
  }
  segments_.resize(static_cast<size_t>(std::clamp<int64_t>(blocks_ / 8, 1, tuning::kCarrySegments)));
  row_split_ = pass_split(rows_, team_->size());
  seconds_.resize(2 * static_cast<size_t>(team_->size()));
  segment_split_ = pass_split(static_cast<int64_t>(segments_.size()),
                              static_cast<int>(std::min<int64_t>(team_->size(), static_cast<int64_t>(segments_.size()))));
  for (segment& sg : segments_) {
    sg.held = aligned_buffer<double>(static_cast<size_t>(shape_.width * n2));
    sg.carries = aligned_buffer<double>(static_cast<size_t>(n2));
  }
  std::memset(state_.data(), 0, doubles * sizeof(double));
  std::memset(work_.data(), 0, doubles * sizeof(double));
}

two_pass_squarer::~two_pass_squarer() = default;

int two_pass_squarer::threads() const { return team_->size(); }

void two_pass_squarer::fix_members(int k) {
  MERSENNE_REQUIRE(k == 0 || k == 1 || k == team_->size());
  fixed_members_ = k;
}

template <class Job>
void two_pass_squarer::run(Job& job) {
  if (members() > 1)
    team_->run(job);
  else
    job(0);  // the helpers stay parked at their barrier
}

void two_pass_squarer::sync() {
  if (members() > 1) team_->sync();
}

bool two_pass_squarer::buffers_intact() const {
  for (const aligned_buffer<double>* b : std::initializer_list<const aligned_buffer<double>*>{&col_r_, &row_r_, &col_weight_, &row_weight_, &col_unweight_,
                                          &row_unweight_, &state_, &work_, &factor_})
    if (!b->intact()) return false;
  for (const member_scratch& m : scratch_)
    if (!m.block.intact() || !m.scratch.intact() || !m.factor.intact()) return false;
  for (const segment& sg : segments_)
    if (!sg.held.intact() || !sg.carries.intact()) return false;
  return true;
}

void two_pass_squarer::row_pass(int member, row_mode mode, const double* from, double* to) {
  member_scratch& m = scratch_[static_cast<size_t>(member)];
  double* scratch = m.scratch.data();
  const auto [lo, hi] = rows_of(member);
  for (int64_t k2 = lo; k2 < hi; ++k2) {
    const double* factor = nullptr;
    if (mode == row_mode::multiply && factor_source_ != nullptr) {
      kernels_->row(*view_, k2, row_mode::forward, factor_source_ + k2 * row_stride(), m.factor.data(), nullptr,
                    scratch, nullptr, nullptr);
      factor = m.factor.data();
    } else if (mode == row_mode::multiply) {
      factor = factor_.data() + k2 * row_stride();
    }
    const bool more = k2 + 1 < hi;
    kernels_->row(*view_, k2, mode, from + k2 * row_stride(), to + k2 * row_stride(), factor, scratch,
                  more ? from + (k2 + 1) * row_stride() : nullptr, more ? to + (k2 + 1) * row_stride() : nullptr);
  }
}

fast_kernels::word_tables two_pass_squarer::tables() const {
  return fast_kernels::word_tables{col_r_.data(), row_r_.data(), col_weight_.data(), row_weight_.data(),
                                   col_unweight_.data(), row_unweight_.data(), static_cast<double>(shape_.n),
                                   small_words_, wrap_at_, long_above_, std::ldexp(1.5, 52 + bits_), std::ldexp(1.5, 53 + bits_),
                                   std::ldexp(1.0, -bits_), std::ldexp(1.0, -bits_ - 1), shape_.n2};
}

int two_pass_squarer::column_members() const {
  return static_cast<int>(std::min<int64_t>(members(), static_cast<int64_t>(segments_.size())));
}

std::pair<int64_t, int64_t> two_pass_squarer::rows_of(int member) const {
  return members() > 1 ? row_split_.range(member) : std::pair<int64_t, int64_t>{0, rows_};
}

std::pair<int64_t, int64_t> two_pass_squarer::segments_of(int member) const {
  return column_members() > 1 ? segment_split_.range(member)
                              : std::pair<int64_t, int64_t>{0, static_cast<int64_t>(segments_.size())};
}

void two_pass_squarer::took_seconds(const double* row_seconds, const double* column_seconds) {
  row_split_.took(row_seconds);
  segment_split_.took(column_seconds);
}

void two_pass_squarer::column_pass(int member, fast_subtract sub) {
  member_scratch& m = scratch_[static_cast<size_t>(member)];
  m.err = 0;
  m.big = 0;
  m.overflow = false;
  const int members = column_members();
  if (member >= members) return;
  const fast_kernels::word_tables k = tables();
  fast_kernels::placed_subtract ps;
  if (sub.value != 0) {
    ps.column = sub.word % shape_.n1;
    ps.row = sub.word / shape_.n1;
    ps.value = sub.value;
  }
  ps.times = sub.times;
  const int64_t count = static_cast<int64_t>(segments_.size());
  const auto [first, last] = segments_of(member);
  for (int64_t seg = first; seg < last; ++seg) {
    segment& sg = segments_[static_cast<size_t>(seg)];
    const auto [lo, hi] = share(blocks_, static_cast<int>(seg), static_cast<int>(count));
    for (int64_t b = lo; b < hi; ++b) {
      double* s = b == lo ? sg.held.data() : m.block.data();
      double* z = work_.data() + 2 * b * shape_.width;
      kernels_->column_inverse(*view_, z, row_stride(), s, m.scratch.data());
      double e, g;
      kernels_->carry(k, b * shape_.width, s, sg.carries.data(), b == lo, b != lo, ps, &e, &g);
      m.err = std::fmax(m.err, e);
      m.big = std::fmax(m.big, g);
      if (b != lo) kernels_->column_forward(*view_, s, z, row_stride(), m.scratch.data());
    }
  }
}

void two_pass_squarer::fix_up(int member) {
  const int members = column_members();
  if (member >= members) return;
  member_scratch& m = scratch_[static_cast<size_t>(member)];
  const int64_t count = static_cast<int64_t>(segments_.size());
  const int64_t n2 = shape_.n2, width = shape_.width;
  const fast_kernels::word_tables k = tables();
  const auto [first, last] = segments_of(member);
  for (int64_t seg = first; seg < last; ++seg) {
    segment& sg = segments_[static_cast<size_t>(seg)];
    // The carries into this segment's first block: the previous segment's
    // last block, same row; for the first segment the last block, one row up
    // (the top word's carry wraps to word 0 since 2^p = 1).
    const double* in = segments_[static_cast<size_t>(seg == 0 ? count - 1 : seg - 1)].carries.data();
    if (seg == 0) {
      double* shifted = m.scratch.data();
      shifted[0] = in[n2 - 1];
      std::memcpy(shifted + 1, in, static_cast<size_t>(n2 - 1) * sizeof(double));
      in = shifted;
    }
    const int64_t j1_0 = share(blocks_, static_cast<int>(seg), static_cast<int>(count)).first * width;
    bool overflow = false;
    kernels_->fix_up(k, j1_0, sg.held.data(), in, &overflow);
    m.overflow = m.overflow || overflow;
    kernels_->weigh(k, j1_0, sg.held.data());
    kernels_->column_forward(*view_, sg.held.data(), work_.data() + 2 * j1_0, row_stride(), m.scratch.data());
  }
}

double two_pass_squarer::iterate(row_mode mode, fast_subtract sub) {
  using clock = std::chrono::steady_clock;
  auto job = [this, mode, sub](int member) {
    member_scratch& m = scratch_[static_cast<size_t>(member)];
    const clock::time_point t0 = clock::now();
    row_pass(member, mode, state_.data(), work_.data());
    const clock::time_point t1 = clock::now();
    sync();
    const clock::time_point t2 = clock::now();
    column_pass(member, sub);
    const clock::time_point t3 = clock::now();
    sync();
    const clock::time_point t4 = clock::now();
    fix_up(member);
    const clock::time_point t5 = clock::now();
    m.row_seconds = std::chrono::duration<double>(t1 - t0).count();
    m.column_seconds = std::chrono::duration<double>((t3 - t2) + (t5 - t4)).count();
  };
  const int on = members();
  const auto t0 = clock::now();
  run(job);
  if (fixed_members_ == 0) chooser_.took(std::chrono::duration<double>(clock::now() - t0).count());
  if (on > 1) {
    double* rows = seconds_.data();
    double* columns = rows + on;
    for (int i = 0; i < on; ++i) {
      rows[i] = scratch_[static_cast<size_t>(i)].row_seconds;
      columns[i] = scratch_[static_cast<size_t>(i)].column_seconds;
    }
    took_seconds(rows, columns);
  }
  if (report_ != nullptr) {
    report_->team.store(team_->size(), std::memory_order_relaxed);
    report_->running.store(on, std::memory_order_relaxed);
  }
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

double two_pass_squarer::square_times(uint32_t m, double limit) {
  MERSENNE_REQUIRE(m >= 1 && m <= 3);
  fast_subtract sub;
  sub.times = m;
  const double err = iterate(row_mode::square, sub);
  if (err < limit) state_.swap(work_);
  return err;
}

void two_pass_squarer::set_difference(const stepper& a, const stepper& b, int32_t p) {
  const auto* x = dynamic_cast<const two_pass_squarer*>(&a);
  const auto* y = dynamic_cast<const two_pass_squarer*>(&b);
  const auto same = [this](const two_pass_squarer* o) {
    return o != nullptr && o->p_ == p_ && o->shape_.n == shape_.n && o->kernels_ == kernels_;
  };
  if (!same(x) || !same(y)) return stepper::set_difference(a, b, p);
  const size_t count = state_.size();
  double* s = state_.data();
  const double *u = x->state_.data(), *v = y->state_.data();
  for (size_t i = 0; i < count; ++i) s[i] = u[i] - v[i];
}

double two_pass_squarer::multiply(mpz_srcptr v, double limit) {
  if (factor_.size() == 0) factor_ = aligned_buffer<double>(state_.size());
  transform_in(v, factor_.data());
  auto job = [this](int member) { row_pass(member, row_mode::forward, factor_.data(), factor_.data()); };
  run(job);
  const double err = iterate(row_mode::multiply, fast_subtract{});
  if (err < limit) state_.swap(work_);
  return err;
}

double two_pass_squarer::multiply_by(const stepper& other, double limit) {
  const auto* o = dynamic_cast<const two_pass_squarer*>(&other);
  if (o == nullptr || o->p_ != p_ || o->shape_.n != shape_.n || o->kernels_ != kernels_)
    return stepper::multiply_by(other, limit);
  factor_source_ = o->state_.data();
  const double err = iterate(row_mode::multiply, fast_subtract{});
  factor_source_ = nullptr;
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
  const fast_kernels::word_tables k = tables();
  member_scratch& m = scratch_[0];
  double* s = m.block.data();
  for (int64_t b = 0; b < blocks_; ++b) {
    for (int64_t j2 = 0; j2 < n2; ++j2)
      for (int64_t t = 0; t < width; ++t) s[8 * j2 + t] = digits[static_cast<size_t>(b * width + t + n1 * j2)];
    kernels_->weigh(k, b * width, s);
    kernels_->column_forward(*view_, s, out + 2 * b * width, row_stride(), m.scratch.data());
  }
}

void two_pass_squarer::load(mpz_srcptr v) { transform_in(v, state_.data()); }

void two_pass_squarer::store(mpz_ptr out) const {
  const int64_t n = shape_.n, n1 = shape_.n1, n2 = shape_.n2, width = shape_.width;
  std::vector<double> digits(static_cast<size_t>(n));
  member_scratch& m = scratch_[0];
  double* s = m.block.data();
  const double scale = static_cast<double>(n1);
  for (int64_t b = 0; b < blocks_; ++b) {
    kernels_->column_inverse(*view_, state_.data() + 2 * b * width, row_stride(), s, m.scratch.data());
    for (int64_t t = 0; t < width; ++t) {
      const int64_t j1 = b * width + t;
      for (int64_t j2 = 0; j2 < n2; ++j2) {
        const bool wrap = col_r_[static_cast<size_t>(j1)] + row_r_[static_cast<size_t>(j2)] >= static_cast<double>(n);
        const double u = col_unweight_[static_cast<size_t>(j1)] * row_unweight_[static_cast<size_t>(j2)] *
                         (wrap ? 2.0 : 1.0) * scale;
        const double v = s[8 * j2 + t] * u;
        digits[static_cast<size_t>(j1 + n1 * j2)] = (v + kRound) - kRound;
      }
    }
  }
  fast_join(digits.data(), p_, n, out);
}
