#include "formats/result_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <tuple>
#include <utility>

bool has_verdict(const exponent_result& r) {
  switch (r.kind) {
    case result_kind::tested:
      return r.outcome.verdict && r.outcome.error.empty();
    case result_kind::small_prime:
    case result_kind::composite_exponent:
    case result_kind::factored:
    case result_kind::proven_prime:
    case result_kind::pm1_factor:
    case result_kind::ecm_factor:
      return true;
    case result_kind::no_engine:
    case result_kind::no_factor:
    case result_kind::pm1_none:
    case result_kind::ecm_none:
      return false;
  }
  return false;
}

bool is_done(const exponent_result& r) {
  return has_verdict(r) || r.kind == result_kind::no_factor || r.kind == result_kind::pm1_none ||
         r.kind == result_kind::ecm_none ||
         (r.kind == result_kind::tested && r.outcome.partial > 0 && r.outcome.error.empty());
}

const char* result_test_name(const exponent_result& r) {
  if (r.pm1_only || r.kind == result_kind::pm1_factor || r.kind == result_kind::pm1_none) return "pm1";
  if (r.ecm_only || r.kind == result_kind::ecm_factor || r.kind == result_kind::ecm_none) return "ecm";
  return r.factor_only ? "tf" : r.prp ? "prp" : "ll";
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
  if (r.tf_bits > 0) s += "; no factor below 2^" + std::to_string(r.tf_bits);
  return s + ")";
}

// "factor F" or "factors F1, F2": the factors a factoring run found.
std::string factor_list(const std::vector<std::string>& factors) {
  std::string s = factors.size() == 1 ? "factor " : "factors ";
  for (size_t i = 0; i < factors.size(); ++i) s += (i > 0 ? ", " : "") + factors[i];
  return s;
}

// "0.52%", "3.1%", "12%": a chance (0 to 1) as a percentage to 2 significant digits.
std::string percent(double chance) {
  const double v = chance * 100.0;
  char t[64];
  int decimals = 0;
  if (v > 0 && v < 10) decimals = std::min(12, 1 - static_cast<int>(std::floor(std::log10(v))));
  if (decimals > 0 && std::round(v * std::pow(10.0, decimals)) >= 100) --decimals;  // 9.96 is "10"
  std::snprintf(t, sizeof t, "%.*f%%", decimals, v);
  return t;
}

// "1 curve", "5 curves".
std::string curves(int n) { return std::to_string(n) + (n == 1 ? " curve" : " curves"); }

// Seconds rounded to the millisecond, so that the JSON stays short.
double rounded_seconds(double s) { return std::round(s * 1000.0) / 1000.0; }

// The integer field name of j (an integer where present), or fallback
// where absent; a value its type cannot hold is refused, not wrapped.
template <class T>
T narrow_field(const nlohmann::json& j, const char* name, T fallback) {
  const auto it = j.find(name);
  if (it == j.end()) return fallback;
  const bool fits =
      it->is_number_unsigned() ? std::in_range<T>(it->get<uint64_t>()) : std::in_range<T>(it->get<int64_t>());
  if (!fits) throw result_line_error(std::string("field ") + name + " out of range");
  return static_cast<T>(it->get<int64_t>());
}

// The bounds and chance of a factoring record from j's "B1", "B2" and
// "chance" (each where present, of the right type); ran set.
void read_bounds(const nlohmann::json& j, factoring_record* f) {
  for (const char* name : {"B1", "B2"})
    if (j.contains(name) && !j[name].is_number_unsigned())
      throw result_line_error(std::string("field ") + name + " of the wrong type");
  if (j.contains("chance") && !j["chance"].is_number()) throw result_line_error("field chance of the wrong type");
  f->ran = true;
  f->b1 = j.value("B1", uint64_t{0});
  f->b2 = j.value("B2", uint64_t{0});
  f->chance = j.value("chance", -1.0);
}

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
    case result_kind::factored:
      return m + " is not prime: factor " + r.tf_factor + " (trial factoring)";
    case result_kind::proven_prime:
      return m + " is prime: no factor up to the square root of 2^" + std::to_string(r.p) +
             " - 1 (trial factoring)";
    case result_kind::no_factor:
      return m + ": no factor below 2^" + std::to_string(r.tf_bits);
    case result_kind::pm1_factor:
      return m + " is not prime: " + factor_list(r.pm1.factors) + " (P-1, B1=" + std::to_string(r.pm1.b1) +
             ", B2=" + std::to_string(r.pm1.b2) + ")";
    case result_kind::pm1_none:
      return m + ": no factor from P-1 with B1=" + std::to_string(r.pm1.b1) + ", B2=" + std::to_string(r.pm1.b2) +
             (r.pm1.chance < 0 ? "" : " (chance " + percent(r.pm1.chance) + ")");
    case result_kind::ecm_factor:
      return m + " is not prime: " + factor_list(r.ecm.factors) + " (ECM, " + curves(r.ecm.curves) +
             ", B1=" + std::to_string(r.ecm.b1) + ")";
    case result_kind::ecm_none:
      return m + ": no factor from " + std::to_string(r.ecm.curves) + " ECM " + (r.ecm.curves == 1 ? "curve" : "curves") +
             " with B1=" + std::to_string(r.ecm.b1);
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

void to_json(nlohmann::ordered_json& j, const exponent_result& r) {
  j = nlohmann::ordered_json::object();
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
  const bool pm1 = r.kind == result_kind::pm1_factor || r.kind == result_kind::pm1_none;
  const bool ecm = r.kind == result_kind::ecm_factor || r.kind == result_kind::ecm_none;
  if (pm1 || ecm)
    j["engine"] = pm1 ? "pm1" : "ecm";
  else
    j["engine"] = factoring ? "tf" : tested || r.kind == result_kind::no_engine ? r.engine : "none";
  j["fft_length"] = tested ? r.outcome.fft_length : pm1 ? r.pm1.fft_length : ecm ? r.ecm.fft_length : 0;
  // A distance that is not finite (a coefficient that could not be decoded) comes out as null.
  if (tested && !std::isfinite(r.outcome.max_roundoff))
    j["max_roundoff"] = nullptr;
  else
    j["max_roundoff"] = tested ? r.outcome.max_roundoff : 0.0;
  j["seconds"] = rounded_seconds(r.seconds);
  // A completed factoring run is a result, though not one on primality.
  j["verdict"] = verdict || r.kind == result_kind::no_factor || pm1 || ecm;
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
  if (pm1 || ecm) {
    const factoring_record& f = pm1 ? r.pm1 : r.ecm;
    j["factors"] = f.factors;
    if (ecm) j["curves"] = f.curves;
    j["B1"] = f.b1;
    if (pm1) j["B2"] = f.b2;
    if (pm1 && f.chance >= 0) j["chance"] = f.chance;
  }
  if (r.tf_bits >= 0) j["tf_bits"] = r.tf_bits;
  // P-1 that ran before the test and found nothing.
  if (!pm1 && r.pm1.ran) {
    j["pm1"] = {{"B1", r.pm1.b1}, {"B2", r.pm1.b2}};
    if (r.pm1.chance >= 0) j["pm1"]["chance"] = r.pm1.chance;
  }
  if (r.kind == result_kind::no_engine) j["note"] = "the " + r.engine + " engine cannot test this exponent";
  if (tested && !r.outcome.note.empty()) j["note"] = r.outcome.note;
  if (tested && !r.outcome.error.empty()) j["error"] = r.outcome.error;
}

std::string result_json(const exponent_result& r) { return nlohmann::ordered_json(r).dump(); }

void from_json(const nlohmann::json& j, exponent_result& out) {
  if (!j.is_object()) throw result_line_error("not a JSON object");
  exponent_result r;
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
    if (!field(name, is, null))
      throw result_line_error(std::string("field ") + name + " missing or of the wrong type");
  for (const auto& [name, is] : {std::pair{"partial", &J::is_number_integer}, {"resumed_from", &J::is_number_integer},
                                 {"shift", &J::is_number_integer}, {"errors", &J::is_object},
                                 {"factor", &J::is_string}, {"proof", &J::is_object}, {"divisor", &J::is_number_integer},
                                 {"note", &J::is_string}, {"error", &J::is_string}, {"tf_bits", &J::is_number_integer},
                                 {"factors", &J::is_array}, {"B1", &J::is_number_unsigned},
                                 {"B2", &J::is_number_unsigned}, {"curves", &J::is_number_unsigned},
                                 {"chance", &J::is_number}, {"pm1", &J::is_object}})
    if (j.contains(name) && !field(name, is, false))
      throw result_line_error(std::string("field ") + name + " of the wrong type");
  const int64_t p = j["exponent"].get<int64_t>();
  const std::string test = j["test"], engine = j["engine"];
  if (p < 2 || p > 2147483647 || (test != "ll" && test != "prp" && test != "tf" && test != "pm1" && test != "ecm"))
    throw result_line_error("exponent or test out of range");
  r.p = static_cast<int32_t>(p);
  r.prp = test == "prp";
  r.factor_only = test == "tf";
  r.pm1_only = test == "pm1";
  r.ecm_only = test == "ecm";
  r.engine = engine;
  r.seconds = j["seconds"].get<double>();
  r.tf_bits = narrow_field(j, "tf_bits", -1);
  const bool verdict = j["verdict"];
  const bool prime = j["prime"].is_boolean() && j["prime"].get<bool>();
  ll_outcome& o = r.outcome;
  if (j.contains("pm1")) read_bounds(j["pm1"], &r.pm1);
  if ((engine == "pm1" || engine == "ecm") && !j.contains("error")) {
    factoring_record& f = engine == "pm1" ? r.pm1 : r.ecm;
    read_bounds(j, &f);
    if (!j.contains("factors") || !j.contains("B1") || (engine == "pm1" ? !j.contains("B2") : !j.contains("curves")))
      throw result_line_error("a " + engine + " line without its factors and bounds");
    for (const nlohmann::json& q : j["factors"]) {
      if (!q.is_string()) throw result_line_error("a factor that is not a string");
      f.factors.push_back(q.get<std::string>());
    }
    f.curves = narrow_field(j, "curves", 0);
    f.fft_length = j["fft_length"];
    if (engine == "pm1")
      r.kind = f.factors.empty() ? result_kind::pm1_none : result_kind::pm1_factor;
    else
      r.kind = f.factors.empty() ? result_kind::ecm_none : result_kind::ecm_factor;
    r.engine.clear();
  } else if (engine == "tf" && j.contains("error")) {
    // Factoring that failed: no depth and no verdict, like any test's error.
    r.kind = result_kind::tested;
    o.error = j["error"];
    if (verdict)
      throw result_line_error("a verdict with an error");
  } else if (engine == "tf") {
    r.tf_factor = j.value("factor", std::string());
    r.kind = !r.tf_factor.empty() ? result_kind::factored : prime ? result_kind::proven_prime : result_kind::no_factor;
    r.engine.clear();
    if (r.tf_factor.find_first_not_of("0123456789") != std::string::npos || r.tf_bits < 0)
      throw result_line_error("a trial factoring line without its depth, or with a factor that is not a number");
  } else if (engine == "none") {
    r.engine.clear();
    r.divisor = narrow_field(j, "divisor", int32_t{0});
    r.kind = r.divisor > 0 ? result_kind::composite_exponent : result_kind::small_prime;
  } else if (!j.contains("errors") && !j.contains("error") && !verdict) {
    r.kind = result_kind::no_engine;
  } else {
    o.verdict = verdict;
    o.prime = prime;
    if (j["res64"].is_string()) {
      const std::string hex = j["res64"];
      if (hex.size() != 16 || hex.find_first_not_of("0123456789ABCDEF") != std::string::npos)
        throw result_line_error("res64 is not 16 hex digits");
      o.res64 = std::stoull(hex, nullptr, 16);
    }
    o.fft_length = j["fft_length"];
    o.max_roundoff = j["max_roundoff"].is_null() ? NAN : j["max_roundoff"].get<double>();
    o.partial = j.value("partial", int64_t{0});
    o.resumed_from = j.value("resumed_from", int64_t{0});
    o.shift = narrow_field(j, "shift", uint32_t{0});
    if (j.contains("errors")) {
      const nlohmann::json& e = j["errors"];
      for (const auto& [name, to] : {std::pair{"jacobi", &o.jacobi_errors}, {"roundoff", &o.roundoff_errors},
                                     {"gerbicz", &o.gerbicz_errors}})
        if (e.contains(name) && e[name].is_number_unsigned()) *to = narrow_field(e, name, uint32_t{0});
    }
    o.factor = j.value("factor", std::string());
    o.note = j.value("note", std::string());
    o.error = j.value("error", std::string());
    if (j.contains("proof")) {
      const nlohmann::json& pr = j["proof"];
      if (pr.contains("file") && pr["file"].is_string()) o.proof_file = pr["file"];
      if (pr.contains("power") && pr["power"].is_number_integer()) o.proof_power = narrow_field(pr, "power", 0);
    }
    if (o.verdict && !o.error.empty())
      throw result_line_error("a verdict with an error");
  }
  out = r;
}
