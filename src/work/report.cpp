#include "work/report.h"

#include <gmp.h>

#include <nlohmann/json.hpp>

#include "formats/proof_file.h"
#include "methods/factor/factor.h"


namespace {

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

// Whether a P-1 or ECM line r, read from j, could have been written here:
// its test its method, every factor a proper factor of 2^p - 1 (at least
// one where it says not prime), its bounds in order. False with *why.
bool factoring_consistent(const exponent_result& r, const nlohmann::json& j, std::string* why) {
  const bool pm1 = r.kind == result_kind::pm1_factor || r.kind == result_kind::pm1_none;
  const bool found = r.kind == result_kind::pm1_factor || r.kind == result_kind::ecm_factor;
  const factoring_record& f = pm1 ? r.pm1 : r.ecm;
  const auto refuse = [&](const std::string& text) {
    *why = text;
    return false;
  };
  if (j["test"] != j["engine"]) return refuse("a " + j["engine"].get<std::string>() + " line of another test");
  if (!j["res64"].is_null() || !j["verdict"].get<bool>() || (found ? j["prime"] != false : !j["prime"].is_null()))
    return refuse(found ? "a factor on a line that is not a verdict of not prime"
                        : "a factoring line without a factor that has a verdict on primality");
  for (const std::string& q : f.factors)
    if (!proper_mersenne_factor(q, r.p)) return refuse("factor " + q + " does not divide 2^" + std::to_string(r.p) + " - 1");
  if (f.b1 < 2 || (pm1 ? f.b2 < f.b1 : f.curves < 1)) return refuse("bounds or curves out of range");
  return true;
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
    case result_kind::pm1_factor:
    case result_kind::pm1_none:
    case result_kind::ecm_factor:
    case result_kind::ecm_none:
      return factoring_consistent(r, j, why);
    case result_kind::tested:
      break;
  }
  const ll_outcome& o = r.outcome;
  const bool res64 = j["res64"].is_string();
  if ((r.factor_only || r.pm1_only || r.ecm_only) && o.error.empty())
    return refuse("a factoring line that is neither a factor nor a depth");
  if (j.contains("pm1") && (r.pm1.b1 < 2 || r.pm1.b2 < r.pm1.b1)) return refuse("P-1 bounds out of order");
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

}  // namespace

bool result_from_json(const std::string& line, exponent_result* out, std::string* why) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "not a JSON object";
    return false;
  }
  exponent_result r;
  try {
    r = j.get<exponent_result>();
  } catch (const result_line_error& x) {
    *why = x.what();
    return false;
  }
  if (!consistent(r, j, why)) return false;
  *out = r;
  return true;
}
