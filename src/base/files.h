// Whole-file reads and crash-safe writes, for the files a user's work
// depends on (saved states, saved plans).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

// strerror(errno), as text.
std::string errno_text();

// The whole regular file at path, of at most max_bytes, into out; false with
// *missing set when there is none, or with *why set when it cannot be read,
// is not a regular file or is larger.
bool read_whole_file(const std::string& path, size_t max_bytes, std::string* out, bool* missing, std::string* why);

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

// Whether the temporary file or folder at path, named for the writer pid,
// was left by a writer that is gone: no process pid exists here and nobody
// holds a flock on it (a writer on another machine sharing the folder does).
bool left_by_dead_writer(const std::string& path, pid_t pid);
