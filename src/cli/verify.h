// --verify: checks proof files, one line (or JSON object) per file.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "cli/options.h"
#include "cli/outcome.h"
#include "methods/proof.h"

// What --verify reports for one file: its verdict and how long the check took.
struct verify_line {
  std::string file;
  proof_verdict verdict;
  double seconds = 0;
};

// The JSON object of a verify_line: file, valid, exponent (null before the
// header names one); when valid prime, then res64 and power (the older
// layout, which holds x_p) or power, top and top_rule ("2^power", "1024" or
// "both"); else reason; squarings and seconds (to the millisecond).
void to_json(nlohmann::ordered_json& j, const verify_line& v);

// The line of text of a verify_line, without the line break.
std::string verify_text(const verify_line& v);

// --verify: checks each proof file of opt in turn, writing one line (or JSON
// object) per file to out_fd; ok when all are valid, else proof_invalid.
batch_status run_verify(const cli_options& opt, int out_fd);
