// The self-test's starting residues: one full-size pseudo-random value per
// exponent and length, the same in the program (mersenne --self-test) and in
// the tool that writes the expected residues (bench/make_self_test_data.cpp).
// Made with the standard library's Mersenne twister, whose sequence the C++
// standard fixes, never with GMP's generators, whose sequences may change
// from one GMP version to the next.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <random>
#include <vector>

// Into out: ceil(p / 64) words of std::mt19937_64 seeded with p * 1000003 + n,
// least significant first, cut to the low p bits and reduced mod 2^p - 1; requires p >= 2.
inline void self_test_start(mpz_ptr out, int32_t p, int64_t n) {
  std::mt19937_64 gen(static_cast<uint64_t>(p) * 1000003u + static_cast<uint64_t>(n));
  std::vector<uint64_t> words((static_cast<size_t>(p) + 63) / 64);
  for (uint64_t& w : words) w = gen();
  mpz_import(out, words.size(), -1, sizeof(uint64_t), 0, 0, words.data());
  mpz_fdiv_r_2exp(out, out, static_cast<mp_bitcnt_t>(p));
  // Below 2^p, so only 2^p - 1 itself is not yet reduced.
  if (mpz_popcount(out) == static_cast<mp_bitcnt_t>(p)) mpz_set_ui(out, 0);
}
