#include "arith/modular.h"

#include <mutex>
#include <string>

#include "arith/residue.h"
#include "base/check.h"
#include "base/machine.h"

bool starting_length(const engine& e, int32_t p, const engine_options& opt, int64_t* n) {
  *n = 0;
  if (e.start_length == nullptr) return true;
  *n = e.start_length(p, opt.start_length);
  return *n != 0;
}

stepper_set::stepper_set(const engine& e, int32_t p, int64_t n, const engine_options& opt, int count, int threaded)
    : e_(e), p_(p), opt_(opt), single_(opt),
      threaded_(threaded < 0 ? static_cast<size_t>(count) : static_cast<size_t>(threaded)),
      st_(static_cast<size_t>(count)) {
  MERSENNE_REQUIRE(count >= 1);
  single_.threads = 1;
  single_.thread_report = nullptr;
  make(n);
}

void stepper_set::make(int64_t n) {
  if (e_.memory_bytes != nullptr && st_.size() > 1) {
    // make_stepper checks each stepper alone: all of them must fit before the first is made.
    std::lock_guard<std::mutex> hold(memory_gate());
    const uint64_t need = e_.memory_bytes(p_, n) * st_.size();
    if (!memory_available(need)) {
      const uint64_t have = usable_memory_bytes();
      throw engine_failure("the " + std::string(e_.name) + " engine needs about " + format_bytes(need) +
                           " of memory for p = " + std::to_string(p_) + ", more than the " +
                           format_bytes(have > kMemoryMargin ? have - kMemoryMargin : 0) +
                           " this process can have");
    }
  }
  for (size_t k = 0; k < st_.size(); ++k) st_[k] = make_stepper(e_, p_, n, k < threaded_ ? opt_ : single_);
}

bool stepper_set::raise() {
  const int64_t from = st_[0]->length();
  const int64_t longer = e_.next_length != nullptr ? e_.next_length(p_, from) : 0;
  if (longer == 0) return false;
  std::vector<std::unique_ptr<mpz_value>> held;
  for (const auto& s : st_) {
    held.push_back(std::make_unique<mpz_value>());
    s->store(*held.back());
  }
  for (auto& s : st_) s.reset();  // the old arrays go before the new ones are made
  make(longer);
  for (size_t k = 0; k < st_.size(); ++k) st_[k]->load(*held[k]);
  if (on_raise) on_raise(from, longer);
  return true;
}

modular_arith::modular_arith(const engine& e, int32_t p, const engine_options& opt) {
  MERSENNE_REQUIRE(e.applicable(p));
  int64_t n = 0;
  if (!starting_length(e, p, opt, &n)) throw engine_failure("no transform length for this exponent");
  set_ = std::make_unique<stepper_set>(e, p, n, opt, 1);
}

template <class Step>
void modular_arith::run(Step&& step) {
  if (!(set_->run(0, step) < tuning::kRetryDistance))
    throw engine_failure("the rounding bound was crossed at the longest length");
}

void modular_arith::pow_mul(mpz_ptr out, mpz_srcptr base, uint64_t r, mpz_srcptr times) {
  if (r == 0) {
    mpz_set(out, times);
    return;
  }
  stepper& st = (*set_)[0];
  st.load(base);
  for (int bit = 62 - __builtin_clzll(r); bit >= 0; --bit) {
    run([](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); });
    ++squarings_;
    if ((r >> bit) & 1) run([base](stepper& s) { return s.multiply(base, tuning::kRetryDistance); });
  }
  run([times](stepper& s) { return s.multiply(times, tuning::kRetryDistance); });
  (*set_)[0].store(out);
}

void modular_arith::square_times(mpz_ptr out, mpz_srcptr x, int64_t count) {
  (*set_)[0].load(x);
  for (int64_t i = 0; i < count; ++i) run([](stepper& s) { return s.square(0, 0, tuning::kRetryDistance); });
  squarings_ += count;
  (*set_)[0].store(out);
}
