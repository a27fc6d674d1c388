#include "cli/splits.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <tuple>

#include "arith/engine_table.h"
#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "base/digest.h"
#include "base/files.h"
#include "base/machine.h"
#include "base/processor.h"
#include "base/tuning.h"
#include "work/work_file.h"

namespace {

constexpr const char* kFormatLine = "mersenne-throughput 1";
constexpr size_t kMaxFileBytes = size_t{1} << 20;  // a line per length, processor and core count

// The entry of one line of the file, checked field by field; false with *why.
bool parse_entry(const std::string& line, saved_split* out, std::string* why) {
  const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
  const auto integer = [&](const char* key, int64_t low, int64_t high, int64_t* v) {
    if (!j.contains(key) || !j[key].is_number_integer()) return false;
    *v = j[key].get<int64_t>();
    return *v >= low && *v <= high;
  };
  int64_t cores = 0, n = 0, workers = 0, threads = 0;
  const bool fields = j.is_object() && j.contains("processor") && j["processor"].is_string() &&
                      integer("cores", 1, 1 << 16, &cores) && integer("fft_length", 1, INT64_MAX, &n) &&
                      integer("workers", 1, cores, &workers) && integer("threads", 1, cores, &threads) &&
                      j.contains("iterations_per_second") && j["iterations_per_second"].is_number();
  if (!fields || workers * threads != cores || fast_max_bits(n) <= 0) {
    *why = "an entry is not a split of the cores at a transform length: " + line.substr(0, 200);
    return false;
  }
  const double ips = j["iterations_per_second"].get<double>();
  if (!std::isfinite(ips) || !(ips > 0)) {
    *why = "an entry has no rate: " + line.substr(0, 200);
    return false;
  }
  *out = {j["processor"].get<std::string>(), static_cast<int>(cores), n, static_cast<int>(workers),
          static_cast<int>(threads), ips};
  return true;
}

// The entries of the file's text; false with *why when it is not whole and sound.
bool parse_file(const std::string& text, std::vector<saved_split>* out, std::string* why) {
  const size_t first = text.find('\n');
  const size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (first == std::string::npos || text.compare(0, first, kFormatLine) != 0) {
    *why = text.rfind("mersenne-throughput ", 0) == 0 ? "written in another format" : "not a throughput file";
    return false;
  }
  if (second == std::string::npos) {
    *why = "cut short";
    return false;
  }
  const std::string body = text.substr(second + 1);
  if (text.substr(first + 1, second - first - 1) != "sha256 " + sha256_hex(body)) {
    *why = "damaged (checksum mismatch)";
    return false;
  }
  std::vector<saved_split> entries;
  for (size_t at = 0; at < body.size();) {
    const size_t nl = body.find('\n', at);
    if (nl == std::string::npos) {
      *why = "cut short";
      return false;
    }
    saved_split s;
    if (!parse_entry(body.substr(at, nl - at), &s, why)) return false;
    entries.push_back(std::move(s));
    at = nl + 1;
  }
  *out = std::move(entries);
  return true;
}

std::string file_text(const std::vector<saved_split>& entries) {
  std::string body;
  for (const saved_split& s : entries) body += nlohmann::ordered_json(s).dump() + "\n";
  return std::string(kFormatLine) + "\nsha256 " + sha256_hex(body) + "\n" + body;
}

// The cache folder and the file's folder in it, each with mode 0700; never folders further up.
bool make_dirs(const std::string& dir, std::string* why) {
  std::string ignored;
  make_dir(folder_of(dir), 0700, &ignored);  // an error shows in the next step
  return make_dir(dir, 0700, why);
}

auto key_of(const saved_split& s) { return std::tie(s.processor, s.cores, s.fft_length); }

}  // namespace

void to_json(nlohmann::ordered_json& j, const saved_split& s) {
  j = nlohmann::ordered_json::object();
  j["processor"] = s.processor;
  j["cores"] = s.cores;
  j["fft_length"] = s.fft_length;
  j["workers"] = s.workers;
  j["threads"] = s.threads;
  j["iterations_per_second"] = s.iterations_per_second;
}

std::string saved_splits_path() {
  const std::string dir = choice_cache_dir();
  return dir.empty() ? std::string() : dir + "/throughput-splits";
}

bool read_saved_splits(const std::string& path, std::vector<saved_split>* out, std::string* why) {
  out->clear();
  std::string text;
  bool missing = false;
  if (read_whole_file(path, kMaxFileBytes, &text, &missing, why)) return parse_file(text, out, why);
  return missing;
}

bool save_splits(const std::string& path, const std::vector<saved_split>& measured, std::string* why) {
  const std::string dir = folder_of(path);
  if (!make_dirs(dir, why)) return false;
  const folder_lock held(dir, why);
  if (!held.held()) return false;
  std::vector<saved_split> entries;
  std::string ignored;
  if (!read_saved_splits(path, &entries, &ignored)) entries.clear();
  for (const saved_split& m : measured) {
    const auto same =
        std::find_if(entries.begin(), entries.end(), [&](const saved_split& e) { return key_of(e) == key_of(m); });
    if (same != entries.end())
      *same = m;
    else
      entries.push_back(m);
  }
  std::sort(entries.begin(), entries.end(),
            [](const saved_split& a, const saved_split& b) { return key_of(a) < key_of(b); });
  const std::string text = file_text(entries);
  return write_file_synced(path, text.data(), text.size(), why);
}

std::optional<saved_split> split_for_length(const std::vector<saved_split>& saved, const std::string& processor,
                                            int cores, int64_t n) {
  std::optional<saved_split> above, below;
  for (const saved_split& s : saved) {
    if (s.processor != processor || s.cores != cores) continue;
    if (s.fft_length >= n && (!above || s.fft_length < above->fft_length)) above = s;
    if (s.fft_length < n && (!below || s.fft_length > below->fft_length)) below = s;
  }
  return above ? above : below;
}

namespace {

// The assignments of the work file (of section `worker` when it is above 0)
// that run on an engine: how many, and the largest exponent. Read without
// its lock, as a hint only: the run itself opens it under its lock, and a
// line changed in between costs at most a split measured at another length.
bool work_file_tests(const std::string& path, int worker, int64_t* count, int32_t* largest) {
  std::vector<work_line> lines;
  std::string why;
  if (!peek_work_file(path, &lines, &why)) return false;
  for (const work_line& line : lines) {
    if (line.what != work_line::kind::task || !line.task.refusal.empty()) continue;
    if (worker > 0 && line.section != worker) continue;
    if (line.task.type == work_type::factor) continue;
    ++*count;
    *largest = std::max(*largest, line.task.p);
  }
  return true;
}

}  // namespace

void take_saved_split(cli_options& opt, const std::string& path, FILE* err, bool tell) {
  if (!opt.cores_by_default || path.empty() || opt.factor_only || opt.ecm_only) return;
  int64_t count = 0;
  int32_t largest = 0;
  for (const exponent_span& span : opt.exponents) {
    count += int64_t{span.last} - span.first + 1;
    largest = std::max(largest, span.last);
  }
  if (!opt.worktodo.empty() && !work_file_tests(opt.worktodo, opt.worker, &count, &largest)) return;
  if (count < 2) return;
  // Only the fast engine's tests run on several threads, and only at the longer lengths.
  const engine* runs_on = largest >= 3 ? choose_engine(opt.engine, largest) : nullptr;
  if (runs_on == nullptr || runs_on != find_engine("fast") || !fast_applicable(largest)) return;
  const int64_t n = fast_start_length(largest, 0);
  if (n < tuning::kTwoPassThreadsFrom) return;
  std::vector<saved_split> saved;
  std::string why;
  try {
    if (!read_saved_splits(path, &saved, &why)) {
      std::fprintf(err, "mersenne: ignoring the saved throughput measurement in %s: %s; --jobs and --threads take "
                   "their usual defaults (mersenne --benchmark --throughput measures again)\n",
                   path.c_str(), why.c_str());
      return;
    }
  } catch (const std::exception& x) {  // out of memory for a file of at most a MiB
    std::fprintf(err, "mersenne: cannot read the saved throughput measurement in %s: %s\n", path.c_str(), x.what());
    return;
  }
  const int cores = usable_cores();
  const std::optional<saved_split> s = split_for_length(saved, processor_identity(), cores, n);
  if (!s) return;
  opt.jobs = s->workers;
  opt.threads = s->threads;
  if (tell)
    std::fprintf(err, "mersenne: --jobs %d --threads %d: the best split of %d cores measured at length %lld (for "
                 "length %lld); saved in %s\n",
                 s->workers, s->threads, cores, static_cast<long long>(s->fft_length), static_cast<long long>(n),
                 path.c_str());
}
