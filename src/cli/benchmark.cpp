#include "cli/benchmark.h"

#include <gmp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/machine.h"
#include "cli/line_output.h"
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
