// FFTW plans of the fast engine: one pair per (length, threads), made once
// and kept for the process, and a timer of the bare pair for benchmarks.
#pragma once

#include <fftw3.h>

#include <cstdint>
#include <mutex>

struct plan_pair {
  fftw_plan r2c;  // out of place: n reals -> n/2 + 1 complex
  fftw_plan c2r;  // in place on the complex array
};

// FFTW's planner is not thread-safe: every planner call (and every wisdom
// import or export) holds this lock.
std::mutex& fftw_planner_lock();

// The plans for real length n on threads threads (64-byte aligned arrays).
// Throws engine_failure when FFTW cannot plan, std::bad_alloc when the
// planning arrays cannot be had.
plan_pair plans_for(int64_t n, int threads);

// Planning, with fftw_planner_lock() held: begin checks that the plans'
// arrays (bytes) and FFTW's own set-up can still be had (else
// engine_failure: FFTW aborts the process on a failed allocation), sets up
// FFTW's threads (once), sets the threads the next plans run on and loads
// the saved plans (once); flags says how plans for a length-n transform are made, measured
// or estimated; end saves what measuring taught.
void fftw_begin_planning(int threads, uint64_t bytes);
unsigned fftw_plan_flags(int64_t n);
void fftw_end_planning(unsigned flags);

// Measured (default) or estimated plans for lengths from tuning::kMeasuredPlansFrom on.
void fast_set_measured_plans(bool measure);

// Times FFTW's bare forward plus inverse real transform of length n (no
// squaring, no carry) with the engine's plans, reps times; returns seconds
// per pair, of the calling thread's CPU time (meaningful for one thread) or
// of wall-clock time. For benchmarks only.
double fast_bare_pair_seconds(int64_t n, int threads, int reps, bool cpu_time);
