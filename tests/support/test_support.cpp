#include "support/test_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "arith/residue.h"

namespace testing_support {

temp_dir::temp_dir() {
  char t[] = "/tmp/mersenne-test-XXXXXX";
  if (mkdtemp(t) != nullptr) path = t;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

uint64_t test_seed() {
  static const uint64_t seed = [] {
    const char* env = std::getenv("MERSENNE_TEST_SEED");
    const uint64_t s = env != nullptr ? std::strtoull(env, nullptr, 0)
                                      : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
    std::cout << "[ seed     ] MERSENNE_TEST_SEED=" << s << std::endl;
    return s;
  }();
  return seed;
}

void random_residue(mpz_ptr v, int32_t p, std::mt19937_64& rng) {
  std::vector<uint64_t> words(static_cast<size_t>(p / 64 + 1));
  for (uint64_t& w : words) w = rng();
  mpz_import(v, words.size(), -1, sizeof(uint64_t), 0, 0, words.data());
  mpz_fdiv_r_2exp(v, v, static_cast<mp_bitcnt_t>(p));
}

run_result run_shell(const std::string& command, const std::string& stdin_text) {
  char dir[] = "/tmp/mersenne-test-XXXXXX";
  if (mkdtemp(dir) == nullptr) return {};
  const std::string base = dir;
  std::ofstream(base + "/script") << "M=" MERSENNE_BIN "\nexport XDG_STATE_HOME=" << base << " XDG_CACHE_HOME=" << base
                                  << " MERSENNE_PLANS=estimate\n"
                                  << command << "\n";
  std::ofstream(base + "/in", std::ios::binary) << stdin_text;
  const std::string cmd = "bash " + base + "/script <" + base + "/in >" + base + "/out 2>" + base + "/err";
  const int raw = std::system(cmd.c_str());
  const run_result r{(raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1, read_file(base + "/out"),
                     read_file(base + "/err")};
  std::error_code ignored;
  std::filesystem::remove_all(base, ignored);
  return r;
}

run_result run_mersenne(const std::string& args, const std::string& stdin_text, const std::string& prefix) {
  return run_shell(prefix + " $M " + args, stdin_text);
}

void lucas_lehmer_after(mpz_ptr out, unsigned p, int64_t k) {
  mpz_value m, t;
  mpz_ui_pow_ui(m, 2, p);
  mpz_sub_ui(m, m, 1);
  mpz_set_ui(out, 4);
  for (int64_t i = 0; i < k; ++i) {
    mpz_mul(t, out, out);
    mpz_sub_ui(t, t, 2);
    mpz_mod(out, t, m);
  }
  mpz_mod(out, out, m);
}

void lucas_lehmer_residue(mpz_ptr out, unsigned p) { lucas_lehmer_after(out, p, p >= 2 ? int64_t{p} - 2 : 0); }

void fermat_after(mpz_ptr out, unsigned p, int64_t k) {
  mpz_value m, e, three;
  mpz_ui_pow_ui(m, 2, p);
  mpz_sub_ui(m, m, 1);
  mpz_setbit(e, static_cast<mp_bitcnt_t>(k));
  mpz_set_ui(three, 3);
  mpz_powm(out, three, e, m);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines_of(const std::string& text) {
  std::istringstream s(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace testing_support
