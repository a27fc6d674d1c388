// The one file layer: whole-file reads, crash-safe writes, appends, locks,
// free space and folder syncs, for the files a user's work depends on (saved
// states, proofs, results, saved plans). Every system call goes through one
// table (file_calls) that tests replace to make any call fail or come short.
// Short reads and writes are continued, EINTR is retried, and any other
// error is reported with the file's name and strerror.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The system calls the layer makes, one pointer each, with the signatures
// (and errno conventions) of the calls they stand for.
struct file_calls {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void* buf, size_t size);
  ssize_t (*pread)(int fd, void* buf, size_t size, off_t at);
  ssize_t (*write)(int fd, const void* buf, size_t size);
  int (*fsync)(int fd);
  int (*fstat)(int fd, struct stat* st);
  int (*fcntl)(int fd, int cmd, int arg);
  int (*ftruncate)(int fd, off_t size);
  int (*flock)(int fd, int op);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*mkdir)(const char* path, mode_t mode);
  int (*statvfs)(const char* path, struct statvfs* st);
};

// The calls of the running system.
const file_calls& system_file_calls();

// The table in use (the system's unless a test set another).
const file_calls& file_system();

// Makes calls the table in use (nullptr: the system's again) and returns the
// one it replaces; calls must outlive its use. For tests.
const file_calls* set_file_calls(const file_calls* calls);

// strerror(errno), as text.
std::string errno_text();

// What is left to read from fd, up to max_bytes, appended to out; false with
// *why (strerror, or "larger than N bytes") when it cannot be read or is longer.
bool read_rest(int fd, size_t max_bytes, std::string* out, std::string* why);

// The whole regular file at path, of at most max_bytes, into out; false with
// *missing set when there is none, or with *why set when it cannot be read,
// is not a regular file or is larger.
bool read_whole_file(const std::string& path, size_t max_bytes, std::string* out, bool* missing, std::string* why);

// The first max_bytes (or fewer, when it is shorter) of the regular file at
// path into out and its size into *size; false with *why ("cannot be read:
// <strerror>" or "not a regular file") otherwise.
bool read_file_start(const std::string& path, size_t max_bytes, std::string* out, uint64_t* size, std::string* why);

// Finishes a temporary file: writes size bytes to fd (open on tmp), syncs and
// closes it and renames tmp to path. On any failure fd is closed, tmp removed
// and *why says what failed. Syncing the folder is the caller's.
bool commit_temporary(int fd, const std::string& tmp, const void* data, size_t size, const std::string& path,
                      std::string* why);

// Writes size bytes as the file path: to a temporary name beside it
// (path.tmp.<pid>, locked with flock while it is written), synced, renamed
// over, and the folder synced. False with *why when it
// could not; whatever was at path is then left as it was.
bool write_file_synced(const std::string& path, const void* data, size_t size, std::string* why);

// Appends size bytes to fd (open with O_APPEND on path, held by this writer
// alone). False with *why when it could not; the file is then cut back to
// its length before, so that no part of the bytes stays.
bool append_whole(int fd, const std::string& path, const void* data, size_t size, std::string* why);

// Syncs fd (open on path) to the disk; false with *why when it could not.
bool sync_file(int fd, const std::string& path, std::string* why);

// Syncs the folder dir, so that names made or removed in it last; a file
// system that cannot sync folders is not an error.
void sync_dir(const std::string& dir);

// The folder a path names its file in: "." for a bare name.
std::string folder_of(const std::string& path);

// Opens (creating, with extra_flags added to O_RDWR) the regular file path
// and takes its exclusive flock without waiting. Its descriptor (closing it
// releases the lock), or -1: with *busy set when another holder has it, else
// with *why saying what failed.
int open_locked(const std::string& path, int extra_flags, bool* busy, std::string* why);

// Opens the existing regular file path (O_RDWR) and waits for its exclusive
// flock, on the file the name holds once the lock is had (a writer that
// renamed another file over it meanwhile is followed). Its descriptor, or -1
// with *missing set when there is none, else with *why saying what failed.
int open_locked_waiting(const std::string& path, bool* missing, std::string* why);

// Opens the folder dir and waits for its exclusive flock. Its descriptor
// (closing it releases the lock), or -1 with *why when it cannot be opened;
// a file system without flock leaves it open but unlocked.
int lock_folder(const std::string& dir, std::string* why);

// lock_folder(dir) held for a scope: the descriptor is closed (and the lock
// released) on every way out of it.
struct folder_lock {
  folder_lock(const std::string& dir, std::string* why) : fd(lock_folder(dir, why)) {}
  ~folder_lock();
  folder_lock(const folder_lock&) = delete;
  folder_lock& operator=(const folder_lock&) = delete;
  bool held() const { return fd >= 0; }
  int fd;
};

// Closes fd, a descriptor of the layer's.
void close_file(int fd);

// Removes the file path; whether it was there and went.
bool remove_file(const std::string& path);

// Renames from to to; false with *why ("<strerror>") when it could not.
bool rename_file(const std::string& from, const std::string& to, std::string* why);

// Creates the folder dir with mode; true also when it is there already,
// false with *why otherwise.
bool make_dir(const std::string& dir, mode_t mode, std::string* why);

// Free bytes for an unprivileged writer in the file system of dir; 0 when unknown.
uint64_t free_bytes(const std::string& dir);

// Whether the temporary file or folder at path, named for the writer pid,
// was left by a writer that is gone: no process pid exists here and nobody
// holds a flock on it (a writer on another machine sharing the folder does).
bool left_by_dead_writer(const std::string& path, pid_t pid);

// Removes, with everything in it, each entry of dir whose name writer_pid
// maps to a writer's pid (0: not a temporary) that left_by_dead_writer.
void remove_left_by_dead_writers(const std::string& dir, const std::function<pid_t(const std::string& name)>& writer_pid);
