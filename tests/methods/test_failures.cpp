// An allocation failing anywhere in an engine (its own arrays, GMP's
// integers, the loop's bookkeeping) gives that test an error and no
// verdict, never a crash or a wrong verdict, and leaves later tests intact.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "arith/engine_table.h"
#include "methods/run.h"

namespace {

// Allocations counted while armed; the fail_at-th one fails.
bool armed = false;
long allocations = 0, fail_at = -1;

bool should_fail() { return armed && ++allocations == fail_at; }

void* (*gmp_alloc)(size_t);
void* (*gmp_realloc)(void*, size_t, size_t);
void (*gmp_free)(void*, size_t);

void* failing_gmp_alloc(size_t n) { return should_fail() ? throw std::bad_alloc() : gmp_alloc(n); }
void* failing_gmp_realloc(void* p, size_t old, size_t n) { return should_fail() ? throw std::bad_alloc() : gmp_realloc(p, old, n); }

TEST(Failures, EveryAllocationOfEveryEngineFailsSoftly) {
  mp_get_memory_functions(&gmp_alloc, &gmp_realloc, &gmp_free);
  mp_set_memory_functions(failing_gmp_alloc, failing_gmp_realloc, gmp_free);
  engine_options opt;
  opt.shift = 0;
  const int32_t p = 521;
  for (const engine& e : engine_table()) {
    const ll_outcome want = run_lucas_lehmer(e, p, opt);  // plans made, nothing counted
    ASSERT_TRUE(want.verdict && want.prime) << e.name;
    armed = true, allocations = 0, fail_at = -1;
    run_lucas_lehmer(e, p, opt);
    const long total = allocations;
    EXPECT_GT(total, 2) << e.name;
    // How many checks a run makes depends on the clock: a run that makes fewer
    // allocations than fail_at ends normally, and then must be right.
    long failed = 0;
    for (fail_at = 1; fail_at <= total; ++fail_at) {
      allocations = 0;
      const ll_outcome o = run_lucas_lehmer(e, p, opt);
      failed += !o.verdict && !o.error.empty();
      EXPECT_TRUE(!o.error.empty() || (o.verdict && o.prime)) << e.name << ": allocation " << fail_at << " of " << total;
    }
    EXPECT_GT(failed, total / 2) << e.name;
    armed = false;
    const ll_outcome after = run_lucas_lehmer(e, p, opt);
    EXPECT_TRUE(after.verdict && after.prime && after.res64 == want.res64) << e.name;
  }
  mp_set_memory_functions(gmp_alloc, gmp_realloc, gmp_free);
}

}  // namespace

// Every allocation of the test binary goes through the counter. (GCC cannot
// tell that these replace the global functions in pairs.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  void* p = should_fail() ? nullptr : std::malloc(n == 0 ? 1 : n);
  return p != nullptr ? p : throw std::bad_alloc();
}
void* operator new(size_t n, std::align_val_t a) {
  const size_t align = static_cast<size_t>(a);
  void* p = should_fail() ? nullptr : std::aligned_alloc(align, (n + align - 1) / align * align);
  return p != nullptr ? p : throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
