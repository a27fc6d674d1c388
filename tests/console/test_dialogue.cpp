#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "console/str_2y16.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

using testing_support::run_mersenne;

const char kPrompt[] = "Primzahl n von der zu pruefenden Mersenneschen Zahl eingeben:";
const char* const kArrays[] = {"buffer", "u2",        "u1",        "wr",        "wi",        "dft_r1",
                               "dft_i1", "res_dft_r", "res_dft_i", "inf_dft_r", "inf_dft_i", "res_polynom"};
const char* const kStages[] = {"get_n", "get_einheitswurzel", "get_fast_dft_vektor", "mul_dft",
                               "inverse_dft_vektor", "decode_polynom_2y16", "str_minus_zwei",
                               "fast_modulo_2y16"};
const char kMod16[] = "Die Me-Zahl ist durch 16 teilbar ??? Unbehandelter Fehler aus fast_mersenne_modulo";

std::string head() {
  std::string s = kPrompt;
  for (const char* name : kArrays) s += std::string(name) + " Speicher alloziert\n";
  return s + "\n\n";
}

std::string step(int i) {
  std::string s = "Schritt " + std::to_string(i) + ":\n";
  for (const char* stage : kStages) s += "start " + std::string(stage) + "()\n";
  return s + "\n";
}

std::string verdict(int p, bool prime) {
  return "me (2y" + std::to_string(p) + ")-1 is " + (prime ? "prime\n" : "not prime\n");
}

// The dump of the exact residue s(p-2) mod 2^p - 1 (its format is checked with the dumps).
std::string exact_dump(unsigned p) {
  mpz_value r;
  testing_support::lucas_lehmer_residue(r, p);
  std::vector<uint32_t> d(p / 16 + 2);
  testing::internal::CaptureStdout();
  print_digits(d.data(), mpz_to_digits(r, d.data()));
  return testing::internal::GetCapturedStdout();
}

// The last line of out, without its line break.
std::string last_line(std::string out) {
  if (!out.empty() && out.back() == '\n') out.pop_back();
  const size_t start = out.rfind('\n');
  return start == std::string::npos ? out : out.substr(start + 1);
}

TEST(Dialogue, WholeTranscripts) {
  auto r = run_mersenne("", "3\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, head() + step(0) + "\n[0]=0   \n" + verdict(3, true));

  std::string eleven = head();
  for (int i = 0; i < 9; ++i) eleven += step(i);
  r = run_mersenne("", "11\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, eleven + exact_dump(11) + verdict(11, false));
}

// No step runs for p <= 2; p <= -16 must not shrink the arrays to nothing.
TEST(Dialogue, ExponentsWithoutSteps) {
  for (int p : {INT32_MIN, -1000, -17, -16, -15, -8, -1, 0, 1, 2}) {
    SCOPED_TRACE(p);
    const auto r = run_mersenne("", std::to_string(p) + "\n");
    EXPECT_EQ(r.status, 0);
    // 2^2 - 1 = 3 is prime even though the residue never leaves 4.
    EXPECT_EQ(r.out, head() + "\n[0]=4   \n" + verdict(p, p == 2));
  }
}

TEST(Dialogue, MultiplesOfSixteenReportTheReductionMessage) {
  const auto r = run_mersenne("", "16");
  EXPECT_EQ(r.status, 0);
  size_t with_message = 0;
  const std::string marker = "start fast_modulo_2y16()\n" + std::string(kMod16) + "\n";
  for (size_t at = r.out.find(marker); at != std::string::npos; at = r.out.find(marker, at + 1)) ++with_message;
  EXPECT_EQ(with_message, 11u);
  EXPECT_NE(r.out.find("Schritt 13:\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Schritt 14:\n"), std::string::npos);
  EXPECT_EQ(last_line(r.out) + "\n", verdict(16, false));
}

TEST(Dialogue, InputWithoutAUsableIntegerRunsNothing) {
  for (const char* in : {"", "abc\n", "   \n", "-\n", "2147483648\n", "-2147483649\n", "99999999999999999999\n"}) {
    SCOPED_TRACE(std::string("input \"") + in + "\"");
    const auto r = run_mersenne("", in);
    EXPECT_EQ(r.status, 1);
    ASSERT_EQ(r.out.rfind(kPrompt, 0), 0u);
    const std::string rest = r.out.substr(sizeof kPrompt - 1);
    EXPECT_GT(rest.size(), 2u) << "a message must follow the prompt";
    EXPECT_EQ(rest.find("alloziert"), std::string::npos);
    EXPECT_EQ(rest.find("Schritt"), std::string::npos);
  }
  // What %d accepts is accepted: leading blanks, a sign, trailing rubbish.
  EXPECT_EQ(last_line(run_mersenne("", "  \t+7xyz").out) + "\n", verdict(7, true));
}

// With the address space capped, the arrays for the largest exponent cannot
// all be had: every report line is printed and nothing is run.
TEST(Dialogue, FailedAllocationStopsBeforeTheFirstStep) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
  const auto r = run_mersenne("", "2147483647", "ulimit -v 2000000;");
  const std::string& out = r.out;
  EXPECT_EQ(r.status, 2);
  size_t lines = 0, failures = 0;
  for (const char* name : kArrays) {
    const bool ok = out.find(std::string(name) + " Speicher alloziert\n") != std::string::npos;
    const bool failed = out.find("Fehler beim Speicherallozieren, " + std::string(name) + "\n") != std::string::npos;
    lines += ok || failed;
    failures += failed;
  }
  EXPECT_EQ(lines, 12u);
  EXPECT_GE(failures, 1u);
  EXPECT_EQ(out.find("Schritt"), std::string::npos);
  EXPECT_EQ(out.find("prime"), std::string::npos) << "no verdict";
#endif
}

// 2^21701 - 1 is prime, but the squaring at this size rounds coefficients
// wrongly: the program must withhold its verdict instead of printing a wrong one.
TEST(LongDialogue, RoundingBeyondTheBoundGivesNoVerdict) {
  const auto r = run_mersenne("", "21701");
  EXPECT_EQ(r.status, 3);
  const std::string line = last_line(r.out);
  EXPECT_NE(line.find("2y21701"), std::string::npos) << line;
  EXPECT_NE(line.find("Schritt"), std::string::npos) << line;
  EXPECT_EQ(line.find("prime"), std::string::npos) << line;
}

}  // namespace
