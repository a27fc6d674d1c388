#include "formats/search_result.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>
#include <nlohmann/json.hpp>

#include "formats/result_line.h"

void to_json(nlohmann::ordered_json& j, const search_result& r) {
  j = nlohmann::ordered_json::object();
  j["status"] = r.status;
  j["exponent"] = r.exponent;
  j["worktype"] = r.worktype;
  if (std::string_view(r.worktype) == "P-1") {
    j["B1"] = r.b1;
    j["B2"] = r.b2;
    j["factors"] = r.factors;
    if (r.fft_length > 0) j["fft-length"] = r.fft_length;
  }
  if (r.residue) {
    j["res64"] = res64_hex(r.res64);
    if (!r.res2048.empty()) j["res2048"] = r.res2048;
    if (r.residue_type > 0) j["residue-type"] = r.residue_type;
    if (r.fft_length > 0) j["fft-length"] = r.fft_length;
    j["shift-count"] = r.shift_count;
    if (std::string_view(r.worktype) == "LL")
      j["errors"] = {{"Jacobi", r.jacobi_errors}, {"Roundoff", r.roundoff_errors}};
    else
      j["errors"] = {{"gerbicz", r.gerbicz_errors}};
    if (r.proof_power > 0)
      j["proof"] = {{"version", 1}, {"power", r.proof_power}, {"hashsize", 64}, {"md5", r.proof_md5}};
  }
  if (std::string_view(r.worktype) == "TF") {
    j["bitlo"] = r.bitlo;
    j["bithi"] = r.bithi;
    j["rangecomplete"] = r.range_complete;
    if (!r.factors.empty()) j["factors"] = r.factors;
  }
  j["program"] = {{"name", "mersenne"}, {"version", r.program_version}};
  j["timestamp"] = r.timestamp;
  if (!r.aid.empty()) j["aid"] = r.aid;
  if (!r.os.empty()) j["os"] = {{"os", r.os}, {"architecture", r.architecture}};
}

std::string search_result_line(const search_result& r) {
  nlohmann::ordered_json j;
  to_json(j, r);
  return j.dump();
}

bool read_search_key(const std::string& line, search_key* key, std::string* why) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    *why = "not a JSON object";
    return false;
  }
  const auto field = [&](const char* name, nlohmann::json::value_t type) {
    const auto it = j.find(name);
    return it != j.end() && (it->type() == type || (type == nlohmann::json::value_t::number_integer &&
                                                    it->type() == nlohmann::json::value_t::number_unsigned));
  };
  using t = nlohmann::json::value_t;
  if (!field("worktype", t::string) || !field("exponent", t::number_integer)) {
    *why = "no worktype or exponent";
    return false;
  }
  search_key k;
  k.worktype = j["worktype"].get<std::string>();
  const int64_t p = j["exponent"].get<int64_t>();
  if (p < 2 || p > INT32_MAX) {
    *why = "exponent out of range";
    return false;
  }
  k.exponent = static_cast<int32_t>(p);
  if (field("aid", t::string)) {
    k.aid = j["aid"].get<std::string>();
    std::transform(k.aid.begin(), k.aid.end(), k.aid.begin(), [](unsigned char c) { return std::toupper(c); });
  }
  if (field("bitlo", t::number_integer)) k.bitlo = j["bitlo"].get<int>();
  k.factor = field("status", t::string) && j["status"] == "F";
  *key = std::move(k);
  return true;
}

std::string utc_timestamp(int64_t t) {
  const std::time_t when = static_cast<std::time_t>(t);
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}
