#include "engine/fast/fast.h"

#include <new>

#include "engine/fast/lengths.h"
#include "engine/fast/squarer.h"

bool fast_applicable(int32_t p) { return fast_length_for(p) != 0; }

int64_t fast_start_length(int32_t p, int64_t asked) {
  int64_t n = asked != 0 ? asked : fast_length_for(p);
  while (n != 0 && (p + n - 1) / n > 26) n = fast_next_length(p, n);
  return n <= p ? n : 0;
}

std::unique_ptr<stepper> make_fast_stepper(int32_t p, int64_t n, const engine_options& opt) {
  try {
    return std::make_unique<fast_squarer>(p, n, opt.threads);
  } catch (const std::bad_alloc&) {
    throw engine_failure("out of memory for the transform arrays");
  }
}
