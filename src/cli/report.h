// What the batch command line reports for one exponent, and its two forms:
// a line of text and a line of JSON.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"

enum class result_kind {
  tested,              // an engine ran; outcome says whether it reached a verdict
  small_prime,         // p = 2: 2^2 - 1 = 3 is prime, no test runs
  composite_exponent,  // p = a*b, so 2^a - 1 divides 2^p - 1: not prime, no test runs
  no_engine,           // the engine asked for cannot test this exponent
};

struct exponent_result {
  int32_t p = 0;
  result_kind kind = result_kind::tested;
  int32_t divisor = 0;     // smallest prime factor of p, for composite_exponent
  std::string engine;      // the engine that ran, or the one asked for (no_engine)
  bool prp = false;        // the probable-prime test (else Lucas-Lehmer)
  ll_outcome outcome;      // for tested
  double seconds = 0.0;
};

// Smallest prime factor of p >= 2 (p itself when p is prime).
int32_t smallest_prime_factor(int32_t p);

// True when the result carries a verdict (prime or not prime).
bool has_verdict(const exponent_result& r);

// True when the exponent is done: a verdict, or the interim residue asked for.
bool is_done(const exponent_result& r);

// The Res64 as 16 upper-case hex digits.
std::string res64_hex(uint64_t res64);

// One line of text, without the line break.
std::string result_text(const exponent_result& r);

// One JSON object on one line, without the line break.
std::string result_json(const exponent_result& r);
