// The saved FFTW wisdom: reuse by a later process, merging with what another
// process saved, unusable files (one warning, ignored, replaced), concurrent
// saves, and that a damaged file changes no residue. The saved kernel
// choice: trusted when whole and for this processor, else measured again.
#include <fftw3.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "arith/fast/kernel_choice.h"
#include "base/tuning.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "arith/fast/wisdom.h"
#include "arith/residue.h"
#include "support/test_support.h"

namespace {

std::vector<std::string> warnings;
void capture(const std::string& line) { warnings.push_back(line); }

const auto slurp = testing_support::read_file;
const auto put = testing_support::write_file;

// text with line i (from 0) replaced.
std::string with_line(std::string text, int i, const std::string& line) {
  size_t from = 0;
  for (int k = 0; k < i; ++k) from = text.find('\n', from) + 1;
  return text.replace(from, text.find('\n', from) - from, line);
}

// Plans a forward transform of length n with flags between the two wisdom
// calls, as the engine does; whether FFTW gave a plan.
bool plan(int n, unsigned flags) {
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  wisdom_before_planning();
  double* in = fftw_alloc_real(static_cast<size_t>(n));
  fftw_complex* out = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
  const fftw_plan p = fftw_plan_dft_r2c_1d(n, in, out, flags);
  if (p != nullptr) fftw_destroy_plan(p);
  fftw_free(in);
  fftw_free(out);
  wisdom_after_planning();
  return p != nullptr;
}
bool measure(int n) { return plan(n, FFTW_MEASURE); }
bool known(int n) { return plan(n, FFTW_MEASURE | FFTW_WISDOM_ONLY); }

// As a new process: no wisdom, no file read yet, no warnings.
void restart() {
  std::lock_guard<std::mutex> hold(fftw_planner_lock());
  wisdom_reset_for_testing();
  wisdom_set_warning_sink(capture);
  warnings.clear();
}

class Wisdom : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CACHE_HOME", (dir.path + "/cache").c_str(), 1);
    fast_set_measured_plans(false);
    restart();
  }
  // Files beside the wisdom file (temporaries left behind).
  int strays() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path + "/cache/mersenne"))
      n += e.path().filename() != "fftw-wisdom";
    return n;
  }
  testing_support::temp_dir dir;
  const std::string file = dir.path + "/cache/mersenne/fftw-wisdom";
};

// A measured plan is saved (creating the folders) and planned from the file
// alone by the next process (merging with what another process saved is
// ConcurrentSavesMerge's).
TEST_F(Wisdom, SavedPlansAreReusedAndMerged) {
  EXPECT_FALSE(known(64));
  ASSERT_TRUE(measure(64));
  restart();
  EXPECT_TRUE(known(64));
  EXPECT_FALSE(known(128));
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(strays(), 0);
}

// Each unusable file warns once, naming the file, is ignored, and is
// replaced by a good one at the next save.
TEST_F(Wisdom, UnusableFilesWarnOnceAndAreReplaced) {
  ASSERT_TRUE(measure(64));
  const std::string good = slurp(file);
  std::string flipped = good;  // still wisdom FFTW would take
  const size_t digit = good.rfind("#x") + 2;
  flipped[digit] = flipped[digit] == '0' ? '1' : '0';
  const std::string bad[] = {
      flipped,
      good.substr(0, good.size() - 10),
      with_line(good, 1, "cpu another processor | avx"),
      "\x7f" "ELF\x02\x01 garbage",
  };
  for (const std::string& b : bad) {
    SCOPED_TRACE(b.substr(0, 120));
    put(file, b);
    restart();
    EXPECT_FALSE(known(64));
    EXPECT_FALSE(known(64));  // the second load of the process is silent
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(file), std::string::npos) << warnings[0];
    restart();  // already replaced by a good file, although planning added nothing
    EXPECT_FALSE(known(64));
    EXPECT_TRUE(warnings.empty()) << warnings[0];
  }
  EXPECT_EQ(strays(), 0);
}

// Two processes measuring and saving many times at once leave one whole
// file holding the plans of both.
TEST_F(Wisdom, ConcurrentSavesMerge) {
  std::filesystem::create_directories(dir.path + "/cache/mersenne");
  pid_t child[2];
  for (int c = 0; c < 2; ++c) {
    child[c] = fork();
    ASSERT_GE(child[c], 0);
    if (child[c] == 0) {
      bool ok = true;
      for (int n = 32 + 2 * c; n < 96; n += 4) ok = ok && measure(n);
      _exit(ok && warnings.empty() ? 0 : 1);
    }
  }
  for (pid_t pid : child) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int n = 32; n < 96; n += 2) EXPECT_TRUE(known(n)) << n;
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(strays(), 0);
}

// With a damaged file present, the engine's squarings still match GMP's
// (that it is replaced is the test above's).
TEST_F(Wisdom, DamagedFileChangesNoResult) {
  ASSERT_TRUE(measure(256));
  std::string damaged = slurp(file);
  damaged[damaged.size() - 40] ^= 0x01;
  put(file, damaged);
  restart();
  std::mt19937_64 rng(testing_support::test_seed());
  mpz_value s, got, tmp;
  const int64_t n = fast_length(fast_length_count() / 4);
  const int32_t p = static_cast<int32_t>(fast_max_exponent(n) - 3);
  fast_squarer sq(p, n);
  testing_support::random_residue(s, p, rng);
  sq.load(s);
  for (int k = 0; k < 4; ++k) {
    sq.square(2, 0, 0.4);
    mpz_mul(s, s, s);
    mpz_sub_ui(s, s, 2);
    mersenne_reduce(s, p, tmp);
  }
  sq.store(got);
  EXPECT_EQ(mpz_cmp(got, s), 0) << "p=" << p << " n=" << n;
  EXPECT_EQ(warnings.size(), 1u);
}

// The engine's own measured plans, the one-transform pair and the two-pass
// transforms of its FFTW twin, reach the file (FFTW_MEASURE is no flag bit to test for).
TEST_F(Wisdom, EnginePlansAreSaved) {
  fast_set_measured_plans(true);
  plans_for(1792, 1);
  ASSERT_TRUE(std::filesystem::exists(file));
  const auto one = std::filesystem::file_size(file);
  two_pass_squarer sq(4096 * 13 + 1, 4096, 1, &fftw_kernels());
  fast_set_measured_plans(false);
  EXPECT_GT(std::filesystem::file_size(file), one);
  EXPECT_TRUE(warnings.empty());
}

// A saved choice is what the engine runs; a damaged or foreign one is
// measured again and replaced by a whole one.
int measurements = 0;
kernel_choice fake_measurement() {
  ++measurements;
  kernel_choice c;
  for (int64_t n : kernel_choice_probes()) c.tables.emplace_back(n, usable_kernels().front()->name);
  c.tables.front().second = "portable";
  return c;
}

TEST_F(Wisdom, KernelChoiceIsSavedTrustedAndReplacedWhenDamaged) {
  const std::string at = dir.path + "/cache/mersenne/kernel-choice";
  const kernel_choice real = measure_kernel_choice();
  kernel_choice back;
  ASSERT_TRUE(parse_kernel_choice(kernel_choice_text(real), &back));
  EXPECT_EQ(back.tables, real.tables);
  EXPECT_EQ(back.two_pass_from, real.two_pass_from);
  // Where the two-pass iteration starts below the long lengths: everywhere, from 2K, from the shortest probe, or
  // not at all.
  for (const int64_t from : {int64_t{0}, int64_t{2048}, kernel_choice_probes().front(), tuning::kTwoPassFrom}) {
    kernel_choice c = real;
    c.two_pass_from = from;
    ASSERT_TRUE(parse_kernel_choice(kernel_choice_text(c), &back)) << kernel_choice_text(c);
    EXPECT_EQ(back.two_pass_from, from);
  }

  measurements = 0;
  const kernel_choice made = choose_kernels(at, fake_measurement);
  const std::string good = slurp(at);
  EXPECT_EQ(good, kernel_choice_text(made));
  EXPECT_EQ(choose_kernels(at, fake_measurement).tables, made.tables);
  EXPECT_EQ(measurements, 1) << "a whole saved choice was measured again";
  EXPECT_STREQ(kernels_at(made, 4096).name, "portable");
  EXPECT_STREQ(kernels_at(made, 6000).name, "portable");
  EXPECT_STREQ(kernels_at(made, int64_t{1} << 26).name, usable_kernels().front()->name);  // the nearest probe

  for (const std::string& bad :
       {std::string(), with_line(good, 0, "mersenne kernel choice 1"), with_line(good, 1, "cpu another | 6.85 avx"),
        with_line(good, 2, "4096 fftw"), with_line(good, 2, "4096 avx1024"), with_line(good, 2, "8192 portable"),
        with_line(good, 0, "mersenne kernel choice 2"), with_line(good, 5, "short sometimes"),
        with_line(good, 5, "short two-pass from 3000"), with_line(good, 5, "short two-pass from 1024"),
        with_line(good, 5, "short two-pass from 02048"), with_line(good, 5, "short two-pass from "),
        good + "4096 portable\n", good.substr(0, good.size() - 1)}) {
    SCOPED_TRACE(bad);
    put(at, bad);
    measurements = 0;
    choose_kernels(at, fake_measurement);
    EXPECT_EQ(measurements, 1);
    EXPECT_EQ(slurp(at), good) << "not replaced by a whole choice";
  }
}

}  // namespace
