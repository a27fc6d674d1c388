#include "arith/exact.h"

#include "base/check.h"
#include "arith/residue.h"

namespace {

class exact_stepper final : public stepper {
 public:
  // Room for the square and the folds in s and t alike (they trade places
  // every step), so that the steps never allocate: no time lost, and no
  // allocation that could fail in the middle of a GMP call.
  explicit exact_stepper(int32_t p)
      : p_(p), s_(2 * static_cast<mp_bitcnt_t>(p) + 64), t_(2 * static_cast<mp_bitcnt_t>(p) + 64),
        tmp_(static_cast<mp_bitcnt_t>(p) + 64) {}

  void load(mpz_srcptr v) override {
    MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
    mpz_set(s_, v);
    mersenne_reduce(s_, p_, tmp_);
  }
  void store(mpz_ptr out) const override { mpz_set(out, s_); }

  // Exact steps have distance 0: only a limit of 0 or below refuses them.
  double square(uint32_t c, int32_t j, double limit) override {
    MERSENNE_REQUIRE(c <= 3 && j >= 0 && j < p_);
    if (!(0.0 < limit)) return 0.0;
    mpz_mul(t_, s_, s_);
    subtract(c, j);
    return 0.0;
  }

  double multiply(mpz_srcptr v, double limit) override {
    MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
    if (!(0.0 < limit)) return 0.0;
    mpz_mul(t_, s_, v);
    subtract(0, 0);
    return 0.0;
  }

  int64_t length() const override { return 0; }

 private:
  // s = t - c 2^j reduced; t is left holding the old s.
  void subtract(uint32_t c, int32_t j) {
    if (j == 0) {
      mpz_sub_ui(t_, t_, c);  // negative only for a tiny t; the reduction handles it
    } else if (c != 0) {
      mpz_set_ui(tmp_, c);
      mpz_mul_2exp(tmp_, tmp_, static_cast<mp_bitcnt_t>(j));
      mpz_sub(t_, t_, tmp_);
    }
    mersenne_reduce(t_, p_, tmp_);
    mpz_swap(s_, t_);
  }

  int32_t p_;
  mpz_value s_, t_, tmp_;
};

}  // namespace

bool exact_applicable(int32_t p) { return p >= 3; }

uint64_t exact_memory_bytes(int32_t p, int64_t) {
  // s and t (twice as long) and tmp: 5 p bits; a large product's scratch: up to about 6 p bits more.
  return (static_cast<uint64_t>(p) + 64) / 8 * 10;
}

std::unique_ptr<stepper> make_exact_stepper(int32_t p, int64_t, const engine_options&) {
  MERSENNE_REQUIRE(p >= 2);
  return std::make_unique<exact_stepper>(p);
}
