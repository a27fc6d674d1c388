#include "engine/fast.h"

#include <fftw3.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "engine/exact.h"
#include "engine/ll_pacer.h"

namespace {

struct plan_pair {
  fftw_plan r2c;  // out of place: n reals -> n/2 + 1 complex
  fftw_plan c2r;  // in place on the complex array
};

// FFTW's planner is not thread-safe: every planner call goes through this lock.
std::mutex& planner_lock() {
  static std::mutex m;
  return m;
}

bool measured_plans = true;

// The plans for length n and threads, made once and kept for the process.
plan_pair plans_for(int64_t n, int threads) {
  std::lock_guard<std::mutex> hold(planner_lock());
  static std::map<std::pair<int64_t, int>, plan_pair> cache;
  static bool threads_ready = false;
  const auto key = std::make_pair(n, threads);
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  if (!threads_ready) {
    fftw_init_threads();
    fftw_make_planner_thread_safe();
    threads_ready = true;
  }
  fftw_plan_with_nthreads(threads);
  const size_t complex_count = static_cast<size_t>(n / 2 + 1);
  double* x = fftw_alloc_real(static_cast<size_t>(n));
  fftw_complex* z = fftw_alloc_complex(complex_count);
  // Measuring took 4 s at 5K and 10 s at 48K here, for a few per cent below
  // 32K (within the noise) and up to a quarter above: it pays only where a
  // run takes minutes.
  const unsigned flags = (measured_plans && n >= 32768) ? FFTW_MEASURE : FFTW_ESTIMATE;
  const int len = static_cast<int>(n);
  plan_pair pp;
  pp.r2c = fftw_plan_dft_r2c_1d(len, x, z, flags);
  pp.c2r = fftw_plan_dft_c2r_1d(len, z, reinterpret_cast<double*>(z), flags);
  fftw_free(x);
  fftw_free(z);
  cache.emplace(key, pp);
  return pp;
}

// z[k] = z[k]^2 for the n/2 + 1 complex values of a real signal's spectrum.
__attribute__((target_clones("avx2", "default")))
void square_spectrum(double* z, int64_t count) {
  for (int64_t k = 0; k < count; ++k) {
    const double re = z[2 * k], im = z[2 * k + 1];
    z[2 * k] = (re + im) * (re - im);
    z[2 * k + 1] = 2.0 * re * im;
  }
}

}  // namespace

void fast_set_measured_plans(bool measure) {
  std::lock_guard<std::mutex> hold(planner_lock());
  measured_plans = measure;
}

fast_squarer::fast_squarer(int32_t p, int64_t n, int threads, fast_carry_kind kind)
    : layout_(make_fast_layout(p, n)), threads_(threads < 1 ? 1 : threads) {
  const bool can_vector = n % 4 == 0 && n >= 8;
  vector_ = kind == fast_carry_kind::vector || (kind == fast_carry_kind::automatic && can_vector);
  if (!can_vector) vector_ = false;
  x_ = fftw_alloc_real(static_cast<size_t>(2 * n));  // two buffers: current and next
  z_ = fftw_alloc_real(static_cast<size_t>(2 * (n / 2 + 1)));
  std::memset(x_, 0, sizeof(double) * static_cast<size_t>(2 * n));
  std::memset(z_, 0, sizeof(double) * static_cast<size_t>(2 * (n / 2 + 1)));
  const plan_pair pp = plans_for(n, threads_);
  r2c_ = pp.r2c;
  c2r_ = pp.c2r;
}

fast_squarer::~fast_squarer() {
  fftw_free(x_);
  fftw_free(z_);
}

void fast_squarer::load(const mpz_t v) {
  mpz_t r, tmp;
  mpz_inits(r, tmp, nullptr);
  mpz_set(r, v);
  mersenne_reduce(r, layout_.p, tmp);
  fast_split(r, layout_, x_);
  for (int64_t j = 0; j < layout_.n; ++j) x_[j] *= layout_.weight[j];
  mpz_clears(r, tmp, nullptr);
}

void fast_squarer::store(mpz_t out) const {
  const int64_t n = layout_.n;
  std::vector<double> d(static_cast<size_t>(n));
  for (int64_t j = 0; j < n; ++j) {
    const double v = x_[j] * layout_.unweight[j] * static_cast<double>(n);
    d[static_cast<size_t>(j)] = (v + 0x1.8p52) - 0x1.8p52;
  }
  fast_join(d.data(), layout_, out);
}

void fast_squarer::transform_only() {
  fftw_complex* z = reinterpret_cast<fftw_complex*>(z_);
  fftw_execute_dft_r2c(static_cast<fftw_plan>(r2c_), x_, z);
  square_spectrum(z_, layout_.n / 2 + 1);
  fftw_execute_dft_c2r(static_cast<fftw_plan>(c2r_), z, z_);
}

double fast_squarer::step(double limit) {
  const int64_t n = layout_.n;
  double* next = x_ + n;
  transform_only();
  const double err = vector_ ? fast_carry_vector(layout_, z_, next) : fast_carry_scalar(layout_, z_, next);
  if (!(err < limit)) return err;
  std::memcpy(x_, next, sizeof(double) * static_cast<size_t>(n));
  return err;
}

double fast_bare_pair_seconds(int64_t n, int threads, int reps) {
  const plan_pair pp = plans_for(n, threads);
  double* x = fftw_alloc_real(static_cast<size_t>(n));
  double* z = fftw_alloc_real(static_cast<size_t>(2 * (n / 2 + 1)));
  for (int64_t j = 0; j < n; ++j) x[j] = static_cast<double>((j * 7919) % 1000) - 500.0;
  fftw_complex* zc = reinterpret_cast<fftw_complex*>(z);
  fftw_execute_dft_r2c(pp.r2c, x, zc);
  fftw_execute_dft_c2r(pp.c2r, zc, z);
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) {
    fftw_execute_dft_r2c(pp.r2c, x, zc);
    fftw_execute_dft_c2r(pp.c2r, zc, z);
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  fftw_free(x);
  fftw_free(z);
  return s / reps;
}

bool fast_applicable(int32_t p) { return fast_length_for(p) != 0; }

ll_outcome fast_lucas_lehmer(int32_t p, const engine_options& opt) {
  return fast_lucas_lehmer_from(p, 0, opt);
}

ll_outcome fast_lucas_lehmer_from(int32_t p, int64_t start, const engine_options& opt) {
  ll_outcome out;
  int64_t n = start != 0 ? start : fast_length_for(p);
  // Words of more than 26 bits cannot even hold their square exactly: such a
  // start is hopeless, begin where words are short enough.
  while (n != 0 && (p + n - 1) / n > 26) n = fast_next_length(p, n);
  if (n == 0 || n > p) {
    out.note = "no transform length for this exponent";
    return out;
  }
  auto sq = std::make_unique<fast_squarer>(p, n, opt.threads);
  mpz_t s;
  mpz_init_set_ui(s, 4);
  sq->load(s);
  const int64_t total = p - 2;
  ll_pacer pacer(opt.progress, total);
  int retries = 0;
  std::string raised;
  for (int64_t i = 0; i < total; ++i) {
    double err = sq->step(kFastRetryDistance);
    while (!(err < kFastRetryDistance)) {
      // Redo this iteration from the last good residue at the next length.
      const int64_t bigger = fast_next_length(p, n);
      if (bigger == 0) {
        out.note = "rounding distance " + std::to_string(err) + " at iteration " + std::to_string(i + 1) +
                   " and no larger length";
        out.fft_length = n;
        mpz_clear(s);
        return out;
      }
      sq->store(s);
      sq = std::make_unique<fast_squarer>(p, bigger, opt.threads);
      sq->load(s);
      if (!raised.empty()) raised += "; ";
      raised += "length raised from " + std::to_string(n) + " to " + std::to_string(bigger) + " at iteration " +
                std::to_string(i + 1);
      ++retries;
      n = bigger;
      err = sq->step(kFastRetryDistance);
    }
    if (err > out.max_roundoff) out.max_roundoff = err;
    pacer.tick(i + 1);
  }
  pacer.finish();
  sq->store(s);
  out.verdict = true;
  out.prime = mpz_sgn(s) == 0;
  out.res64 = low64(s);
  out.fft_length = n;
  if (retries > 0) out.note = raised + " (" + std::to_string(retries) + (retries == 1 ? " retry)" : " retries)");
  mpz_clear(s);
  return out;
}
