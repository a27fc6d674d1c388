#include "arith/fast/fast.h"

#include <cstring>
#include <new>

#include "arith/fast/kernel_choice.h"
#include "arith/fast/lengths.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "base/tuning.h"

bool fast_applicable(int32_t p) { return fast_length_for(p) != 0; }

int64_t fast_start_length(int32_t p, int64_t asked) {
  int64_t n = asked != 0 ? asked : fast_length_for(p);
  while (n != 0 && (p + n - 1) / n > 26) n = fast_next_length(p, n);
  return n <= p ? n : 0;
}

namespace {

// Whether a stepper for p at length n runs the two-pass iteration (with the
// chosen kernels) rather than the one-transform squarer (kernel_choice.h).
bool two_pass_at(int32_t p, int64_t n) { return two_pass_serves(p, n) && two_pass_chosen(n); }

}  // namespace

uint64_t fast_memory_bytes(int32_t p, int64_t n) {
  const uint64_t words = static_cast<uint64_t>(n), residue = static_cast<uint64_t>(p) / 2;
  // Two-pass: state and output (8 bytes a word each), multiply's other
  // factor (8), a store's digits (8), small tables.
  if (two_pass_at(p, n)) return 40 * words + residue + (uint64_t{1} << 22);
  // Per word: three transform arrays (24 bytes), six layout tables (48), FFTW's
  // twiddles and buffers (about 16), a store's scratch (8); the residue a few times over.
  return 96 * words + residue;
}

std::unique_ptr<stepper> make_fast_stepper(int32_t p, int64_t n, const engine_options& opt) {
  try {
    // Below kTwoPassThreadsFrom one thread is faster than several (base/tuning.h).
    if (two_pass_at(p, n)) {
      auto st = std::make_unique<two_pass_squarer>(p, n, n >= tuning::kTwoPassThreadsFrom ? opt.threads : 1);
      st->report_threads_to(opt.thread_report);
      return st;
    }
    return std::make_unique<fast_squarer>(p, n);
  } catch (const std::bad_alloc&) {
    throw engine_failure("out of memory for the transform arrays");
  }
}

std::string fast_iteration_name(int32_t p, int64_t n) {
  if (!two_pass_at(p, n)) return "one-transform";
  std::string name = "two-pass ";
  name += chosen_kernels(n).name;
  return name;
}
