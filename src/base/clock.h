// The one clock for durations: steady (never set back), in seconds.
#pragma once

#include <chrono>

using clock_type = std::chrono::steady_clock;

// Seconds from a to b.
inline double seconds_between(clock_type::time_point a, clock_type::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Seconds from t0 to now.
inline double seconds_since(clock_type::time_point t0) { return seconds_between(t0, clock_type::now()); }
