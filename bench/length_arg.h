// A transform length as the benchmarks take it on their command lines:
// digits with an optional K (1024) or M (1048576).
#pragma once

#include <cstdint>
#include <cstdlib>

inline int64_t parse_length(const char* s) {
  char* end = nullptr;
  int64_t v = std::strtoll(s, &end, 10);
  if (*end == 'K') v <<= 10;
  if (*end == 'M') v <<= 20;
  return v;
}
