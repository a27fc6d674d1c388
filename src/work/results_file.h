// The results file of --results: one final JSON line per exponent, appended
// as each is done and read back on the next run so that a range resumes
// where it stopped; and --summary over several of them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "formats/search_result.h"
#include "work/report.h"

// The lines of one results file, read and checked: the results they hold
// (in file order) and what was wrong with the others.
struct results_text {
  std::vector<exponent_result> results;
  std::vector<std::string> warnings;  // one line each: a line skipped, a torn last line
  size_t whole_bytes = 0;             // length up to the end of the last whole line
};

// Reads the lines of text (a results file's bytes, named name in warnings):
// a last line without its line break (a crash in the middle of a write) is
// left out of whole_bytes; a line that is not a result is skipped.
results_text parse_results(const std::string& text, const std::string& name);

// As parse_results, for a file of the search server's lines: the key of each.
struct server_results_text {
  std::vector<search_key> keys;
  std::vector<std::string> warnings;
  size_t whole_bytes = 0;
};
server_results_text parse_server_results(const std::string& text, const std::string& name);

// An open results file, held against a second writer. Appends are single
// checked writes; synced at once when asked (before an exponent's saved
// states go), else at least once a second by its own thread, and on close.
class results_file {
 public:
  // Opens (creating) path, takes its lock, reads what is there and cuts off a
  // torn last line (with a warning). Null with *why when it cannot be used
  // or another process holds it.
  // With server_lines the file holds the search server's lines (parse_server_results), not ours.
  static std::unique_ptr<results_file> open(const std::string& path,
                                            const std::function<void(const std::string&)>& warn, std::string* why,
                                            bool server_lines = false);
  ~results_file();
  results_file(const results_file&) = delete;
  results_file& operator=(const results_file&) = delete;

  // The results read when it was opened, in file order.
  const std::vector<exponent_result>& saved() const { return saved_; }
  // Of a file of the server's lines: the key of each line read when it was opened.
  const std::vector<search_key>& saved_keys() const { return keys_; }

  // Appends line (without its line break); with sync_now also syncs it to the
  // disk before returning. False with *why when it could not.
  bool append(const std::string& line, bool sync_now, std::string* why);

  // Syncs what was appended; false with *why when it could not.
  bool sync(std::string* why);

  const std::string& path() const { return path_; }

 private:
  results_file(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  void sync_loop();

  int fd_;
  std::string path_;
  std::vector<exponent_result> saved_;
  std::vector<search_key> keys_;
  std::mutex m_;
  std::condition_variable cv_;
  bool dirty_ = false, closing_ = false, failed_ = false;
  std::string failure_;
  std::thread syncer_;
};

// --summary: counts over the results files (each exponent once, its most
// telling line: a verdict before a line without one). Lines whose verdicts
// cannot both hold (prime and not prime, or two Res64 of the same full test)
// give their exponent no verdict: it is counted there and named in
// disagreements, one line each with both verdicts, since a host's fault, or
// shards run twice over, must not pass into the totals as a prime or a
// composite.
struct results_summary {
  int64_t exponents = 0, primes = 0, factored = 0, tested = 0, no_verdict = 0;
  std::vector<int32_t> prime_exponents;  // ascending
  std::vector<int32_t> disagreeing;      // ascending
  std::vector<std::string> disagreements;  // "M<p>: <one verdict> / <the other>", for each of disagreeing
};
results_summary summarize(const std::vector<exponent_result>& results);

// The JSON object of a summary: its counts, the prime exponents and the disagreeing ones, in that order.
void to_json(nlohmann::ordered_json& j, const results_summary& s);
