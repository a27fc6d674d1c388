#include "methods/ecm.h"

#include <ecm.h>
#include <gmp.h>

#include <cstdlib>
#include <random>

#include "arith/residue.h"
#include "base/numbers.h"
#include "base/tuning.h"
#include "methods/factor/split.h"

namespace {

// The stop flag of the curve running on this thread, polled by GMP-ECM.
thread_local const std::atomic<bool>* running_stop = nullptr;

// GMP-ECM's poll: non-zero to abandon the curve at once.
int stop_asked() { return running_stop != nullptr && running_stop->load() ? 1 : 0; }

// The outcome of one curve.
enum class curve_end { nothing, found, stopped, failed };

// One curve at b1 (GMP-ECM's own B2) with Suyama's parametrisation and sigma
// on n; a divisor found (possibly n itself) into f.
curve_end one_curve(mpz_ptr n, uint64_t b1, uint64_t sigma, const std::atomic<bool>* stop, mpz_ptr f) {
  ecm_params params;
  ecm_init(params);
  params->verbose = 0;
  params->param = ECM_PARAM_SUYAMA;
  mpz_set_ui(params->sigma, static_cast<unsigned long>(sigma));
  running_stop = stop;
  params->stop_asap = stop_asked;
  const int r = ecm_factor(f, n, static_cast<double>(b1), params);
  running_stop = nullptr;
  ecm_clear(params);
  if (ECM_ERROR_P(r)) return curve_end::failed;
  if (ECM_FACTOR_FOUND_P(r)) return curve_end::found;
  return stop != nullptr && stop->load() ? curve_end::stopped : curve_end::nothing;
}

}  // namespace

bool ecm_applicable(int32_t p) { return p >= 3 && p <= tuning::kEcmLargestExponent && is_prime(p); }

ecm_outcome run_ecm(int32_t p, const ecm_request& req, const std::atomic<bool>* stop,
                    const std::function<void(int, int)>& progress) {
  ecm_outcome out;
  if (!ecm_applicable(p)) {
    out.error = "ECM takes prime exponents from 3 to " + std::to_string(tuning::kEcmLargestExponent);
    return out;
  }
  if (req.curves < 1 || req.b1 < 2) {
    out.error = "ECM needs at least one curve and B1 of at least 2";
    return out;
  }
  std::mt19937_64 rng(req.seed != 0 ? req.seed : (uint64_t{std::random_device{}()} << 32) ^ std::random_device{}());
  mpz_value n, f;
  mpz_ui_pow_ui(n, 2, static_cast<unsigned long>(p));
  mpz_sub_ui(n, n, 1);
  for (int curve = 0; curve < req.curves; ++curve) {
    if (stop != nullptr && stop->load()) {
      out.interrupted = true;
      return out;
    }
    // Suyama's sigma is any integer above 5.
    const uint64_t sigma = 6 + rng() % (~uint64_t{0} - 6);
    const curve_end end = one_curve(n, req.b1, sigma, stop, f);
    if (end == curve_end::failed) {
      out.error = "GMP-ECM could not run a curve";
      return out;
    }
    if (end == curve_end::stopped) {
      out.interrupted = true;
      return out;
    }
    ++out.curves_done;
    if (progress) progress(out.curves_done, req.curves);
    if (end != curve_end::found || mpz_cmp_ui(f.get(), 1) <= 0) continue;
    // Every factor found (all of them at once when f is 2^p - 1 itself), but never 2^p - 1.
    std::string whole;
    {
      char* s = mpz_get_str(nullptr, 10, n);
      whole = s;
      free(s);
    }
    for (std::string& q : prime_factors_of(f, p)) {
      if (q != whole) out.factors.push_back(std::move(q));
    }
    if (!out.factors.empty()) return out;
  }
  return out;
}
