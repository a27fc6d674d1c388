// The built program: its JSON and text lines, usage errors, progress and
// exit statuses.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "app/exit_codes.h"
#include "work/report.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

using testing_support::run_mersenne;
using testing_support::lines_of;
using testing_support::run_shell;

// A slow exponent first, quick ones after it, composites, repeats and ranges:
// each JSON line whole, in the order given, with its own Res64 or divisor.
TEST(Binary, JsonLinesInOrderGivenWithSeveralJobs) {
  const auto r = run_mersenne("--json --no-progress --jobs 4 --engine=exact 9689 2-40 607 3 1279-1290 9689 11", "");
  ASSERT_TRUE(r.status == kExitOk && r.err.empty()) << r.err;
  const auto lines = lines_of(r.out);
  size_t i = 0;
  mpz_value res;
  for (auto [a, b] : {std::pair{9689, 9689}, {2, 40}, {607, 607}, {3, 3}, {1279, 1290}, {9689, 9689}, {11, 11}}) {
    for (int32_t p = a, d = 2; p <= b; ++p, ++i, d = 2) {
      ASSERT_LT(i, lines.size()) << r.out;
      const nlohmann::json j = nlohmann::json::parse(lines[i]);
      while (p % d != 0) ++d;
      testing_support::lucas_lehmer_residue(res, static_cast<unsigned>(p));
      ASSERT_EQ(j["exponent"], p) << "line " << i;
      EXPECT_EQ(j["res64"], d == p && p > 2 ? nlohmann::json(res64_hex(low64(res))) : nlohmann::json()) << lines[i];
      EXPECT_EQ(j["prime"], p == 2 || j["res64"] == "0000000000000000") << lines[i];
      EXPECT_EQ(j.value("divisor", 0), d != p ? d : 0) << lines[i];
      EXPECT_EQ(j["engine"], d == p && p > 2 ? "exact" : "none") << lines[i];
      EXPECT_TRUE(j["fft_length"].is_number_integer() && j["verdict"] == true && j["seconds"].is_number()) << lines[i];
    }
  }
  EXPECT_EQ(i, lines.size()) << r.out;
}

// Bad input: status 1, nothing on stdout, the reason and a hint on stderr
// (no verdict, status 3: the memory caps below).
TEST(Binary, ExitStatuses) {
  for (const char* args : {"abc", "2147483648", "--json", "-- -7", "--benchmark 4Q"}) {
    const auto r = run_mersenne(args, "");
    const auto err = lines_of(r.err);
    EXPECT_TRUE(r.status == kExitBadInput && r.out.empty()) << args;
    ASSERT_EQ(err.size(), 2u) << args << ": " << r.err;
    EXPECT_TRUE(err[0].rfind("mersenne: ", 0) == 0 && err[1].find("--help") != std::string::npos) << r.err;
  }
}

TEST(Binary, ProgressAndTextLine) {
  // stderr is no terminal here: progress only when asked for, and then never
  // on stdout. The line is drawn as soon as a test starts.
  EXPECT_EQ(run_mersenne("--engine=reference 2203", "").err, "");
  const auto r = run_mersenne("--progress --engine=reference 2203", "");
  ASSERT_TRUE(r.status == kExitOk && std::regex_match(r.out, std::regex("M2203 is prime \\(reference, FFT [0-9]+, [0-9]+\\.[0-9] s\\)\n")))
      << r.out;
  EXPECT_TRUE(r.err.find("M2203: iteration") != std::string::npos && r.err.find('\n') == std::string::npos) << r.err;
}

// The benchmark at a small length and at one rounded up to the next: one
// JSON object each, every timing positive. A length that cannot have its
// memory is not measured, and that is no success.
TEST(Binary, Benchmark) {
  const auto r = run_shell("MERSENNE_BENCH_QUICK=1 $M --benchmark --json 4K 5000");
  const auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 2) << r.status << ": " << r.out << r.err;
  for (size_t i = 0; i < lines.size(); ++i) {
    const nlohmann::json j = nlohmann::json::parse(lines[i]);
    EXPECT_EQ(j["fft_length"], i == 0 ? 4096 : 5120) << lines[i];
    EXPECT_EQ(j.value("asked_length", 0), i == 0 ? 0 : 5000) << lines[i];
    for (const char* field : {"ms_per_iteration", "ms_per_iteration_threads", "ms_fftw_pair"})
      EXPECT_TRUE(j[field].is_number() && j[field] > 0) << field << ": " << lines[i];
  }
#if !defined(__SANITIZE_ADDRESS__)
  const auto big = run_shell("ulimit -v 400000; $M --benchmark --json 8M");
  EXPECT_TRUE(big.status == kExitNoVerdict && big.out.empty() && big.err.find("not measured") != std::string::npos)
      << big.status << ": " << big.err;
#endif
}

// The throughput at a short length: one object per split of the cores,
// workers ascending, each workers x threads = cores on as many distinct
// exponents, one of them the best; the best is saved, and a run of two
// exponents of that length without --jobs and --threads then takes it.
TEST(Binary, BenchmarkThroughput) {
  const auto r = run_shell(
      "MERSENNE_BENCH_QUICK=1 $M --benchmark --throughput --json 64K || exit 9; "
      "$M --progress --no-checkpoints --iterations 2 1327099 1327091 >/dev/null");
  const auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && !lines.empty()) << r.status << ": " << r.out << r.err;
  int cores = 0, best = 0, workers = 0;
  nlohmann::json chosen;
  for (const std::string& line : lines) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_GT(j["workers"].get<int>(), workers) << line;
    workers = j["workers"];
    const int threads = j["threads"];
    if (cores == 0) cores = workers * threads;
    EXPECT_TRUE(j["fft_length"] == 65536 && workers * threads == cores && j["exponents"].size() == size_t(workers))
        << line;
    EXPECT_EQ(std::set<int>(j["exponents"].begin(), j["exponents"].end()).size(), size_t(workers)) << line;
    for (const char* field : {"iterations_per_second", "ms_per_iteration", "one_thread_iterations_per_second",
                              "scaling", "ceiling", "ghz"})
      EXPECT_TRUE(j[field].is_number() && j[field] > 0) << field << ": " << line;
    if (j["best"] == true) chosen = j;
    best += j["best"] == true;
  }
  EXPECT_TRUE(lines.front().find("\"workers\":1,") != std::string::npos && workers == cores && best == 1) << r.out;
  const std::string told = "--jobs " + std::to_string(chosen["workers"].get<int>()) + " --threads " +
                           std::to_string(chosen["threads"].get<int>()) + ": the best split";
  EXPECT_NE(r.err.find(told), std::string::npos) << r.err;
}

// The length list: ascending, each length serving every exponent from its
// lower neighbour's bound on, the last reaching the largest exponent; no
// length may be given with it.
TEST(Binary, BenchmarkList) {
  const auto r = run_mersenne("--benchmark --list --json", "");
  const auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() > 100) << r.status << ": " << r.err;
  int64_t n = 0, top = 0;
  for (const std::string& line : lines) {
    const nlohmann::json j = nlohmann::json::parse(line);
    ASSERT_GT(j["fft_length"].get<int64_t>(), n) << line;
    ASSERT_GE(j["max_exponent"].get<int64_t>(), top) << line;
    EXPECT_TRUE(j["iteration"] == "one-transform" || j["iteration"].get<std::string>().rfind("two-pass ", 0) == 0)
        << line;
    n = j["fft_length"];
    top = j["max_exponent"];
  }
  EXPECT_EQ(top, 2147483647);
  EXPECT_EQ(run_mersenne("--benchmark --list 4K", "").status, kExitBadInput);
  EXPECT_EQ(run_mersenne("--list", "").status, kExitBadInput);
}

// The self-test at a few lengths: each path of each length ok, then the
// summary; damaged at one length, that length's every path is a mismatch
// and the status says so. A length without expected residues is refused.
TEST(Binary, SelfTestCatchesABrokenLength) {
  const auto good = run_mersenne("--self-test quick 5 4096 4608", "");
  const auto lines = lines_of(good.out);
  ASSERT_TRUE(good.status == kExitOk && lines.size() >= 4) << good.status << ": " << good.out << good.err;
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex("(5|4096|4608) [a-z0-9-]+ ok"))) << lines[i];
  EXPECT_EQ(lines.back(), "self-test: " + std::to_string(lines.size() - 1) + " of " +
                              std::to_string(lines.size() - 1) + " passed");
  const auto bad = run_shell("MERSENNE_SELF_TEST_BREAK=4608 $M --self-test 4096 4608");
  const auto bad_lines = lines_of(bad.out);
  ASSERT_TRUE(bad.status == kExitNoVerdict && bad_lines.size() >= 3) << bad.status << ": " << bad.out << bad.err;
  for (size_t i = 0; i + 1 < bad_lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(bad_lines[i], std::regex("4096 [a-z0-9-]+ ok|4608 [a-z0-9-]+ MISMATCH at "
                                                          "iteration 1 \\(p = [0-9]+\\)")))
        << bad_lines[i];
  EXPECT_NE(bad.out.find("4608 one-transform MISMATCH"), std::string::npos) << bad.out;
  EXPECT_NE(bad_lines.back().find("FAILED"), std::string::npos) << bad_lines.back();
  EXPECT_NE(bad_lines.back().find("(length 4608)"), std::string::npos) << bad_lines.back();
  const auto json = run_shell("MERSENNE_SELF_TEST_BREAK=4096 $M --self-test --json 4096");
  const auto json_lines = lines_of(json.out);
  ASSERT_TRUE(json.status == kExitNoVerdict && !json_lines.empty()) << json.out << json.err;
  const nlohmann::json first = nlohmann::json::parse(json_lines.front());
  EXPECT_TRUE(first["fft_length"] == 4096 && first["result"] == "mismatch" && first["iteration"] == 1) << first;
  const nlohmann::json summary = nlohmann::json::parse(json_lines.back());
  EXPECT_TRUE(summary["passed"] == 0 && summary["failed_lengths"] == nlohmann::json::array({4096})) << summary;
  EXPECT_EQ(run_mersenne("--self-test 4000", "").status, kExitBadInput);
  EXPECT_EQ(run_mersenne("--self-test 1G", "").status, kExitBadInput);
}

// The quick self-test: every length and path of the sample passes.
TEST(LongBinary, QuickSelfTestPasses) {
  const auto r = run_mersenne("--self-test", "");
  const auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() > 50) << r.status << ": " << r.out << r.err;
  for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].substr(lines[i].size() - 3), " ok") << lines[i];
}

// Results that cannot be written are a failure, never a success: a full
// disk, a closed stdout, a reader gone with SIGPIPE ignored; the dialogue too.
TEST(Binary, OutputThatCannotBeWrittenIsAFailure) {
  const std::pair<const char*, const char*> cases[] = {
      {"$M 127 >/dev/full", "No space left"},
      {"$M --json 3-200 >/dev/full", "No space left"},
      {"$M 127 >&-", "closed"},
      {"echo 127 | $M >/dev/full", "No space left"},
      {"trap '' PIPE; $M --engine=exact --jobs 1 3-2000000 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}", "went away"},
  };
  for (auto [command, why] : cases) {
    const auto r = run_shell(command);
    EXPECT_TRUE(r.status == kExitOutputFailed && r.err.find(why) != std::string::npos) << command << ": " << r.err;
  }
}

// Too little memory or too many threads: the exponent that cannot be tested
// gets an error line, every other one its verdict; no crash, no hang.
TEST(Binary, MemoryAndThreadLimitsGiveErrorsNotCrashes) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the caps leave";
#else
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"ulimit -v 300000; $M --jobs 1 --engine fast --tf-bits 0 150000001", {"M150000001: no verdict: "}},
      {"ulimit -v 800000; $M --jobs 2 --engine exact --tf-bits 0 2147483647 127",
       {"M2147483647: no verdict: ", "M127 is prime"}},
      {"ulimit -v 500000; timeout 300 $M --jobs 1 --threads 64 --engine fast 4423", {"M4423 is prime"}},
      {"ulimit -v 100000; $M --jobs 1024 7 11 13", {"M7 is prime", "M11 is not prime", "M13 is prime"}},
  };
  for (const auto& [command, want] : cases) {
    const auto r = run_shell(command);
    const auto lines = lines_of(r.out);
    EXPECT_EQ(r.status, want[0].find("no verdict") != std::string::npos ? kExitNoVerdict : kExitOk) << command;
    ASSERT_EQ(lines.size(), want.size()) << command << ": " << r.out << r.err;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(lines[i].rfind(want[i], 0), 0u) << command << ": " << lines[i];
  }
#endif
}

// Out of memory around the tests (FFTW's planner, the lines, a proof too
// large to read): each exponent or file fails alone with its line, never
// the process. The address-space cap leaves a few MiB at times, and which
// exponents get theirs differs from run to run, so each cap runs a few times.
TEST(Binary, OutOfMemoryFailsEachExponentOrFileAlone) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the caps leave";
#else
  for (const char* cap : {"40000", "60000", "60000", "60000", "80000"}) {
    const auto r = run_shell(std::string("ulimit -v ") + cap +
                             "; $M --jobs 8 --threads 4 --no-checkpoints --engine fast 86243 86249 3-200");
    ASSERT_TRUE(r.status == kExitOk || r.status == kExitNoVerdict) << cap << ": " << r.status << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 200u) << cap << ": " << r.err;
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string p = std::to_string(i == 0 ? 86243 : i == 1 ? 86249 : i + 1);
      const bool failed = lines[i].find(": no verdict: ") != std::string::npos;
      EXPECT_EQ(lines[i].rfind(std::string("M").append(p).append(failed ? ":" : " "), 0), 0u) << cap << ": " << lines[i];
    }
  }
  // A proof file larger than the cap (sparse: it takes no room on the disk), then one that is missing.
  testing_support::temp_dir t;
  const std::string big = t.path + "/M1000000007.proof";
  const auto r = run_shell("printf 'PRP PROOF\\nVERSION 1\\nHASHSIZE 64\\nPOWER 12\\nNUMBER M1000000007\\n' >" + big +
                           " && truncate -s 1750000074 " + big + " && ulimit -v 1000000 && $M --verify " + big + " " +
                           t.path + "/none.proof");
  const auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitProofInvalid && lines.size() == 2u) << r.out << r.err;
  EXPECT_EQ(lines[0].rfind(big + ": proof invalid: ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind(t.path + "/none.proof: proof invalid: ", 0), 0u) << lines[1];
#endif
}

// The probable-prime test's lines: text and JSON (test on every line,
// gerbicz among the errors, the proof written), and --verify's lines and
// statuses for valid, truncated and missing proofs.
TEST(Binary, ProbablePrimeLinesProofsAndVerify) {
  testing_support::temp_dir t;
  auto r = run_mersenne("--test=prp --engine=fast 89 97 4 2", "");
  auto lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 4) << r.out << r.err;
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(lines[i].rfind(std::vector<std::string>{"M89 is a probable prime (PRP-3, fast, FFT ",
                                                      "M97 is not prime, PRP Res64 E0B1F2B31A93F9F5 (PRP-3, fast",
                                                      "M4 is not prime", "M2 is prime"}[i], 0), 0u) << lines[i];
  r = run_mersenne("--json --test=prp --proof 4 --proof-dir " + t.path + " 4423 4421 9", "");
  lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 3) << r.out << r.err;
  const auto j = nlohmann::json::parse(lines[0]), k = nlohmann::json::parse(lines[1]), n = nlohmann::json::parse(lines[2]);
  const std::string good = t.path + "/M4423.power4.proof";
  EXPECT_TRUE(j["prime"] == true && j["res64"] == "0000000000000001" && j["test"] == "prp" &&
              j["errors"]["gerbicz"] == 0 && j["proof"]["file"] == good && j["proof"]["power"] == 4) << j;
  EXPECT_TRUE(k["prime"] == false && k["res64"] == "B45CF72F1682620C" && n["test"] == "prp") << k << n;
  run_shell("head -c 900 " + good + " > " + t.path + "/short.proof");
  r = run_mersenne("--verify " + good + " " + t.path + "/M4421.power4.proof", "");
  lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitOk && lines.size() == 2) << r.out << r.err;
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("M4423: proof valid, probable prime, top 4432, the least multiple "
                                                     "of 2\\^power above p \\([0-9]+ squarings, .*")))
      << lines[0];
  EXPECT_EQ(lines[1].rfind("M4421: proof valid, composite, top 4432, ", 0), 0u) << lines[1];
  r = run_mersenne("--verify " + t.path + "/short.proof " + t.path + "/none.proof " + good, "");
  lines = lines_of(r.out);
  ASSERT_TRUE(r.status == kExitProofInvalid && lines.size() == 3) << r.out << r.err;
  EXPECT_TRUE(lines[0].find(": proof invalid: truncated") != std::string::npos &&
              lines[1].find(": proof invalid: ") != std::string::npos && lines[2].rfind("M4423: proof valid", 0) == 0) << r.out;

  // A proof whose residues cannot fit is refused before the test starts, and leaves nothing behind.
  struct statvfs fs;
  ASSERT_EQ(statvfs(t.path.c_str(), &fs), 0);
  if (static_cast<double>(fs.f_bavail) * static_cast<double>(fs.f_frsize) > 400e9)
    GTEST_SKIP() << "the disk has room for a proof of power 12 at p = 1000000007";
  r = run_mersenne("--json --test=prp --tf-bits 0 --proof 12 --no-checkpoints --proof-dir " + t.path + " 1000000007", "");
  const auto refused = nlohmann::json::parse(r.out);
  EXPECT_TRUE(r.status == kExitNoVerdict && refused["verdict"] == false) << r.out;
  EXPECT_NE(refused["error"].get<std::string>().find("not enough free space for the proof of power 12"), std::string::npos);
  EXPECT_EQ(run_shell("ls -A " + t.path + " | grep -c M1000000007").out, "0\n");
}

// A FIFO where a file is read (a proof, --from, --summary, --results, a
// saved state, the saved plans) is refused with a message, never waited on:
// each run has 20 s before timeout ends it with status 124.
TEST(Binary, FifosAreRefusedNotWaitedOn) {
  const std::string dir = "$XDG_STATE_HOME/mersenne";
  const std::vector<std::tuple<std::string, std::string, int, std::string>> entries = {
      {"f", "--verify f", kExitProofInvalid, "not a regular file"},
      {"f", "--from f", kExitBadInput, "--from f: not a regular file"},
      {"f", "--summary f", kExitBadInput, "cannot read f: not a regular file"},
      {"f", "--results f 7", kExitBadInput, "f is not a regular file"},
      {dir + "/M1279.state", "--engine exact 1279", kExitOk, "M1279.state: cannot be read (not a regular file)"},
      {"$XDG_CACHE_HOME/mersenne/fftw-wisdom", "--engine fast 1279", kExitOk, "fftw-wisdom: not a regular file"},
  };
  for (const auto& [fifo, args, status, message] : entries) {
    const testing_support::temp_dir d;
    const auto r = run_shell("cd " + d.path + " && mkdir -p \"$(dirname " + fifo + ")\" && mkfifo " + fifo +
                             " && timeout 20 $M " + args + " </dev/null");
    EXPECT_TRUE(r.status == status && (r.out + r.err).find(message) != std::string::npos) << args << "\n" << r.out << r.err;
  }
}

}  // namespace

// The program's largest exponent has a length of the fast engine: the first
// 40 iterations (s first wraps at 30) give GMP's Res64 of s(40)
// (s -> s^2 - 2 from 4 with mpz arithmetic and the fold modulo 2^p - 1).
TEST(LongBinary, LargestExponentRunsOnTheFastEngine) {
  const auto r = run_mersenne("--json --no-progress --no-checkpoints --engine fast --iterations 40 2147483647", "");
  ASSERT_EQ(r.status, kExitOk) << r.err;
  const nlohmann::json j = nlohmann::json::parse(lines_of(r.out).at(0));
  EXPECT_EQ(j["res64"], "86AF83531AD82D61") << j;
  EXPECT_EQ(j["engine"], "fast") << j;
  EXPECT_LT(j["max_roundoff"].get<double>(), 0.4) << j;
}
