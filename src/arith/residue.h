// Exact residues modulo 2^p - 1 shared by every engine: an owning GMP
// integer, the reduction, the low 64 bits, and base-2^16 digit strings.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>
#include <vector>

// A GMP integer freed on every way out of its scope.
class mpz_value {
 public:
  mpz_value() { mpz_init(v_); }
  // Room for bits bits up front, so that later operations need not grow it.
  explicit mpz_value(mp_bitcnt_t bits) { mpz_init2(v_, bits); }
  ~mpz_value() { mpz_clear(v_); }
  mpz_value(const mpz_value&) = delete;
  mpz_value& operator=(const mpz_value&) = delete;

  operator mpz_ptr() { return v_; }
  operator mpz_srcptr() const { return v_; }
  mpz_ptr get() { return v_; }
  mpz_srcptr get() const { return v_; }

 private:
  mpz_t v_;
};

// m = 2^p - 1. Requires p >= 1.
void mersenne_number(mpz_ptr m, int32_t p);

// Replaces x (any sign, any size) by x mod 2^p - 1 in [0, 2^p - 1), by folding
// the bits above 2^p onto the low ones; tmp is scratch. Requires p >= 1.
void mersenne_reduce(mpz_ptr x, int32_t p, mpz_ptr tmp);

// The low 64 bits of a non-negative x.
uint64_t low64(mpz_srcptr x);

// The low bits bits (a multiple of 4) of x >= 0 as bits / 4 upper-case hex digits, zero-padded.
std::string low_bits_hex(mpz_srcptr x, int bits);

// out = x_p / 9 mod 2^p - 1, the Fermat residue 3^(2^p - 2) of the base-3
// test from x_p = 3^(2^p) (p >= 3, x_p in [0, 2^p - 1)); out may be x_p.
void fermat_residue(mpz_ptr out, mpz_srcptr x_p, int32_t p);

// u in [0, 2^p) as ceil(p/8) bytes, least significant first (as states keep it).
std::vector<uint8_t> residue_bytes(mpz_srcptr u, int32_t p);

// The value of the base-2^16 digit string words[0 .. len-1] (least significant first).
void digits_to_mpz(mpz_ptr out, const uint32_t* words, int32_t len);

// Writes v >= 0 as base-2^16 digits into words (room for at least
// bits(v)/16 + 1 words); returns the digit count, at least 1.
int32_t mpz_to_digits(mpz_srcptr v, uint32_t* words);
