#include "work/results_file.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "base/files.h"

namespace {

// The whole lines of text (named name in warnings), each handed to take
// (which gives false with the reason for a line it cannot read); the
// length up to the end of the last whole line into *whole.
void each_line(const std::string& text, const std::string& name, std::vector<std::string>* warnings, size_t* whole,
               const std::function<bool(const std::string&, std::string*)>& take) {
  size_t at = 0, line_no = 0;
  while (at < text.size()) {
    ++line_no;
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) {
      warnings->push_back(name + ": its last line is cut short (a crash while it was written); it is left out");
      break;
    }
    const std::string line = text.substr(at, nl - at);
    at = nl + 1;
    *whole = at;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (std::string why; !take(line, &why))
      warnings->push_back(name + ": line " + std::to_string(line_no) + " is not a result (" + why + "); skipped");
  }
}

}  // namespace

results_text parse_results(const std::string& text, const std::string& name) {
  results_text out;
  each_line(text, name, &out.warnings, &out.whole_bytes, [&](const std::string& line, std::string* why) {
    exponent_result r;
    if (!result_from_json(line, &r, why)) return false;
    out.results.push_back(std::move(r));
    return true;
  });
  return out;
}

server_results_text parse_server_results(const std::string& text, const std::string& name) {
  server_results_text out;
  each_line(text, name, &out.warnings, &out.whole_bytes, [&](const std::string& line, std::string* why) {
    search_key k;
    if (!read_search_key(line, &k, why)) return false;
    out.keys.push_back(std::move(k));
    return true;
  });
  return out;
}

std::unique_ptr<results_file> results_file::open(const std::string& path,
                                                 const std::function<void(const std::string&)>& warn,
                                                 std::string* why, bool server_lines) {
  bool busy = false;
  const int fd = open_locked(path, O_APPEND, &busy, why);
  if (fd < 0) {
    if (busy) *why = "another mersenne process is writing " + path;
    return nullptr;
  }
  std::unique_ptr<results_file> f(new results_file(fd, path));
  std::string text;
  if (std::string what; !read_rest(fd, SIZE_MAX, &text, &what)) {  // just opened: from the start
    *why = "cannot read " + path + ": " + what;
    return nullptr;
  }
  results_text parsed;
  server_results_text server;
  if (server_lines) {
    server = parse_server_results(text, path);
    parsed.warnings = std::move(server.warnings);
    parsed.whole_bytes = server.whole_bytes;
  } else {
    parsed = parse_results(text, path);
  }
  for (const std::string& w : parsed.warnings) warn(w);
  if (parsed.whole_bytes < text.size()) {
    // The torn line goes before anything is appended after it.
    if (file_system().ftruncate(fd, static_cast<off_t>(parsed.whole_bytes)) != 0 || file_system().fsync(fd) != 0) {
      *why = "cannot cut the torn last line off " + path + ": " + errno_text();
      return nullptr;
    }
  }
  f->saved_ = std::move(parsed.results);
  f->keys_ = std::move(server.keys);
  f->syncer_ = std::thread([p = f.get()] { p->sync_loop(); });
  return f;
}

results_file::~results_file() {
  {
    std::lock_guard<std::mutex> hold(m_);
    closing_ = true;
  }
  cv_.notify_all();
  if (syncer_.joinable()) syncer_.join();
  std::string why;
  sync(&why);
  close_file(fd_);  // releases the lock
}

bool results_file::append(const std::string& line, bool sync_now, std::string* why) {
  const std::string text = line + "\n";
  {
    std::lock_guard<std::mutex> hold(m_);
    if (!append_whole(fd_, path_, text.data(), text.size(), why)) return false;
    dirty_ = true;
  }
  return !sync_now || sync(why);
}

bool results_file::sync(std::string* why) {
  std::lock_guard<std::mutex> hold(m_);
  if (failed_) {
    *why = failure_;
    return false;
  }
  if (!dirty_) return true;
  if (!sync_file(fd_, path_, &failure_)) {
    failed_ = true;
    *why = failure_;
    return false;
  }
  dirty_ = false;
  return true;
}

void results_file::sync_loop() {
  std::unique_lock<std::mutex> hold(m_);
  while (!closing_) {
    cv_.wait_for(hold, std::chrono::seconds(1));
    if (!dirty_ || failed_) continue;
    if (!sync_file(fd_, path_, &failure_)) {
      failed_ = true;
    } else {
      dirty_ = false;
    }
  }
}

namespace {

// A verdict's word on 2^p - 1: prime, or not.
bool says_prime(const exponent_result& r) {
  return r.kind == result_kind::small_prime || r.kind == result_kind::proven_prime ||
         (r.kind == result_kind::tested && r.outcome.prime);
}

// Two verdicts on one exponent that cannot both be right. Factors may differ
// (each was checked to divide) and so may the residues of the two tests.
bool disagree(const exponent_result& a, const exponent_result& b) {
  if (says_prime(a) != says_prime(b)) return true;
  return a.kind == result_kind::tested && b.kind == result_kind::tested && a.prp == b.prp &&
         a.outcome.partial == 0 && b.outcome.partial == 0 && a.outcome.res64 != b.outcome.res64;
}

}  // namespace

results_summary summarize(const std::vector<exponent_result>& results) {
  std::map<int32_t, const exponent_result*> best;
  std::map<int32_t, std::vector<const exponent_result*>> verdicts;
  std::map<int32_t, std::pair<const exponent_result*, const exponent_result*>> against;  // the first two that disagree
  for (const exponent_result& r : results) {
    const exponent_result*& b = best[r.p];
    if (b == nullptr || (!has_verdict(*b) && has_verdict(r))) b = &r;
    if (!has_verdict(r)) continue;
    std::vector<const exponent_result*>& seen = verdicts[r.p];
    for (const exponent_result* before : seen) {
      if (!against.count(r.p) && disagree(*before, r)) against[r.p] = {before, &r};
    }
    seen.push_back(&r);
  }
  results_summary s;
  for (const auto& [p, r] : best) {
    ++s.exponents;
    if (const auto both = against.find(p); both != against.end()) {
      ++s.no_verdict;
      s.disagreeing.push_back(p);
      s.disagreements.push_back(result_text(*both->second.first) + " / " + result_text(*both->second.second));
    } else if (!has_verdict(*r)) {
      ++s.no_verdict;
    } else if (says_prime(*r)) {
      ++s.primes;
      s.prime_exponents.push_back(p);
    } else if (r->kind == result_kind::tested) {
      ++s.tested;
    } else {
      ++s.factored;  // a factor found, or a composite exponent
    }
  }
  return s;
}

void to_json(nlohmann::ordered_json& j, const results_summary& s) {
  j = nlohmann::ordered_json::object();
  j["exponents"] = s.exponents;
  j["primes"] = s.primes;
  j["factored"] = s.factored;
  j["tested"] = s.tested;
  j["no_verdict"] = s.no_verdict;
  j["prime_exponents"] = s.prime_exponents;
  j["disagreeing"] = s.disagreeing;
}
