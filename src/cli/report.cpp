#include "cli/report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

int32_t smallest_prime_factor(int32_t p) {
  if (p % 2 == 0) return 2;
  for (int64_t d = 3; d * d <= p; d += 2)
    if (p % d == 0) return static_cast<int32_t>(d);
  return p;
}

bool has_verdict(const exponent_result& r) {
  switch (r.kind) {
    case result_kind::tested:
      return r.outcome.verdict && r.outcome.error.empty();
    case result_kind::small_prime:
    case result_kind::composite_exponent:
      return true;
    case result_kind::no_engine:
      return false;
  }
  return false;
}

bool is_done(const exponent_result& r) {
  return has_verdict(r) || (r.kind == result_kind::tested && r.outcome.partial > 0 && r.outcome.error.empty());
}

std::string res64_hex(uint64_t res64) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(res64));
  return text;
}

namespace {

// "(fast, FFT 5120, 1.6 s; note)"
std::string run_details(const exponent_result& r) {
  std::string s = r.prp ? "(PRP-3, " + r.engine : "(" + r.engine;
  if (r.outcome.fft_length > 0) s += ", FFT " + std::to_string(r.outcome.fft_length);
  char t[64];
  std::snprintf(t, sizeof t, ", %.1f s", r.seconds);
  s += t;
  if (r.outcome.resumed_from > 0) s += "; resumed from iteration " + std::to_string(r.outcome.resumed_from);
  if (r.outcome.jacobi_errors > 0)
    s += "; " + std::to_string(r.outcome.jacobi_errors) + " failed check" + (r.outcome.jacobi_errors == 1 ? "" : "s") +
         " recomputed";
  if (r.outcome.gerbicz_errors > 0)
    s += "; " + std::to_string(r.outcome.gerbicz_errors) + " failed Gerbicz check" +
         (r.outcome.gerbicz_errors == 1 ? "" : "s") + " recomputed";
  if (!r.outcome.factor.empty()) s += "; factor " + r.outcome.factor + " found by the check";
  if (!r.outcome.proof_file.empty()) s += "; proof " + r.outcome.proof_file;
  if (!r.outcome.note.empty()) s += "; " + r.outcome.note;
  return s + ")";
}

// Seconds rounded to the millisecond, so that the JSON stays short.
double rounded_seconds(double s) { return std::round(s * 1000.0) / 1000.0; }

}  // namespace

std::string result_text(const exponent_result& r) {
  std::string m = "M";
  m += std::to_string(r.p);
  switch (r.kind) {
    case result_kind::small_prime:
      return m + " is prime";
    case result_kind::composite_exponent:
      return m + " is not prime: " + std::to_string(r.p) + " is divisible by " +
             std::to_string(r.divisor) + ", so 2^" + std::to_string(r.divisor) + " - 1 divides it";
    case result_kind::no_engine:
      return m + ": no verdict: the " + r.engine + " engine cannot test this exponent";
    case result_kind::tested:
      break;
  }
  const ll_outcome& o = r.outcome;
  if (!o.error.empty()) return m + ": no verdict: " + o.error + " (" + r.engine + ")";
  if (o.partial > 0)
    return m + " after " + std::to_string(o.partial) + " iterations: Res64 " + res64_hex(o.res64) + " " + run_details(r);
  if (!o.verdict) return m + ": no verdict " + run_details(r);
  if (r.prp) {
    if (o.prime) return m + " is a probable prime " + run_details(r);
    return m + " is not prime, PRP Res64 " + res64_hex(o.res64) + " " + run_details(r);
  }
  if (o.prime) return m + " is prime " + run_details(r);
  return m + " is not prime, Res64 " + res64_hex(o.res64) + " " + run_details(r);
}

std::string result_json(const exponent_result& r) {
  nlohmann::ordered_json j;
  j["exponent"] = r.p;
  const bool tested = r.kind == result_kind::tested;
  const bool verdict = has_verdict(r);
  if (!verdict)
    j["prime"] = nullptr;
  else
    j["prime"] = tested ? r.outcome.prime : r.kind == result_kind::small_prime;
  if (tested && (verdict || is_done(r)))
    j["res64"] = res64_hex(r.prp || !r.outcome.prime ? r.outcome.res64 : 0);
  else
    j["res64"] = nullptr;
  j["test"] = r.prp ? "prp" : "ll";
  j["engine"] = tested || r.kind == result_kind::no_engine ? r.engine : "none";
  j["fft_length"] = tested ? r.outcome.fft_length : 0;
  // A distance that is not finite (a coefficient that could not be decoded) comes out as null.
  if (tested && !std::isfinite(r.outcome.max_roundoff))
    j["max_roundoff"] = nullptr;
  else
    j["max_roundoff"] = tested ? r.outcome.max_roundoff : 0.0;
  j["seconds"] = rounded_seconds(r.seconds);
  j["verdict"] = verdict;
  if (tested && r.outcome.error.empty()) {
    if (r.outcome.partial > 0) j["partial"] = r.outcome.partial;
    j["resumed_from"] = r.outcome.resumed_from;
    j["shift"] = r.outcome.shift;
    j["errors"] = {{"jacobi", r.outcome.jacobi_errors},
                   {"roundoff", r.outcome.roundoff_errors},
                   {"gerbicz", r.outcome.gerbicz_errors}};
    if (!r.outcome.factor.empty()) j["factor"] = r.outcome.factor;
    if (!r.outcome.proof_file.empty())
      j["proof"] = {{"file", r.outcome.proof_file}, {"power", r.outcome.proof_power}};
  }
  if (r.kind == result_kind::composite_exponent) j["divisor"] = r.divisor;
  if (r.kind == result_kind::no_engine) j["note"] = "the " + r.engine + " engine cannot test this exponent";
  if (tested && !r.outcome.note.empty()) j["note"] = r.outcome.note;
  if (tested && !r.outcome.error.empty()) j["error"] = r.outcome.error;
  return j.dump();
}
