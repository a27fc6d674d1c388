// Where an iteration of the two-pass squarer spends its time: each kernel of
// the table on its own over a whole iteration's worth of rows or blocks, one
// thread, in millions of cycles (thread CPU time times the clock measured in
// the same run by dependent adds), best of several rounds. The last two
// columns: the column transforms over as many blocks, all of them the same
// two (held in the cache), which parts their arithmetic from their memory.
//
//   bench_parts [LENGTH ...]   (default 1M 4M 8M; K and M suffixes)
//   MERSENNE_KERNELS=NAME bench_parts ...
//   bench_parts --choice    (times the kernel choice as the engine measures it)
//   bench_parts --team [ROUNDS] LENGTH ...   (one squarer, blocks of iterations on one
//                           thread and on the whole team in turn, wall clock: the best
//                           block of each and the median of the rounds' ratios, which a
//                           neighbour slowing the machine for a while moves least)
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "base/aligned_buffer.h"
#include "base/clock_rate.h"
#include "base/machine.h"
#include "arith/fast/kernel_choice.h"
#include "arith/fast/kernels.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "length_arg.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double best_of(int rounds, const std::function<void()>& f) {
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double t0 = cpu_seconds();
    f();
    best = std::min(best, cpu_seconds() - t0);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--choice") {
    // The kernel choice's own measurement, as the engine makes it.
    const double t0 = cpu_seconds();
    const kernel_choice c = measure_kernel_choice();
    for (const std::string& line : c.timings) std::printf("%s\n", line.c_str());
    std::printf("%s(%.2f s of CPU)\n", kernel_choice_text(c).c_str(), cpu_seconds() - t0);
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--team") {
    int first = 2, rounds = 15;
    if (argc > 2 && std::string(argv[2]).find_first_not_of("0123456789") == std::string::npos) {
      rounds = std::max(1, std::atoi(argv[2]));
      first = 3;
    }
    std::printf("%9s %8s %10s %10s %8s %8s\n", "length", "threads", "ms 1t", "ms team", "best", "median");
    for (int i = first; i < argc; ++i) {
      const int64_t n = parse_length(argv[i]);
      int32_t p = static_cast<int32_t>(n * 17);
      while (!two_pass_serves(p, n)) --p;
      two_pass_squarer sq(p, n, std::max(2, usable_cores()));
      // About 30 ms a block on one thread.
      const int count = static_cast<int>(std::clamp<int64_t>(int64_t{30} * 1000000 / (n * 3), 2, 2000));
      const auto block = [&](int members) {
        sq.fix_members(members);
        const auto t0 = std::chrono::steady_clock::now();
        for (int k = 0; k < count; ++k) sq.square(2, 0, 1e9);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / count;
      };
      block(1);
      block(sq.threads());
      double one = 1e30, team = 1e30;
      std::vector<double> ratios;
      for (int r = 0; r < rounds; ++r) {
        // In turn first and second: a block after the other kind starts with
        // the residue in the other cores' caches and a helper to wake.
        double a, b;
        if (r % 2 == 0) {
          a = block(1);
          b = block(sq.threads());
        } else {
          b = block(sq.threads());
          a = block(1);
        }
        one = std::min(one, a);
        team = std::min(team, b);
        ratios.push_back(a / b);
      }
      std::sort(ratios.begin(), ratios.end());
      std::printf("%9lld %8d %10.4f %10.4f %8.3f %8.3f\n", static_cast<long long>(n), sq.threads(), one * 1e3,
                  team * 1e3, one / team, ratios[ratios.size() / 2]);
    }
    return 0;
  }
  std::vector<int64_t> lengths;
  for (int i = 1; i < argc; ++i) lengths.push_back(parse_length(argv[i]));
  if (lengths.empty()) lengths = {int64_t{1} << 20, int64_t{1} << 22, int64_t{1} << 23};
  const fast_kernels::table* asked = kernels_asked();
  const fast_kernels::table& k = asked != nullptr ? *asked : *usable_kernels().front();
  const double ghz = measured_ghz();
  std::printf("kernels %s, clock %.2f GHz; Mcycles per iteration's worth, one thread\n", k.name, ghz);
  std::printf("%9s %6s %6s %9s %9s %9s %9s %9s %9s %9s %9s\n", "length", "n1", "n2", "row", "col inv", "carry",
              "col fwd", "sum", "squarer", "inv held", "fwd held");
  for (int64_t n : lengths) {
    const two_pass_shape sh = two_pass_shape_for(n);
    if (sh.n == 0) continue;
    const fast_kernels::shape_view& v = kernel_shape(sh.n1, sh.n2, false);
    const int64_t rows = sh.n2 / 2 + 1, stride = 2 * sh.stride, blocks = sh.n1 / 8;
    aligned_buffer<double> state(static_cast<size_t>(rows * stride)), block(static_cast<size_t>(8 * sh.n2)),
        scratch(static_cast<size_t>(std::max(2 * sh.n1, 16 * rows))), carries(static_cast<size_t>(sh.n2));
    for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<double>((i * 7919) % 1001) - 500.0;
    aligned_buffer<double> col_r(static_cast<size_t>(sh.n1)), row_r(static_cast<size_t>(sh.n2)),
        ones1(static_cast<size_t>(sh.n1)), ones2(static_cast<size_t>(sh.n2));
    for (int64_t j = 0; j < sh.n1; ++j) col_r[static_cast<size_t>(j)] = 0, ones1[static_cast<size_t>(j)] = 1e-7;
    for (int64_t j = 0; j < sh.n2; ++j) row_r[static_cast<size_t>(j)] = 0, ones2[static_cast<size_t>(j)] = 1;
    const int bits = 18;
    const fast_kernels::word_tables wt{col_r.data(), row_r.data(), ones1.data(), ones2.data(), ones1.data(),
                                       ones2.data(), static_cast<double>(n), 0, 0, 1, std::ldexp(1.5, 52 + bits),
                                       std::ldexp(1.5, 53 + bits), std::ldexp(1.0, -bits), std::ldexp(1.0, -bits - 1),
                                       sh.n2};
    const int rounds = 5;
    const double row_s = best_of(rounds, [&] {
      for (int64_t r = 0; r < rows; ++r)
        k.row(v, r, fast_kernels::row_mode::square, state.data() + r * stride, state.data() + r * stride, nullptr,
              scratch.data(), r + 1 < rows ? state.data() + (r + 1) * stride : nullptr,
              r + 1 < rows ? state.data() + (r + 1) * stride : nullptr);
    });
    for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<double>((i * 7919) % 1001) - 500.0;
    // The column transforms over an iteration's worth of blocks: every
    // block in turn, or (held) the first two over and over.
    const auto inverse = [&](int64_t mask) {
      return best_of(rounds, [&] {
        for (int64_t b = 0; b < blocks; ++b)
          k.column_inverse(v, state.data() + 16 * (b & mask), stride, block.data(), scratch.data());
      });
    };
    const auto forward = [&](int64_t mask) {
      return best_of(rounds, [&] {
        for (int64_t b = 0; b < blocks; ++b)
          k.column_forward(v, block.data(), state.data() + 16 * (b & mask), stride, scratch.data());
      });
    };
    const double inv_s = inverse(-1), inv0_s = inverse(1), fwd0_s = forward(1);
    const fast_kernels::placed_subtract none;
    double e, g;
    const double carry_s = best_of(rounds, [&] {
      for (int64_t b = 0; b < blocks; ++b)
        k.carry(wt, 8 * b, block.data(), carries.data(), true, true, none, &e, &g);
    });
    const double fwd_s = forward(-1);
    // The whole iteration as the squarer runs it.
    double whole_s = 0;
    {
      int32_t p = static_cast<int32_t>(n * 17);
      while (!two_pass_serves(p, n)) --p;
      two_pass_squarer sq(p, n, 1, &k);
      sq.square(2, 0, 1e9);
      whole_s = best_of(rounds, [&] {
        for (int i = 0; i < 2; ++i) sq.square(2, 0, 1e9);
      }) / 2;
    }
    const double mc = ghz * 1e3;
    std::printf("%9lld %6lld %6lld %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f\n", static_cast<long long>(n),
                static_cast<long long>(sh.n1), static_cast<long long>(sh.n2), row_s * mc, inv_s * mc, carry_s * mc,
                fwd_s * mc, (row_s + inv_s + carry_s + fwd_s) * mc, whole_s * mc, inv0_s * mc, fwd0_s * mc);
  }
  return 0;
}
