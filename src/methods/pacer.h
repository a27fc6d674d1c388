// Paces progress reports of a run: the clock is read only every so many
// iterations, the stride adapting so that tiny exponents stay cheap.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "base/tuning.h"

class progress_pacer {
 public:
  // Reports to fn (which may be empty) about every interval seconds.
  progress_pacer(const std::function<void(int64_t, int64_t)>& fn, int64_t total,
                 double interval = tuning::kProgressInterval)
      : fn_(fn), total_(total), interval_(interval), last_(clock::now()), checked_(last_) {}

  // Called after each iteration with the number done; reports when due.
  void tick(int64_t done) {
    if (!fn_ || done < next_) return;
    const auto now = clock::now();
    const double since_check = std::chrono::duration<double>(now - checked_).count();
    // Aim at one clock read per few milliseconds.
    if (since_check < 0.002 && stride_ < (int64_t{1} << 20)) stride_ *= 2;
    else if (since_check > 0.02 && stride_ > 1) stride_ /= 2;
    checked_ = now;
    next_ = done + stride_;
    if (std::chrono::duration<double>(now - last_).count() >= interval_) {
      last_ = now;
      fn_(done, total_);
    }
  }

  // The final report, always given when fn is set.
  void finish() {
    if (fn_) fn_(total_, total_);
  }

 private:
  using clock = std::chrono::steady_clock;
  const std::function<void(int64_t, int64_t)>& fn_;
  int64_t total_;
  double interval_;
  clock::time_point last_, checked_;
  int64_t next_ = 1, stride_ = 1;
};
