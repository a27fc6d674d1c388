// Writes the expected residues of mersenne --self-test to stdout, with GMP
// alone (no transform of the program's), one line per chain:
//   LENGTH P ITERATIONS I:RES64 I:RES64 ...
// For each length of the fast engine's table, the chains of the largest
// prime it serves and of the smallest prime above the length below it (one
// chain only above 8M words, where a GMP squaring takes seconds). A chain
// starts from self_test_start(p, length) and runs m Lucas-Lehmer steps
// s -> s^2 - 2, m probable-prime steps s -> s^2 and m P-1 steps s -> 3 s^2,
// all mod 2^p - 1, with m = 100 up to 256K words and fewer above, about the
// same work at every length; the Res64 is kept after iterations 1, 2, 4, 8,
// ... and after each third.
//
//   make_self_test_data [--upto N] [--part I/N] > residues.txt
// --upto stops at length N; --part I/N makes only the chains whose index
// (in table order) is I - 1 mod N, so that N processes share the work.
// Only part 1 writes the header; the parts go together with
//   cat part1 part2 ... | sort -s -n -k1,1 -k2,2
#include <gmp.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "arith/fast/lengths.h"
#include "arith/residue.h"
#include "arith/fast/self_test_start.h"

namespace {

// The largest prime <= v, or 0 when there is none.
int64_t prime_at_most(int64_t v) {
  while (v >= 2 && !is_prime(v)) --v;
  return v >= 2 ? v : 0;
}

// The smallest odd prime > v.
int64_t prime_above(int64_t v) {
  v = std::max<int64_t>(v + 1, 3);
  while (!is_prime(v)) ++v;
  return v;
}

// Iterations of each of a chain's three steps at length n.
int64_t steps_per_third(int64_t n) {
  if (n <= 262144) return 100;
  return std::max<int64_t>(2, std::llround(100.0 * 262144.0 / static_cast<double>(n)));
}

// The chain's line for p at length n.
std::string chain_line(int64_t n, int64_t p) {
  const int64_t m = steps_per_third(n), total = 3 * m;
  std::vector<int64_t> marks;
  for (int64_t k = 1; k <= total; k *= 2) marks.push_back(k);
  for (int64_t k = m; k <= total; k += m) marks.push_back(k);
  std::sort(marks.begin(), marks.end());
  marks.erase(std::unique(marks.begin(), marks.end()), marks.end());

  mpz_t s, t, modulus;
  mpz_inits(s, t, modulus, nullptr);
  mpz_ui_pow_ui(modulus, 2, static_cast<unsigned long>(p));
  mpz_sub_ui(modulus, modulus, 1);
  self_test_start(s, static_cast<int32_t>(p), n);
  std::string line = std::to_string(n) + " " + std::to_string(p) + " " + std::to_string(total);
  size_t next = 0;
  for (int64_t k = 1; k <= total; ++k) {
    mpz_mul(s, s, s);
    if (k > 2 * m) mpz_mul_ui(s, s, 3);
    mersenne_reduce(s, static_cast<int32_t>(p), t);
    if (k <= m) {
      if (mpz_cmp_ui(s, 2) < 0) mpz_add(s, s, modulus);
      mpz_sub_ui(s, s, 2);
    }
    if (next < marks.size() && marks[next] == k) {
      mpz_tdiv_r_2exp(t, s, 64);
      char word[40];
      std::snprintf(word, sizeof word, " %" PRId64 ":%016" PRIX64, k, static_cast<uint64_t>(mpz_get_ui(t)));
      line += word;
      ++next;
    }
  }
  mpz_clears(s, t, modulus, nullptr);
  return line;
}

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr, "make_self_test_data: %s\nusage: make_self_test_data [--upto N] [--part I/N]\n", why);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  static_assert(sizeof(unsigned long) == 8, "mpz_get_ui must give 64 bits");
  int64_t upto = INT64_MAX;
  int part = 1, parts = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--upto") == 0 && i + 1 < argc) {
      char* end = nullptr;
      upto = std::strtoll(argv[++i], &end, 10);
      if (*end != '\0' || upto < 1) usage("--upto takes a length");
    } else if (std::strcmp(argv[i], "--part") == 0 && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%d/%d", &part, &parts) != 2 || parts < 1 || part < 1 || part > parts)
        usage("--part takes I/N with 1 <= I <= N");
    } else {
      usage("unknown argument");
    }
  }
  if (part == 1) {
    std::printf("# Expected residues of mersenne --self-test, made with GMP %s alone (no transform) by\n", gmp_version);
    std::printf("# bench/make_self_test_data%s from the length table of src/arith/fast/length_table.h.\n",
                upto == INT64_MAX ? "" : (" --upto " + std::to_string(upto)).c_str());
    std::printf("# LENGTH P ITERATIONS, then ITERATION:RES64 at each checkpoint. A chain starts from\n");
    std::printf("# self_test_start(p, length) (src/arith/fast/self_test_start.h) and takes a third each of\n");
    std::printf("# s -> s^2 - 2, s -> s^2 and s -> 3 s^2, mod 2^p - 1.\n");
  }
  int64_t index = 0;
  for (int i = 0; i < fast_length_count() && fast_length(i) <= upto; ++i) {
    const int64_t n = fast_length(i), bound = fast_max_exponent(n);
    if (bound < 5) continue;
    const int64_t hi = prime_at_most(bound);
    if (hi < 3 || hi < n) continue;
    const int64_t lo = prime_above(i == 0 ? n : fast_max_exponent(fast_length(i - 1)));
    std::vector<int64_t> chains;
    if (n <= 8388608 && lo >= n && lo < hi) chains.push_back(lo);
    chains.push_back(hi);
    for (int64_t p : chains) {
      if (index++ % parts != part - 1) continue;
      std::printf("%s\n", chain_line(n, p).c_str());
      std::fflush(stdout);
    }
  }
  return std::ferror(stdout) ? 1 : 0;
}
