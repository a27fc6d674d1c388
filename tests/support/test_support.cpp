#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace testing_support {

uint64_t test_seed() {
  static const uint64_t seed = [] {
    uint64_t s;
    if (const char* env = std::getenv("MERSENNE_TEST_SEED"))
      s = std::strtoull(env, nullptr, 0);
    else
      s = (static_cast<uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}();
    std::cout << "[ seed     ] MERSENNE_TEST_SEED=" << s << std::endl;
    return s;
  }();
  return seed;
}

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

}  // namespace

run_result run_mersenne(const std::string& args, const std::string& stdin_text, const std::string& prefix) {
  char dir[] = "/tmp/mersenne-test-XXXXXX";
  if (mkdtemp(dir) == nullptr) return {};
  const std::string base = dir;
  {
    std::ofstream in(base + "/in", std::ios::binary);
    in << stdin_text;
  }
  const std::string cmd = prefix + " " + std::string(MERSENNE_BIN) + " " + args + " <" + base + "/in >" + base +
                          "/out 2>" + base + "/err";
  const int raw = std::system(cmd.c_str());
  run_result r;
  r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(base + "/out");
  r.err = slurp(base + "/err");
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return r;
}

run_result run_shell(const std::string& command) {
  char dir[] = "/tmp/mersenne-test-XXXXXX";
  if (mkdtemp(dir) == nullptr) return {};
  const std::string base = dir;
  {
    std::ofstream script(base + "/script");
    script << "M=" << MERSENNE_BIN << "\n" << command << "\n";
  }
  const std::string cmd = "bash " + base + "/script </dev/null >" + base + "/out 2>" + base + "/err";
  const int raw = std::system(cmd.c_str());
  run_result r;
  r.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  r.out = slurp(base + "/out");
  r.err = slurp(base + "/err");
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return r;
}

void lucas_lehmer_residue(mpz_t out, unsigned p) {
  mpz_t m, s, t;
  mpz_inits(m, s, t, nullptr);
  mpz_ui_pow_ui(m, 2, p);
  mpz_sub_ui(m, m, 1);
  mpz_set_ui(s, 4);
  for (unsigned i = 0; i + 2 < p; ++i) {
    mpz_mul(t, s, s);
    mpz_sub_ui(t, t, 2);
    mpz_mod(s, t, m);
  }
  mpz_mod(out, s, m);
  mpz_clears(m, s, t, nullptr);
}

bool mersenne_is_prime(unsigned p) {
  if (p == 2) return true;
  if (p < 2) return false;
  mpz_t r;
  mpz_init(r);
  lucas_lehmer_residue(r, p);
  const bool prime = mpz_sgn(r) == 0;
  mpz_clear(r);
  return prime;
}

}  // namespace testing_support
