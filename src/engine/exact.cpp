#include "engine/exact.h"

#include "engine/ll_pacer.h"

void mersenne_reduce(mpz_t x, int32_t p, mpz_t tmp) {
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

uint64_t low64(const mpz_t x) {
  uint64_t r = 0;
  const size_t limbs = mpz_size(x);
  for (size_t i = 0; i < limbs && i * GMP_NUMB_BITS < 64; ++i)
    r |= static_cast<uint64_t>(mpz_getlimbn(x, i)) << (i * GMP_NUMB_BITS);
  return r;
}

void exact_step(mpz_t s, int32_t p, mpz_t t, mpz_t tmp) {
  mpz_mul(t, s, s);
  mpz_sub_ui(t, t, 2);  // negative only for s = 0 or 1; mersenne_reduce handles it
  mersenne_reduce(t, p, tmp);
  mpz_swap(s, t);
}

bool exact_applicable(int32_t p) { return p >= 3; }

ll_outcome exact_lucas_lehmer(int32_t p, const engine_options& opt) {
  ll_outcome out;
  mpz_t s, t, tmp;
  // Room for the square and the folds, so that the loop never reallocates.
  mpz_init2(s, static_cast<mp_bitcnt_t>(p) + 64);
  mpz_init2(t, 2 * static_cast<mp_bitcnt_t>(p) + 64);
  mpz_init2(tmp, static_cast<mp_bitcnt_t>(p) + 64);
  mpz_set_ui(s, 4);
  const int64_t total = p - 2;
  ll_pacer pacer(opt.progress, total);
  for (int64_t i = 0; i < total; ++i) {
    exact_step(s, p, t, tmp);
    pacer.tick(i + 1);
  }
  pacer.finish();
  out.verdict = true;
  out.prime = mpz_sgn(s) == 0;
  out.res64 = low64(s);
  mpz_clears(s, t, tmp, nullptr);
  return out;
}
