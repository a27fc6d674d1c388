#include "engine/fast.h"

#include <fftw3.h>
#include <time.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <new>
#include <mutex>
#include <string>
#include <thread>
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
  // Never destroyed: runs may still be going on other threads at exit.
  static auto& cache = *new std::map<std::pair<int64_t, int>, plan_pair>;
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
  // Measuring took 0.75 s at 4096 on an idle core (4 s at 5K and 10 s at 48K
  // with the machine busy) for a pair 18% faster at 4096 and up to a quarter
  // at 48K: less than it saves over a whole test below 32K, more above.
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

typedef double v4 __attribute__((vector_size(32), aligned(8)));
typedef long long v4i __attribute__((vector_size(32), aligned(8)));

// z[k] = z[k]^2 for the count complex values of a real signal's spectrum,
// two at a time: re' = (re + im)(re - im), im' = 2 re im, the same operations
// in every lane as in the scalar tail.
__attribute__((target_clones("avx2", "default")))
void square_spectrum(double* z, int64_t count) {
  int64_t k = 0;
  for (; k + 2 <= count; k += 2) {
    const v4 a = *reinterpret_cast<const v4*>(z + 2 * k);
    const v4 swapped = __builtin_shuffle(a, v4i{1, 0, 3, 2});  // im, re, im, re
    const v4 real = (a + swapped) * (a - swapped);               // lanes 0, 2
    const v4 imag = (a * 2.0) * swapped;                         // lanes 1, 3: 2 im re
    *reinterpret_cast<v4*>(z + 2 * k) = __builtin_shuffle(real, imag, v4i{0, 5, 2, 7});
  }
  for (; k < count; ++k) {
    const double re = z[2 * k], im = z[2 * k + 1];
    z[2 * k] = (re + im) * (re - im);
    z[2 * k + 1] = (2.0 * im) * re;
  }
}

}  // namespace

// A thread that runs the upper half of the carry stage while the caller
// runs the lower half. Made once per squarer; nothing is allocated per step.
struct fast_carry_helper {
  std::mutex m;
  std::condition_variable cv;
  bool pending = false, finished = false, quit = false;
  const fast_layout* layout = nullptr;
  const double* z = nullptr;
  double* x = nullptr;
  int64_t from = 0, to = 0;
  double err = 0, big = 0;
  std::thread worker;

  fast_carry_helper() : worker([this] { loop(); }) {}
  ~fast_carry_helper() {
    {
      std::lock_guard<std::mutex> hold(m);
      quit = true;
    }
    cv.notify_all();
    worker.join();
  }
  void loop() {
    std::unique_lock<std::mutex> lk(m);
    for (;;) {
      cv.wait(lk, [this] { return pending || quit; });
      if (quit) return;
      pending = false;
      lk.unlock();
      double e, b;
      fast_carry_vector_part(*layout, z, x, from, to, &e, &b);
      lk.lock();
      err = e;
      big = b;
      finished = true;
      cv.notify_all();
    }
  }
  // Starts blocks [from, to) of the carry of z into x.
  void start(const fast_layout& L, const double* zz, double* xx, int64_t f, int64_t t) {
    {
      std::lock_guard<std::mutex> hold(m);
      layout = &L;
      z = zz;
      x = xx;
      from = f;
      to = t;
      finished = false;
      pending = true;
    }
    cv.notify_all();
  }
  // Waits for the started part; its rounding distance and product size.
  void wait(double* e, double* b) {
    std::unique_lock<std::mutex> lk(m);
    cv.wait(lk, [this] { return finished; });
    *e = err;
    *b = big;
  }
};

void fast_set_measured_plans(bool measure) {
  std::lock_guard<std::mutex> hold(planner_lock());
  measured_plans = measure;
}

fast_squarer::fast_squarer(int32_t p, int64_t n, int threads, fast_carry_kind kind)
    : layout_(make_fast_layout(p, n)), threads_(threads < 1 ? 1 : threads) {
  const bool can_vector = n % 4 == 0 && n >= 8;
  vector_ = kind == fast_carry_kind::vector || (kind == fast_carry_kind::automatic && can_vector);
  if (!can_vector) vector_ = false;
  x_ = fftw_alloc_real(static_cast<size_t>(n));
  next_ = fftw_alloc_real(static_cast<size_t>(n));
  z_ = fftw_alloc_real(static_cast<size_t>(2 * (n / 2 + 1)));
  if (x_ == nullptr || next_ == nullptr || z_ == nullptr) {
    fftw_free(x_);
    fftw_free(next_);
    fftw_free(z_);
    throw std::bad_alloc();
  }
  std::memset(x_, 0, sizeof(double) * static_cast<size_t>(n));
  std::memset(next_, 0, sizeof(double) * static_cast<size_t>(n));
  std::memset(z_, 0, sizeof(double) * static_cast<size_t>(2 * (n / 2 + 1)));
  const plan_pair pp = plans_for(n, threads_);
  r2c_ = pp.r2c;
  c2r_ = pp.c2r;
  // Below this the hand-over costs more than half a carry stage saves.
  if (threads_ >= 2 && vector_ && n >= 16384) helper_ = new fast_carry_helper;
}

fast_squarer::~fast_squarer() {
  delete helper_;
  fftw_free(x_);
  fftw_free(next_);
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
  double* next = next_;
  transform_only();
  double err;
  if (helper_ != nullptr) {
    const int64_t blocks = n / 4, mid = blocks / 2;
    double e1, b1, e2, b2;
    helper_->start(layout_, z_, next, mid, blocks);
    fast_carry_vector_part(layout_, z_, next, 0, mid, &e1, &b1);
    helper_->wait(&e2, &b2);
    err = fast_carry_vector_finish(layout_, z_, next, e1 > e2 ? e1 : e2, b1 > b2 ? b1 : b2);
  } else {
    err = vector_ ? fast_carry_vector(layout_, z_, next) : fast_carry_scalar(layout_, z_, next);
  }
  if (!(err < limit)) return err;
  std::swap(x_, next_);  // the step is good: its output is the next input
  return err;
}

double fast_bare_pair_seconds(int64_t n, int threads, int reps, bool cpu_time) {
  const plan_pair pp = plans_for(n, threads);
  double* x = fftw_alloc_real(static_cast<size_t>(n));
  double* z = fftw_alloc_real(static_cast<size_t>(2 * (n / 2 + 1)));
  if (x == nullptr || z == nullptr) {
    fftw_free(x);
    fftw_free(z);
    return 0.0;
  }
  for (int64_t j = 0; j < n; ++j) x[j] = static_cast<double>((j * 7919) % 1000) - 500.0;
  fftw_complex* zc = reinterpret_cast<fftw_complex*>(z);
  fftw_execute_dft_r2c(pp.r2c, x, zc);
  fftw_execute_dft_c2r(pp.c2r, zc, z);
  const clockid_t clock = cpu_time ? CLOCK_THREAD_CPUTIME_ID : CLOCK_MONOTONIC;
  timespec t0, t1;
  clock_gettime(clock, &t0);
  for (int i = 0; i < reps; ++i) {
    fftw_execute_dft_r2c(pp.r2c, x, zc);
    fftw_execute_dft_c2r(pp.c2r, zc, z);
  }
  clock_gettime(clock, &t1);
  fftw_free(x);
  fftw_free(z);
  const double s = static_cast<double>(t1.tv_sec - t0.tv_sec) + 1e-9 * static_cast<double>(t1.tv_nsec - t0.tv_nsec);
  return s / reps;
}

bool fast_applicable(int32_t p) { return fast_length_for(p) != 0; }

ll_outcome fast_lucas_lehmer(int32_t p, const engine_options& opt) {
  return fast_lucas_lehmer_from(p, 0, opt);
}

namespace {

// An mpz_t freed on every way out.
struct mpz_holder {
  mpz_t v;
  mpz_holder() { mpz_init(v); }
  ~mpz_holder() { mpz_clear(v); }
};

ll_outcome run_from(int32_t p, int64_t start, const engine_options& opt) {
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
  mpz_holder holder;
  mpz_ptr s = holder.v;
  mpz_set_ui(s, 4);
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
  return out;
}

}  // namespace

ll_outcome fast_lucas_lehmer_from(int32_t p, int64_t start, const engine_options& opt) {
  try {
    return run_from(p, start, opt);
  } catch (const std::bad_alloc&) {
    ll_outcome out;
    out.error = "out of memory for the transform arrays";
    return out;
  }
}
