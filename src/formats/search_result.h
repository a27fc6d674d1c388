// The result lines the volunteer search's server takes back: one JSON
// object a line, in its own field set (status, exponent, worktype, the
// residues and their check counts, the factoring range, the program, a UTC
// timestamp, the assignment id). Our own result lines are formats/result_line.h.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

struct search_result {
  const char* status = "";    // "P" (probable) prime, "C" composite, "F" factor found, "NF" no factor in the range
  int32_t exponent = 0;
  const char* worktype = ""; // "LL", "PRP-3", "TF", "P-1"
  // LL and PRP-3, where a test ran:
  bool residue = false;       // the fields below are present
  uint64_t res64 = 0;
  std::string res2048;        // PRP-3: the residue's low 2048 bits, 512 hex digits
  int residue_type = 0;       // PRP-3
  int64_t fft_length = 0;     // 0: the engine used none (left out)
  uint32_t shift_count = 0;
  uint32_t jacobi_errors = 0, roundoff_errors = 0;  // LL
  uint32_t gerbicz_errors = 0;                      // PRP-3
  int proof_power = 0;        // PRP-3 with a proof: its power and the file's MD5 (0: no proof)
  std::string proof_md5;
  // TF:
  int bitlo = 0, bithi = 0;
  bool range_complete = false;
  std::vector<std::string> factors;  // TF and P-1: decimal
  // P-1 (with factors above, and fft_length):
  uint64_t b1 = 0, b2 = 0;
  std::string program_version;
  std::string timestamp;      // "YYYY-MM-DD hh:mm:ss", UTC
  std::string aid;            // empty: none (left out)
  std::string os, architecture;  // empty: unknown (left out)
};

// The object of r, its fields in the order every line has them.
void to_json(nlohmann::ordered_json& j, const search_result& r);

// The line of r: one JSON object without the line break.
std::string search_result_line(const search_result& r);

// What a line of a server-format results file stands for, so that the
// assignment it finished is never done again.
struct search_key {
  std::string worktype;
  int32_t exponent = 0;
  std::string aid;   // upper-case hex; empty: none
  int bitlo = 0;     // TF: where the range started
  bool factor = false;  // status "F": a factor settles every test of the exponent
};

// The key of line, a line of such a file; false with *why when it is none.
bool read_search_key(const std::string& line, search_key* key, std::string* why);

// "YYYY-MM-DD hh:mm:ss" for the UTC time t (seconds since 1970).
std::string utc_timestamp(int64_t t);
