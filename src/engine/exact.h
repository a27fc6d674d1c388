// The exact engine: the Lucas-Lehmer test with GMP integers, the reduction
// modulo 2^p - 1 done by shifts and adds.
#pragma once

#include <gmp.h>

#include <cstdint>

#include "engine/engine.h"

// Replaces x (any sign, any size) by x mod 2^p - 1 in [0, 2^p - 1), by folding
// the bits above 2^p onto the low ones; tmp is scratch. p >= 1.
void mersenne_reduce(mpz_t x, int32_t p, mpz_t tmp);

// The low 64 bits of a non-negative x.
uint64_t low64(const mpz_t x);

// One Lucas-Lehmer step s -> s^2 - 2 mod 2^p - 1 on s in [0, 2^p - 1); t and
// tmp are scratch (t ends up holding garbage).
void exact_step(mpz_t s, int32_t p, mpz_t t, mpz_t tmp);

// Whether the exact engine tests 2^p - 1: any prime p >= 3 (memory permitting).
bool exact_applicable(int32_t p);

// Lucas-Lehmer test of 2^p - 1 (p prime, p >= 3) with GMP squaring.
ll_outcome exact_lucas_lehmer(int32_t p, const engine_options& opt);
