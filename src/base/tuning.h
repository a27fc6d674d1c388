// The numbers this program was tuned with, each with the measurement that
// set it. Re-measure on new hardware before changing one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tuning {

// Below this exponent the automatic choice takes the exact engine, above it
// the fast one. Measured 2026-12-06 on AMD EPYC (2 cores, load about 1),
// thread CPU time of a whole test, best of several runs, one thread;
// e/f = exact time / fast time:
//   p    2003  2503  3001  3511  3761  4001  4253  4409  4523  4703  5003  5557  7001  10939  21377  33391
//   e/f  0.46  0.87  0.78  0.99  1.14  1.28  0.95  0.99  1.01  1.06  1.29  1.50  1.55  2.12   3.44   3.67
// Below 3500 exact wins; up to about 4500 the lead changes with the fast
// engine's length; from 4500 on fast wins at almost every exponent sampled
// (a few single points at 0.84-1.0 where the fast engine steps to a longer length).
inline constexpr int32_t kExactBelow = 4500;

// The fast engine's largest average bits per word are measured per length
// (bench/measure_bits) into their own generated table, arith/fast/length_table.h.

// A step whose rounding distance reaches this is redone at a longer length
// (and, where no longer length exists, ends the run without a verdict).
inline constexpr double kRetryDistance = 0.4;

// FFTW plans are measured from this length on, estimated below. Measuring
// took 0.75 s at 4096 on an idle core (4 s at 5K and 10 s at 48K with the
// machine busy) for a pair 18% faster at 4096 and up to a quarter at 48K.
// Measured plans are saved (arith/fast/wisdom.h), so a length pays for
// measuring once per machine: worth it from lengths of about a thousand.
inline constexpr int64_t kMeasuredPlansFrom = 1024;

// FFTW's time limit for measuring one plan, in seconds. Measuring the bare
// transform pair without a limit took 32 s at length 1M and 125 s at 4M on
// AMD EPYC; with this limit a new length costs at most about 40 s of
// planning (FFTW keeps the best plan found in time). The plans are saved in
// the wisdom file, so each length pays this once per machine.
inline constexpr double kPlanSecondsLimit = 20.0;

// Seconds a Jacobi check of a p-bit residue takes, about
// kCheckSecondsAtOneMillion * (p / 10^6)^1.5: measured on AMD EPYC, idle,
// 3 ms at p = 86K, 10 ms at 216K, 0.13 s at 1M, 2.8 s at 10M. Only the first
// check of a run is spaced by this estimate; later ones by the measured cost,
// so that checks take about kCheckShare of the run.
inline constexpr double kCheckSecondsAtOneMillion = 0.13;
inline constexpr double kCheckShare = 0.01;

// The fast engine runs the two-pass iteration with the AVX-512 kernels from
// the shortest length it splits (1K), with the others from this length on,
// the one-transform squarer below it. Measured on AMD EPYC, one thread,
// ratio to FFTW's bare pair: AVX-512 at 1K 1.24, 4K 1.02, 64K 0.60, 1M 0.32;
// AVX2 4.0, 3.0, 1.1; portable 5.2, 3.5, 1.4; FFTW twin 4.4, 2.3, 1.1;
// one-transform squarer 1.34, 0.99-1.4, 1.2. Since the AVX2 and portable
// kernels keep their pieces in registers, they too win at 4K on AMD EPYC
// (Zen 3, family 25 model 1, no AVX-512), ms per squaring: avx2 0.0152,
// one-transform 0.0168; 64K 0.30 against 0.40; but at 1K 0.0041 against
// 0.0036: the measured choice (kernel_choice.h) then runs them from 4K on.
inline constexpr int64_t kTwoPassFrom = 196608;

// From this length on the two-pass iteration runs on the threads asked for;
// below it on one. Measured on AMD EPYC, idle, ms per iteration with FFTW's
// transforms: two threads / one
//   32K 0.096 / 0.101, 64K 0.173 / 0.243, 128K 0.33 / 0.72.
inline constexpr int64_t kTwoPassThreadsFrom = 65536;

// Up to this length the two-pass kernels read each row's twiddles from a
// table of the whole state's size (8 bytes a word) instead of forming them
// from two small tables per row. Measured on AMD EPYC, one thread, the
// AVX-512 kernels against FFTW's bare pair, with the table / without:
//   4K 1.04 / 1.11, 8K 0.88 / 0.94, 16K 0.77 / 0.86, 32K 0.72 / 0.75, 64K 0.63 / 0.59.
inline constexpr int64_t kRowTwiddleTableTo = 32768;

// Complex values of padding after each row of the two-pass layout, so that
// the values of one column (a row apart) do not share the same cache sets.
// Measured at 1M on AMD EPYC, ms per iteration: no padding 25, 4 values
// 9.2, 8 values 9.1 (16: 10.3).
inline constexpr int64_t kRowPad = 8;

// Arrays of at least this many bytes ask for huge pages, each starting at
// its own offset within the page (17 lines apart, 16 offsets), so that the
// column pass's lines thousands of rows apart are not one page walk each.
// Measured 2026-12-09 on AMD EPYC family 26 (Zen 5), one thread, best of
// three alternating runs against small pages, ms per iteration: 512K 1.085
// -> 1.037, 1M 2.32 -> 2.21, 4M 10.83 -> 10.32, 8M 23.8 -> 21.8 (up to
// 256K level). All arrays at the same offset put the rows of the state and
// of its copy into the same cache sets: 512K was then 20% slower.
inline constexpr size_t kHugePagesFrom = size_t{4} << 20;

// Rows ahead that the column pass's inverse transforms fetch while they
// read a block (each row's line or two, a row apart). Measured 2026-12-09
// on AMD EPYC family 26 (Zen 5), one thread, ms per iteration, two runs
// each: none 9.8-10.5 at 4M and 21.6-22.1 at 8M; 16 rows 9.6-9.9 and
// 20.8-20.9; 32 rows 9.6-10.4 and 20.4-20.9; 64 rows 9.9-10.1 and 20.9-21.4;
// 128 no better than none at 8M. 1M level with all of them.
inline constexpr int64_t kColumnFetchAhead = 32;

// Segments of the two-pass column pass, at most: threads share them out,
// each segment's first block is carried again after the pass. A length has
// one segment per 8 blocks up to this many (1 up to 32K, 2 at 64K, 8 from
// 512K on): with a segment per block, the fix-ups took 15% of an iteration
// at 4K (AMD EPYC, AVX-512 kernels). Eight serve 1, 2, 4 and 8 threads evenly.
inline constexpr int64_t kCarrySegments = 8;

// Pauses a thread of the fast engine's team spins at a barrier before it
// sleeps: about 0.1 ms, longer than the other threads usually take to
// arrive, far shorter than a pass. Spinning 1 << 9 instead, on Intel Xeon
// (family 6 model 207, whose pause is longer: 1 << 12 is about 0.25 ms),
// idle, ms per iteration on two threads, three runs each: 64K 0.141-0.168
// against 0.127-0.156, 256K 0.59-0.69 against 0.57, 1M 2.65-2.89 against
// 2.60-2.78: no gain idle; beside a busy process the team runs on one
// thread instead (team_chooser below).
inline constexpr int kBarrierSpins = 1 << 12;

// The fast engine's team measures whether its helpers pay (arith/fast/team.h):
// each probe runs at least this many iterations and this long, on every
// member and then on one; the faster runs kTeamRunSeconds before the next
// probe, so a probe costs at most a few per cent of a run. The helpers stay
// where an iteration on all of them takes below kTeamMustWin of one alone.
// (A review measured p = 1257787, length 64K, iterations per second on one
// thread against two: 8765 against 4569 idle, 4390 against 1941 beside one
// other busy process, 2148 against 346 under heavier load. Intel Xeon,
// family 6 model 207, 2.92 GHz, 20000 iterations there: one thread 4.47 s,
// two 2.69 s idle, which the team keeps; beside one busy process one thread
// 4.35 s, two 9.83 s before the team chose, 4.36 s after, on one.)
inline constexpr int kTeamProbeIterations = 8;
inline constexpr double kTeamProbeSeconds = 0.05;
inline constexpr double kTeamRunSeconds = 5.0;
inline constexpr double kTeamMustWin = 0.95;

// How the fast engine's team shares each pass when its cores run at
// different speeds (pass_split in arith/fast/team.h): after every
// iteration each member's share moves this part of the way toward its
// measured rate over all rates, and none falls below kSplitLeastShare of
// an equal share (a member slowed for a moment still keeps some rows, so
// that its rate is measured again).
inline constexpr double kSplitGain = 0.3;
inline constexpr double kSplitLeastShare = 0.25;

// Seconds between progress reports (and redraws of the progress line): often
// enough to look live, rare enough that reading the clock costs nothing.
inline constexpr double kProgressInterval = 0.25;

// Trial factoring (methods/factor/factor.h). Candidates that survive the
// sieve and are tested, per second on one core, at p = 100,000,007 (27 bits:
// about 21 squarings a candidate), sieve included, measured by bench_factor
// on AMD EPYC (Zen 5, one core, best of three, three runs): with AVX-512
// IFMA 57.7 M/s for q in [2^60, 2^61), 57.8 M/s for q in [2^72, 2^73)
// (sieve blocks of 2^17; with blocks of 2^15, 49.6 and 51.3); with the
// scalar words (processors without IFMA) 15.2 M/s and 4.49 M/s.
// The automatic depth scales them by the bits of p.
inline constexpr double kFactorRateBelow64 = 57e6;
inline constexpr double kFactorRateAbove64 = 57e6;
inline constexpr double kFactorScalarRateBelow64 = 15e6;
inline constexpr double kFactorScalarRateAbove64 = 4.4e6;

// Vectors of eight candidates the IFMA arithmetic interleaves: enough to
// hide the latency of a squaring's chain of multiply-adds.
inline constexpr int kFactorIfmaVectors = 5;

// The sieve primes run up to this (2^17: about 12,000 primes; a class then
// keeps about a fifth of its candidates). With the IFMA arithmetic a lower
// limit would pay: k searched per second (IFMA candidates/s at 2^72..2^73
// times the limit's bits, survivors being about proportional to 1 / bits),
// limits 2^14..2^17: 1008, 1015, 998, 880, so 2^15 is about 15% faster
// there, while the scalar words, whose candidates cost three times more,
// would lose; kept at 2^17 for both.
inline constexpr uint32_t kFactorSieveLimit = 1 << 17;

// Candidates (k of one class) per sieve block, a byte each. Most sieve
// primes exceed the block and strike it once or not at all, so each block
// pays a visit to every prime: larger blocks spread that cost. IFMA
// candidates/s, best of two runs at 2^60..2^61 and 2^72..2^73 (bench_factor,
// AMD EPYC): 2^15 47, 51 M; 2^16 58, 59 M; 2^17 59, 61 M; 2^18 54, 60 M;
// 2^19 60, 59 M. The scalar words do not change. 2^17 bytes stay in the
// second-level cache.
inline constexpr size_t kFactorSieveBlock = size_t{1} << 17;

// Seconds per iteration of the fast engine per word times log2 of the
// length (a whole test: p iterations). Measured with --benchmark --threads 1
// --plans estimate on AMD EPYC (two-pass AVX-512 kernels), ms per iteration:
// 4K 0.0059, 64K 0.118, 1M 2.72, i.e. 1.2, 1.13 and 1.3 times 10^-10.
inline constexpr double kFastSecondsPerWordLog = 1.2e-10;

// Seconds per iteration of the exact engine (a GMP squaring and the fold
// modulo 2^p - 1) per bit of p times log2 p: what a test costs where the fast
// engine has no length. Measured with GMP 6.2 on Intel Xeon (2 cores, load
// about 1), mean of 2 to 20 iterations of random residues: s/iteration
// 0.0025 at p = 1M, 0.0105 at 4M, 0.050 at 16M, 0.31 at 64M, 0.93 at
// 151,078,831 (the fast engine's last), i.e. 1.25, 1.19, 1.3, 1.9 and 2.27
// times 10^-10. The figure at the fast engine's limit is kept: above it the
// estimate errs short, so the depth errs shallow.
inline constexpr double kExactSecondsPerBitLog = 2.27e-10;

// Tests estimated to take at least this many seconds are preceded by trial
// factoring unless it is turned off (--tf-bits 0).
inline constexpr double kFactorBeforeTestSeconds = 10.0;

// The console's inverse transform: its path is the one that runs one
// transform of this length fastest, best of this many timed rounds after one
// untimed (the rounds interleave the paths). Measured with bench_inverse:
// at n = 1024 the paths' order is the same as at 256 ... 8192 on the machines
// measured (Intel family 6 model 207: avx512 0.21 ms, avx2 0.33, scalar 0.55;
// AMD Zen 4, family 25: avx2 0.41 ms ahead of avx512 0.61), and the whole
// measurement takes about 5 ms.
inline constexpr int32_t kInverseChoiceLength = 1024;
inline constexpr int kInverseChoiceRounds = 3;

// The fast engine's kernel table (and whether the two-pass iteration runs
// below kTwoPassFrom) is the fastest at the probe length nearest the length,
// best of this many timed rounds of a few milliseconds after one untimed
// (arith/fast/kernel_choice.h; `bench_parts --choice` prints them). Measured
// on AMD EPYC (Zen 4, family 25 model 17), one thread, ms per squaring,
// avx512 / avx2 / portable: 4K 0.0116 / 0.031 / 0.041 (one-transform
// 0.0131), 64K 0.23 / 0.58 / 0.72, 1M 5.6 / 10.8 / 13.1; the whole
// measurement takes 0.8 s of CPU. On Zen 3 (family 25 model 1), avx2 /
// portable: 4K 0.0152 / 0.0376 (one-transform 0.0168), 64K 0.30 / 0.70,
// 1M 6.2 / 12.8. Below the probes the two-pass iteration is timed against
// the one-transform squarer at 2K and 1K, where on Zen 4 it wins by a
// fifth (2K: 0.0051-0.0067 against 0.0060-0.0087 ms) and by 1-5%
// (1K: 0.0027-0.0029 against 0.0029-0.0030): a tie at 1K no longer
// decides 2K.
inline constexpr int kKernelChoiceRounds = 3;

// P-1: the largest B1 taken. Stage 1's exponent has about 1.44 B1 bits and is
// built whole (its bits are read from the top down): 180 MB at this bound.
inline constexpr uint64_t kPm1LargestB1 = 1000000000;

// P-1's stage 2 holds as many baby steps (residues in the engine's own form)
// as fit in this share of the memory the process may have: D = 2310 (240
// baby steps) or 30030 (2880) where they fit, 210 (24) where memory is short.
// Pairing alone gives 0.866, 0.852 and 0.840 products per prime for D = 210,
// 2310 and 30030 over the primes of (10^6, 3 10^7]; the giant steps add 2 / D
// products per integer of the range.
inline constexpr double kPm1MemoryShare = 0.6;

// --test=ecm runs GMP-ECM's curves on 2^p - 1 up to this exponent (GMP-ECM
// has its own arithmetic for 2^p - 1); above it one curve at B1 = 50000
// takes more than a minute. Measured with GMP-ECM 7.0.5 on Intel Xeon (2
// cores shared), its own CPU-time report, seconds per curve at B1 = 50000
// with its default B2 (12.7M), stage 1 + stage 2 (stage 2 takes about as
// long as stage 1 from p = 20000 on; '-': a factor found in stage 1):
//   p      1061         5009        20011        30011     40009     100003
//   s      0.20 + 0.15  1.5 + 0.4   13.9 + 14.8  22.8 + -  37.0 + -  145 + 307
// A curve grows about as p^1.7 here and reaches a minute near p = 35000.
inline constexpr int32_t kEcmLargestExponent = 35000;

}  // namespace tuning
