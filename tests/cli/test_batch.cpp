// The batch tester in-process: results, their text and JSON, and their order.
#include <gmp.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "driver/exit_codes.h"
#include "engine/engine_table.h"
#include "support/test_support.h"

namespace {

// The low 64 bits of s(p-2) mod 2^p - 1 by the GMP oracle.
uint64_t oracle_res64(int32_t p) {
  mpz_t r;
  mpz_init(r);
  testing_support::lucas_lehmer_residue(r, static_cast<unsigned>(p));
  mpz_t low;
  mpz_init(low);
  mpz_fdiv_r_2exp(low, r, 64);
  uint64_t v = 0;
  for (size_t i = 0; i < mpz_size(low); ++i) v |= static_cast<uint64_t>(mpz_getlimbn(low, i)) << (64 * i);
  mpz_clears(r, low, nullptr);
  return v;
}

// Runs run_batch into a temporary file; returns the exit status and the lines.
int batch(const cli_options& o, std::vector<std::string>* lines) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  const int status = run_batch(o, out, err, false);
  std::rewind(out);
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, out)) > 0) text.append(buf, n);
  std::fclose(out);
  std::fclose(err);
  std::istringstream s(text);
  lines->clear();
  for (std::string line; std::getline(s, line);) lines->push_back(line);
  return status;
}

TEST(Report, SmallestPrimeFactor) {
  for (int32_t p = 2; p < 3000; ++p) {
    int32_t d = 2;
    while (p % d != 0) ++d;
    ASSERT_EQ(smallest_prime_factor(p), d) << p;
  }
  EXPECT_EQ(smallest_prime_factor(2147483647), 2147483647);  // prime; the divisor loop must not overflow
  EXPECT_EQ(smallest_prime_factor(2147395600), 2);
  EXPECT_EQ(smallest_prime_factor(46337 * 46337), 46337);
}

TEST(Report, TextLines) {
  exponent_result r;
  r.p = 86249;
  r.engine = "fast";
  r.outcome.verdict = true;
  r.outcome.res64 = 0x422C56C4F9E3F2E3ull;
  r.outcome.fft_length = 4608;
  r.seconds = 1.94;
  EXPECT_EQ(result_text(r), "M86249 is not prime, Res64 422C56C4F9E3F2E3 (fast, FFT 4608, 1.9 s)");
  r.p = 86243;
  r.outcome.prime = true;
  r.outcome.res64 = 0;
  EXPECT_EQ(result_text(r), "M86243 is prime (fast, FFT 4608, 1.9 s)");
  r.engine = "exact";
  r.outcome.fft_length = 0;
  r.outcome.note = "a note";
  EXPECT_EQ(result_text(r), "M86243 is prime (exact, 1.9 s; a note)");
  r.outcome.verdict = false;
  EXPECT_EQ(result_text(r).find("is prime"), std::string::npos);
  EXPECT_NE(result_text(r).find("no verdict"), std::string::npos);
}

TEST(Report, JsonOfEveryKind) {
  exponent_result r;
  r.p = 21701;
  r.engine = "reference";
  r.outcome.verdict = false;
  r.outcome.max_roundoff = 1.0 / 0.0;
  r.outcome.note = "bound crossed";
  nlohmann::json j = nlohmann::json::parse(result_json(r));
  EXPECT_TRUE(j["prime"].is_null());
  EXPECT_TRUE(j["res64"].is_null());
  EXPECT_TRUE(j["max_roundoff"].is_null());
  EXPECT_EQ(j["verdict"], false);
  EXPECT_EQ(j["note"], "bound crossed");

  r.outcome = ll_outcome{};
  r.outcome.error = "no memory";
  j = nlohmann::json::parse(result_json(r));
  EXPECT_TRUE(j["prime"].is_null());
  EXPECT_EQ(j["verdict"], false);
  EXPECT_EQ(j["error"], "no memory");

  r = exponent_result{};
  r.p = 3;
  r.kind = result_kind::no_engine;
  r.engine = "fast";
  j = nlohmann::json::parse(result_json(r));
  EXPECT_TRUE(j["prime"].is_null());
  EXPECT_EQ(j["engine"], "fast");
  EXPECT_TRUE(j.contains("note"));
}

// Results come out in the order given, whichever finishes first: a slow exponent
// first, many quick ones after it, repeats and ranges.
TEST(Batch, OrderAndResultsWithSeveralJobs) {
  cli_options o;
  o.engine = "exact";
  o.jobs = 4;
  o.exponents = {{9689, 9689}, {2, 40}, {607, 607}, {3, 3}, {1279, 1290}, {9689, 9689}, {11, 11}};
  std::vector<int32_t> expected;
  for (const exponent_span& s : o.exponents)
    for (int64_t p = s.first; p <= s.last; ++p) expected.push_back(static_cast<int32_t>(p));
  for (int jobs : {1, 4}) {
    o.jobs = jobs;
    o.json = true;
    std::vector<std::string> lines;
    ASSERT_EQ(batch(o, &lines), kExitOk);
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      const nlohmann::json j = nlohmann::json::parse(lines[i]);
      const int32_t p = expected[i];
      ASSERT_EQ(j["exponent"], p) << "line " << i << " with --jobs " << jobs;
      const bool prime = testing_support::mersenne_is_prime(static_cast<unsigned>(p));
      EXPECT_EQ(j["prime"], prime) << p;
      if (smallest_prime_factor(p) != p || p == 2) {
        EXPECT_TRUE(j["res64"].is_null()) << p;
        if (p != 2) {
          EXPECT_EQ(j["divisor"], smallest_prime_factor(p));
        }
      } else {
        EXPECT_EQ(j["res64"], res64_hex(oracle_res64(p))) << p;
        EXPECT_EQ(j["engine"], "exact");
      }
    }
  }
}

TEST(Batch, ExponentNoEngineCanTestGivesNoVerdictStatus) {
  cli_options o;
  o.engine = "fast";
  o.jobs = 2;
  o.exponents = {{7, 7}, {2147483647, 2147483647}};  // beyond the fast engine's lengths
  std::vector<std::string> lines;
  if (find_engine("fast")->applicable(2147483647)) GTEST_SKIP() << "the fast engine reaches 2^31 - 1";
  ASSERT_EQ(batch(o, &lines), kExitNoVerdict);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("M7 is prime (fast", 0), 0u) << lines[0];
  EXPECT_NE(lines[1].find("no verdict"), std::string::npos) << lines[1];
}

}  // namespace
