// Shared test helpers: seeds, random residues, guarded arrays, running the
// built program, and a GMP oracle for the Lucas-Lehmer residue.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under /tmp, removed with everything in it at the end of its scope.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path;
};

// The bytes of the file at path ("" when it cannot be read).
std::string read_file(const std::string& path);

// The lines of text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);

// Replaces the file at path with text; false when it cannot be written.
bool write_file(const std::string& path, const std::string& text);

// Seed for random inputs: MERSENNE_TEST_SEED if set, else fresh. Printed once per process.
uint64_t test_seed();

// A random value below 2^p (2^p - 1 itself stands for 0).
void random_residue(mpz_ptr v, int32_t p, std::mt19937_64& rng);

// An array of n elements with guard words on both sides, filled with fill.
template <class T>
class guarded {
 public:
  static constexpr size_t kGuard = 16;
  explicit guarded(size_t n, T fill = T{}) : n_(n), store_(n + 2 * kGuard, fill) {
    for (size_t i = 0; i < kGuard; ++i) {
      set_guard(store_[i], i);
      set_guard(store_[kGuard + n + i], i + kGuard);
    }
  }
  T* data() { return store_.data() + kGuard; }
  const T* data() const { return store_.data() + kGuard; }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }
  size_t size() const { return n_; }
  // True when no guard word changed.
  bool intact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      T a, b;
      set_guard(a, i);
      set_guard(b, i + kGuard);
      if (std::memcmp(&store_[i], &a, sizeof(T)) != 0) return false;
      if (std::memcmp(&store_[kGuard + n_ + i], &b, sizeof(T)) != 0) return false;
    }
    return true;
  }

 private:
  static void set_guard(T& slot, size_t i) {
    const uint64_t pattern = 0xA5C3F00DDEADBEEFull ^ (i * 0x9E3779B97F4A7C15ull);
    // Every byte of the slot, whatever the size of T (a wider T compared on
    // bytes a shorter pattern left unset would never read as intact).
    auto* bytes = reinterpret_cast<unsigned char*>(&slot);
    for (size_t at = 0; at < sizeof(T); at += 8) std::memcpy(bytes + at, &pattern, sizeof(T) - at < 8 ? sizeof(T) - at : 8);
  }
  size_t n_;
  std::vector<T> store_;
};

struct run_result {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Runs command (a bash script) with $M standing for the built program,
// stdin_text on standard input, XDG_STATE_HOME and XDG_CACHE_HOME a fresh
// folder (removed afterwards, so that no run sees another's saved state or
// plans) and MERSENNE_PLANS=estimate (plans made at once); its exit status,
// stdout and stderr.
run_result run_shell(const std::string& command, const std::string& stdin_text = "");

// Runs the built program with args (shell words) and stdin_text on standard
// input, after the shell command prefix (e.g. a ulimit), if any.
run_result run_mersenne(const std::string& args, const std::string& stdin_text, const std::string& prefix = "");

// s(p-2) mod 2^p - 1 of the Lucas-Lehmer sequence, computed with GMP (p >= 2).
void lucas_lehmer_residue(mpz_ptr out, unsigned p);

// s(k) mod 2^p - 1 (s(0) = 4), with GMP.
void lucas_lehmer_after(mpz_ptr out, unsigned p, int64_t k);

// 3^(2^k) mod 2^p - 1, the probable-prime test's residue after k squarings, with GMP.
void fermat_after(mpz_ptr out, unsigned p, int64_t k);

}  // namespace testing_support
