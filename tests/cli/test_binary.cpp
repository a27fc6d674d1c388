// The built program in batch mode: its JSON and text lines, usage errors and exit statuses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "driver/exit_codes.h"
#include "support/test_support.h"

namespace {

using testing_support::run_mersenne;

std::vector<std::string> lines_of(const std::string& text) {
  std::istringstream s(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

TEST(Binary, JsonShape) {
  const auto r = run_mersenne("--json --no-progress 2 3 11 15 127", "");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  const std::regex hex16("[0-9A-F]{16}");
  for (const std::string& line : lines) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_TRUE(j.is_object()) << line;
    EXPECT_TRUE(j["exponent"].is_number_integer()) << line;
    EXPECT_TRUE(j["prime"].is_boolean()) << line;
    EXPECT_TRUE(j["res64"].is_null() || (j["res64"].is_string() &&
                                         std::regex_match(j["res64"].get<std::string>(), hex16)))
        << line;
    EXPECT_TRUE(j["engine"].is_string()) << line;
    EXPECT_TRUE(j["fft_length"].is_number_integer()) << line;
    EXPECT_TRUE(j["max_roundoff"].is_number()) << line;
    EXPECT_TRUE(j["seconds"].is_number()) << line;
    EXPECT_EQ(j["verdict"], true) << line;
  }
  const auto j = [&](size_t i) { return nlohmann::json::parse(lines[i]); };
  EXPECT_EQ(j(0)["exponent"], 2);
  EXPECT_EQ(j(0)["prime"], true);
  EXPECT_TRUE(j(0)["res64"].is_null());
  EXPECT_EQ(j(1)["res64"], "0000000000000000");
  EXPECT_EQ(j(2)["prime"], false);
  EXPECT_EQ(j(2)["res64"], "00000000000006C8");  // s(9) mod 2047 = 1736
  EXPECT_EQ(j(3)["prime"], false);
  EXPECT_TRUE(j(3)["res64"].is_null());
  EXPECT_EQ(j(3)["divisor"], 3);
  EXPECT_EQ(j(4)["prime"], true);
  EXPECT_NE(j(4)["engine"], "none");
}

TEST(Binary, TextLinesPerEngine) {
  for (const char* engine : {"fast", "exact", "reference"}) {
    const auto r = run_mersenne(std::string("--engine=") + engine + " 89 97 4", "");
    ASSERT_EQ(r.status, kExitOk) << engine << ": " << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    const std::string e = engine;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("M89 is prime \\(" + e + ", .*[0-9] s\\)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex("M97 is not prime, Res64 [0-9A-F]{16} \\(" + e + ", .*\\)")))
        << lines[1];
    EXPECT_EQ(lines[2].rfind("M4 is not prime", 0), 0u) << lines[2];
  }
}

TEST(Binary, ResultsInOrderGivenWithJobs) {
  // The first exponent takes longest; the rest would finish first.
  const auto r = run_mersenne("--jobs 3 --engine=exact 9941 3-31 9689 61", "");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  const auto lines = lines_of(r.out);
  std::vector<int> expected{9941};
  for (int p = 3; p <= 31; ++p) expected.push_back(p);
  expected.push_back(9689);
  expected.push_back(61);
  ASSERT_EQ(lines.size(), expected.size()) << r.out;
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].rfind("M" + std::to_string(expected[i]) + " is ", 0), 0u) << i << ": " << lines[i];
}

TEST(Binary, UsageErrorsExitOneWithHint) {
  for (const char* args : {"0", "1", "abc", "5-3", "2147483648", "--engine=magic 3", "--jobs 0 3",
                           "--nonsense", "--json", "-- -7"}) {
    const auto r = run_mersenne(args, "");
    EXPECT_EQ(r.status, kExitBadInput) << args;
    EXPECT_EQ(r.out, "") << args;
    const auto err = lines_of(r.err);
    ASSERT_EQ(err.size(), 2u) << args << ": " << r.err;
    EXPECT_EQ(err[0].rfind("mersenne: ", 0), 0u) << err[0];
    EXPECT_NE(err[1].find("--help"), std::string::npos) << err[1];
  }
}

TEST(Binary, HelpVersionAndProgress) {
  auto r = run_mersenne("--help", "");
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_NE(r.out.find("EXPONENT"), std::string::npos);
  r = run_mersenne("--version", "");
  EXPECT_EQ(r.status, kExitOk);
  EXPECT_EQ(r.out.rfind("mersenne ", 0), 0u);
  // stderr is no terminal here: progress only when asked for, and then never on stdout.
  r = run_mersenne("--engine=reference 1279", "");
  EXPECT_EQ(r.err, "");
  r = run_mersenne("--progress --engine=reference 2203", "");
  ASSERT_EQ(r.status, kExitOk);
  EXPECT_EQ(lines_of(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.err.find("M2203: iteration"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("it/s"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\n'), std::string::npos) << r.err;
}

}  // namespace
