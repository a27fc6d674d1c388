// The command line in-process: argv to options, and result lines that carry
// no verdict.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/machine.h"
#include "cli/options.h"
#include "cli/report.h"

namespace {

parsed_command parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mersenne");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

TEST(Options, DefaultsEveryFlagAndExponentsInOrder) {
  parsed_command c = parse({"89", "3-7", "2147483647", "0007-0011", "5-5"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  const std::vector<exponent_span> want{{89, 89}, {3, 7}, {2147483647, 2147483647}, {7, 11}, {5, 5}};
  EXPECT_EQ(c.options.exponents, want);
  EXPECT_TRUE(c.options.engine == "auto" && !c.options.json && c.options.progress == progress_mode::automatic);
  EXPECT_TRUE(c.options.jobs == usable_cores() && c.options.threads == 1 && c.options.plans == plan_choice::unset);
  c = parse({"--engine=exact", "--json", "--progress", "--jobs", "3", "--threads=2", "--plans=estimate", "11"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  EXPECT_TRUE(c.options.engine == "exact" && c.options.json && c.options.progress == progress_mode::on);
  EXPECT_TRUE(c.options.jobs == 3 && c.options.threads == 2 && c.options.plans == plan_choice::estimate);
  EXPECT_EQ(parse({"--plans", "measure", "3"}).options.plans, plan_choice::measure);
  for (const char* name : {"auto", "fast", "exact", "reference"})
    EXPECT_EQ(parse({"--engine", name, "3"}).options.engine, name);
  EXPECT_EQ(parse({"-j", "5", "3"}).options.jobs, 5);
  // The later of --progress and --no-progress wins.
  EXPECT_EQ(parse({"--no-progress", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--progress", "--no-progress", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--no-progress", "3", "--progress"}).options.progress, progress_mode::on);
  EXPECT_EQ(parse({"--progress=false", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--no-progress", "--progress=true", "3"}).options.progress, progress_mode::on);
}

TEST(Options, HelpAndVersionComeBackAsText) {
  for (const char* flag : {"--help", "-h"}) {
    const parsed_command c = parse({"0", flag});  // help wins over a refused exponent
    EXPECT_EQ(c.action, cli_action::help);
    for (const char* word :
         {"--engine", "--json", "--jobs", "--no-progress", "--threads", "--plans", "--benchmark", "Exit status", "null"})
      EXPECT_NE(c.text.find(word), std::string::npos) << word;
  }
  const parsed_command v = parse({"--version"});
  EXPECT_TRUE(v.action == cli_action::version && v.text.rfind("mersenne ", 0) == 0) << v.text;
}

TEST(Options, BadInputIsOneLineError) {
  const std::vector<std::vector<const char*>> bad = {
      {},             {"0"},          {"1"},          {"1-5"},        {"-5"},           {"--", "-3"},
      {"2147483648"}, {"4294967299"}, {"99999999999999999999999"},    {"3-2147483648"}, {"10-5"},
      {"abc"},        {"12x"},        {"+7"},         {"3-"},         {"-"},            {"3--5"},
      {"3-5-7"},      {" 7"},         {""},           {"--engine=foo", "3"},            {"--engine", "Auto", "3"},
      {"--engine"},   {"--jobs", "0", "3"},           {"--jobs=-1", "3"},               {"--jobs", "x", "3"},
      {"--threads", "0", "3"},        {"--bogus", "3"},                                 {"--json=maybe", "3"},
      {"--", "--json", "7"},          {"--jobs=", "7"},               {"--plans", "quick", "3"},
      {"--test=pr", "3"},             {"--proof", "3", "7"},          {"--test=prp", "--proof", "0", "7"},
      {"--test=prp", "--proof=13", "7"},  {"--test=prp", "--iterations", "5", "7"},  {"--verify"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(args.begin(), args.end())));
    const parsed_command c = parse(args);
    EXPECT_EQ(c.action, cli_action::error);
    EXPECT_TRUE(!c.text.empty() && c.text.find('\n') == std::string::npos) << c.text;
  }
  // The message names the real problem.
  EXPECT_EQ(parse({"-"}).text, "'-' is not an exponent");
  EXPECT_NE(parse({"--", "--json", "7"}).text.find("'--json' is not an exponent"), std::string::npos);
  EXPECT_EQ(parse({"--jobs=", "7"}).text, "option '--jobs=' has an empty value");
  EXPECT_EQ(parse({"-5"}).text, "exponent -5 is below 2");
}

// More jobs or threads than the cores can use are lowered to the cap, with a warning.
TEST(Options, JobsAndThreadsCappedPerCore) {
  const parsed_command c = parse({"--jobs", "100000", "--threads=100000", "3"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  EXPECT_TRUE(c.options.jobs == kJobsPerCore * usable_cores() && c.options.threads == kThreadsPerCore * usable_cores());
  EXPECT_EQ(c.warnings.size(), 2u);
  EXPECT_TRUE(parse({"-j", "1", "3"}).warnings.empty());
}

// One exponent, one job or the benchmark gets every core; several exponents
// share them. Only jobs and threads both given may ask for more than the cores.
TEST(Options, JobsAndThreadsDefaultsShareTheCores) {
  const int cores = usable_cores();
  struct want {
    std::vector<const char*> args;
    int jobs, threads;
  };
  const std::vector<want> cases = {
      {{"127"}, 1, cores},
      {{"7-7"}, 1, cores},
      {{"7-11"}, cores, 1},
      {{"7", "7"}, cores, 1},
      {{"-j", "1", "3-99"}, 1, cores},
      {{"-j", "2", "3-99"}, 2, 1},
      {{"--threads", "2", "3-99"}, std::max(1, cores / 2), 2},
      {{"--threads", "1", "127"}, cores, 1},
      {{"-j", "2", "--threads", "2", "3-99"}, 2, 2},
      {{"--benchmark"}, 1, cores},
      {{"--benchmark", "--threads", "1"}, 1, 1},
  };
  for (const want& w : cases) {
    const parsed_command c = parse(w.args);
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(w.args.begin(), w.args.end())));
    EXPECT_TRUE(c.action == cli_action::run || c.action == cli_action::benchmark) << c.text;
    EXPECT_EQ(c.options.jobs, w.jobs);
    EXPECT_EQ(c.options.threads, w.threads);
  }
}

// Benchmark lengths: K and M suffixes, rounded up to the engine's next
// length (keeping what was asked); garbage, zero and absurd sizes refused.
TEST(Options, BenchmarkLengths) {
  const parsed_command c = parse({"--benchmark", "--json", "4096", "5K", "1M", "5000", "4k", "8M"});
  ASSERT_EQ(c.action, cli_action::benchmark) << c.text;
  const std::vector<bench_length> want{{4096, 4096}, {5120, 5120}, {1 << 20, 1 << 20},
                                       {5000, 5120}, {4096, 4096}, {8 << 20, 8 << 20}};
  EXPECT_EQ(c.options.bench_lengths, want);
  EXPECT_TRUE(c.options.json && parse({"--benchmark"}).options.bench_lengths.empty());
  for (const char* bad : {"0", "0K", "K", "5KB", "1.5M", "9M", "8388609", "99999999999999999999M", "4 K", "0x10"}) {
    const parsed_command b = parse({"--benchmark", bad});
    EXPECT_TRUE(b.action == cli_action::error && !b.text.empty() && b.text.find('\n') == std::string::npos)
        << bad << ": " << b.text;
  }
  EXPECT_EQ(parse({"--benchmark", "--states"}).action, cli_action::error);
  EXPECT_EQ(parse({"--benchmark", "--forget", "3"}).action, cli_action::error);
}

// Without a verdict nothing may read as one: no "is prime", nulls in the JSON
// (an infinite rounding distance too, which JSON cannot hold).
TEST(Report, LinesWithoutVerdict) {
  exponent_result r;
  r.p = 21701;
  r.engine = "reference";
  r.outcome.max_roundoff = 1.0 / 0.0;
  r.outcome.note = "bound crossed";
  for (const char* error : {"", "no memory"}) {
    r.outcome.error = error;
    const std::string text = result_text(r);
    EXPECT_TRUE(text.find("no verdict") != std::string::npos && text.find("is prime") == std::string::npos) << text;
    const nlohmann::json j = nlohmann::json::parse(result_json(r));
    EXPECT_TRUE(j["prime"].is_null() && j["res64"].is_null() && j["verdict"] == false) << j;
    EXPECT_TRUE(*error ? j["error"] == error : j["max_roundoff"].is_null() && j["note"] == "bound crossed") << j;
  }
  EXPECT_EQ(smallest_prime_factor(2147483647), 2147483647);  // the divisor loop must not overflow
  EXPECT_EQ(smallest_prime_factor(46337 * 46337), 46337);
}

}  // namespace
