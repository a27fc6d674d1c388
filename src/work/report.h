// What the batch command line reports for one exponent: the record and its
// two forms (formats/result_line.h), and the check that a line read back
// from a results file is one this program could have written.
#pragma once

#include <cstdint>
#include <string>

#include "base/numbers.h"
#include "formats/result_line.h"

// The result a line of result_json describes (as the results file keeps
// them), when it is one: an object with the fields of one exponent's final
// line, each of the right type (from_json), and the verdict they carry
// consistent with p. False with the reason in *why otherwise.
bool result_from_json(const std::string& line, exponent_result* out, std::string* why);
