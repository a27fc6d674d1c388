// Range searches from the built program: trial factoring's lines, the
// results file across kills, torn lines, repeats and a second writer, shards
// and --summary; and every kind of line it writes trusted when read back.
// Every check holds however the runs are timed.
#include <gtest/gtest.h>
#include <gmp.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "arith/residue.h"
#include "support/test_support.h"
#include "work/report.h"
#include "work/results_file.h"

namespace {

using testing_support::run_shell;

std::vector<nlohmann::json> json_lines(const std::string& text) {
  std::vector<nlohmann::json> out;
  for (const std::string& line : testing_support::lines_of(text)) out.push_back(nlohmann::json::parse(line));
  return out;
}

// Every factor reported divides 2^p - 1, is 2kp + 1 and is proper; lines of
// factored exponents carry tf_bits; a test after factoring still runs.
TEST(Results, FactorLinesAreCheckedFactors) {
  const auto r = run_shell("$M --json --tf-bits 24 --engine exact 3000-3100 4423");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  int factored = 0;
  for (const auto& j : json_lines(r.out)) {
    const int p = j["exponent"];
    if (j["engine"] != "tf") continue;
    EXPECT_TRUE(j["prime"] == false && j["res64"].is_null() && j["verdict"] == true && j["tf_bits"].is_number()) << j;
    mpz_value q, m;
    mpz_set_str(q, j["factor"].get<std::string>().c_str(), 10), mpz_ui_pow_ui(m, 2, static_cast<unsigned long>(p));
    mpz_sub_ui(m, m, 1);
    EXPECT_TRUE(mpz_divisible_p(m, q) && mpz_cmp(q, m) < 0 && mpz_fdiv_ui(q, 2 * p) == 1) << j;
    ++factored;
  }
  EXPECT_TRUE(factored > 5 && json_lines(r.out).back()["prime"] == true) << factored;
  const auto t = run_shell("$M --test=tf --tf-bits 30 30323 31 30011");
  EXPECT_TRUE(t.status == kExitOk && t.out == "M30323 is not prime: factor 60647 (trial factoring)\n"
                                     "M31 is prime: no factor up to the square root of 2^31 - 1 (trial factoring)\n"
                                     "M30011: no factor below 2^30\n") << t.out << t.err;
}

// A range killed at random moments and restarted with the same results
// file: each exponent once in the output and once in the file, all with a
// verdict; a torn last line is cut off with a warning and its exponent redone;
// a repeat in the list is done once; a second writer is refused.
TEST(Results, KilledRangeRestartsWithEachExponentOnce) {
  const testing_support::temp_dir d;
  const std::string file = d.path + "/r.jsonl";
  const std::string command = "$M --json --jobs 2 --engine exact --tf-bits 20 --results " + file + " 4000-4400 4253";
  std::mt19937_64 rng(testing_support::test_seed());
  for (int k = 0; k < 3; ++k) {
    const double wait = 0.1 + static_cast<double>(rng() % 400) / 1000.0;
    run_shell(command + " >/dev/null 2>&1 & pid=$!; sleep " + std::to_string(wait) + "; kill -KILL $pid; wait $pid");
  }
  // A write cut short by the crash.
  run_shell("printf '{\"exponent\":4001,\"pri' >> " + file);
  const auto r = run_shell(command);
  const auto lines = json_lines(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 402u) << r.err;
  EXPECT_NE(r.err.find("last line is cut short"), std::string::npos) << r.err;
  for (int i = 0; i < 401; ++i) EXPECT_TRUE(lines[i]["exponent"] == 4000 + i && lines[i]["verdict"] == true) << lines[i];
  EXPECT_EQ(lines[401], lines[253]);
  std::map<int, int> seen;
  for (const auto& j : json_lines(testing_support::read_file(file))) ++seen[j["exponent"].get<int>()];
  EXPECT_EQ(seen.size(), 401u);
  for (const auto& [p, n] : seen) EXPECT_EQ(n, 1) << p;
  // Again: everything comes from the file, in text now.
  const auto again = run_shell("$M --engine exact --tf-bits 20 --results " + file + " 4253 4002");
  EXPECT_EQ(again.out.rfind("M4253 is prime (exact, ", 0), 0u) << again.out;
  EXPECT_NE(again.out.find("\nM4002 is not prime: 4002 is divisible by 2"), std::string::npos) << again.out;
  const auto locked = run_shell("exec 9>>" + file + "; flock 9; $M --results " + file + " 7");
  EXPECT_TRUE(locked.status == kExitBadInput && locked.err.find("another mersenne process is writing") != std::string::npos)
      << locked.err;
}

// A deeper --test=tf goes on from the depth recorded; a shallower one is reported from the file.
TEST(Results, DeeperFactoringContinuesFromTheRecordedDepth) {
  const testing_support::temp_dir d;
  const std::string results = " --json --test=tf --results " + d.path + "/r.jsonl 30011";
  EXPECT_EQ(json_lines(run_shell("$M --tf-bits 24" + results).out)[0]["tf_bits"], 24);
  EXPECT_EQ(json_lines(run_shell("$M --tf-bits 20" + results).out)[0]["tf_bits"], 24);
  EXPECT_EQ(json_lines(run_shell("$M --tf-bits 28" + results).out)[0]["tf_bits"], 28);
  EXPECT_EQ(json_lines(testing_support::read_file(d.path + "/r.jsonl")).size(), 2u);
}

// Factoring alone leaves nothing in the state directory: a search without a
// factor is done, and its lock goes with it. Past the fast engine's longest
// length the automatic depth is deep enough to find M(2^31 - 1)'s factor.
TEST(Results, FactoringLeavesNoFilesAndSearchesDeepPastTheFastEngine) {
  const testing_support::temp_dir d;
  auto r = run_shell("$M --test=tf --state-dir " + d.path + "/s 3-1000 | grep -c 'M997: no factor below'; ls -A " +
                     d.path + "/s");
  EXPECT_EQ(r.out, "1\n") << r.out;
  r = run_shell("$M --test=tf --state-dir " + d.path + "/s 2147483647; ls -A " + d.path + "/s");
  EXPECT_EQ(r.out, "M2147483647 is not prime: factor 295257526626031 (trial factoring)\n") << r.out << r.err;
}

// Shards 1..N of a list: together the list, each exponent in one shard; and
// --summary over their results files counts them all once.
TEST(Results, ShardsCoverTheListOnceAndSummaryMergesThem) {
  const testing_support::temp_dir d;
  const std::string list = "3-40 100 50-61";
  std::vector<int> want;
  for (int p = 3; p <= 100; ++p) if (p <= 40 || (p >= 50 && p <= 61) || p == 100) want.push_back(p);
  for (int n : {1, 4, 60}) {
    std::vector<int> got;
    for (int i = 1; i <= n; ++i) {
      const auto r = run_shell("$M --json --test=tf --tf-bits 12 --shard " + std::to_string(i) + "/" +
                               std::to_string(n) + " --results " + d.path + "/r" + std::to_string(i) + ".jsonl " + list);
      ASSERT_EQ(r.status, kExitOk) << r.err;
      for (const auto& j : json_lines(r.out)) got.push_back(j["exponent"]);
    }
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want) << n << " shards";
  }
  const auto s = run_shell("cd " + d.path + " && $M --summary --json r1.jsonl r2.jsonl r3.jsonl r4.jsonl");
  ASSERT_EQ(s.status, kExitOk) << s.err;
  const auto j = nlohmann::json::parse(s.out);
  // 31 and 61 would need 2^16 and 2^31 to reach the square root.
  EXPECT_TRUE(j["exponents"] == want.size() && j["prime_exponents"] == nlohmann::json({3, 5, 7, 13, 17, 19})) << j;
  const auto text = run_shell("echo '3-20' | $M --from - --test=tf --tf-bits 12 --results " + d.path +
                              "/s.jsonl >/dev/null; $M --summary " + d.path + "/s.jsonl");
  EXPECT_NE(text.out.find("primes found: M3 M5 M7 M13 M17 M19"), std::string::npos) << text.out << text.err;
  EXPECT_EQ(run_shell("$M --summary " + d.path + "/missing.jsonl").status, kExitBadInput);
}

// Results of one exponent from several files: the same verdict again (another
// shift, the other test's residue, a factor beside a residue) merges into one;
// verdicts that cannot both hold (a residue changed, prime against not prime,
// whichever lines came first) leave the exponent without a verdict and named,
// and --summary says so in its counts, on stderr and in its exit status.
TEST(Results, SummaryNamesExponentsWhoseResultsDisagree) {
  const auto lines = testing_support::lines_of(testing_support::read_file(std::string(MERSENNE_FORMATS_SAMPLES) + "/results.jsonl"));
  const nlohmann::json ll = nlohmann::json::parse(lines[3]);  // M131: not prime, Res64 CE3C8D1BF6DF73B7
  ASSERT_EQ(ll["exponent"], 131);
  auto with = [&](std::initializer_list<std::pair<const char*, nlohmann::json>> fields) {
    nlohmann::json j = ll;
    for (const auto& [k, v] : fields) j[k] = v;
    return j.dump();
  };
  const std::string shifted = with({{"shift", 77}}), other_res = with({{"res64", "CE3C8D1BF6DF73B6"}}),
                    prp = with({{"test", "prp"}, {"res64", "0123456789ABCDEF"}}),
                    prime = with({{"prime", true}, {"res64", "0000000000000000"}}),
                    factor = R"({"exponent":131,"prime":false,"res64":null,"test":"tf","engine":"tf","fft_length":0,)"
                             R"("max_roundoff":0.0,"seconds":0.0,"verdict":true,"factor":"263","tf_bits":9})",
                    no_verdict = with({{"prime", nullptr}, {"res64", nullptr}, {"verdict", false}, {"error", "no memory"}});
  const struct {
    std::vector<std::string> lines;
    bool disagree;
  } cases[] = {
      {{ll.dump(), shifted}, false},       {{ll.dump(), prp}, false},
      {{ll.dump(), factor, shifted}, false}, {{no_verdict, prime}, false},
      {{ll.dump(), other_res}, true},      {{factor, prime}, true},
      {{prime, ll.dump()}, true},          {{prp, ll.dump(), no_verdict, other_res}, true},
  };
  for (const auto& c : cases) {
    std::string text;
    for (const std::string& line : c.lines) text += line + "\n";
    const results_text parsed = parse_results(text, "r");
    ASSERT_EQ(parsed.results.size(), c.lines.size()) << text;
    const results_summary s = summarize(parsed.results);
    EXPECT_EQ(s.exponents, 1) << text;
    if (c.disagree) {
      EXPECT_TRUE(s.no_verdict == 1 && s.primes == 0 && s.tested == 0 && s.factored == 0 &&
                  s.disagreeing == std::vector<int32_t>{131} && s.disagreements.size() == 1u &&
                  s.disagreements[0].find("M131") != std::string::npos)
          << text;
    } else {
      EXPECT_TRUE(s.disagreeing.empty() && s.no_verdict + s.primes + s.tested + s.factored == 1) << text;
    }
  }
  const testing_support::temp_dir d;
  testing_support::write_file(d.path + "/a.jsonl", ll.dump() + "\n" + lines[2] + "\n");
  testing_support::write_file(d.path + "/b.jsonl", other_res + "\n");
  auto r = run_shell("$M --summary " + d.path + "/a.jsonl " + d.path + "/b.jsonl");
  EXPECT_EQ(r.status, kExitNoVerdict) << r.out << r.err;
  EXPECT_NE(r.out.find("no verdict: 1\ndisagreeing: M131\nprimes found: M127\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("CE3C8D1BF6DF73B7 (exact, 0.0 s) / M131 is not prime, Res64 CE3C8D1BF6DF73B6"), std::string::npos)
      << r.err;
  r = run_shell("$M --summary --json " + d.path + "/a.jsonl " + d.path + "/a.jsonl");
  EXPECT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["disagreeing"], nlohmann::json::array()) << r.out;
}

// Every kind of line the program writes (a probable-prime test resumed past
// p too) is trusted when read back and gives the same line again; in a file
// a line that is not a result is skipped and a torn last line left out.
TEST(Results, EveryLineTheProgramWritesIsTrustedAndCounted) {
  const std::string file = testing_support::read_file(std::string(MERSENNE_FORMATS_SAMPLES) + "/results.jsonl");
  std::vector<std::string> lines = testing_support::lines_of(file);
  ASSERT_EQ(lines.size(), 17u);
  nlohmann::json resumed = nlohmann::json::parse(lines[7]);  // M607's probable-prime test
  resumed["resumed_from"] = 607 + 100;
  lines.push_back(resumed.dump());
  for (const std::string& line : lines) {
    exponent_result back;
    std::string why;
    ASSERT_TRUE(result_from_json(line, &back, &why)) << why << ": " << line;
    EXPECT_EQ(nlohmann::json::parse(result_json(back)), nlohmann::json::parse(line));
  }
  const results_text t = parse_results(file + "garbage\n" + lines[3].substr(0, 40), "r");
  EXPECT_TRUE(t.results.size() == 17u && t.whole_bytes == file.size() + 8 && t.warnings.size() == 2u);
  const results_summary s = summarize(t.results);
  EXPECT_TRUE(s.exponents == 17 && s.primes == 7 && s.factored == 2 && s.tested == 3 && s.no_verdict == 5)
      << s.primes << " " << s.factored << " " << s.tested << " " << s.no_verdict;
  EXPECT_EQ(s.prime_exponents, (std::vector<int32_t>{2, 31, 127, 607, 4253, 4423, 9689}));
}

// P-1 and ECM lines the program writes are trusted; each damaged in one way
// (a factor that does not divide, or is 2^p - 1 itself, a verdict that does
// not fit, bounds out of order, the method's fields missing) is not.
TEST(Results, FactoringLinesAreTrustedOnlyWhenTheirFactorsDivide) {
  const auto lines =
      testing_support::lines_of(testing_support::read_file(std::string(MERSENNE_FORMATS_SAMPLES) + "/factoring-results.jsonl"));
  ASSERT_EQ(lines.size(), 6u);
  for (const std::string& line : lines) {
    exponent_result back;
    std::string why;
    EXPECT_TRUE(result_from_json(line, &back, &why)) << why << ": " << line;
  }
  using nlohmann::json;
  const std::tuple<int, const char*, json> damaged[] = {
      {0, "/factors/1", "1105"},         {0, "/factors/0", "536870911"},  {0, "/factors", json::array()},
      {0, "/factors/2", 2089},           {0, "/prime", nullptr},          {0, "/test", "ll"},
      {1, "/B2", 999},                   {1, "/B1", 1},                   {1, "/B1", -5},
      {2, "/prime", false},              {2, "/factors", {"3"}},         {3, "/curves", 0},
      {3, "/factors/0", "7432339208721"}, {4, "/verdict", false},         {5, "/pm1/B1", 0},
  };
  for (const auto& [i, at, value] : damaged) {
    json j = json::parse(lines[i]);
    j[json::json_pointer(at)] = value;
    exponent_result back;
    std::string why;
    EXPECT_FALSE(result_from_json(j.dump(), &back, &why)) << j.dump();
  }
  for (const auto& [i, name] : {std::pair{0, "B2"}, {3, "curves"}, {4, "factors"}}) {
    json j = json::parse(lines[i]);
    j.erase(name);
    exponent_result back;
    std::string why;
    EXPECT_FALSE(result_from_json(j.dump(), &back, &why)) << j.dump();
  }
}

// A results file whose lines 7-20 are each damaged in one way (a field renamed,
// a factor that does not divide, a prime's Res64 changed, a proof too shallow
// for its exponent, ...): each is named with its line and not trusted, by
// --summary and by a run, whose exponents are done again; the file keeps them.
TEST(Results, DamagedLinesAreNamedAndTheirExponentsDoneAgain) {
  const std::string fixture = std::string(MERSENNE_RESULTS_DATA) + "/damaged.jsonl";
  const auto s = run_shell("$M --summary --json " + fixture);
  ASSERT_EQ(s.status, kExitOk) << s.err;
  const auto j = nlohmann::json::parse(s.out);
  EXPECT_TRUE(j["exponents"] == 6 && j["prime_exponents"] == nlohmann::json({2, 31, 89})) << j;
  for (int line = 1; line <= 20; ++line)
    EXPECT_EQ(s.err.find("damaged.jsonl: line " + std::to_string(line) + " ") != std::string::npos, line >= 7)
        << line << "\n" << s.err;

  const testing_support::temp_dir d;
  const std::string file = d.path + "/r.jsonl";
  run_shell("cp " + fixture + " " + file);
  const auto r = run_shell("$M --tf-bits 0 --engine exact --results " + file +
                           " 1000 1001 3 127 61 13 41 67 103 4 131 33 89");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  const std::vector<std::string> want = {
      "M1000 is not prime: 1000 is divisible by 2", "M1001 is not prime: 1001 is divisible by 7", "M3 is prime (",
      "M127 is prime (", "M61 is prime (", "M13 is prime (", "M41 is not prime, Res64", "M67 is not prime, Res64",
      "M103 is not prime, Res64", "M4 is not prime: 4 is divisible by 2", "M131 is not prime, Res64",
      "M33 is not prime: 33 is divisible by 3", "M89 is prime (exact, 0.0 s)"};
  const auto got = testing_support::lines_of(r.out);
  ASSERT_EQ(got.size(), want.size()) << r.out;
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i].rfind(want[i], 0), 0u) << got[i];
  // The damaged lines stay where they were; the new ones follow them.
  EXPECT_EQ(testing_support::read_file(file).rfind(testing_support::read_file(fixture), 0), 0u);
  EXPECT_EQ(json_lines(testing_support::read_file(file)).size(), 20u + 12u);
}

}  // namespace
