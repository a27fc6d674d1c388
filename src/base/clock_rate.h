// The core's clock in GHz, measured by a chain of dependent additions (one
// cycle each on every x86-64 core of the last decade): times from the same
// run turn into cycles without trusting the nominal clock or the turbo.
// (Adds of a register, not of an immediate: some cores fold chains of
// immediate adds in the renamer.)
#pragma once

#include <time.h>

#include <cstdint>

// GHz of the core this thread runs on: the best of five chains of 2^27
// dependent adds, in this thread's processor time (a busy machine only
// preempts it).
inline double measured_ghz() {
  double best = 0;
  for (int round = 0; round < 5; ++round) {
    timespec a, b;
    uint64_t x = 0;
    volatile uint64_t one = 1;
    const uint64_t step = one;
    constexpr uint64_t kAdds = uint64_t{1} << 27;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
    for (uint64_t i = 0; i < kAdds / 8; ++i) {
#if defined(__x86_64__)
      asm volatile(
          "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
          "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
          : "+r"(x)
          : "r"(step));
#else
      asm volatile("" : "+r"(x));
      x += 8;
#endif
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
    const double s = static_cast<double>(b.tv_sec - a.tv_sec) + 1e-9 * static_cast<double>(b.tv_nsec - a.tv_nsec);
    const double ghz = static_cast<double>(kAdds) / s / 1e9;
    if (ghz > best) best = ghz;
  }
  return best;
}
