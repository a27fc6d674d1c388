#include "work/work_file.h"

#include <fcntl.h>

#include <algorithm>
#include <random>
#include <string_view>

#include "base/files.h"
#include "base/digest.h"
#include "base/numbers.h"

namespace {

// A work file's size at most: far beyond any list of assignments.
constexpr size_t kLargestWorkFile = size_t{64} << 20;

// The text of the regular file at fd (open on path) from its start.
bool read_from(int fd, const std::string& path, std::string* text, std::string* why) {
  std::string what;
  if (read_rest(fd, kLargestWorkFile, text, &what)) return true;
  *why = "cannot read " + path + ": " + what;
  return false;
}

}  // namespace

bool peek_work_file(const std::string& path, std::vector<work_line>* lines, std::string* why) {
  std::string text;
  bool missing = false;
  if (!read_whole_file(path, kLargestWorkFile, &text, &missing, why)) return false;
  *lines = parse_work_file(text);
  return true;
}

std::unique_ptr<work_file> work_file::open(const std::string& path, std::string* why) {
  bool busy = false;
  const int fd = open_locked(path + ".lock", 0, &busy, why);
  if (fd < 0) {
    if (busy) *why = "another mersenne process works on " + path + " (it holds " + path + ".lock)";
    return nullptr;
  }
  std::unique_ptr<work_file> f(new work_file(path, fd));
  std::vector<work_line> lines;
  if (!f->read(&lines, why)) return nullptr;
  return f;
}

work_file::~work_file() { close_file(lock_fd_); }

std::string work_file::added_path() const {
  return folder_of(path_) + "/worktodo.add";
}

bool work_file::locked(const std::function<void(std::string& text)>& change, std::string* why) {
  bool missing = false;
  const int fd = open_locked_waiting(path_, &missing, why);
  if (fd < 0) return false;
  std::string text;
  bool ok = read_from(fd, path_, &text, why);
  const std::string before = text;
  // What other programs added: merged in, and removed only once the file holding it is durable.
  const std::string add = added_path();
  int add_fd = -1;
  if (ok) {
    bool none = false;
    std::string what;
    add_fd = open_locked_waiting(add, &none, &what);
    std::string added;
    if (add_fd < 0 && !none) {
      *why = what;
      ok = false;
    } else if (add_fd >= 0 && !(ok = read_from(add_fd, add, &added, why))) {
    } else if (!added.empty()) {
      if (!text.empty() && text.back() != '\n') text += '\n';
      text += added;
      if (text.back() != '\n') text += '\n';
    }
  }
  if (ok) {
    change(text);
    if (text != before) ok = write_file_synced(path_, text.data(), text.size(), why);
  }
  if (add_fd >= 0) {
    if (ok) {
      remove_file(add);
      sync_dir(folder_of(add));
    }
    close_file(add_fd);
  }
  close_file(fd);
  return ok;
}

bool work_file::read(std::vector<work_line>* lines, std::string* why) {
  return locked([&](std::string& text) { *lines = parse_work_file(text); }, why);
}

bool work_file::remove(const std::string& line, std::string* why) {
  return locked([&](std::string& text) { text = remove_work_line(text, line); }, why);
}

work_settings settings_for(const assignment& task, const work_settings& base, uint64_t random) {
  work_settings s = base;
  s.exponents = {{task.p, task.p}};
  s.iterations = 0;
  s.prp = task.type == work_type::prp || task.type == work_type::prp_dc;
  s.factor_only = task.type == work_type::factor;
  if (!s.prp) s.proof_power = 0;
  if (s.factor_only) s.tf_bits = task.factor_to;
  // A P-1 line is P-1 alone, every factor its bounds reach: Pminus1= with its
  // own bounds, Pfactor= with those the odds choose for its depth and tests saved.
  const bool pm1_line = task.type == work_type::pminus1 || task.type == work_type::pfactor;
  s.pm1_only = pm1_line;
  s.ecm_only = false;
  if (pm1_line) {
    s.pm1 = false;
    s.tf_bits = 0;
    s.tf_auto = false;
    s.pm1_b1 = task.type == work_type::pminus1 ? task.b1 : 0;
    s.pm1_b2 = task.type == work_type::pminus1 ? task.b2 : 0;
    s.pm1_b2_start = task.type == work_type::pminus1 ? task.b2_start : 0;
  } else {
    // Before a test only with --pm1, and only where the line says a factor still saves tests.
    s.pm1 = base.pm1 && task.type != work_type::factor && task.tests_saved > 0;
    s.pm1_b2_start = 0;
  }
  if (task.tests_saved > 0) s.tests_saved = std::min(task.tests_saved, 2);
  if (task.type == work_type::double_check && base.shift < 0 && task.p > 2)
    s.shift = 1 + static_cast<int64_t>(random % static_cast<uint64_t>(task.p - 1));
  return s;
}

bool finishes(const search_key& key, const assignment& task) {
  if (!task.aid.empty() || !key.aid.empty()) return key.aid == task.aid;
  if (key.exponent != task.p) return false;
  if (key.factor) return true;
  if (task.type == work_type::factor) return key.worktype == "TF" && key.bitlo == task.factored_to;
  return key.worktype == work_type_name(task.type);
}

assignment_queue::assignment_queue(work_file& file, const work_settings& base, int worker,
                                   std::vector<search_key> recorded, std::function<void(const std::string&)> warn)
    : file_(file), base_(base), worker_(worker), recorded_(std::move(recorded)), warn_(std::move(warn)),
      random_(std::random_device{}()) {}

bool assignment_queue::next(work_item* item, int64_t* index, std::string* why) {
  // The messages go out once the queue's lock is released: whoever prints
  // them may be waiting for it (a finished line taken out as it is printed).
  std::vector<std::string> messages;
  why->clear();
  const bool found = take(item, index, &messages, why);
  for (const std::string& m : messages) warn_(m);
  return found;
}

bool assignment_queue::take(work_item* item, int64_t* index, std::vector<std::string>* messages, std::string* why) {
  std::lock_guard<std::mutex> hold(m_);
  std::vector<work_line> lines;
  if (!file_.read(&lines, why)) return false;
  const auto report = [&](const work_line& l, const std::string& reason) {
    if (reported_.insert(l.text).second) messages->push_back(file_.path() + ":" + std::to_string(l.line_no) + ": " + reason);
  };
  // Every line this run cannot do is reported on the first look at it, at its place in the file then.
  for (const work_line& l : lines) {
    if (worker_ > 0 && l.section != worker_) continue;
    if (l.what == work_line::kind::bad) report(l, l.why + "; the line is left as it is");
    if (l.what != work_line::kind::task) continue;
    if (!l.task.refusal.empty()) report(l, l.task.refusal);
    else if (!is_prime(l.task.p))
      report(l, "exponent " + std::to_string(l.task.p) + " is not prime, so 2^p - 1 is not; the line is left as it is");
  }
  for (const work_line& l : lines) {
    if (worker_ > 0 && l.section != worker_) continue;
    const assignment& a = l.task;
    if (l.what != work_line::kind::task || !a.refusal.empty() || !is_prime(a.p) || taken_.count(l.text) != 0) continue;
    bool done = false;
    for (const search_key& k : recorded_) done = done || finishes(k, a);
    if (done) {
      // Finished by an earlier run that stopped before it took the line out.
      if (!file_.remove(l.text, why)) return false;
      messages->push_back(file_.path() + ":" + std::to_string(l.line_no) +
                          ": its result is recorded already; the line is taken out");
      continue;
    }
    taken_.insert(l.text);
    random_ = random_ * 6364136223846793005ull + 1442695040888963407ull;
    item->task = a;
    item->line = l.text;
    item->line_no = l.line_no;
    item->settings = settings_for(a, base_, random_ >> 11);
    *index = index_++;
    return true;
  }
  return false;
}

bool assignment_queue::finished(const work_item& item, const search_key& key, std::string* why) {
  std::lock_guard<std::mutex> hold(m_);
  recorded_.push_back(key);
  // A line written twice: the next look at the file finds the second recorded.
  taken_.erase(item.line);
  return file_.remove(item.line, why);
}

bool search_record(const exponent_result& r, const assignment& task, const record_context& ctx, search_result* out,
                   std::string* why) {
  search_result s;
  s.exponent = r.p;
  s.program_version = ctx.version;
  s.timestamp = utc_timestamp(ctx.now);
  s.aid = task.aid;
  s.os = ctx.os;
  s.architecture = ctx.architecture;
  const bool factoring = task.type == work_type::factor;
  s.worktype = work_type_name(task.type);
  const bool pm1_task = task.type == work_type::pminus1 || task.type == work_type::pfactor;
  switch (r.kind) {
    case result_kind::pm1_factor:
    case result_kind::pm1_none:
      // A factor settles the assignment, whatever it asked; no factor finishes only a P-1 one.
      if (r.kind == result_kind::pm1_none && !pm1_task) return false;
      s.status = r.kind == result_kind::pm1_factor ? "F" : "NF";
      s.worktype = "P-1";
      s.b1 = r.pm1.b1;
      s.b2 = r.pm1.b2;
      s.factors = r.pm1.factors;
      s.fft_length = r.pm1.fft_length;
      break;
    case result_kind::ecm_factor:
    case result_kind::ecm_none:
      return false;  // the server hands out no ECM here
    case result_kind::factored:
      // A factor settles the assignment, whatever it asked: it goes back as a factoring result.
      s.status = "F";
      s.worktype = "TF";
      s.bitlo = task.factored_to;
      s.bithi = std::max(r.tf_bits, task.factored_to);
      s.factors = {r.tf_factor};
      break;
    case result_kind::no_factor:
    case result_kind::proven_prime:
      if (!factoring && r.kind == result_kind::no_factor) return false;
      if (factoring) {
        s.status = "NF";
        s.bitlo = task.factored_to;
        // Past the square root there is no factor to find: the whole range is searched.
        s.bithi = r.kind == result_kind::proven_prime ? task.factor_to : r.tf_bits;
        s.range_complete = s.bithi >= task.factor_to;
      } else {
        s.status = "P";
      }
      break;
    case result_kind::small_prime:
      s.status = factoring ? "NF" : "P";
      s.bitlo = task.factored_to;
      s.bithi = task.factor_to;
      s.range_complete = true;
      break;
    case result_kind::tested: {
      const ll_outcome& o = r.outcome;
      if (factoring || pm1_task || r.pm1_only || !has_verdict(r) || o.partial > 0 || o.interrupted) return false;
      s.status = o.prime ? "P" : "C";
      s.residue = true;
      s.res64 = o.res64;
      s.fft_length = o.fft_length;
      s.shift_count = o.shift;
      s.jacobi_errors = o.jacobi_errors;
      s.roundoff_errors = o.roundoff_errors;
      s.gerbicz_errors = o.gerbicz_errors;
      if (r.prp) {
        s.res2048 = o.res2048;
        s.residue_type = 1;
      }
      if (!o.proof_file.empty()) {
        std::string bytes;
        bool missing = false;
        if (!read_whole_file(o.proof_file, SIZE_MAX, &bytes, &missing, why)) {
          *why = "cannot read the proof " + o.proof_file + " for its MD5: " + (missing ? "it is gone" : *why);
          return false;
        }
        s.proof_power = o.proof_power;
        s.proof_md5 = md5_hex(bytes.data(), bytes.size());
      }
      break;
    }
    case result_kind::composite_exponent:
    case result_kind::no_engine:
      return false;
  }
  *out = std::move(s);
  return true;
}

search_key key_of(const search_result& s) {
  search_key k;
  k.worktype = s.worktype;
  k.exponent = s.exponent;
  k.aid = s.aid;
  k.bitlo = s.bitlo;
  k.factor = std::string_view(s.status) == "F";
  return k;
}
