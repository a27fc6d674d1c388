#include "arith/residue.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/check.h"
#include "base/machine.h"
#include "arith/engine.h"

namespace {

// GMP's own allocation functions abort the whole process when memory runs
// out. These throw std::bad_alloc instead, which unwinds out of the GMP call
// to the test that made it (its integers are freed on the way, as mpz_value
// owns them), so that only that test fails.
void* gmp_allocate(size_t n) {
  void* p = std::malloc(n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* gmp_reallocate(void* old, size_t, size_t n) {
  void* p = std::realloc(old, n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void gmp_free(void* p, size_t) { std::free(p); }

// Installed before main runs, before any GMP integer is made.
[[maybe_unused]] const bool gmp_functions_installed = [] {
  mp_set_memory_functions(gmp_allocate, gmp_reallocate, gmp_free);
  return true;
}();

}  // namespace

void mersenne_number(mpz_ptr m, int32_t p) {
  MERSENNE_REQUIRE(p >= 1);
  mpz_set_ui(m, 0);
  mpz_setbit(m, static_cast<mp_bitcnt_t>(p));
  mpz_sub_ui(m, m, 1);
}

void mersenne_reduce(mpz_ptr x, int32_t p, mpz_ptr tmp) {
  MERSENNE_REQUIRE(p >= 1);
  const bool negative = mpz_sgn(x) < 0;
  if (negative) mpz_neg(x, x);
  const mp_bitcnt_t bits = static_cast<mp_bitcnt_t>(p);
  // x = hi * 2^p + lo = hi + lo (mod 2^p - 1); each fold shortens x by about p bits.
  while (mpz_sizeinbase(x, 2) > bits) {
    mpz_tdiv_q_2exp(tmp, x, bits);
    mpz_tdiv_r_2exp(x, x, bits);
    mpz_add(x, x, tmp);
  }
  // Now 0 <= x <= 2^p - 1, and 2^p - 1 stands for 0.
  if (mpz_sizeinbase(x, 2) == bits && mpz_popcount(x) == bits) mpz_set_ui(x, 0);
  if (negative && mpz_sgn(x) != 0) {
    mpz_set_ui(tmp, 0);
    mpz_setbit(tmp, bits);
    mpz_sub_ui(tmp, tmp, 1);
    mpz_sub(x, tmp, x);
  }
}

uint64_t low64(mpz_srcptr x) {
  MERSENNE_REQUIRE(mpz_sgn(x) >= 0);
  uint64_t r = 0;
  const size_t limbs = mpz_size(x);
  for (size_t i = 0; i < limbs && i * GMP_NUMB_BITS < 64; ++i)
    r |= static_cast<uint64_t>(mpz_getlimbn(x, i)) << (i * GMP_NUMB_BITS);
  return r;
}

void digits_to_mpz(mpz_ptr out, const uint32_t* words, int32_t len) {
  MERSENNE_REQUIRE(len >= 0);
  // Each 32-bit word holds one 16-bit digit; GMP skips the upper 16 bits ("nails").
  mpz_import(out, static_cast<size_t>(len), -1, sizeof(uint32_t), 0, 16, words);
}

int32_t mpz_to_digits(mpz_srcptr v, uint32_t* words) {
  MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
  size_t count = 0;
  mpz_export(words, &count, -1, sizeof(uint32_t), 0, 16, v);
  if (count == 0) {
    words[0] = 0;
    count = 1;
  }
  return static_cast<int32_t>(count);
}

double stepper::multiply_by(const stepper& other, double limit) {
  mpz_value t;
  other.store(t);
  return multiply(t, limit);
}

double stepper::square_times(uint32_t m, double limit) {
  MERSENNE_REQUIRE(m >= 1 && m <= 3);
  mpz_value before;
  if (m != 1) store(before);
  const double err = square(0, 0, limit);
  if (m == 1 || !(err < limit)) return err;
  mpz_value t;
  store(t);
  mpz_mul_ui(t, t, m);
  load(t);  // load reduces mod 2^p - 1
  return err;
}

void stepper::set_difference(const stepper& a, const stepper& b, int32_t p) {
  mpz_value x, y;
  a.store(x);
  b.store(y);
  mpz_sub(x, x, y);
  if (mpz_sgn(x.get()) < 0) {
    mersenne_number(y, p);
    mpz_add(x, x, y);
  }
  load(x);
}

std::unique_ptr<stepper> make_stepper(const engine& e, int32_t p, int64_t n, const engine_options& opt) {
  std::lock_guard<std::mutex> hold(memory_gate());
  if (e.memory_bytes != nullptr) {
    const uint64_t need = e.memory_bytes(p, n);
    if (!memory_available(need)) {
      const uint64_t have = usable_memory_bytes();
      throw engine_failure("the " + std::string(e.name) + " engine needs about " + format_bytes(need) +
                           " of memory for p = " + std::to_string(p) + ", more than the " +
                           format_bytes(have > kMemoryMargin ? have - kMemoryMargin : 0) +
                           " this process can have");
    }
  }
  return e.make(p, n, opt);
}

std::vector<uint8_t> residue_bytes(mpz_srcptr u, int32_t p) {
  std::vector<uint8_t> bytes((static_cast<size_t>(p) + 7) / 8, 0);
  size_t count = 0;
  mpz_export(bytes.data(), &count, -1, 1, 0, 0, u);
  return bytes;
}

void fermat_residue(mpz_ptr out, mpz_srcptr x_p, int32_t p) {
  MERSENNE_REQUIRE(p >= 3);
  mpz_value n, inv;
  mersenne_number(n, p);
  mpz_set_ui(inv, 9);
  mpz_invert(inv, inv, n);
  mpz_mul(out, x_p, inv);
  mpz_mod(out, out, n);
}

std::string low_bits_hex(mpz_srcptr x, int bits) {
  MERSENNE_REQUIRE(bits > 0 && bits % 4 == 0 && mpz_sgn(x) >= 0);
  mpz_value low;
  mpz_fdiv_r_2exp(low, x, static_cast<mp_bitcnt_t>(bits));
  std::string digits(mpz_sizeinbase(low, 16) + 2, '\0');
  mpz_get_str(digits.data(), -16, low);
  digits.resize(std::strlen(digits.c_str()));
  return std::string(static_cast<size_t>(bits / 4) - digits.size(), '0') + digits;
}
