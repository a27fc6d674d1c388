// The text of --help beyond the options' own lines, and of --version.
#pragma once

#include <string>

// What follows the options in --help: the exponents, the tests, the output
// with two example lines, the benchmark, plans, progress and exit statuses.
std::string help_footer();

// The program's version, as --version prints it.
std::string version_text();
