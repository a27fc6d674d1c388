// Trial factoring of 2^p - 1 for a prime p >= 3: every factor has the form
// q = 2kp + 1 with q = +-1 (mod 8). Candidates are split into residue
// classes of k modulo kClassModulus (whole classes whose q would be divisible
// by 3, 5, 7 or 11, or not +-1 mod 8, are skipped), each class is sieved by
// the small primes from 13 on, and each survivor is tested by computing
// 2^p mod q in Montgomery form (or 2^-p mod q, eight candidates a vector,
// with AVX-512 IFMA: methods/factor/ifma.h). The search runs bit level by bit level,
// upwards, and never past the square root of 2^p - 1.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// kFactorMaxBits, kFactorClassModulus and factor_classes, the progress record.
#include "formats/factor_classes.h"

// The arithmetic that tests the candidates: automatic is what
// MERSENNE_FACTOR_KERNEL names (ifma or scalar) when set, else ifma where
// the processor has it, else scalar (one or two 64-bit words).
enum class factor_kernel { automatic, scalar, ifma };

// Whether this processor has AVX-512 F and IFMA, which the ifma arithmetic needs.
bool factor_ifma_supported();

struct factor_options {
  int from_bits = 0;  // q below 2^from_bits were searched before: start there
  // Classes of the level [2^from_bits, 2^(from_bits + 1)) that an interrupted
  // search finished: skipped. Together with from_bits, where a search resumes.
  factor_classes from_classes;
  int to_bits = 0;    // search every q below 2^to_bits (capped at the square root)
  // Called now and then with the level being searched (q below 2^level) and
  // its share done, 0..1; may be empty.
  std::function<void(int level, double share)> progress;
  // Called at each class boundary with the point a search could resume from
  // (from_bits = level, from_classes = done); may be empty. Once a level has
  // a factor nothing more is reported: a resumed search must find it again.
  std::function<void(int level, const factor_classes& done)> reached;
  const std::atomic<bool>* stop = nullptr;  // when set and true, the search stops soon
  // Only k in [k_first, k_last] (q = 2kp + 1), for the tests and the benchmark; 0: no bound.
  unsigned __int128 k_first = 0, k_last = 0;
  factor_kernel kernel = factor_kernel::automatic;
};

struct factor_outcome {
  std::string factor;      // a proper factor of 2^p - 1 checked with GMP (decimal); empty: none found
  int bits = 0;            // every q below 2^bits searched (with a factor: the level it was found in)
  bool sqrt_reached = false;  // no factor up to the square root: 2^p - 1 is prime
  bool interrupted = false;   // stopped on request before the end
  // A candidate the arithmetic called a factor failed the GMP check, or the
  // arithmetic asked for is not available here; no verdict.
  std::string error;
  uint64_t tested = 0;        // candidates that survived the sieve and were tested
};

// Searches q in [2^from_bits, 2^to_bits) for a factor of 2^p - 1 (prime p >= 3,
// 0 <= from_bits <= to_bits <= kFactorMaxBits). Stops at the end of the
// bit level that holds the first factor found, reporting the smallest
// factor found there.
factor_outcome trial_factor(int32_t p, const factor_options& opt);

// The floor of the square root of 2^p - 1, or 0 when that is 2^kFactorMaxBits or more.
unsigned __int128 mersenne_sqrt_floor(int32_t p);

// Estimated seconds to search q in [2^level, 2^(level + 1)) for exponent p on one core
// (from the measured rates in base/tuning.h of the arithmetic a search
// would use here: IFMA or scalar).
double factor_level_seconds(int32_t p, int level);

// The depth (search q below 2^depth) worth searching before a test of
// test_seconds: each next level only while its estimated cost is below 1/b
// of the test's time, b the depth reached, the chance of a factor there.
// At most kFactorMaxBits, and no deeper than the square root needs.
int factor_auto_depth(int32_t p, double test_seconds);

// 2^p mod q for one odd q < 2^126 and p >= 1, by the arithmetic the search
// uses (one word below 2^64, two words from there on).
unsigned __int128 factor_pow2_mod(uint32_t p, unsigned __int128 q);
