// --benchmark: the fast engine's time per iteration at each transform
// length, on one thread and on several, against FFTW's bare transform pair,
// with the time spent making the plans kept apart.
#pragma once

#include <cstdio>

#include "cli/outcome.h"
#include "cli/options.h"

// How long each figure is measured: the best of blocks blocks, each of at
// least min_reps repetitions and about block_seconds.
struct bench_timing {
  double block_seconds = 0.2;
  int min_reps = 3;
  int blocks = 5;
};

// Measures opt.bench_lengths (empty: the powers of two from 4K to 4M that
// fit in memory) at the largest exponent each serves, on one thread and on
// opt.threads, and writes a table (or, with opt.json, one JSON object per
// length) to out_fd as each length is done; notes, errors and progress
// (only when show_progress) go to err. no_verdict when a length could not
// be measured, output_failed (stopping at once) when a line cannot be written.
cli_outcome run_benchmark(const cli_options& opt, const bench_timing& timing, int out_fd, FILE* err,
                          bool show_progress);

// Every length of the fast engine's table with the largest exponent it
// serves and the iteration that runs there, timing nothing and making no
// stepper: a table, or with opt.json one object per length (fft_length,
// max_exponent, iteration), to out_fd; output_failed when it cannot be written.
cli_outcome run_benchmark_list(const cli_options& opt, int out_fd, FILE* err);

// --benchmark --throughput: at each of opt.bench_lengths (empty: 1M, 2M, 4M
// and 8M), every split of the usable cores into workers x threads (1 x all
// first, all x 1 last), each worker a stepper of its own exponent (the
// largest primes the length serves) on threads of its own cores, all timed
// together; and one worker on one thread alone, on the first core. Writes
// per length a table (or, with opt.json, one JSON object per split) to
// out_fd, with the iterations per second in all, the best split, and
// scaling (1 x all over one alone) and ceiling (all x 1 over one alone); the
// best split of each length whose every split was measured is saved for the
// default --jobs and --threads (cli/splits.h). no_verdict when a split could
// not be measured, output_failed when a line cannot be written.
cli_outcome run_benchmark_throughput(const cli_options& opt, const bench_timing& timing, int out_fd, FILE* err,
                                     bool show_progress);
