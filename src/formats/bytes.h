// The integers of the binary files: little-endian, of a fixed width.
#pragma once

#include <cstdint>
#include <vector>

namespace le {

// v's lowest bytes bytes, least significant first, appended to out.
inline void put(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The bytes bytes at at, least significant first, as an integer.
inline uint64_t get(const uint8_t* at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(at[i]) << (8 * i);
  return v;
}

}  // namespace le
