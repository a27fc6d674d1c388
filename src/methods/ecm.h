// ECM on 2^p - 1 for small p by GMP-ECM: curves with stage 1 bound B1 and
// GMP-ECM's own stage 2, every factor found split into primes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Whether --test=ecm takes p: GMP-ECM's arithmetic is used up to this size.
bool ecm_applicable(int32_t p);

struct ecm_request {
  int curves = 1;
  uint64_t b1 = 0;
  uint64_t seed = 0;  // curves' sigma from this seed; 0: a random one
};

struct ecm_outcome {
  std::vector<std::string> factors;  // prime factors of 2^p - 1 found, decimal, ascending
  int curves_done = 0;
  bool interrupted = false;
  std::string error;                 // non-empty: the curves could not be run
};

// req.curves curves on 2^p - 1 (stopping after the curve that finds a
// factor, or at once when *stop turns true: the curve then running is
// dropped, not counted); progress(done, total) after each curve.
ecm_outcome run_ecm(int32_t p, const ecm_request& req, const std::atomic<bool>* stop,
                    const std::function<void(int, int)>& progress);
