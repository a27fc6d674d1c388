#include "base/processor.h"

#include <cstdlib>
#include <fstream>

namespace {

// The value of /proc/cpuinfo's first line that starts with key, or "".
std::string cpuinfo_field(const std::string& text, const char* key) {
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.rfind(key, 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) return "";
    const size_t from = line.find_first_not_of(" \t", colon + 1);
    return from == std::string::npos ? "" : line.substr(from);
  }
  return "";
}

}  // namespace

std::string processor_identity() {
  std::string text;
  {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    // The first processor's block is enough.
    while (std::getline(in, line) && !line.empty()) text += line + "\n";
  }
  std::string model = cpuinfo_field(text, "model name");
  if (model.empty()) model = "unknown";
  const std::string family = cpuinfo_field(text, "cpu family");
  const std::string number = cpuinfo_field(text, "model\t");
  std::string line = "cpu " + model + " | " + (family.empty() ? "?" : family) + "." + (number.empty() ? "?" : number);
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx")) line += " avx";
  if (__builtin_cpu_supports("avx2")) line += " avx2";
  if (__builtin_cpu_supports("fma")) line += " fma";
  if (__builtin_cpu_supports("avx512f")) line += " avx512f";
#endif
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return line;
}

std::string choice_cache_dir() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/mersenne";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/mersenne";
  return "";
}
