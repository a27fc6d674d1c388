// The command line as a pure step from argv to options.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "cli/options.h"

namespace {

parsed_command parse(std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"mersenne"};
  argv.insert(argv.end(), args.begin(), args.end());
  return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

TEST(Options, DefaultsAndExponentsInOrder) {
  const parsed_command c = parse({"89", "3-7", "2147483647", "5-5"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  const cli_options& o = c.options;
  EXPECT_EQ(o.exponents, (std::vector<exponent_span>{{89, 89}, {3, 7}, {2147483647, 2147483647}, {5, 5}}));
  EXPECT_EQ(o.engine, "auto");
  EXPECT_FALSE(o.json);
  EXPECT_EQ(o.progress, progress_mode::automatic);
  EXPECT_EQ(o.jobs, default_jobs());
  EXPECT_GE(o.jobs, 1);
  EXPECT_EQ(o.threads, 1);
}

TEST(Options, EveryFlag) {
  const parsed_command c =
      parse({"--engine=exact", "--json", "--progress", "--jobs", "3", "--threads=2", "11"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  EXPECT_EQ(c.options.engine, "exact");
  EXPECT_TRUE(c.options.json);
  EXPECT_EQ(c.options.progress, progress_mode::on);
  EXPECT_EQ(c.options.jobs, 3);
  EXPECT_EQ(c.options.threads, 2);
  for (const char* name : {"auto", "fast", "exact", "reference"})
    EXPECT_EQ(parse({"--engine", name, "3"}).options.engine, name);
  EXPECT_EQ(parse({"-j", "5", "3"}).options.jobs, 5);
}

TEST(Options, LaterProgressFlagWins) {
  EXPECT_EQ(parse({"--no-progress", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--progress", "--no-progress", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--no-progress", "3", "--progress"}).options.progress, progress_mode::on);
}

TEST(Options, HelpAndVersionComeBackAsText) {
  for (const char* flag : {"--help", "-h"}) {
    const parsed_command c = parse({flag});
    EXPECT_EQ(c.action, cli_action::help);
    for (const char* word : {"--engine", "--json", "--jobs", "--progress", "--no-progress", "--threads",
                             "--version", "Exit status", "null"})
      EXPECT_NE(c.text.find(word), std::string::npos) << word;
  }
  // Help wins over an exponent that would be refused.
  EXPECT_EQ(parse({"0", "--help"}).action, cli_action::help);
  const parsed_command v = parse({"--version"});
  EXPECT_EQ(v.action, cli_action::version);
  EXPECT_EQ(v.text.rfind("mersenne ", 0), 0u) << v.text;
}

TEST(Options, BadInputIsOneLineError) {
  const std::vector<std::vector<const char*>> bad = {
      {},                            // no exponent
      {"0"},          {"1"},          {"1-5"},          {"-5"},          {"--", "-3"},
      {"2147483648"}, {"99999999999999999999999"},      {"3-2147483648"},
      {"10-5"},       {"abc"},        {"12x"},          {"+7"},          {"3-"},
      {"-"},          {"3--5"},       {"3-5-7"},        {" 7"},          {""},
      {"--engine=foo", "3"},          {"--engine", "Auto", "3"},         {"--engine"},
      {"--jobs", "0", "3"},           {"--jobs=-1", "3"},                {"--jobs", "x", "3"},
      {"--threads", "0", "3"},        {"--bogus", "3"},                  {"--json=maybe", "3"},
  };
  for (const auto& args : bad) {
    std::vector<const char*> argv{"mersenne"};
    argv.insert(argv.end(), args.begin(), args.end());
    const parsed_command c = parse_command_line(static_cast<int>(argv.size()), argv.data());
    std::string shown;
    for (const char* a : args) shown += std::string(a) + " ";
    EXPECT_EQ(c.action, cli_action::error) << shown;
    EXPECT_FALSE(c.text.empty()) << shown;
    EXPECT_EQ(c.text.find('\n'), std::string::npos) << shown << ": " << c.text;
  }
}

TEST(Options, ExponentTokens) {
  exponent_span s;
  std::string why;
  ASSERT_TRUE(parse_exponent("2", &s, &why));
  EXPECT_EQ(s, (exponent_span{2, 2}));
  ASSERT_TRUE(parse_exponent("0007-0011", &s, &why));
  EXPECT_EQ(s, (exponent_span{7, 11}));
  ASSERT_TRUE(parse_exponent("2147483646-2147483647", &s, &why));
  EXPECT_EQ(s, (exponent_span{2147483646, 2147483647}));
  const exponent_span before = s;
  EXPECT_FALSE(parse_exponent("4294967299", &s, &why));  // wraps to 3 in 32 bits
  EXPECT_NE(why.find("too large"), std::string::npos) << why;
  EXPECT_EQ(s, before);
  EXPECT_FALSE(parse_exponent("1", &s, &why));
  EXPECT_NE(why.find("below 2"), std::string::npos) << why;
}

}  // namespace
