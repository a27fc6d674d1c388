#include "arith/fast/wisdom.h"

#include <fftw3.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>

#include "base/check.h"
#include "base/digest.h"
#include "base/files.h"
#include "base/processor.h"
#include "base/tuning.h"

namespace {

constexpr const char* kFormatName = "mersenne-fftw-wisdom";
constexpr const char* kFormatLine = "mersenne-fftw-wisdom 1";
constexpr size_t kMaxFileBytes = size_t{16} << 20;  // FFTW's wisdom for every length we use is a few KiB

// The process's view of the file; guarded by fftw_planner_lock().
struct wisdom_state {
  bool loaded = false;     // wisdom_before_planning() has run
  std::string path;        // "" when there is no place for the file
  std::string known;       // FFTW's wisdom as last loaded or saved
  bool replace = false;    // the file on disk is unusable: rewrite it at the next save
  bool save_warned = false;
};

// Never destroyed: plans may still be made on other threads at exit.
wisdom_state& state() {
  static auto& s = *new wisdom_state;
  return s;
}

void warn_to_stderr(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

void (*warning_sink)(const std::string&) = warn_to_stderr;


// FFTW's accumulated wisdom as text; "" when FFTW cannot allocate it.
std::string exported_wisdom() {
  std::unique_ptr<char, decltype(&std::free)> w(fftw_export_wisdom_to_string(), &std::free);
  return w ? std::string(w.get()) : std::string();
}

// The processor as the file names it: /proc/cpuinfo's model name (or
// "unknown") and the vector extensions FFTW's codelets choose among.
std::string processor_line() {
  std::string model = "unknown";
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) break;
    const size_t from = line.find_first_not_of(" \t", colon + 1);
    if (from != std::string::npos) model = line.substr(from);
    break;
  }
  for (char& c : model)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  std::string flags;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx")) flags += " avx";
  if (__builtin_cpu_supports("avx2")) flags += " avx2";
  if (__builtin_cpu_supports("fma")) flags += " fma";
  if (__builtin_cpu_supports("avx512f")) flags += " avx512f";
#endif
  return "cpu " + model + " |" + flags;
}

std::string fftw_line() { return std::string("fftw ") + fftw_version; }

// The whole file for wisdom.
std::string file_text(const std::string& wisdom) {
  return std::string(kFormatLine) + "\n" + processor_line() + "\n" + fftw_line() + "\nsha256 " + sha256_hex(wisdom) +
         "\n" + wisdom;
}

// The wisdom in a file's text when the file is whole and made on this
// processor with this FFTW; false with *why set otherwise.
bool parse_file(const std::string& text, std::string* wisdom, std::string* why) {
  const std::string name = std::string(kFormatName) + " ";
  if (text.compare(0, name.size(), name) != 0) {
    *why = text.size() < name.size() && name.compare(0, text.size(), text) == 0 ? "cut short" : "not a saved-plans file";
    return false;
  }
  std::string line[4];
  size_t at = 0;
  for (std::string& l : line) {
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) {
      *why = "cut short";
      return false;
    }
    l = text.substr(at, nl - at);
    at = nl + 1;
  }
  if (line[0] != kFormatLine) {
    *why = "written in another format (" + line[0] + ")";
    return false;
  }
  if (line[1] != processor_line()) {
    *why = "measured on another processor (" + line[1] + ")";
    return false;
  }
  if (line[2] != fftw_line()) {
    *why = "measured with another FFTW (" + line[2] + ")";
    return false;
  }
  *wisdom = text.substr(at);
  if (line[3] != "sha256 " + sha256_hex(*wisdom)) {
    *why = "damaged (checksum mismatch)";
    return false;
  }
  return true;
}

// Creates dir and, when missing, its parent (the cache folder), each with
// mode 0700; never folders further up, such as a missing home.
bool make_dirs(const std::string& dir, std::string* why) {
  std::string ignored;
  make_dir(folder_of(dir), 0700, &ignored);  // an error shows in the next step
  return make_dir(dir, 0700, why);
}

// Merges the file's wisdom into FFTW's and writes all of it back, holding
// the folder's lock so that saves of several processes merge one after the
// other. On success s.known is what was written.
bool save(wisdom_state& s, std::string* why) {
  const std::string dir = s.path.substr(0, s.path.rfind('/'));
  if (!make_dirs(dir, why)) return false;
  // Without the lock (a file system without flock) each save still leaves
  // a whole file; only a concurrent save's new plans may be lost.
  const folder_lock held(dir, why);
  if (!held.held()) return false;
  std::string text, wisdom, ignored;
  bool missing;
  if (read_whole_file(s.path, kMaxFileBytes, &text, &missing, &ignored) && parse_file(text, &wisdom, &ignored))
    fftw_import_wisdom_from_string(wisdom.c_str());  // one FFTW refuses is left out and overwritten
  const std::string all = exported_wisdom();
  bool ok = !all.empty();
  if (!ok) *why = "FFTW could not export its plans";
  const std::string text_out = ok ? file_text(all) : std::string();
  if (ok) ok = write_file_synced(s.path, text_out.data(), text_out.size(), why);
  if (ok) s.known = all;
  return ok;
}

// The wisdom file's path, or "" when neither XDG_CACHE_HOME nor HOME names
// an absolute folder.
std::string wisdom_file_path() {
  const std::string dir = choice_cache_dir();
  return dir.empty() ? std::string() : dir + "/fftw-wisdom";
}
}  // namespace

void wisdom_before_planning() {
  fftw_set_timelimit(tuning::kPlanSecondsLimit);
  wisdom_state& s = state();
  if (s.loaded) return;
  s.loaded = true;
  s.path = wisdom_file_path();
  if (!s.path.empty()) {
    std::string text, wisdom, why;
    bool missing;
    bool ok = read_whole_file(s.path, kMaxFileBytes, &text, &missing, &why) && parse_file(text, &wisdom, &why);
    if (ok && fftw_import_wisdom_from_string(wisdom.c_str()) == 0) {
      why = "FFTW cannot read them";
      ok = false;
    }
    if (!ok && !missing) {
      s.replace = true;
      warning_sink("mersenne: ignoring saved FFTW plans in " + s.path + ": " + why + "; they will be measured again");
    }
  }
  s.known = exported_wisdom();
}

void wisdom_after_planning() {
  wisdom_state& s = state();
  MERSENNE_REQUIRE(s.loaded);
  if (s.path.empty()) return;
  const std::string now = exported_wisdom();
  if (now.empty() || (now == s.known && !s.replace)) return;
  std::string why;
  bool saved = false;
  try {
    saved = save(s, &why);
  } catch (const std::bad_alloc&) {
    why = "out of memory";
  }
  if (!saved) {
    s.known = now;  // not again for this wisdom; new plans try anew
    if (!s.save_warned)
      warning_sink("mersenne: cannot save FFTW plans in " + s.path + ": " + why + "; they will be measured again");
    s.save_warned = true;
  }
  s.replace = false;
}

void wisdom_set_warning_sink(void (*sink)(const std::string& line)) {
  warning_sink = sink != nullptr ? sink : warn_to_stderr;
}

void wisdom_reset_for_testing() {
  fftw_forget_wisdom();
  state() = wisdom_state{};
}
