#include "arith/reference.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/check.h"
#include "console/str_2y16.h"
#include "arith/residue.h"

namespace {

class reference_stepper final : public stepper {
 public:
  reference_stepper(int32_t p, alloc_fn alloc, inverse_path path) : p_(p), path_(path) {
    const int32_t L = size_unit(p);
    words_ = 4 * static_cast<size_t>(L);
    saved_.resize(words_);  // before the arrays, which nothing would free if this threw
    if (!allocate_arrays(L, alloc, /*report=*/false, &a_)) {
      free_arrays(&a_);
      throw engine_failure("not enough memory for the working arrays of p = " + std::to_string(p));
    }
    ll_start(a_, &run_);
    a_.u2[0] = 0;
  }
  ~reference_stepper() override { free_arrays(&a_); }

  void load(mpz_srcptr v) override {
    MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
    mpz_value r, tmp;
    mpz_set(r, v);
    mersenne_reduce(r, p_, tmp);
    std::memset(a_.u2, 0, words_ * sizeof(uint32_t));
    run_.len = mpz_to_digits(r, a_.u2);
  }

  void store(mpz_ptr out) const override {
    mpz_value tmp;
    digits_to_mpz(out, a_.u2, run_.len);
    mersenne_reduce(out, p_, tmp);
  }

  double square(uint32_t c, int32_t j, double limit) override {
    MERSENNE_REQUIRE(c <= 3 && j >= 0 && j < p_);
    save();
    double distance;
    // The stage that subtracts 2 leaves a square below 2 alone (s = 0 or 1).
    const bool tiny = run_.len == 1 && a_.u2[0] < 2;
    if (c == 2 && j == 0 && !tiny) {
      distance = ll_step(a_, p_, &run_, /*trace=*/false, path_);
    } else {
      distance = ll_square(a_, &run_, /*trace=*/false, path_);
      subtract_exactly(c, j);
    }
    if (!(distance < limit)) restore();
    return distance;
  }

  // The product through the same stages: both spectra at the length of the
  // longer factor (whose doubled length holds the product), multiplied
  // point by point, transformed back, decoded and reduced.
  double multiply(mpz_srcptr v, double limit) override {
    MERSENNE_REQUIRE(mpz_sgn(v) >= 0);
    save();
    mpz_value b, tmp;
    mpz_set(b, v);
    mersenne_reduce(b, p_, tmp);
    const int32_t len_b = static_cast<int32_t>(mpz_sizeinbase(b, 2) + 15) / 16;
    const int32_t n = get_n(run_.len > len_b ? run_.len : len_b);
    get_einheitswurzel(n, a_.wr, a_.wi);
    get_fast_dft_vektor(n, a_.buffer, a_.u2, run_.len, a_.wr, a_.wi, a_.dft_r1, a_.dft_i1);
    std::memset(a_.u2, 0, words_ * sizeof(uint32_t));
    const int32_t len = mpz_to_digits(b, a_.u2);
    // The inverse transform's output arrays hold b's spectrum until it is used.
    get_fast_dft_vektor(n, a_.buffer, a_.u2, len, a_.wr, a_.wi, a_.inf_dft_r, a_.inf_dft_i);
    mul_dft(n, a_.dft_r1, a_.dft_i1, a_.inf_dft_r, a_.inf_dft_i, a_.res_dft_r, a_.res_dft_i);
    inverse_dft_vektor_on(path_, n, a_.wr, a_.wi, a_.res_dft_r, a_.res_dft_i, a_.inf_dft_r, a_.inf_dft_i,
                          a_.res_polynom);
    const double distance = max_rounding_distance(a_.res_polynom, n);
    decode_polynom_2y16(a_.res_polynom, n, a_.u2, &run_.len);
    fast_modulo_2y16(a_.u1, a_.u2, &run_.hi_len, &run_.len, p_);
    if (!(distance < limit)) restore();
    return distance;
  }

  int64_t length() const override { return get_n(run_.len); }

 private:
  // The square left by the stages, less c 2^j, reduced (not one of the
  // stages, which subtract only 2 at the bottom).
  void subtract_exactly(uint32_t c, int32_t j) {
    mpz_value s, t;
    digits_to_mpz(s, a_.u2, run_.len);
    mpz_set_ui(t, c);
    mpz_mul_2exp(t, t, static_cast<mp_bitcnt_t>(j));
    mpz_sub(s, s, t);
    mersenne_reduce(s, p_, t);
    load(s);
  }

  // Only the digits below len matter: the stages zero-extend what they read beyond.
  void save() {
    saved_len_ = run_.len;
    std::memcpy(saved_.data(), a_.u2, static_cast<size_t>(run_.len) * sizeof(uint32_t));
  }
  void restore() {
    run_.len = saved_len_;
    std::memcpy(a_.u2, saved_.data(), static_cast<size_t>(run_.len) * sizeof(uint32_t));
  }

  int32_t p_;
  inverse_path path_;
  ll_arrays a_;
  ll_run run_;
  size_t words_ = 0;             // words of a_.u2
  std::vector<uint32_t> saved_;  // the residue before the current step
  int32_t saved_len_ = 1;
};

}  // namespace

bool reference_applicable(int32_t p) { return p >= 3; }

uint64_t reference_memory_bytes(int32_t p, int64_t) {
  array_slot t[kArrayCount];
  array_table(size_unit(p), t);
  uint64_t bytes = 16 * static_cast<uint64_t>(size_unit(p));  // the saved residue
  for (const array_slot& s : t) bytes += static_cast<uint64_t>(s.count) * static_cast<uint64_t>(s.size);
  return bytes;
}

std::unique_ptr<stepper> make_reference_stepper_with(int32_t p, alloc_fn alloc, inverse_path path) {
  MERSENNE_REQUIRE(p >= 3);
  return std::make_unique<reference_stepper>(p, alloc, path);
}

std::unique_ptr<stepper> make_reference_stepper(int32_t p, int64_t, const engine_options&) {
  return make_reference_stepper_with(p, std::calloc, inverse_path_default());
}
