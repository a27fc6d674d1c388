#include "cli/benchmark.h"

#include <gmp.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/clock_rate.h"
#include "base/machine.h"
#include "base/numbers.h"
#include "base/processor.h"
#include "cli/line_output.h"
#include "cli/splits.h"
#include "cli/status_line.h"
#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/two_pass.h"
#include "arith/residue.h"

namespace {

// One measured length.
struct bench_row {
  int64_t asked = 0;  // as written (equal to n unless rounded up)
  int64_t n = 0;
  int64_t max_exponent = 0;
  double ms_one = 0;  // per iteration, one thread
  int threads = 1;
  double ms_threads = 0;  // per iteration, threads threads
  double ms_pair = 0;     // FFTW's bare forward and inverse transform, one thread
  double plan_seconds = 0;
  std::string iteration;  // what runs at this length
};

// "4K", "1M", "5120": a length as a reader would write it.
std::string length_name(int64_t n) {
  if (n >= (1 << 20) && n % (1 << 20) == 0) return std::to_string(n >> 20) + "M";
  if (n >= (1 << 10) && n % (1 << 10) == 0) return std::to_string(n >> 10) + "K";
  return std::to_string(n);
}

std::string header_text(int threads) {
  const std::string many = "ms/it " + std::to_string(threads) + "t";
  const std::string ratio = "1t/" + std::to_string(threads) + "t";
  char line[200];
  std::snprintf(line, sizeof line, "%9s %12s %11s %11s %7s %11s %8s %8s  %s\n", "length", "max exponent",
                "ms/it 1t", many.c_str(), ratio.c_str(), "ms FFT pair", "1t/pair", "plan s", "iteration");
  return line;
}

std::string row_text(const bench_row& r) {
  char line[200];
  std::snprintf(line, sizeof line, "%9lld %12lld %11.4g %11.4g %7.2f %11.4g %8.2f %8.2f  %s\n",
                static_cast<long long>(r.n), static_cast<long long>(r.max_exponent), r.ms_one, r.ms_threads,
                r.ms_one / r.ms_threads, r.ms_pair, r.ms_one / r.ms_pair, r.plan_seconds, r.iteration.c_str());
  return line;
}

// The JSON object of a row: fft_length, asked_length where it was rounded
// up, max_exponent, the three times, threads, plan_seconds and iteration.
void to_json(nlohmann::ordered_json& j, const bench_row& r) {
  j = nlohmann::ordered_json::object();
  j["fft_length"] = r.n;
  if (r.asked != r.n) j["asked_length"] = r.asked;
  j["max_exponent"] = r.max_exponent;
  j["ms_per_iteration"] = r.ms_one;
  j["threads"] = r.threads;
  j["ms_per_iteration_threads"] = r.ms_threads;
  j["ms_fftw_pair"] = r.ms_pair;
  j["plan_seconds"] = r.plan_seconds;
  j["iteration"] = r.iteration;
}

// GMP's generator, seeded alike in every run: the same residues each time.
class residue_source {
 public:
  residue_source() {
    gmp_randinit_default(state_);
    gmp_randseed_ui(state_, 20261206);
  }
  ~residue_source() { gmp_randclear(state_); }
  residue_source(const residue_source&) = delete;
  residue_source& operator=(const residue_source&) = delete;

  // A fresh pseudo-random value below 2^p into v.
  void next(mpz_ptr v, int64_t p) { mpz_urandomb(v, state_, static_cast<mp_bitcnt_t>(p)); }

 private:
  gmp_randstate_t state_;
};

// Seconds per repetition: the best of timing.blocks blocks of per_rep(reps),
// which times reps repetitions and returns seconds per one; reps is set from
// two single repetitions so that a block lasts about timing.block_seconds.
double best_of_blocks(const bench_timing& timing, const std::function<double(int reps)>& per_rep) {
  const double first = per_rep(1);  // the first may still pay for cold caches and sleeping threads
  const double one = std::min(first, per_rep(1));
  const double wanted = one > 0 ? std::ceil(timing.block_seconds / one) : 1e6;
  const int reps = static_cast<int>(std::clamp(wanted, static_cast<double>(std::max(timing.min_reps, 1)), 1e6));
  double best = std::numeric_limits<double>::infinity();
  for (int b = 0; b < std::max(timing.blocks, 1); ++b) best = std::min(best, per_rep(reps));
  return best;
}

// Milliseconds per Lucas-Lehmer iteration of a stepper for p at length n on
// threads threads, and into *plan_seconds the time its construction took
// (the first per length and threads makes the plans).
double ms_per_iteration(int32_t p, int64_t n, int threads, const bench_timing& timing, residue_source& residues,
                        double* plan_seconds) {
  engine_options eo;
  eo.threads = threads;
  const auto t0 = clock_type::now();
  const std::unique_ptr<stepper> st = make_fast_stepper(p, n, eo);
  *plan_seconds = seconds_since(t0);
  // Timed on the threads asked for, whether or not they pay here.
  if (auto* tp = dynamic_cast<two_pass_squarer*>(st.get())) tp->fix_members(tp->threads());
  mpz_value v;
  // A fresh residue per block, loaded outside the timed part.
  return 1e3 * best_of_blocks(timing, [&](int reps) {
           residues.next(v, p);
           st->load(v);
           const auto start = clock_type::now();
           for (int i = 0; i < reps; ++i) st->square(2, 0, 1e9);
           return seconds_since(start) / reps;
         });
}

// The lengths to measure: those asked for, else the powers of two from 4K
// to 4M, leaving out (with a note) those that need more memory than there is.
std::vector<bench_length> lengths_to_measure(const cli_options& opt, uint64_t memory, FILE* err) {
  if (!opt.bench_lengths.empty()) return opt.bench_lengths;
  std::vector<bench_length> lengths;
  for (int64_t n = 4096; n <= (int64_t{4} << 20); n *= 2) {
    const uint64_t need = fast_memory_bytes(static_cast<int32_t>(fast_max_exponent(n)), n);
    if (memory == 0 || need <= memory)
      lengths.push_back({n, n});
    else
      std::fprintf(err, "mersenne: leaving out length %s: it needs about %s, the process can have %s\n",
                   length_name(n).c_str(), format_bytes(need).c_str(), format_bytes(memory).c_str());
  }
  return lengths;
}

}  // namespace

cli_outcome run_benchmark(const cli_options& opt, const bench_timing& timing, int out_fd, FILE* err,
                          bool show_progress) {
  const uint64_t memory = usable_memory_bytes();
  const std::vector<bench_length> lengths = lengths_to_measure(opt, memory, err);
  const int threads = std::max(opt.threads, 1);
  line_output out(out_fd);
  status_line status(err, show_progress);
  residue_source residues;
  bool all_measured = !lengths.empty();
  if (lengths.empty()) std::fprintf(err, "mersenne: no transform length fits in memory; nothing measured\n");
  if (!lengths.empty() && !opt.json) out.write(header_text(threads));
  for (size_t i = 0; i < lengths.size() && !out.failed(); ++i) {
    bench_row r;
    r.asked = lengths[i].asked;
    r.n = lengths[i].n;
    r.max_exponent = fast_max_exponent(r.n);
    r.threads = threads;
    const int32_t p = static_cast<int32_t>(r.max_exponent);
    r.iteration = fast_iteration_name(p, r.n);
    const std::string name = length_name(r.n);
    if (r.asked != r.n)
      std::fprintf(err, "mersenne: %lld is not a length of the fast engine; measuring the next one, %lld\n",
                   static_cast<long long>(r.asked), static_cast<long long>(r.n));
    const uint64_t need = fast_memory_bytes(p, r.n);
    if (memory != 0 && need > memory) {
      std::fprintf(err, "mersenne: length %s needs about %s, the process can have %s; not measured\n", name.c_str(),
                   format_bytes(need).c_str(), format_bytes(memory).c_str());
      all_measured = false;
      continue;
    }
    const std::string at = name + " (" + std::to_string(i + 1) + "/" + std::to_string(lengths.size()) + ", p = " +
                           std::to_string(p) + "): ";
    try {
      double plan = 0;
      status.show(at + "planning and timing, 1 thread");
      r.ms_one = ms_per_iteration(p, r.n, 1, timing, residues, &plan);
      r.plan_seconds = plan;
      status.show(at + "FFTW's bare transform pair, 1 thread");
      // Its plans, where the stepper did not make the same ones, count as planning too.
      const auto plan_start = clock_type::now();
      plans_for(r.n, 1);
      r.plan_seconds += seconds_since(plan_start);
      r.ms_pair = 1e3 * best_of_blocks(timing, [&](int reps) { return fast_bare_pair_seconds(r.n, 1, reps, false); });
      if (threads > 1) {
        status.show(at + "planning and timing, " + std::to_string(threads) + " threads");
        r.ms_threads = ms_per_iteration(p, r.n, threads, timing, residues, &plan);
        r.plan_seconds += plan;
      } else {
        r.ms_threads = r.ms_one;
      }
    } catch (const std::exception& x) {
      status.clear();
      std::fprintf(err, "mersenne: length %s could not be measured: %s\n", name.c_str(), x.what());
      all_measured = false;
      continue;
    }
    status.clear();
    out.write(opt.json ? nlohmann::ordered_json(r).dump() + "\n" : row_text(r));
  }
  status.clear();
  if (out.failed()) {
    std::fprintf(err, "mersenne: cannot write the results (%s); stopped\n", out.error().c_str());
    return {batch_status::output_failed, 0};
  }
  return {all_measured ? batch_status::ok : batch_status::no_verdict, 0};
}

cli_outcome run_benchmark_list(const cli_options& opt, int out_fd, FILE* err) {
  line_output out(out_fd);
  if (!opt.json) {
    char line[100];
    std::snprintf(line, sizeof line, "%9s %12s  %s\n", "length", "max exponent", "iteration");
    out.write(line);
  }
  for (int i = 0; i < fast_length_count() && !out.failed(); ++i) {
    const int64_t n = fast_length(i), top = fast_max_exponent(n);
    const std::string iteration = fast_iteration_name(static_cast<int32_t>(top), n);
    if (opt.json) {
      nlohmann::ordered_json j;
      j["fft_length"] = n;
      j["max_exponent"] = top;
      j["iteration"] = iteration;
      out.write(j.dump() + "\n");
    } else {
      char line[100];
      std::snprintf(line, sizeof line, "%9lld %12lld  %s\n", static_cast<long long>(n), static_cast<long long>(top),
                    iteration.c_str());
      out.write(line);
    }
  }
  if (out.failed()) {
    std::fprintf(err, "mersenne: cannot write the list (%s); stopped\n", out.error().c_str());
    return {batch_status::output_failed, 0};
  }
  return {batch_status::ok, 0};
}

namespace {

// The processors this process may run on, in order; empty when the mask cannot be read.
std::vector<int> usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) == 0)
    for (int c = 0; c < CPU_SETSIZE; ++c)
      if (CPU_ISSET(c, &set)) cpus.push_back(c);
  return cpus;
}

// Pins the calling thread to cpus; the threads it starts afterwards (a
// stepper's team) inherit the mask. False when it could not.
bool pin_to(const int* cpus, int count) {
  if (count <= 0) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int i = 0; i < count; ++i) CPU_SET(cpus[i], &set);
  return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
}

// One split measured: workers steppers side by side, each on its own
// exponent and on threads threads pinned to cores of its own.
struct split_row {
  int workers = 0;
  int threads = 0;
  std::vector<int32_t> exponents;
  double iterations_per_second = 0;  // in all, the best of the rounds
  double ms_per_iteration = 0;       // a worker's, on average, in that round
  bool pinned = true;
  std::string error;  // why it was not measured; "" when it was
};

// Runs split.workers steppers at length n on split.exponents, worker k on
// cpus[k threads, (k + 1) threads) where the mask has them. Each warms up
// for about timing.block_seconds; then timing.blocks rounds, each started
// by all together at a barrier, of the same number of iterations per
// worker (about timing.block_seconds for the slowest, at least
// timing.min_reps). Fills the split's rate, or its error.
void measure_split(split_row& split, int64_t n, const std::vector<int>& cpus, const bench_timing& timing,
                   residue_source& residues) {
  const int workers = split.workers;
  std::vector<mpz_value> start(workers);
  for (int k = 0; k < workers; ++k) residues.next(start[k], split.exponents[k]);
  std::vector<double> warm(workers, 0);
  std::vector<std::string> errors(workers);
  std::vector<char> pinned(workers, 0);
  const int rounds = std::max(timing.blocks, 1);
  std::vector<std::vector<double>> seconds(workers, std::vector<double>(rounds, 0));
  int64_t reps = 0;  // iterations per worker and round; 0: a worker could not run
  bool first_phase = true;
  auto settle = [&]() noexcept {
    if (!first_phase) return;
    first_phase = false;
    double slowest = 0;
    bool all = true;
    for (int k = 0; k < workers; ++k) {
      all = all && errors[k].empty();
      slowest = std::max(slowest, warm[k]);
    }
    const double wanted = slowest > 0 ? std::ceil(timing.block_seconds / slowest) : 1e6;
    reps = all ? static_cast<int64_t>(std::clamp(wanted, static_cast<double>(std::max(timing.min_reps, 1)), 1e6)) : 0;
  };
  std::barrier meet(workers, settle);
  const auto work = [&](int k) {
    const int first = k * split.threads;
    pinned[k] = first + split.threads <= static_cast<int>(cpus.size()) && pin_to(cpus.data() + first, split.threads);
    std::unique_ptr<stepper> st;
    try {
      engine_options eo;
      eo.threads = split.threads;
      st = make_fast_stepper(split.exponents[k], n, eo);
      if (auto* tp = dynamic_cast<two_pass_squarer*>(st.get())) tp->fix_members(tp->threads());
      st->load(start[k]);
      const auto t0 = clock_type::now();
      int64_t done = 0;
      do {
        st->square(2, 0, 1e9);
        ++done;
      } while (done < 2 || seconds_since(t0) < timing.block_seconds);
      warm[k] = seconds_since(t0) / static_cast<double>(done);
    } catch (const std::exception& x) {
      errors[k] = x.what();
      if (errors[k].empty()) errors[k] = "failed";
    }
    meet.arrive_and_wait();
    // A worker that fails here still meets the others at every round.
    bool failed = false;
    for (int r = 0; r < rounds && reps > 0; ++r) {
      meet.arrive_and_wait();
      if (failed) continue;
      try {
        const auto t0 = clock_type::now();
        for (int64_t i = 0; i < reps; ++i) st->square(2, 0, 1e9);
        seconds[k][r] = seconds_since(t0);
      } catch (const std::exception& x) {
        errors[k] = x.what();
        failed = true;
      }
    }
  };
  std::vector<std::thread> team;
  try {
    for (int k = 1; k < workers; ++k) team.emplace_back(work, k);
  } catch (const std::system_error& x) {
    // The threads started wait at the barrier for the rest: the caller's thread takes their places.
    split.error = std::string("cannot start its threads: ") + x.what();
    for (int k = static_cast<int>(team.size()) + 1; k < workers; ++k) errors[k] = split.error;
    for (int k = static_cast<int>(team.size()) + 1; k < workers; ++k) meet.arrive_and_drop();
  }
  work(0);
  for (std::thread& t : team) t.join();
  for (int k = 0; k < workers && split.error.empty(); ++k)
    if (!errors[k].empty()) split.error = errors[k];
  if (!split.error.empty()) return;
  split.pinned = std::all_of(pinned.begin(), pinned.end(), [](char c) { return c != 0; });
  for (int r = 0; r < rounds; ++r) {
    double rate = 0, ms = 0;
    for (int k = 0; k < workers; ++k) {
      rate += static_cast<double>(reps) / seconds[k][r];
      ms += 1e3 * seconds[k][r] / static_cast<double>(reps) / workers;
    }
    if (rate > split.iterations_per_second) {
      split.iterations_per_second = rate;
      split.ms_per_iteration = ms;
    }
  }
}

// One length's splits, and the one worker on one thread alone.
struct throughput_row {
  int64_t asked = 0, n = 0;
  int cores = 0;
  double ghz = 0;
  std::string iteration;
  split_row alone;
  std::vector<split_row> splits;  // workers ascending: 1 x cores first, cores x 1 last
  int best = -1;                  // index into splits; -1: none measured
};

// Rate of a split over the one worker alone; 0 when either is not measured.
double over_alone(const throughput_row& r, const split_row& s) {
  return r.alone.error.empty() && s.error.empty() && r.alone.iterations_per_second > 0
             ? s.iterations_per_second / r.alone.iterations_per_second
             : 0;
}

// scaling: one worker on every core against one alone; ceiling: a worker per core against one alone.
double scaling_of(const throughput_row& r) { return r.splits.empty() ? 0 : over_alone(r, r.splits.front()); }
double ceiling_of(const throughput_row& r) { return r.splits.empty() ? 0 : over_alone(r, r.splits.back()); }

// The JSON object of split i of a length: fft_length (asked_length where it
// was rounded up), workers, threads, iterations_per_second, ms_per_iteration,
// exponents, one_thread_iterations_per_second, scaling and ceiling (null
// where not measured), best, pinned, ghz and iteration.
nlohmann::ordered_json split_json(const throughput_row& r, size_t i) {
  const split_row& s = r.splits[i];
  nlohmann::ordered_json j;
  j["fft_length"] = r.n;
  if (r.asked != r.n) j["asked_length"] = r.asked;
  j["workers"] = s.workers;
  j["threads"] = s.threads;
  j["iterations_per_second"] = s.iterations_per_second;
  j["ms_per_iteration"] = s.ms_per_iteration;
  j["exponents"] = s.exponents;
  const auto ratio = [](double v) { return v > 0 ? nlohmann::ordered_json(v) : nlohmann::ordered_json(); };
  j["one_thread_iterations_per_second"] = ratio(r.alone.error.empty() ? r.alone.iterations_per_second : 0);
  j["scaling"] = ratio(scaling_of(r));
  j["ceiling"] = ratio(ceiling_of(r));
  j["best"] = static_cast<int>(i) == r.best;
  j["pinned"] = s.pinned;
  j["ghz"] = r.ghz;
  j["iteration"] = r.iteration;
  return j;
}

std::string throughput_text(const throughput_row& r) {
  char line[300];
  std::string text;
  std::snprintf(line, sizeof line, "%s (%s), %d %s, clock %.2f GHz\n", length_name(r.n).c_str(), r.iteration.c_str(),
                r.cores, r.cores == 1 ? "core" : "cores", r.ghz);
  text += line;
  std::snprintf(line, sizeof line, "  %-9s %12s %10s %10s %8s\n", "split", "it/s in all", "ms/it", "Mcycles/it",
                "x alone");
  text += line;
  const auto row = [&](const split_row& s, const std::string& name, const char* mark) {
    if (!s.error.empty()) return;
    std::snprintf(line, sizeof line, "  %-9s %12.4g %10.4g %10.4g %8.2f%s%s\n", name.c_str(), s.iterations_per_second,
                  s.ms_per_iteration, s.workers * s.threads * r.ghz * 1e3 / s.iterations_per_second, over_alone(r, s),
                  mark, s.pinned ? "" : "  (not pinned)");
    text += line;
  };
  row(r.alone, "1x1 alone", "");
  for (size_t i = 0; i < r.splits.size(); ++i)
    row(r.splits[i], std::to_string(r.splits[i].workers) + "x" + std::to_string(r.splits[i].threads),
        static_cast<int>(i) == r.best ? "  best" : "");
  if (scaling_of(r) > 0 && ceiling_of(r) > 0) {
    std::snprintf(line, sizeof line, "  scaling 1x%d / 1x1 alone = %.2f, ceiling %dx1 / 1x1 alone = %.2f\n", r.cores,
                  scaling_of(r), r.cores, ceiling_of(r));
    text += line;
  }
  return text;
}

// Times each split is measured, the rounds shared among them.
constexpr int kThroughputPasses = 2;

// The largest count primes up to the largest exponent length n serves, descending.
std::vector<int32_t> exponents_at(int64_t n, int count) {
  std::vector<int32_t> ps;
  for (int64_t p = fast_max_exponent(n); p >= 3 && static_cast<int>(ps.size()) < count; --p)
    if (is_prime(p)) ps.push_back(static_cast<int32_t>(p));
  return ps;
}

}  // namespace

cli_outcome run_benchmark_throughput(const cli_options& opt, const bench_timing& timing, int out_fd, FILE* err,
                                     bool show_progress) {
  const uint64_t memory = usable_memory_bytes();
  const int cores = usable_cores();
  std::vector<int> cpus = usable_cpus();
  if (static_cast<int>(cpus.size()) != cores) cpus.clear();  // no mask to split: nothing is pinned
  std::vector<bench_length> lengths = opt.bench_lengths;
  if (lengths.empty())
    for (int64_t n : {int64_t{1} << 20, int64_t{2} << 20, int64_t{4} << 20, int64_t{8} << 20})
      lengths.push_back({n, n});
  line_output out(out_fd);
  status_line status(err, show_progress);
  residue_source residues;
  // The clock of the first core, where the one worker alone runs.
  double ghz = 0;
  {
    std::thread clock([&] {
      if (!cpus.empty()) pin_to(cpus.data(), 1);
      ghz = measured_ghz();
    });
    clock.join();
  }
  std::vector<saved_split> measured;
  bool all_measured = true;
  for (size_t i = 0; i < lengths.size() && !out.failed(); ++i) {
    throughput_row r;
    r.asked = lengths[i].asked;
    r.n = lengths[i].n;
    r.cores = cores;
    r.ghz = ghz;
    const std::string name = length_name(r.n);
    if (r.asked != r.n)
      std::fprintf(err, "mersenne: %lld is not a length of the fast engine; measuring the next one, %lld\n",
                   static_cast<long long>(r.asked), static_cast<long long>(r.n));
    const std::vector<int32_t> ps = exponents_at(r.n, cores);
    if (static_cast<int>(ps.size()) < cores) {
      std::fprintf(err, "mersenne: length %s serves fewer than %d primes; not measured\n", name.c_str(), cores);
      all_measured = false;
      continue;
    }
    r.iteration = fast_iteration_name(ps[0], r.n);
    const auto split_of = [&](int workers, int threads) {
      split_row s;
      s.workers = workers;
      s.threads = threads;
      s.exponents.assign(ps.begin(), ps.begin() + workers);
      return s;
    };
    r.alone = split_of(1, 1);
    for (int w = 1; w <= cores; ++w)
      if (cores % w == 0) r.splits.push_back(split_of(w, cores / w));
    // Each pass measures the one alone and every split once; a split keeps
    // its best pass, so that a burst of load elsewhere spoils one pass of
    // every split rather than every round of one.
    bench_timing pass_timing = timing;
    pass_timing.blocks = (std::max(timing.blocks, 1) + kThroughputPasses - 1) / kThroughputPasses;
    const auto measure = [&](split_row& s, int pass) {
      if (!s.error.empty()) return;
      const uint64_t need = fast_memory_bytes(s.exponents[0], r.n) * static_cast<uint64_t>(s.workers);
      if (memory != 0 && need > memory) {
        s.error = "it needs about " + format_bytes(need) + ", the process can have " + format_bytes(memory);
      } else {
        status.show(name + " (" + std::to_string(i + 1) + "/" + std::to_string(lengths.size()) + "), pass " +
                    std::to_string(pass + 1) + "/" + std::to_string(kThroughputPasses) + ": " +
                    std::to_string(s.workers) + " x " + std::to_string(s.threads) + " threads");
        split_row once = s;
        once.iterations_per_second = once.ms_per_iteration = 0;
        measure_split(once, r.n, cpus, pass_timing, residues);
        status.clear();
        if (!once.error.empty() || once.iterations_per_second > s.iterations_per_second) s = std::move(once);
      }
      if (!s.error.empty()) {
        std::fprintf(err, "mersenne: length %s, %d x %d: not measured: %s\n", name.c_str(), s.workers, s.threads,
                     s.error.c_str());
        all_measured = false;
      }
    };
    for (int pass = 0; pass < kThroughputPasses; ++pass) {
      measure(r.alone, pass);
      for (split_row& s : r.splits) measure(s, pass);
    }
    bool every_split = true;
    for (size_t k = 0; k < r.splits.size(); ++k) {
      every_split = every_split && r.splits[k].error.empty();
      if (r.splits[k].error.empty() &&
          (r.best < 0 || r.splits[k].iterations_per_second > r.splits[r.best].iterations_per_second))
        r.best = static_cast<int>(k);
    }
    if (r.best < 0) continue;
    // Only a length whose every split was measured says which one is best.
    if (every_split)
      measured.push_back({processor_identity(), cores, r.n, r.splits[r.best].workers, r.splits[r.best].threads,
                          r.splits[r.best].iterations_per_second});
    if (opt.json) {
      std::string lines;
      for (size_t k = 0; k < r.splits.size(); ++k)
        if (r.splits[k].error.empty()) lines += split_json(r, k).dump() + "\n";
      out.write(lines);
    } else {
      out.write(throughput_text(r));
    }
  }
  status.clear();
  if (!measured.empty()) {
    const std::string path = saved_splits_path();
    std::string why;
    if (path.empty())
      std::fprintf(err, "mersenne: no cache folder (neither XDG_CACHE_HOME nor HOME is set): the best splits are not "
                   "saved\n");
    else if (!save_splits(path, measured, &why))
      std::fprintf(err, "mersenne: cannot save the best splits in %s: %s; the defaults of --jobs and --threads stay "
                   "as they were\n", path.c_str(), why.c_str());
  }
  if (out.failed()) {
    std::fprintf(err, "mersenne: cannot write the results (%s); stopped\n", out.error().c_str());
    return {batch_status::output_failed, 0};
  }
  return {all_measured ? batch_status::ok : batch_status::no_verdict, 0};
}
