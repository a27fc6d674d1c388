// Time per call of the inverse transform: the straightforward loop first as
// the baseline, then every path this processor can run as a speed-up over it.
// Usage: bench_inverse [seconds per figure, default 0.5]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "console/transform.h"

namespace {

struct arrays {
  explicit arrays(int32_t n) : wr(n), wi(n), xr(n), xi(n), r(n), i(n), poly(n) {}
  std::vector<double> wr, wi, xr, xi, r, i, poly;
};

// Seconds per call of path at length n, repeating for at least min_seconds.
double seconds_per_call(inverse_path path, int32_t n, arrays& a, double min_seconds) {
  using clock = std::chrono::steady_clock;
  long calls = 0;
  const auto start = clock::now();
  double elapsed = 0.0;
  do {
    inverse_dft_vektor_on(path, n, a.wr.data(), a.wi.data(), a.xr.data(), a.xi.data(),
                          a.r.data(), a.i.data(), a.poly.data());
    ++calls;
    elapsed = std::chrono::duration<double>(clock::now() - start).count();
  } while (elapsed < min_seconds);
  return elapsed / calls;
}

}  // namespace

int main(int argc, char** argv) {
  const double min_seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  std::printf("inverse_dft_vektor, time per call; default path here: %s\n",
              inverse_path_name(inverse_path_default()));
  std::printf("%6s  %-8s %12s %9s\n", "n", "path", "ms/call", "speed-up");
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> value(-1e9, 1e9);
  for (int32_t n = 1024; n <= 8192; n *= 2) {
    arrays a(n);
    get_einheitswurzel(n, a.wr.data(), a.wi.data());
    for (int32_t k = 0; k < n; ++k) {
      a.xr[k] = value(rng);
      a.xi[k] = value(rng);
    }
    const double base = seconds_per_call(inverse_path::loop, n, a, min_seconds);
    std::printf("%6d  %-8s %12.3f %9s\n", n, "loop", base * 1e3, "1.00x");
    const std::vector<double> want = a.poly;
    for (inverse_path path : kInversePaths) {
      if (path == inverse_path::loop || !inverse_path_available(path)) continue;
      const double t = seconds_per_call(path, n, a, min_seconds);
      const bool same = std::memcmp(a.poly.data(), want.data(), n * sizeof(double)) == 0;
      std::printf("%6d  %-8s %12.3f %8.2fx%s\n", n, inverse_path_name(path), t * 1e3, base / t,
                  same ? "" : "  RESULT DIFFERS FROM THE LOOP");
    }
  }
  return 0;
}
