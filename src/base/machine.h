// What this process may use of the machine: cores and memory.
#pragma once

#include <cstdint>
#include <string>

// Cores this process may run on (its affinity mask), at least 1.
int usable_cores();

// Bytes of memory a new allocation may still take: the smaller of the
// physical memory and what the address-space limit (ulimit -v) leaves above
// what the process already maps. 0 when it cannot be told.
uint64_t usable_memory_bytes();

// "1.5 GiB", "300 MiB": a byte count for messages.
std::string format_bytes(uint64_t bytes);
