// The file layer's system calls, counted, with one of them made to fail or
// to come short: for tests that fail each call of an operation in turn.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>

#include "base/files.h"

namespace testing_support {

// While it lives, the file layer's calls go through it. Call number at
// (counting from 1; 0: none) fails with errno error, or, with error 0, comes
// short when it is a read or a write of more than one byte (it moves half).
// With short_before, every read and write before call at comes short too
// (a transfer that moves part and then fails). Calls on folders are named
// "<call> folder".
class failing_files {
 public:
  failing_files(int64_t at, int error, bool short_before = false) {
    at_ = at, error_ = error, short_before_ = short_before, count_ = 0;
    failed_.clear(), folders_.clear();
    previous_ = set_file_calls(&kCalls);
  }
  ~failing_files() { set_file_calls(previous_); }
  failing_files(const failing_files&) = delete;
  failing_files& operator=(const failing_files&) = delete;

  // Calls made so far.
  int64_t calls() const { return count_; }
  // The name of the call that was made to fail or come short; "" when none was.
  const std::string& failed() const { return failed_; }

 private:
  static inline int64_t at_ = 0, count_ = 0;
  static inline int error_ = 0;
  static inline bool short_before_ = false;
  static inline std::string failed_;
  static inline std::set<int> folders_;  // descriptors open on folders
  const file_calls* previous_ = nullptr;

  static const file_calls& real() { return system_file_calls(); }
  static std::string on(const char* call, int fd) { return folders_.count(fd) ? std::string(call) + " folder" : call; }
  // Counts a call; whether it is the one to fail (errno set).
  static bool fails(const std::string& name) {
    if (++count_ != at_ || error_ == 0) return false;
    failed_ = name, errno = error_;
    return true;
  }
  // Counts a read or write of size: the size it may move, or -1 when it is to fail (errno set).
  static ssize_t moved(const std::string& name, size_t size) {
    if (fails(name)) return -1;  // counts the call
    const auto all = static_cast<ssize_t>(size), half = static_cast<ssize_t>(size / 2);
    if (size < 2 || count_ > at_ || (count_ < at_ && !short_before_)) return all;
    if (count_ == at_) failed_ = name;
    return half;
  }

  static constexpr file_calls kCalls = {
      [](const char* path, int flags, mode_t mode) {
        if (fails((flags & O_DIRECTORY) ? "open folder" : "open")) return -1;
        const int fd = real().open(path, flags, mode);
        if (fd >= 0 && (flags & O_DIRECTORY)) folders_.insert(fd);
        return fd;
      },
      [](int fd) {
        const bool fail = fails(on("close", fd));
        folders_.erase(fd);
        const int r = real().close(fd);  // released either way, as on Linux
        return fail ? -1 : r;
      },
      [](int fd, void* buf, size_t size) -> ssize_t {
        const ssize_t n = moved("read", size);
        return n < 0 ? -1 : real().read(fd, buf, static_cast<size_t>(n));
      },
      [](int fd, void* buf, size_t size, off_t at) -> ssize_t {
        const ssize_t n = moved("pread", size);
        return n < 0 ? -1 : real().pread(fd, buf, static_cast<size_t>(n), at);
      },
      [](int fd, const void* buf, size_t size) -> ssize_t {
        const ssize_t n = moved("write", size);
        return n < 0 ? -1 : real().write(fd, buf, static_cast<size_t>(n));
      },
      [](int fd) { return fails(on("fsync", fd)) ? -1 : real().fsync(fd); },
      [](int fd, struct stat* st) { return fails(on("fstat", fd)) ? -1 : real().fstat(fd, st); },
      [](int fd, int cmd, int arg) { return fails(on("fcntl", fd)) ? -1 : real().fcntl(fd, cmd, arg); },
      [](int fd, off_t size) { return fails("ftruncate") ? -1 : real().ftruncate(fd, size); },
      [](int fd, int op) { return fails(on("flock", fd)) ? -1 : real().flock(fd, op); },
      [](const char* from, const char* to) { return fails("rename") ? -1 : real().rename(from, to); },
      [](const char* path) { return fails("unlink") ? -1 : real().unlink(path); },
      [](const char* path, mode_t mode) { return fails("mkdir") ? -1 : real().mkdir(path, mode); },
      [](const char* path, struct statvfs* st) { return fails("statvfs") ? -1 : real().statvfs(path, st); },
  };
};

}  // namespace testing_support
