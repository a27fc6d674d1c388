// Contract checks. MERSENNE_REQUIRE(cond) stops the program, naming the
// condition and its place, when cond is false. It is active where
// MERSENNE_CHECKS is defined (the sanitizer and debug builds, which keep it
// although they define NDEBUG) and costs nothing elsewhere; the condition
// must have no side effects.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace mersenne_detail {
[[noreturn]] inline void require_failed(const char* cond, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: requirement failed: %s\n", file, line, cond);
  std::abort();
}
}  // namespace mersenne_detail

#ifdef MERSENNE_CHECKS
#define MERSENNE_REQUIRE(cond) \
  ((cond) ? static_cast<void>(0) : ::mersenne_detail::require_failed(#cond, __FILE__, __LINE__))
#else
#define MERSENNE_REQUIRE(cond) static_cast<void>(sizeof(static_cast<bool>(cond)))
#endif
