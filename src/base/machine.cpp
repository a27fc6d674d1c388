#include "base/machine.h"

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

int usable_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

namespace {

// Bytes the process maps now (its virtual size), 0 when unknown.
uint64_t mapped_bytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long long pages = 0;
  const int got = std::fscanf(f, "%llu", &pages);
  std::fclose(f);
  return got == 1 ? pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

}  // namespace

uint64_t usable_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  uint64_t usable = pages > 0 && page > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) : 0;
  rlimit lim;
  if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
    const uint64_t used = mapped_bytes(), cap = lim.rlim_cur;
    const uint64_t left = cap > used ? cap - used : 0;
    if (usable == 0 || left < usable) usable = left;
  }
  return usable;
}

void share_heap_under_address_limit() {
  rlimit lim;
  if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) mallopt(M_ARENA_MAX, 1);
}

std::mutex& memory_gate() {
  static std::mutex m;
  return m;
}

bool memory_available(uint64_t bytes) {
  const uint64_t have = usable_memory_bytes();
  return have == 0 || (have >= kMemoryMargin && bytes <= have - kMemoryMargin);
}

std::string format_bytes(uint64_t bytes) {
  const double b = static_cast<double>(bytes);
  char text[32];
  if (b >= 1024.0 * 1024 * 1024)
    std::snprintf(text, sizeof text, "%.1f GiB", b / (1024.0 * 1024 * 1024));
  else
    std::snprintf(text, sizeof text, "%.0f MiB", b / (1024.0 * 1024));
  return text;
}
