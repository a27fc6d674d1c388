// Which inverse path runs fastest is a property of the processor, not of its
// widest instruction set: on some processors the 512-bit rows lose to the
// 256-bit ones. The choice is measured once per processor and kept in the
// cache folder; every path gives the same bits, so the choice changes speed
// only, never a result or an output byte.
#include <cmath>
#include <mutex>
#include <new>
#include <string>

#include "base/aligned_buffer.h"
#include "base/clock.h"
#include "base/files.h"
#include "base/processor.h"
#include "base/tuning.h"
#include "transform.h"

namespace {

constexpr const char* kFormatLine = "mersenne inverse path 1";

// The widest path the processor has: the choice when nothing can be measured.
inverse_path widest_path() {
  if (inverse_path_available(inverse_path::avx512)) return inverse_path::avx512;
  if (inverse_path_available(inverse_path::avx2)) return inverse_path::avx2;
  return inverse_path::scalar;
}

// The path named by text's lines when they were written by this format for
// this processor and name a path it can run.
bool parse_choice(const std::string& text, const std::string& cpu, inverse_path* out) {
  const std::string expect = std::string(kFormatLine) + "\n" + cpu + "\npath ";
  if (text.size() <= expect.size() || text.compare(0, expect.size(), expect) != 0 || text.back() != '\n') return false;
  const std::string name = text.substr(expect.size(), text.size() - expect.size() - 1);
  for (inverse_path path : kInversePaths) {
    if (path == inverse_path::loop || name != inverse_path_name(path)) continue;
    if (!inverse_path_available(path)) return false;
    *out = path;
    return true;
  }
  return false;
}

}  // namespace

inverse_path inverse_path_measured() {
  const int32_t n = tuning::kInverseChoiceLength;
  try {
    aligned_buffer<double> wr(n), wi(n), xr(n), xi(n), outr(n), outi(n), poly(n);
    get_einheitswurzel(n, wr.data(), wi.data());
    for (int32_t k = 0; k < n; ++k) {
      xr.data()[k] = std::sin(0.37 * k) * 1e6;
      xi.data()[k] = std::cos(0.61 * k) * 1e6;
    }
    inverse_path best = widest_path();
    double best_seconds[4] = {HUGE_VAL, HUGE_VAL, HUGE_VAL, HUGE_VAL};
    // Rounds interleave the paths, so that a burst of load elsewhere slows
    // one round of every path rather than every round of one.
    for (int round = 0; round <= tuning::kInverseChoiceRounds; ++round) {
      for (inverse_path path : kInversePaths) {
        if (path == inverse_path::loop || !inverse_path_available(path)) continue;
        const auto t0 = clock_type::now();
        inverse_dft_vektor_on(path, n, wr.data(), wi.data(), xr.data(), xi.data(), outr.data(), outi.data(),
                              poly.data());
        const double s = seconds_since(t0);
        if (round > 0 && s < best_seconds[static_cast<int>(path)]) best_seconds[static_cast<int>(path)] = s;
      }
    }
    for (inverse_path path : kInversePaths)
      if (best_seconds[static_cast<int>(path)] < best_seconds[static_cast<int>(best)]) best = path;
    return best;
  } catch (const std::bad_alloc&) {
    return widest_path();
  }
}

inverse_path choose_inverse_path(const std::string& file) {
  const std::string cpu = processor_identity();
  std::string text, why;
  bool missing = false;
  inverse_path chosen = inverse_path::scalar;
  if (!file.empty() && read_whole_file(file, 4096, &text, &missing, &why) && parse_choice(text, cpu, &chosen))
    return chosen;
  chosen = inverse_path_measured();
  if (file.empty()) return chosen;
  // Best effort: without the file the next run measures again.
  const std::string dir = folder_of(file);
  make_dir(folder_of(dir), 0700, &why);
  make_dir(dir, 0700, &why);
  const std::string out = std::string(kFormatLine) + "\n" + cpu + "\npath " + inverse_path_name(chosen) + "\n";
  write_file_synced(file, out.data(), out.size(), &why);
  return chosen;
}

inverse_path inverse_path_default() {
  static std::once_flag once;
  static inverse_path chosen = inverse_path::scalar;
  std::call_once(once, [] {
    const std::string dir = choice_cache_dir();
    chosen = choose_inverse_path(dir.empty() ? std::string() : dir + "/inverse-path");
  });
  return chosen;
}
