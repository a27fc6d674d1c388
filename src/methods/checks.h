// Checks on a Lucas-Lehmer residue held with a shift: u = s 2^k mod 2^p - 1.
// For the iterates s(n+1) - 2 = (s(n) - 2) s(n-1)^2, so the Jacobi symbol
// (s(n) - 2 | 2^p - 1) stays (s(1) - 2 | 2^p - 1) = -1 from n = 1 on as long
// as no iterate shares a factor with 2^p - 1; and (u - 2^(k+1) | M) =
// (s - 2 | M) since (2 | M) = 1.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <vector>

enum class jacobi_verdict {
  passed,  // symbol -1
  failed,  // symbol +1, or s = 2: the residue is damaged
  factor,  // symbol 0 with a proper factor of 2^p - 1 in s - 2: the run is sound
};

// The Jacobi check of u with shift k (iteration >= 1, p odd >= 3); for
// factor, *g receives gcd(s - 2, 2^p - 1).
jacobi_verdict jacobi_check(mpz_srcptr u, uint32_t k, int32_t p, mpz_ptr g);

// out = u 2^e mod 2^p - 1 for u in [0, 2^p - 1), 0 <= e < p: a rotation of p bits.
void rotate_left(mpz_ptr out, mpz_srcptr u, uint32_t e, int32_t p);

// out = u / 2^k mod 2^p - 1: the plain value of u held with shift k (k < p).
void unshift(mpz_ptr out, mpz_srcptr u, uint32_t k, int32_t p);

// bytes (least significant first) as a residue into u, reduced; false when the value is 2^p or more.
bool residue_from(mpz_ptr u, const std::vector<uint8_t>& bytes, int32_t p);

// A residue c with (c - 2 | M) = (c + 2 | M) = +1, the first from seed on:
// put in place of s, the next check sees +1 and so does every later one.
void damaged_residue(mpz_ptr c, int32_t p, uint64_t seed);
