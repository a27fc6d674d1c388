// The engines behind the batch command line: each runs the Lucas-Lehmer test
// for one exponent and reports the verdict, the Res64 and its statistics.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// What one Lucas-Lehmer run reports.
struct ll_outcome {
  bool verdict = false;       // false: the rounding bound was crossed and no verdict is given
  bool prime = false;         // s(p-2) mod 2^p - 1 is zero
  uint64_t res64 = 0;         // low 64 bits of s(p-2) mod 2^p - 1 (0 for a prime)
  int64_t fft_length = 0;     // transform length at the end of the run; 0 where none is used
  double max_roundoff = 0.0;  // largest rounding distance seen in the run
  std::string note;           // anything the user should know, e.g. a length raised after a retry
  std::string error;          // non-empty: the run could not be carried out (e.g. no memory); no verdict
};

struct engine_options {
  int threads = 1;  // threads inside one test
  // Called now and then with the iterations done and the total; may be empty.
  std::function<void(int64_t done, int64_t total)> progress;
};

// One row of the engine table.
struct engine {
  const char* name;
  // Whether the engine can test 2^p - 1, for a prime p >= 3.
  bool (*applicable)(int32_t p);
  // The Lucas-Lehmer test of 2^p - 1 for a prime p >= 3.
  ll_outcome (*run)(int32_t p, const engine_options& opt);
};
