// The record of one exponent's result, and its two forms: a line of text
// for people and a line of JSON that the results file keeps and other
// programs read. Whether a line read back is one this program could have
// written (its verdict consistent with p) is checked in work/report.h.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "arith/engine.h"

enum class result_kind {
  tested,              // an engine ran; outcome says whether it reached a verdict
  small_prime,         // p = 2: 2^2 - 1 = 3 is prime, no test runs
  composite_exponent,  // p = a*b, so 2^a - 1 divides 2^p - 1: not prime, no test runs
  no_engine,           // the engine asked for cannot test this exponent
  factored,            // trial factoring found a factor: not prime, no test runs
  proven_prime,        // trial factoring reached the square root of 2^p - 1 without a factor: prime
  no_factor,           // --test=tf: no factor below 2^tf_bits (done, but no verdict on primality)
  pm1_factor,          // P-1 found a factor (before a test, or --test=pm1): not prime, no test runs
  pm1_none,            // --test=pm1: no factor within the bounds (done, no verdict on primality)
  ecm_factor,          // --test=ecm: a curve found a factor: not prime
  ecm_none,            // --test=ecm: no curve found one (done, no verdict on primality)
};

// What a P-1 run (methods/pm1.h) or ECM curves (methods/ecm.h) did for one exponent.
struct factoring_record {
  bool ran = false;                  // P-1 or ECM ran for this exponent
  uint64_t b1 = 0, b2 = 0;           // the bounds (P-1: b2 = b1 when stage 2 did not run)
  int curves = 0;                    // ECM: curves run
  std::vector<std::string> factors;  // prime factors found, decimal, ascending
  double chance = -1;                // P-1: the chance of a factor its bounds were chosen for; < 0: not estimated
  int64_t fft_length = 0;            // the transform length it ran at; 0: none
};

struct exponent_result {
  int32_t p = 0;
  result_kind kind = result_kind::tested;
  int32_t divisor = 0;     // smallest prime factor of p, for composite_exponent
  std::string engine;      // the engine that ran, or the one asked for (no_engine)
  bool prp = false;        // the probable-prime test (else Lucas-Lehmer)
  bool factor_only = false;  // --test=tf: trial factoring only
  int tf_bits = -1;        // trial factoring searched every q below 2^tf_bits; -1: none ran
  std::string tf_factor;   // for factored: the factor (decimal)
  bool pm1_only = false;   // --test=pm1: P-1 factoring only
  bool ecm_only = false;   // --test=ecm: ECM curves only
  factoring_record pm1;    // P-1 (before a test, or alone); ran = false: none ran
  factoring_record ecm;    // --test=ecm
  ll_outcome outcome;      // for tested
  double seconds = 0.0;
};

// True when the result carries a verdict (prime or not prime).
bool has_verdict(const exponent_result& r);

// "ll", "prp" or "tf": the test asked for.
const char* result_test_name(const exponent_result& r);

// True when the exponent is done: a verdict, or the interim residue asked for.
bool is_done(const exponent_result& r);

// The Res64 as 16 upper-case hex digits.
std::string res64_hex(uint64_t res64);

// One line of text, without the line break.
std::string result_text(const exponent_result& r);

// One JSON object on one line, without the line break: to_json's object.
std::string result_json(const exponent_result& r);

// The JSON object of r, its fields in the order every line has them.
void to_json(nlohmann::ordered_json& j, const exponent_result& r);

// Why a JSON value is not a result line: thrown by from_json with the reason.
struct result_line_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The result an object of to_json's fields describes: each field present
// where every line has it and of the right type, the test and the kind
// they name known. Throws result_line_error with the reason otherwise;
// whether the fields agree with each other and with p is not checked here.
void from_json(const nlohmann::json& j, exponent_result& r);
