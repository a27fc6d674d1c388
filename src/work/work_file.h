// A work file of assignments in use: read under its lock with the lines
// other programs left in worktodo.add beside it merged in, each finished
// assignment's line taken out once its result is durable, and the file
// rewritten crash-safe (a temporary name, synced, renamed) each time, so
// that a crash leaves either the old or the new file and no added line is lost.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "formats/search_result.h"
#include "formats/result_line.h"
#include "formats/worktodo.h"
#include "work/settings.h"

class work_file {
 public:
  // Opens path for this process alone: its lock path + ".lock" is taken
  // (held until the object goes). Null with *why when another process
  // works on it or it cannot be read.
  static std::unique_ptr<work_file> open(const std::string& path, std::string* why);
  ~work_file();
  work_file(const work_file&) = delete;
  work_file& operator=(const work_file&) = delete;

  // Under the file's flock: merges worktodo.add in, then its lines into *lines.
  bool read(std::vector<work_line>* lines, std::string* why);
  // Under the file's flock: merges worktodo.add in and takes out the first
  // line whose bytes are line. False with *why; the file is then as it was.
  bool remove(const std::string& line, std::string* why);

  const std::string& path() const { return path_; }
  // worktodo.add in the file's folder.
  std::string added_path() const;

 private:
  work_file(std::string path, int lock_fd) : path_(std::move(path)), lock_fd_(lock_fd) {}
  // Runs change on the file's text under its flock, with worktodo.add
  // merged in, and writes back what changed.
  bool locked(const std::function<void(std::string& text)>& change, std::string* why);
  std::string path_;
  int lock_fd_;
};

// The lines of the work file at path as they stand, read without its lock
// (worktodo.add not merged in): a hint for planning a run, never a text to
// change or write back. False with *why when it cannot be read.
bool peek_work_file(const std::string& path, std::vector<work_line>* lines, std::string* why);

// One assignment as the batch carries it out.
struct work_item {
  assignment task;
  std::string line;          // its line's bytes in the work file (empty: an exponent of the command line)
  int line_no = 0;
  work_settings settings;    // the command line's with the line's test, range and shift
};

// The settings for task: base's, with the test the line asks for, its
// factoring (a Factor= range; a test's automatic depth above how_far_factored)
// and, for a double-check without --shift, a non-zero shift from random.
work_settings settings_for(const assignment& task, const work_settings& base, uint64_t random);

// Whether key, a line of the server's results file, records that task is
// done: the same AID, or without one the same exponent and work (a factor
// found settling any).
bool finishes(const search_key& key, const assignment& task);

// The assignments of a work file handed out one at a time in file order
// (safe from several threads): of section `worker` only when worker > 0;
// lines it cannot do reported once each as FILE:LINE: reason; lines whose
// result is already recorded taken out without being done again.
class assignment_queue {
 public:
  assignment_queue(work_file& file, const work_settings& base, int worker, std::vector<search_key> recorded,
                   std::function<void(const std::string&)> warn);
  // The next assignment into *item and its position into *index; false
  // when none is left, or with *why when the file could not be read.
  bool next(work_item* item, int64_t* index, std::string* why);
  // item's result line, key, is durable: its line goes from the file.
  bool finished(const work_item& item, const search_key& key, std::string* why);

 private:
  // next under the queue's lock, its messages into *messages.
  bool take(work_item* item, int64_t* index, std::vector<std::string>* messages, std::string* why);
  std::mutex m_;
  work_file& file_;
  const work_settings& base_;
  int worker_;
  std::vector<search_key> recorded_;
  std::function<void(const std::string&)> warn_;
  std::set<std::string> taken_;     // lines handed out in this run
  std::set<std::string> reported_;  // lines reported as not done
  uint64_t random_;
  int64_t index_ = 0;
};

// What every server line carries besides the result.
struct record_context {
  std::string version;            // the program's
  std::string os, architecture;   // empty: unknown
  int64_t now = 0;                // seconds since 1970, UTC
};

// The server's line for r, the result of task, into *out. False when r
// finishes nothing (no verdict, an error, stopped, a partial run): the
// assignment stays; with *why also when its proof cannot be read for its MD5.
bool search_record(const exponent_result& r, const assignment& task, const record_context& ctx, search_result* out,
                   std::string* why);

// The key a line of s is read back as.
search_key key_of(const search_result& s);
