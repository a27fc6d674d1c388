// The command line in-process: argv to options, and result lines that carry
// no verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "base/digest.h"
#include "base/machine.h"
#include "base/processor.h"
#include "cli/batch.h"
#include "cli/options.h"
#include "cli/splits.h"
#include "work/report.h"
#include "methods/ecm.h"
#include "methods/factor/factor.h"
#include "support/test_support.h"
#include "arith/fast/fast.h"

namespace {

parsed_command parse(std::vector<const char*> args) {
  args.insert(args.begin(), "mersenne");
  return parse_command_line(static_cast<int>(args.size()), args.data());
}

// Exponents in the order given; the later of --progress and --no-progress
// wins; help wins over a refused exponent; one exponent gets every core,
// a range shares them, and the caps are told even when
// the words are refused.
TEST(Options, ExponentsProgressHelpAndCores) {
  parsed_command c = parse({"89", "3-7", "2147483647", "0007-0011", "5-5"});
  ASSERT_EQ(c.action, cli_action::run) << c.text;
  EXPECT_EQ(c.options.exponents, (std::vector<exponent_span>{{89, 89}, {3, 7}, {2147483647, 2147483647}, {7, 11}, {5, 5}}));
  EXPECT_EQ(parse({"--progress", "--no-progress", "3"}).options.progress, progress_mode::off);
  EXPECT_EQ(parse({"--no-progress", "3", "--progress"}).options.progress, progress_mode::on);
  EXPECT_EQ(parse({"0", "-h"}).action, cli_action::help);
  const int cores = usable_cores();
  EXPECT_TRUE(parse({"127"}).options.threads == cores && parse({"7-11"}).options.jobs == cores);
  EXPECT_EQ(parse({"7-11"}).options.threads, 1);
  c = parse({"--jobs", "100000", "--threads=100000", "0"});
  EXPECT_TRUE(c.action == cli_action::error && c.warnings.size() == 2);
}

// One of each kind of refusal: out of range or overflowing, a bad word, a
// value missing or refused, options that do not go together.
TEST(Options, BadInputIsOneLineError) {
  const std::vector<std::vector<const char*>> bad = {
      {}, {"1"}, {"99999999999999999999999"}, {"3-2147483648"}, {"10-5"}, {"12x"}, {"+7"}, {""}, {"-"}, {"-5"},
      {"--engine", "Auto", "3"}, {"--engine"}, {"--jobs=-1", "3"}, {"--bogus", "3"}, {"--json=maybe", "3"},
      {"--proof", "3", "7"}, {"--test=prp", "--proof=13", "7"}, {"--test=prp", "--iterations", "5", "7"},
      {"--test=tf", "--tf-bits", "0", "7"}, {"--tf-bits", "97", "7"}, {"--shard", "4/3", "7"}, {"--results", "", "7"},
      {"--summary", "--verify", "f"}, {"--checkpoint-every", "nan", "7"}, {"--shift", "9223372036854775808", "7"},
      {"--shift", "-1", "7"}, {"--benchmark", "--forget", "3"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(args.begin(), args.end())));
    const parsed_command c = parse(args);
    EXPECT_EQ(c.action, cli_action::error);
    EXPECT_TRUE(!c.text.empty() && c.text.find('\n') == std::string::npos) << c.text;
  }
  // The message names the real problem.
  EXPECT_NE(parse({"--", "--json", "7"}).text.find("'--json' is not an exponent"), std::string::npos);
  // The largest shift that fits is taken as given (reduced mod p later), not wrapped.
  EXPECT_EQ(parse({"--shift", "9223372036854775807", "7"}).options.shift, INT64_MAX);

  // The list of a --from file: comments, blank lines, CRLF; a bad line named.
  std::vector<exponent_span> spans;
  std::string why;
  ASSERT_TRUE(parse_exponent_list("7\n# comment\n\n  11-13 \r\n17 19\n23", &spans, &why)) << why;
  EXPECT_EQ(spans, (std::vector<exponent_span>{{7, 7}, {11, 13}, {17, 17}, {19, 19}, {23, 23}}));
  EXPECT_FALSE(parse_exponent_list("7\n8x\n", &spans, &why));
  EXPECT_EQ(why, "line 2: not a decimal number: '8x'");
}

// P-1 and ECM options: the settings each fills, and every bad value or
// pairing refused in one line before anything runs.
TEST(Options, FactoringMethods) {
  struct row {
    std::vector<const char*> args;
    bool pm1, pm1_only, ecm_only;
    uint64_t b1, b2;
    int tests_saved;
  } good[] = {
      {{"--pm1", "1277"}, true, false, false, 0, 0, 2},
      {{"--pm1-bounds", "1000,50000", "1277"}, true, false, false, 1000, 50000, 2},
      {{"--pm1-bounds=1000", "1277"}, true, false, false, 1000, 1000, 2},  // no B2: stage 1 only
      {{"--test=pm1", "--pm1-bounds", "30,3000", "67"}, false, true, false, 30, 3000, 2},
      {{"--test=pm1", "--tests-saved", "1", "67"}, false, true, false, 0, 0, 1},
      {{"--pm1", "--tests-saved=1", "--test=prp", "1277"}, true, false, false, 0, 0, 1},
  };
  for (const row& g : good) {
    const parsed_command c = parse(g.args);
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(g.args.begin(), g.args.end())));
    ASSERT_EQ(c.action, cli_action::run) << c.text;
    const cli_options& o = c.options;
    EXPECT_TRUE(o.pm1 == g.pm1 && o.pm1_only == g.pm1_only && o.ecm_only == g.ecm_only && !o.factor_only);
    EXPECT_TRUE(o.pm1_b1 == g.b1 && o.pm1_b2 == g.b2 && o.tests_saved == g.tests_saved) << o.pm1_b1 << " " << o.pm1_b2;
  }
  const std::vector<std::vector<const char*>> bad = {
      {"--pm1-bounds", "1", "1277"}, {"--pm1-bounds", "1000,999", "1277"}, {"--pm1-bounds", "1e6", "1277"},
      {"--pm1-bounds", "1000,", "1277"}, {"--pm1-bounds", ",5000", "1277"}, {"--pm1-bounds", "-5", "1277"},
      {"--pm1-bounds", "99999999999999999999", "1277"}, {"--pm1-bounds", "1000,2000,3000", "1277"},
      {"--tests-saved", "0", "1277"}, {"--tests-saved", "3", "1277"}, {"--tests-saved", "two", "1277"},
      {"--pm1", "--test=tf", "1277"}, {"--pm1-bounds", "1000", "--test=tf", "1277"}, {"--pm1", "--test=pm1", "67"},
      {"--test=pm1", "--iterations", "5", "67"}, {"--test=ecm", "67"}, {"--test=ecm", "--curves", "3", "67"},
      {"--test=ecm", "--ecm-b1", "1000", "67"}, {"--curves", "3", "--ecm-b1", "1000", "67"},
      {"--test=ecm", "--curves", "0", "--ecm-b1", "1000", "67"}, {"--test=ecm", "--curves", "3", "--ecm-b1", "1", "67"},
      {"--test=ecm", "--curves", "3", "--ecm-b1", "1000", "--pm1", "67"}, {"--test=ecm", "--curves", "3",
      "--ecm-b1", "1000", "2147483647"}, {"--test=p-1", "67"},
  };
  for (const auto& args : bad) {
    SCOPED_TRACE(testing::PrintToString(std::vector<std::string>(args.begin(), args.end())));
    const parsed_command c = parse(args);
    EXPECT_EQ(c.action, cli_action::error);
    EXPECT_TRUE(!c.text.empty() && c.text.find('\n') == std::string::npos) << c.text;
  }
  EXPECT_EQ(parse({"--pm1-bounds", "1000,999", "1277"}).text, "--pm1-bounds: B2 999 is below B1 1000");
  // ECM where GMP-ECM takes the exponent: every field filled.
  if (ecm_applicable(67)) {
    const parsed_command c = parse({"--test=ecm", "--curves", "3", "--ecm-b1", "1000", "67"});
    ASSERT_EQ(c.action, cli_action::run) << c.text;
    EXPECT_TRUE(c.options.ecm_only && c.options.ecm_curves == 3 && c.options.ecm_b1 == 1000);
  }
}

// Benchmark lengths: K and M suffixes, rounded up to the engine's next
// length (keeping what was asked); garbage, zero and absurd sizes refused.
TEST(Options, BenchmarkLengths) {
  const parsed_command c = parse({"--benchmark", "4096", "5K", "1M", "5000", "4k", "8M"});
  ASSERT_EQ(c.action, cli_action::benchmark) << c.text;
  EXPECT_EQ(c.options.bench_lengths, (std::vector<bench_length>{{4096, 4096}, {5120, 5120}, {1 << 20, 1 << 20},
                                                                 {5000, 5120}, {4096, 4096}, {8 << 20, 8 << 20}}));
  for (const char* bad : {"0K", "K", "5KB", "1.5M", "129M", "134217729", "99999999999999999999M"})
    EXPECT_EQ(parse({"--benchmark", bad}).action, cli_action::error) << bad;
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

// Every exponent up to the program's limit has a fast length, and the
// automatic depth grows with the test's cost up to there.
TEST(Options, AutomaticFactoringDepthUpToTheLargestExponent) {
  const cli_options opt;
  EXPECT_TRUE(fast_applicable(2147483647));
  const int at_search = factoring_depth(151078831, opt), at_top = factoring_depth(2147483647, opt);
  EXPECT_TRUE(at_search >= 60 && at_top >= at_search && at_top <= kFactorMaxBits) << at_search << " " << at_top;
}

}  // namespace

// The manual page names every option the program accepts.
TEST(Cli, ManualPageNamesEveryOption) {
  const char* argv[] = {"mersenne", "--help"};
  const std::string help = parse_command_line(2, argv).text;
  const std::string page = std::regex_replace(testing_support::read_file(MERSENNE_MANUAL), std::regex(R"(\\-)"), "-");
  ASSERT_FALSE(page.empty());
  const std::regex option("--[a-z][a-z-]*");
  int seen = 0;
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it, ++seen)
    EXPECT_NE(page.find(it->str()), std::string::npos) << it->str();
  EXPECT_GT(seen, 30);
}

namespace {

// --throughput goes with --benchmark alone: not without it, not with --list,
// --jobs or --threads (it measures every split itself).
TEST(Options, BenchmarkThroughput) {
  const parsed_command c = parse({"--benchmark", "--throughput", "64K", "1M"});
  ASSERT_EQ(c.action, cli_action::benchmark) << c.text;
  EXPECT_TRUE(c.options.bench_throughput && c.options.bench_lengths.size() == 2);
  for (const auto& args : std::vector<std::vector<const char*>>{{"--throughput", "64K"},
                                                                {"--throughput", "7", "11"},
                                                                {"--benchmark", "--throughput", "--list"},
                                                                {"--benchmark", "--throughput", "--jobs", "2"},
                                                                {"--benchmark", "--throughput", "--threads=2"},
                                                                {"--benchmark", "--throughput", "4Q"}})
    EXPECT_EQ(parse(args).action, cli_action::error) << testing::PrintToString(args.size()) << " " << args[1];
}

// A stream that keeps what is written to it.
struct told {
  char* buffer = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buffer, &size);
  ~told() {
    if (f != nullptr) std::fclose(f);
    std::free(buffer);
  }
  std::string read() {
    std::fflush(f);
    return std::string(buffer, size);
  }
};

// The options of the command line after the saved splits at path had their say.
cli_options with_saved(std::vector<const char*> args, const std::string& path, std::string* err = nullptr) {
  parsed_command c = parse(std::move(args));
  told out;
  take_saved_split(c.options, path, out.f, true);
  if (err != nullptr) *err = out.read();
  return c.options;
}

// Saved splits are read back as written, merged per processor, cores and
// length; a list of exponents without --jobs and --threads takes the split
// at the length of its largest test (the nearest at or above, else below);
// one exponent, short tests, another processor's entries, or --jobs or
// --threads given leave the usual defaults.
TEST(SavedSplits, ReadBackAndTakenAsDefaults) {
  testing_support::temp_dir dir;
  const std::string path = dir.path + "/cache/mersenne/throughput-splits";
  const std::string cpu = processor_identity();
  const int cores = usable_cores();
  const int64_t k64 = 65536, m1 = 1 << 20;
  std::string why;
  // At 64K one worker on every core, at 1M a worker per core (today's default), elsewhere another machine's.
  ASSERT_TRUE(save_splits(path, {{cpu, cores, m1, cores, 1, 50.0}, {"cpu elsewhere", cores, 131072, 1, cores, 9.0}},
                          &why)) << why;
  ASSERT_TRUE(save_splits(path, {{cpu, cores, k64, 1, cores, 900.0}, {cpu, cores, m1, cores, 1, 60.0}}, &why)) << why;
  std::vector<saved_split> saved;
  ASSERT_TRUE(read_saved_splits(path, &saved, &why)) << why;
  EXPECT_EQ(saved.size(), 3u);
  const std::optional<saved_split> at_1m = split_for_length(saved, cpu, cores, m1);
  ASSERT_TRUE(at_1m.has_value());
  EXPECT_EQ(at_1m->iterations_per_second, 60.0);  // the later measurement replaced the earlier
  EXPECT_FALSE(split_for_length(saved, cpu, cores + 1, m1).has_value());

  // 1327099 and 1327091 test at 64K, 2000003 at 104K (1M is the nearest at or above), 30000001 above 1M.
  std::string err;
  cli_options o = with_saved({"1327099", "1327091"}, path, &err);
  EXPECT_TRUE(o.jobs == 1 && o.threads == cores) << o.jobs << " " << o.threads;
  EXPECT_NE(err.find("--jobs 1 --threads " + std::to_string(cores)), std::string::npos) << err;
  for (const auto& args : std::vector<std::vector<const char*>>{{"2000003", "1327099"}, {"30000001", "1327099"}}) {
    o = with_saved(args, path);
    EXPECT_TRUE(o.jobs == cores && o.threads == 1) << args[0] << ": " << o.jobs << " " << o.threads;
  }
  const std::string all = std::to_string(cores);
  const cli_options one = with_saved({"1327099"}, path),
                    given = with_saved({"--jobs", all.c_str(), "1327099", "1327091"}, path),
                    threads = with_saved({"--threads", "1", "1327099", "1327091"}, path),
                    small = with_saved({"3-2000"}, path, &err);
  EXPECT_TRUE(one.jobs == 1 && one.threads == cores);
  EXPECT_TRUE(given.jobs == cores && given.threads == 1);
  EXPECT_TRUE(threads.jobs == cores && threads.threads == 1);
  EXPECT_TRUE(small.jobs == cores && small.threads == 1 && err.empty()) << err;
  // A work file's tests count as a list: its section's alone with --worker, its factoring lines not at all.
  const std::string work = dir.path + "/worktodo.txt";
  ASSERT_TRUE(testing_support::write_file(work, "[Worker #1]\nTest=30000001,70,1\n[Worker #2]\n"
                                                "DoubleCheck=1327099,70,1\nTest=1327091,70,1\nFactor=30000001,70,71\n"));
  o = with_saved({"--worktodo", work.c_str(), "--worker", "2"}, path);
  EXPECT_TRUE(o.jobs == 1 && o.threads == cores) << o.jobs << " " << o.threads;
  o = with_saved({"--worktodo", work.c_str()}, path);
  EXPECT_TRUE(o.jobs == cores && o.threads == 1) << o.jobs << " " << o.threads;
  o = with_saved({"--worktodo", work.c_str(), "--worker", "1"}, path);  // one test: the usual defaults
  EXPECT_TRUE(o.jobs == cores && o.threads == 1) << o.jobs << " " << o.threads;
  // Without a file nothing changes, and nothing is said.
  o = with_saved({"1327099", "1327091"}, dir.path + "/none", &err);
  EXPECT_TRUE(o.jobs == cores && o.threads == 1 && err.empty()) << err;
}

// A file that is not whole and sound (damaged bytes, another format, a
// split that is no split of its cores under a good checksum, cut short) is
// named and ignored, never trusted; the next save replaces it.
TEST(SavedSplits, DamagedFileIgnored) {
  testing_support::temp_dir dir;
  const std::string path = dir.path + "/throughput-splits";
  const std::string cpu = processor_identity();
  const int cores = usable_cores();
  std::string why;
  ASSERT_TRUE(save_splits(path, {{cpu, cores, 65536, 1, cores, 900.0}}, &why)) << why;
  const std::string good = testing_support::read_file(path);
  const std::string body = "{\"processor\":\"" + cpu + "\",\"cores\":" + std::to_string(cores) +
                           ",\"fft_length\":65536,\"workers\":" + std::to_string(cores + 1) +
                           ",\"threads\":1,\"iterations_per_second\":5.0}\n";
  std::string flipped = good;
  flipped[flipped.size() - 5] ^= 1;
  for (const std::string& text : {flipped, "mersenne-throughput 2\n" + good.substr(good.find('\n') + 1),
                                  "mersenne-throughput 1\nsha256 " + sha256_hex(body) + "\n" + body,
                                  good.substr(0, good.size() - 1), std::string("\0\0\0", 3)}) {
    ASSERT_TRUE(testing_support::write_file(path, text));
    std::vector<saved_split> saved;
    EXPECT_FALSE(read_saved_splits(path, &saved, &why));
    std::string err;
    const cli_options o = with_saved({"1327099", "1327091"}, path, &err);
    EXPECT_TRUE(o.jobs == cores && o.threads == 1);
    EXPECT_TRUE(err.find("ignoring the saved throughput measurement") != std::string::npos &&
                err.find(why) != std::string::npos)
        << err;
  }
  ASSERT_TRUE(save_splits(path, {{cpu, cores, 131072, cores, 1, 400.0}}, &why)) << why;
  std::vector<saved_split> saved;
  ASSERT_TRUE(read_saved_splits(path, &saved, &why)) << why;
  EXPECT_EQ(saved, (std::vector<saved_split>{{cpu, cores, 131072, cores, 1, 400.0}}));
}

}  // namespace
