#include "arith/fast/plans.h"

#include <time.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "base/aligned_buffer.h"
#include "base/check.h"
#include "base/machine.h"
#include "arith/engine.h"
#include "arith/fast/wisdom.h"
#include "base/tuning.h"

namespace {

bool measured_plans = true;

}  // namespace

std::mutex& fftw_planner_lock() {
  static std::mutex m;
  return m;
}

void fftw_begin_planning(int threads, uint64_t bytes) {
  static bool threads_ready = false;
  // FFTW's set-up and a plan's own tables and buffers: a few times the
  // arrays; the first planner call also registers every solver (0.3 MB).
  if (!memory_available(3 * bytes + (uint64_t{4} << 20)))
    throw engine_failure("not enough memory to plan transforms of " + format_bytes(bytes) + " (" +
                         format_bytes(usable_memory_bytes()) + " left to this process)");
  if (!threads_ready) {
    fftw_init_threads();
    fftw_make_planner_thread_safe();
    threads_ready = true;
  }
  wisdom_before_planning();
  fftw_plan_with_nthreads(threads);
}

unsigned fftw_plan_flags(int64_t n) {
  return measured_plans && n >= tuning::kMeasuredPlansFrom ? FFTW_MEASURE : FFTW_ESTIMATE;
}

void fftw_end_planning(unsigned flags) {
  if (flags != FFTW_ESTIMATE) wisdom_after_planning();  // FFTW_MEASURE is 0: no bit to test
}

plan_pair plans_for(int64_t n, int threads) {
  MERSENNE_REQUIRE(n >= 1 && n <= INT32_MAX && threads >= 1);
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  // Never destroyed: runs may still be going on other threads at exit.
  static auto& cache = *new std::map<std::pair<int64_t, int>, plan_pair>;
  const auto key = std::make_pair(n, threads);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  fftw_begin_planning(threads, 16 * static_cast<uint64_t>(n) + 16);
  aligned_buffer<double> x(static_cast<size_t>(n)), z(2 * static_cast<size_t>(n / 2 + 1));
  const unsigned flags = fftw_plan_flags(n);
  const int len = static_cast<int>(n);
  fftw_complex* zc = reinterpret_cast<fftw_complex*>(z.data());
  plan_pair pp;
  pp.r2c = fftw_plan_dft_r2c_1d(len, x.data(), zc, flags);
  pp.c2r = fftw_plan_dft_c2r_1d(len, zc, z.data(), flags);
  if (pp.r2c == nullptr || pp.c2r == nullptr) {
    if (pp.r2c != nullptr) fftw_destroy_plan(pp.r2c);
    if (pp.c2r != nullptr) fftw_destroy_plan(pp.c2r);
    throw engine_failure("FFTW could not plan a transform of length " + std::to_string(n));
  }
  cache.emplace(key, pp);
  fftw_end_planning(flags);
  return pp;
}

void fast_set_measured_plans(bool measure) {
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  measured_plans = measure;
}

double fast_bare_pair_seconds(int64_t n, int threads, int reps, bool cpu_time) {
  const plan_pair pp = plans_for(n, threads);
  aligned_buffer<double> x(static_cast<size_t>(n)), z(2 * static_cast<size_t>(n / 2 + 1));
  for (int64_t j = 0; j < n; ++j) x[static_cast<size_t>(j)] = static_cast<double>((j * 7919) % 1000) - 500.0;
  fftw_complex* zc = reinterpret_cast<fftw_complex*>(z.data());
  fftw_execute_dft_r2c(pp.r2c, x.data(), zc);
  fftw_execute_dft_c2r(pp.c2r, zc, z.data());
  const clockid_t clock = cpu_time ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
  timespec t0, t1;
  clock_gettime(clock, &t0);
  for (int i = 0; i < reps; ++i) {
    fftw_execute_dft_r2c(pp.r2c, x.data(), zc);
    fftw_execute_dft_c2r(pp.c2r, zc, z.data());
  }
  clock_gettime(clock, &t1);
  const double s = static_cast<double>(t1.tv_sec - t0.tv_sec) + 1e-9 * static_cast<double>(t1.tv_nsec - t0.tv_nsec);
  return s / reps;
}
