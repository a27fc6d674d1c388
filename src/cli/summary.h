// --summary: the counts over results files.
#pragma once

#include <string>

#include "cli/options.h"
#include "cli/outcome.h"
#include "work/results_file.h"

// The counts of s as lines of text, and the disagreeing exponents and the primes found where there are any.
std::string summary_text(const results_summary& s);

// --summary: reads the results files of opt and writes the counts (text, or
// one JSON object) to out_fd; usage when a file cannot be read, no_verdict
// when results of one exponent disagree (each pair named on stderr).
batch_status run_summary(const cli_options& opt, int out_fd);
