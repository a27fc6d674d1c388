// The Lucas-Lehmer iteration over the digit-string and transform stages:
// the working arrays of one run, one step, and the dialogue's traced loop
// over all steps. The reference engine advances its residue with ll_step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/transform.h"

struct ll_arrays {
  uint32_t* buffer = nullptr;
  uint32_t* u2 = nullptr;
  uint32_t* u1 = nullptr;  // 3L bytes, used as words
  double* wr = nullptr;
  double* wi = nullptr;
  double* dft_r1 = nullptr;
  double* dft_i1 = nullptr;
  double* res_dft_r = nullptr;
  double* res_dft_i = nullptr;
  double* inf_dft_r = nullptr;
  double* inf_dft_i = nullptr;
  double* res_polynom = nullptr;
};

inline constexpr int kArrayCount = 12;

// One working array: its name, element count and element size, for the allocator.
struct array_slot {
  const char* name;
  int64_t count;
  int64_t size;
};

// Size unit of every array: 8*(p/16)+8, but never below 8.
int32_t size_unit(int32_t p);

// The twelve arrays in allocation order, sized for unit L (64-bit counts).
void array_table(int32_t L, array_slot out[kArrayCount]);

// Zero-filling allocator: count elements of size bytes, or nullptr.
using alloc_fn = void* (*)(size_t count, size_t size);

// Allocates the twelve arrays in table order with alloc, printing one report
// line each when report is set. Returns false if any failed; whatever did
// succeed stays in a for free_arrays.
bool allocate_arrays(int32_t L, alloc_fn alloc, bool report, ll_arrays* a);

// Frees every array of a and clears the pointers.
void free_arrays(ll_arrays* a);

// State of one run between steps.
struct ll_run {
  int32_t len = 1;
  int32_t hi_len = 0;
  int32_t steps_done = 0;
  double max_distance = 0.0;  // largest rounding distance seen
  int32_t max_step = -1;      // step where it was seen
};

struct ll_loop_options {
  bool trace = false;                             // print the step and stage trace lines
  inverse_path path = inverse_path_default();     // how the inverse transform is computed
};

// Sets the residue to the start value 4 and resets run.
void ll_start(const ll_arrays& a, ll_run* run);

// The squaring stages of one step: a.u2 / run->len replaced by its square
// (not yet reduced), the inverse transform taken along path. Returns the
// step's rounding distance. Requires run->len >= 1 and arrays sized for it.
double ll_square(const ll_arrays& a, ll_run* run, bool trace, inverse_path path);

// One step s -> s^2 - 2 mod 2^p - 1 on a.u2 / run->len; returns its rounding distance.
double ll_step(const ll_arrays& a, int32_t p, ll_run* run, bool trace, inverse_path path);

// Runs the remaining steps up to p - 2 in all, keeping the largest rounding
// distance and its step in run. A traced run stops early once standard
// output has failed.
void ll_iterate(const ll_arrays& a, int32_t p, ll_run* run, const ll_loop_options& opt);

// Trims the residue; true when it is zero.
bool ll_residue_is_zero(const ll_arrays& a, ll_run* run);
