#include "methods/checks.h"

#include "base/check.h"
#include "arith/residue.h"

jacobi_verdict jacobi_check(mpz_srcptr u, uint32_t k, int32_t p, mpz_ptr g) {
  MERSENNE_REQUIRE(p >= 3 && k < static_cast<uint32_t>(p));
  mpz_value m, x;
  mersenne_number(m, p);
  mpz_set_ui(x, 0);
  mpz_setbit(x, (k + 1) % static_cast<uint32_t>(p));
  mpz_sub(x, u, x);
  mpz_mod(x, x, m);  // 2^k (s - 2)
  const int symbol = mpz_jacobi(x, m);
  if (symbol == -1) return jacobi_verdict::passed;
  if (symbol == 1) return jacobi_verdict::failed;
  mpz_gcd(g, x, m);
  // gcd(0, M) = M: s = 2, which no sound run reaches before its end.
  return mpz_cmp(g, m) == 0 || mpz_cmp_ui(g, 1) == 0 ? jacobi_verdict::failed : jacobi_verdict::factor;
}

void rotate_left(mpz_ptr out, mpz_srcptr u, uint32_t e, int32_t p) {
  MERSENNE_REQUIRE(e < static_cast<uint32_t>(p) && mpz_sgn(u) >= 0);
  mpz_value tmp;
  mpz_mul_2exp(out, u, e);
  mersenne_reduce(out, p, tmp);
}

void damaged_residue(mpz_ptr c, int32_t p, uint64_t seed) {
  mpz_value m, t;
  mersenne_number(m, p);
  mpz_set_ui(c, seed % 1000003 + 5);
  mpz_mod(c, c, m);
  for (;; mpz_add_ui(c, c, 1)) {
    mpz_sub_ui(t, c, 2);
    if (mpz_jacobi(t, m) != 1) continue;
    mpz_add_ui(t, c, 2);
    if (mpz_jacobi(t, m) == 1) return;
  }
}

void unshift(mpz_ptr out, mpz_srcptr u, uint32_t k, int32_t p) {
  rotate_left(out, u, (static_cast<uint32_t>(p) - k) % static_cast<uint32_t>(p), p);
}

bool residue_from(mpz_ptr u, const std::vector<uint8_t>& bytes, int32_t p) {
  mpz_import(u, bytes.size(), -1, 1, 0, 0, bytes.data());
  if (mpz_sizeinbase(u, 2) > static_cast<size_t>(p)) return false;
  mpz_value tmp;
  mersenne_reduce(u, p, tmp);
  return true;
}
