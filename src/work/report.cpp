#include "work/report.h"

#include <gmp.h>

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <tuple>
#include <utility>

#include "methods/factor/factor.h"
#include "methods/proof.h"

bool has_verdict(const exponent_result& r) {
  switch (r.kind) {
    case result_kind::tested:
      return r.outcome.verdict && r.outcome.error.empty();
    case result_kind::small_prime:
    case result_kind::composite_exponent:
    case result_kind::factored:
    case result_kind::proven_prime:
      return true;
    case result_kind::no_engine:
    case result_kind::no_factor:
      return false;
  }
  return false;
}

bool is_done(const exponent_result& r) {
  return has_verdict(r) || r.kind == result_kind::no_factor ||
         (r.kind == result_kind::tested && r.outcome.partial > 0 && r.outcome.error.empty());
}

const char* result_test_name(const exponent_result& r) { return r.factor_only ? "tf" : r.prp ? "prp" : "ll"; }

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
  if (r.tf_bits > 0) s += "; no factor below 2^" + std::to_string(r.tf_bits);
  return s + ")";
}

// Whether text (decimal) is a proper factor of 2^p - 1: above 1, below 2^p - 1, and dividing it.
bool proper_mersenne_factor(const std::string& text, int32_t p) {
  // A proper factor has fewer digits than 2^p - 1; longer text is not parsed at all.
  if (text.empty() || text[0] == '0' || text.find_first_not_of("0123456789") != std::string::npos ||
      static_cast<double>(text.size()) > 0.30103 * p + 2)
    return false;
  mpz_t q, r, two;
  mpz_inits(q, r, two, nullptr);
  bool ok = mpz_set_str(q, text.c_str(), 10) == 0 && mpz_cmp_ui(q, 1) > 0;
  if (ok) {
    mpz_set_ui(two, 2);
    mpz_powm_ui(r, two, static_cast<unsigned long>(p), q);
    const bool whole = mpz_sizeinbase(q, 2) == static_cast<size_t>(p) && mpz_popcount(q) == static_cast<mp_bitcnt_t>(p);
    ok = mpz_cmp_ui(r, 1) == 0 && !whole;
  }
  mpz_clears(q, r, two, nullptr);
  return ok;
}

// Whether 2^p - 1 is prime, for the small p that trial factoring can settle.
bool small_mersenne_prime(int32_t p) {
  mpz_t m;
  mpz_init(m);
  mpz_ui_pow_ui(m, 2, static_cast<unsigned long>(p));
  mpz_sub_ui(m, m, 1);
  const bool prime = mpz_probab_prime_p(m, 40) != 0;
  mpz_clear(m);
  return prime;
}

// Whether r, read from the line j, is a result this program could have
// written: the fields its verdict rests on present and in agreement with
// each other and with p. False with the reason in *why otherwise.
bool consistent(const exponent_result& r, const nlohmann::json& j, std::string* why) {
  const auto refuse = [&](const std::string& text) {
    *why = text;
    return false;
  };
  const nlohmann::json& prime = j["prime"];
  const bool verdict = j["verdict"];
  const int32_t p = r.p;
  const int32_t least = smallest_prime_factor(p);
  // The exponent alone settles p = 2 and every composite p; no other line stands for them.
  if (p == 2 && r.kind != result_kind::small_prime) return refuse("M2 can only have the line of a small prime");
  if (p > 2 && least != p && r.kind != result_kind::composite_exponent)
    return refuse(std::to_string(p) + " is composite: only its divisor stands for M" + std::to_string(p));
  if (r.tf_bits > kFactorMaxBits) return refuse("tf_bits beyond the deepest factoring");
  if (r.kind == result_kind::tested || r.kind == result_kind::no_engine) {
    if (j.contains("divisor")) return refuse("a divisor on a line that is not about a composite exponent");
  }
  switch (r.kind) {
    case result_kind::small_prime:
      if (p != 2) return refuse("a small prime other than M2 (divisor missing?)");
      if (prime != true || !verdict) return refuse("M2 not recorded as prime");
      return true;
    case result_kind::composite_exponent:
      if (r.divisor <= 1 || r.divisor >= p || p % r.divisor != 0)
        return refuse("divisor " + std::to_string(r.divisor) + " is not a proper divisor of " + std::to_string(p));
      if (prime != false || !verdict) return refuse("a composite exponent not recorded as not prime");
      return true;
    case result_kind::factored:
      if (!proper_mersenne_factor(r.tf_factor, p))
        return refuse("factor " + r.tf_factor + " does not divide 2^" + std::to_string(p) + " - 1");
      if (prime != false || !verdict) return refuse("a factor on a line that is not a verdict of not prime");
      return true;
    case result_kind::proven_prime:
      // Only trial factoring up to the square root proves a prime, so only small p.
      if (p > 2 * kFactorMaxBits || r.tf_bits < (p + 1) / 2)
        return refuse("trial factoring to 2^" + std::to_string(r.tf_bits) + " does not reach the square root of 2^" +
                      std::to_string(p) + " - 1");
      if (!verdict || !small_mersenne_prime(p)) return refuse("2^" + std::to_string(p) + " - 1 is not prime");
      return true;
    case result_kind::no_factor:
      if (!prime.is_null() || !verdict) return refuse("a factoring line without a factor that has a verdict on primality");
      return true;
    case result_kind::no_engine:
      if (!prime.is_null() || verdict || !j["res64"].is_null()) return refuse("a line without an engine that has a verdict");
      return true;
    case result_kind::tested:
      break;
  }
  const ll_outcome& o = r.outcome;
  const bool res64 = j["res64"].is_string();
  if (r.factor_only && o.error.empty()) return refuse("a factoring line that is neither a factor nor a depth");
  if (!o.error.empty()) {
    if (!prime.is_null() || res64 || j.contains("partial") || j.contains("factor"))
      return refuse("a line with an error that has a result");
    return true;
  }
  // A probable-prime test runs on past p to its proof's end, at most 2^kMaxProofPower further.
  const int64_t last = r.prp ? int64_t{p} + (int64_t{1} << kMaxProofPower) : int64_t{p} - 2;
  if (o.shift >= static_cast<uint32_t>(p) || o.resumed_from < 0 || o.resumed_from > last)
    return refuse("shift or resumed_from out of range");
  if (!o.factor.empty() && !proper_mersenne_factor(o.factor, p))
    return refuse("factor " + o.factor + " does not divide 2^" + std::to_string(p) + " - 1");
  if (j.contains("partial")) {
    if (o.partial <= 0 || o.partial >= int64_t{p} - 2 || verdict || !prime.is_null() || !res64)
      return refuse("an interim residue that is out of range or has a verdict");
    return true;
  }
  if (!verdict) {
    if (!prime.is_null() || res64) return refuse("a line without a verdict that has a result");
    return true;
  }
  if (!prime.is_boolean() || !res64) return refuse("a verdict without prime or res64");
  // What the test leaves for a prime: 0 for Lucas-Lehmer, 1 for the probable-prime test.
  const uint64_t prime_res64 = r.prp ? 1 : 0;
  if (o.prime && (o.res64 != prime_res64 || !o.factor.empty()))
    return refuse("prime, but its Res64 is " + res64_hex(o.res64) + (o.factor.empty() ? "" : " and it has a factor"));
  if (!o.prime && o.res64 == prime_res64) return refuse("not prime, but its Res64 is that of a prime");
  return true;
}

// Seconds rounded to the millisecond, so that the JSON stays short.
double rounded_seconds(double s) { return std::round(s * 1000.0) / 1000.0; }

}  // namespace

std::string result_text(const exponent_result& r) {
  const std::string m = mersenne_name(r.p);
  switch (r.kind) {
    case result_kind::small_prime:
      return m + " is prime";
    case result_kind::composite_exponent:
      return m + " is not prime: " + std::to_string(r.p) + " is divisible by " +
             std::to_string(r.divisor) + ", so 2^" + std::to_string(r.divisor) + " - 1 divides it";
    case result_kind::no_engine:
      return m + ": no verdict: the " + r.engine + " engine cannot test this exponent";
    case result_kind::factored:
      return m + " is not prime: factor " + r.tf_factor + " (trial factoring)";
    case result_kind::proven_prime:
      return m + " is prime: no factor up to the square root of 2^" + std::to_string(r.p) +
             " - 1 (trial factoring)";
    case result_kind::no_factor:
      return m + ": no factor below 2^" + std::to_string(r.tf_bits);
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
    j["prime"] = tested ? r.outcome.prime : r.kind == result_kind::small_prime || r.kind == result_kind::proven_prime;
  if (tested && (verdict || is_done(r)))
    j["res64"] = res64_hex(r.prp || !r.outcome.prime ? r.outcome.res64 : 0);
  else
    j["res64"] = nullptr;
  j["test"] = result_test_name(r);
  const bool factoring = r.kind == result_kind::factored || r.kind == result_kind::proven_prime ||
                         r.kind == result_kind::no_factor;
  j["engine"] = factoring ? "tf" : tested || r.kind == result_kind::no_engine ? r.engine : "none";
  j["fft_length"] = tested ? r.outcome.fft_length : 0;
  // A distance that is not finite (a coefficient that could not be decoded) comes out as null.
  if (tested && !std::isfinite(r.outcome.max_roundoff))
    j["max_roundoff"] = nullptr;
  else
    j["max_roundoff"] = tested ? r.outcome.max_roundoff : 0.0;
  j["seconds"] = rounded_seconds(r.seconds);
  // A completed factoring run is a result, though not one on primality.
  j["verdict"] = verdict || r.kind == result_kind::no_factor;
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
  if (r.kind == result_kind::factored) j["factor"] = r.tf_factor;
  if (r.tf_bits >= 0) j["tf_bits"] = r.tf_bits;
  if (r.kind == result_kind::no_engine) j["note"] = "the " + r.engine + " engine cannot test this exponent";
  if (tested && !r.outcome.note.empty()) j["note"] = r.outcome.note;
  if (tested && !r.outcome.error.empty()) j["error"] = r.outcome.error;
  return j.dump();
}

bool result_from_json(const std::string& line, exponent_result* out, std::string* why) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "not a JSON object";
    return false;
  }
  const auto field = [&](const char* name, bool (nlohmann::json::*is)() const noexcept, bool may_be_null) {
    const auto it = j.find(name);
    if (it == j.end()) return false;
    return (*it.operator->().*is)() || (may_be_null && it->is_null());
  };
  using J = nlohmann::json;
  for (const auto& [name, is, null] :
       {std::tuple{"exponent", &J::is_number_integer, false}, {"prime", &J::is_boolean, true},
        {"res64", &J::is_string, true}, {"test", &J::is_string, false}, {"engine", &J::is_string, false},
        {"fft_length", &J::is_number_integer, false}, {"max_roundoff", &J::is_number, true},
        {"seconds", &J::is_number, false}, {"verdict", &J::is_boolean, false}})
    if (!field(name, is, null)) {
      *why = std::string("field ") + name + " missing or of the wrong type";
      return false;
    }
  for (const auto& [name, is] : {std::pair{"partial", &J::is_number_integer}, {"resumed_from", &J::is_number_integer},
                                 {"shift", &J::is_number_integer}, {"errors", &J::is_object},
                                 {"factor", &J::is_string}, {"proof", &J::is_object}, {"divisor", &J::is_number_integer},
                                 {"note", &J::is_string}, {"error", &J::is_string}, {"tf_bits", &J::is_number_integer}})
    if (j.contains(name) && !field(name, is, false)) {
      *why = std::string("field ") + name + " of the wrong type";
      return false;
    }
  exponent_result r;
  const int64_t p = j["exponent"].get<int64_t>();
  const std::string test = j["test"], engine = j["engine"];
  if (p < 2 || p > 2147483647 || (test != "ll" && test != "prp" && test != "tf")) {
    *why = "exponent or test out of range";
    return false;
  }
  r.p = static_cast<int32_t>(p);
  r.prp = test == "prp";
  r.factor_only = test == "tf";
  r.engine = engine;
  r.seconds = j["seconds"].get<double>();
  r.tf_bits = static_cast<int>(j.value("tf_bits", int64_t{-1}));
  const bool verdict = j["verdict"];
  const bool prime = j["prime"].is_boolean() && j["prime"].get<bool>();
  ll_outcome& o = r.outcome;
  if (engine == "tf" && j.contains("error")) {
    // Factoring that failed: no depth and no verdict, like any test's error.
    r.kind = result_kind::tested;
    o.error = j["error"];
    if (verdict) {
      *why = "a verdict with an error";
      return false;
    }
  } else if (engine == "tf") {
    r.tf_factor = j.value("factor", std::string());
    r.kind = !r.tf_factor.empty() ? result_kind::factored : prime ? result_kind::proven_prime : result_kind::no_factor;
    r.engine.clear();
    if (r.tf_factor.find_first_not_of("0123456789") != std::string::npos || r.tf_bits < 0) {
      *why = "a trial factoring line without its depth, or with a factor that is not a number";
      return false;
    }
  } else if (engine == "none") {
    r.engine.clear();
    r.divisor = static_cast<int32_t>(j.value("divisor", int64_t{0}));
    r.kind = r.divisor > 0 ? result_kind::composite_exponent : result_kind::small_prime;
  } else if (!j.contains("errors") && !j.contains("error") && !verdict) {
    r.kind = result_kind::no_engine;
  } else {
    o.verdict = verdict;
    o.prime = prime;
    if (j["res64"].is_string()) {
      const std::string hex = j["res64"];
      if (hex.size() != 16 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
        *why = "res64 is not 16 hex digits";
        return false;
      }
      o.res64 = std::stoull(hex, nullptr, 16);
    }
    o.fft_length = j["fft_length"];
    o.max_roundoff = j["max_roundoff"].is_null() ? NAN : j["max_roundoff"].get<double>();
    o.partial = j.value("partial", int64_t{0});
    o.resumed_from = j.value("resumed_from", int64_t{0});
    o.shift = static_cast<uint32_t>(j.value("shift", int64_t{0}));
    if (j.contains("errors")) {
      const nlohmann::json& e = j["errors"];
      for (const auto& [name, to] : {std::pair{"jacobi", &o.jacobi_errors}, {"roundoff", &o.roundoff_errors},
                                     {"gerbicz", &o.gerbicz_errors}})
        if (e.contains(name) && e[name].is_number_unsigned()) *to = e[name].get<uint32_t>();
    }
    o.factor = j.value("factor", std::string());
    o.note = j.value("note", std::string());
    o.error = j.value("error", std::string());
    if (j.contains("proof")) {
      const nlohmann::json& pr = j["proof"];
      if (pr.contains("file") && pr["file"].is_string()) o.proof_file = pr["file"];
      if (pr.contains("power") && pr["power"].is_number_integer()) o.proof_power = pr["power"];
    }
    if (o.verdict && !o.error.empty()) {
      *why = "a verdict with an error";
      return false;
    }
  }
  if (!consistent(r, j, why)) return false;
  *out = r;
  return true;
}
