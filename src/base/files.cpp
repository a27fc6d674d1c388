#include "base/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

std::string errno_text() { return std::strerror(errno); }

bool read_whole_file(const std::string& path, size_t max_bytes, std::string* out, bool* missing, std::string* why) {
  *missing = false;
  // Opened without waiting: a FIFO (or a device) would otherwise block here before it could be refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *missing = errno == ENOENT;
    *why = errno_text();
    return false;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    ::close(fd);
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *why = errno_text();
    ::close(fd);
    return false;
  }
  out->clear();
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = errno_text();
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    if (out->size() + static_cast<size_t>(n) > max_bytes) {
      *why = "larger than " + std::to_string(max_bytes) + " bytes";
      ::close(fd);
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

bool commit_temporary(int fd, const std::string& tmp, const void* data, size_t size, const std::string& path,
                      std::string* why) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = "cannot write " + tmp + ": " + (n < 0 ? errno_text() : std::string("nothing written"));
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    *why = "cannot sync " + tmp + ": " + errno_text();
    ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::close(fd) != 0) {
    *why = "cannot close " + tmp + ": " + errno_text();
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *why = "cannot rename " + tmp + ": " + errno_text();
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool write_file_synced(const std::string& path, const void* data, size_t size, std::string* why) {
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = "cannot create " + tmp + ": " + errno_text();
    return false;
  }
  ::flock(fd, LOCK_EX);  // held until the close: the file is not left over while this writer lives
  if (!commit_temporary(fd, tmp, data, size, path, why)) return false;
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool left_by_dead_writer(const std::string& path, pid_t pid) {
  if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return unlocked;
}
