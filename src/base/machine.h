// What this process may use of the machine: cores and memory.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

// Cores this process may run on (its affinity mask), at least 1.
int usable_cores();

// Bytes of memory a new allocation may still take: the smaller of the
// physical memory and what the address-space limit (ulimit -v) leaves above
// what the process already maps. 0 when it cannot be told.
uint64_t usable_memory_bytes();

// Held while a large working set is checked against usable_memory_bytes()
// and then made, so that two threads never both count the same free memory.
std::mutex& memory_gate();

// Whether bytes more can still be mapped with kMemoryMargin to spare for
// the rest of the process (its lines, its other threads); true when no
// limit can be told.
bool memory_available(uint64_t bytes);

// What memory_available keeps free beyond what is asked for.
inline constexpr uint64_t kMemoryMargin = uint64_t{8} << 20;

// Under an address-space limit (ulimit -v), makes every thread allocate
// from the one main heap: a thread's own heap reserves 64 MiB of address
// space, and where that cannot be had each small allocation of the thread
// maps a page of its own, which runs out long before the limit is reached.
// Call before any thread starts.
void share_heap_under_address_limit();

// "1.5 GiB", "300 MiB": a byte count for messages.
std::string format_bytes(uint64_t bytes);
