// The fast engine at long lengths: the same weighted transform as
// fast_squarer, organised so that an iteration reads and writes the residue
// twice instead of about seven times.
//
// The length splits as n = n1 n2, word j = j1 + n1 j2 sitting at column j1
// of row j2. The state between iterations is the first stage of the forward
// transform: a real transform of length n2 down every column, n2/2 + 1
// complex rows of n1 values. An iteration is
//   the row pass: per row, the twiddles, a complex transform of length n1,
//     the pointwise square, the inverse transform and the twiddles back,
//     each row staying in cache;
//   the column pass: per block of `width` columns, the inverse real
//     transforms down the columns, rounding, unweighting, the carry along
//     each row's words in the block, re-weighting and the forward real
//     transforms, each block staying in cache.
// A row's carry runs from block to block within a segment of blocks; each
// segment's first block takes its incoming carry (from the segment before,
// or from the last block, a row down, for the first: 2^p = 1) in a short
// fix-up after the pass.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/aligned_buffer.h"
#include "arith/engine.h"
#include "arith/fast/kernels.h"
#include "arith/fast/layout.h"
#include "arith/fast/team.h"

struct two_pass_shape {
  int64_t n = 0;      // the length, n1 n2; 0: the length cannot be split
  int64_t n1 = 0;     // row length (complex transforms), a power of two >= 64
  int64_t n2 = 0;     // column length (real transforms), a multiple of 8 >= 16
  int64_t width = 0;  // columns per block of the column pass
  int64_t stride = 0; // complex values from a row to the next: n1 and a pad, so that a column's
                      // values do not all fall into the same cache sets
};

// The split of length n (or n = 0 when it has none).
two_pass_shape two_pass_shape_for(int64_t n);

// Whether the two-pass squarer serves 2^p - 1 at length n: the length splits
// and every word holds enough bits that an incoming carry is absorbed
// within a block's first words.
bool two_pass_serves(int32_t p, int64_t n);

// The column pass's word constants of 2^p - 1 at shape s (kernels.h's
// word_tables): weight indices, weights and unweights of the n1 columns and
// the n2 rows into the caller's arrays, and the two unweight thresholds.
struct two_pass_word_arrays {
  double *col_r, *col_w, *col_u, *row_r, *row_w, *row_u;
};
void two_pass_word_constants(int32_t p, const two_pass_shape& s, two_pass_word_arrays out, double* wrap_at,
                             double* long_above);

class two_pass_squarer final : public stepper {
 public:
  // The residue 0 of 2^p - 1 at length n, on up to `threads` threads, with
  // the given kernels (by default chosen_kernels(n)); requires
  // two_pass_serves(p, n). Throws engine_failure or std::bad_alloc when its
  // arrays or plans cannot be had.
  two_pass_squarer(int32_t p, int64_t n, int threads, const fast_kernels::table* kernels = nullptr);
  ~two_pass_squarer() override;

  void load(mpz_srcptr v) override;
  void store(mpz_ptr out) const override;
  double square(uint32_t c, int32_t j, double limit) override;
  double multiply(mpz_srcptr v, double limit) override;
  // With another two-pass squarer of the same p, length and kernels: its
  // state's rows are transformed on the fly in the row pass, nothing leaves
  // the transform's form.
  double multiply_by(const stepper& other, double limit) override;
  double square_times(uint32_t m, double limit) override;
  // With two-pass squarers of the same p, length and kernels: on their
  // states, which are linear in the digits.
  void set_difference(const stepper& a, const stepper& b, int32_t p) override;
  int64_t length() const override { return shape_.n; }

  const two_pass_shape& shape() const { return shape_; }
  const char* kernels_name() const { return kernels_->name; }
  // The team's threads, and how many the next iteration runs on.
  int threads() const;
  int members() const { return fixed_members_ > 0 ? fixed_members_ : chooser_.members(); }
  // Runs every iteration on k members (1 or threads(): benchmarks and
  // tests); 0: on as many as measured to pay (the default).
  void fix_members(int k);
  // Where each iteration tells how many threads it ran on (for the progress line); may be null.
  void report_threads_to(thread_use* at) { report_ = at; }
  // Whether no transform or pass wrote outside any of its arrays.
  bool buffers_intact() const;
  // What every iteration on the whole team does with its members' measured
  // seconds (row pass, column pass with fix-ups; threads() of each): moves
  // the edges between the members' rows and segments toward their rates.
  void took_seconds(const double* row_seconds, const double* column_seconds);

 private:
  using row_mode = fast_kernels::row_mode;
  struct member_scratch {
    aligned_buffer<double> block;    // one block: n2 rows of eight columns
    aligned_buffer<double> scratch;  // the kernels' scratch
    aligned_buffer<double> factor;   // multiply_by: the other factor's row, transformed
    double err = 0, big = 0;         // the pass's largest rounding distance and product
    double row_seconds = 0;          // this iteration's row pass on this member
    double column_seconds = 0;       // and its column pass and fix-ups
    bool overflow = false;           // a fix-up carry was not absorbed
  };

  // The column pass's blocks fall into a fixed number of segments, whatever
  // the threads: each segment's carry runs from block to block, its first
  // block waits for the carry out of the segment before. Threads take whole
  // segments, so the digits are the same on any number of them.
  struct segment {
    aligned_buffer<double> held;     // the first block, carried from 0, waiting for its carry in
    aligned_buffer<double> carries;  // per row: the carry out of the segment's blocks so far
  };

  // Members that take part in the column pass: no more than there are segments.
  int column_members() const;
  // Member's rows of the row pass, and its segments of the column pass and fix-ups.
  std::pair<int64_t, int64_t> rows_of(int member) const;
  std::pair<int64_t, int64_t> segments_of(int member) const;
  // One iteration from state_ into work_: returns the rounding distance.
  double iterate(row_mode mode, fast_subtract sub);
  void row_pass(int member, row_mode mode, const double* from, double* to);
  void column_pass(int member, fast_subtract sub);
  void fix_up(int member);
  // The column pass's per-word constants, as pointers into this squarer's tables.
  fast_kernels::word_tables tables() const;
  // Doubles from a row of the state to the next.
  int64_t row_stride() const { return 2 * shape_.stride; }
  // Weighted digits of v (v >= 0) through the column transforms into out.
  void transform_in(mpz_srcptr v, double* out) const;

  int32_t p_;
  two_pass_shape shape_;
  const fast_kernels::table* kernels_;
  const fast_kernels::shape_view* view_;
  int64_t rows_;        // n2 / 2 + 1
  int64_t blocks_;      // n1 / width
  int bits_;            // floor(p / n): a word holds bits_ or bits_ + 1 bits
  double small_words_;  // p mod n: word j is a long one when its weight index is below this
  double wrap_at_, long_above_;  // the unweights' thresholds of word_tables
  // Weight index r_j = (col_r[j1] + row_r[j2]) mod n; weight 2^(r_j / n).
  aligned_buffer<double> col_r_, row_r_, col_weight_, row_weight_, col_unweight_, row_unweight_;
  aligned_buffer<double> state_;         // the residue: rows_ x stride complex
  mutable aligned_buffer<double> work_;  // the iteration's output, swapped in when good
  aligned_buffer<double> factor_;        // multiply's other factor, transformed; made on first use
  const double* factor_source_ = nullptr;  // multiply_by: the other squarer's state
  mutable std::vector<member_scratch> scratch_;
  std::vector<segment> segments_;
  std::unique_ptr<worker_team> team_;
  team_chooser chooser_{1};
  pass_split row_split_, segment_split_;  // over the whole team
  std::vector<double> seconds_;           // an iteration's row and column seconds per member
  int fixed_members_ = 0;
  thread_use* report_ = nullptr;
  // Runs job(member) on members() members; sync() inside it meets them.
  template <class Job>
  void run(Job& job);
  void sync();
};
