#include "base/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

const file_calls kSystem = {
    [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); },
    [](int fd) { return ::close(fd); },
    [](int fd, void* buf, size_t size) { return ::read(fd, buf, size); },
    [](int fd, void* buf, size_t size, off_t at) { return ::pread(fd, buf, size, at); },
    [](int fd, const void* buf, size_t size) { return ::write(fd, buf, size); },
    [](int fd) { return ::fsync(fd); },
    [](int fd, struct stat* st) { return ::fstat(fd, st); },
    [](int fd, int cmd, int arg) { return ::fcntl(fd, cmd, arg); },
    [](int fd, off_t size) { return ::ftruncate(fd, size); },
    [](int fd, int op) { return ::flock(fd, op); },
    [](const char* from, const char* to) { return ::rename(from, to); },
    [](const char* path) { return ::unlink(path); },
    [](const char* path, mode_t mode) { return ::mkdir(path, mode); },
    [](const char* path, struct statvfs* st) { return ::statvfs(path, st); },
};

std::atomic<const file_calls*> in_use{&kSystem};

// call() again while it fails with EINTR; its last result.
template <class Call>
auto again(Call call) {
  for (;;) {
    const auto r = call();
    if (!(r < 0 && errno == EINTR)) return r;
  }
}

// Writes all size bytes to fd, continuing short writes; false with *why
// ("<strerror>" or "nothing written") when a write fails.
bool write_all(int fd, const void* data, size_t size, std::string* why) {
  const file_calls& fs = file_system();
  const char* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < size;) {
    const ssize_t n = again([&] { return fs.write(fd, bytes + done, size - done); });
    if (n <= 0) {
      *why = n < 0 ? errno_text() : std::string("nothing written");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Opens path with flags (and mode), retrying EINTR.
int open_file(const std::string& path, int flags, mode_t mode = 0) {
  return again([&] { return file_system().open(path.c_str(), flags, mode); });
}

}  // namespace

const file_calls& system_file_calls() { return kSystem; }

const file_calls& file_system() { return *in_use.load(std::memory_order_acquire); }

const file_calls* set_file_calls(const file_calls* calls) {
  return in_use.exchange(calls != nullptr ? calls : &kSystem, std::memory_order_acq_rel);
}

std::string errno_text() { return std::strerror(errno); }

void close_file(int fd) {
  // Linux has released fd even when close reports EINTR: never closed twice.
  if (fd >= 0) file_system().close(fd);
}

bool read_rest(int fd, size_t max_bytes, std::string* out, std::string* why) {
  const file_calls& fs = file_system();
  char buf[1 << 16];
  for (size_t got = 0;;) {
    const ssize_t n = again([&] { return fs.read(fd, buf, sizeof buf); });
    if (n < 0) {
      *why = errno_text();
      return false;
    }
    if (n == 0) return true;
    got += static_cast<size_t>(n);
    if (got > max_bytes) {
      *why = "larger than " + std::to_string(max_bytes) + " bytes";
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

bool read_whole_file(const std::string& path, size_t max_bytes, std::string* out, bool* missing, std::string* why) {
  const file_calls& fs = file_system();
  *missing = false;
  // Opened without waiting: a FIFO (or a device) would otherwise block here before it could be refused.
  const int fd = open_file(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    *missing = errno == ENOENT;
    *why = errno_text();
    return false;
  }
  struct stat st;
  st.st_mode = S_IFREG;
  if (again([&] { return fs.fstat(fd, &st); }) != 0 || !S_ISREG(st.st_mode)) {
    *why = S_ISREG(st.st_mode) ? errno_text() : "not a regular file";
    close_file(fd);
    return false;
  }
  const int flags = again([&] { return fs.fcntl(fd, F_GETFL, 0); });
  if (flags < 0 || again([&] { return fs.fcntl(fd, F_SETFL, flags & ~O_NONBLOCK); }) != 0) {
    *why = errno_text();
    close_file(fd);
    return false;
  }
  out->clear();
  const bool ok = read_rest(fd, max_bytes, out, why);
  close_file(fd);
  return ok;
}

bool read_file_start(const std::string& path, size_t max_bytes, std::string* out, uint64_t* size, std::string* why) {
  const file_calls& fs = file_system();
  const int fd = open_file(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO is refused, not waited on
  struct stat st;
  st.st_mode = S_IFREG;
  if (fd < 0 || again([&] { return fs.fstat(fd, &st); }) != 0 || !S_ISREG(st.st_mode)) {
    *why = S_ISREG(st.st_mode) ? "cannot be read: " + errno_text() : "not a regular file";
    close_file(fd);
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  out->assign(max_bytes, '\0');
  size_t got = 0;
  while (got < max_bytes) {
    const ssize_t n = again([&] { return fs.pread(fd, out->data() + got, max_bytes - got, static_cast<off_t>(got)); });
    if (n < 0) {
      *why = "cannot be read: " + errno_text();
      close_file(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  out->resize(got);
  close_file(fd);
  return true;
}

bool commit_temporary(int fd, const std::string& tmp, const void* data, size_t size, const std::string& path,
                      std::string* why) {
  const file_calls& fs = file_system();
  std::string what;
  if (!write_all(fd, data, size, &what)) {
    *why = "cannot write " + tmp + ": " + what;
    close_file(fd);
    remove_file(tmp);
    return false;
  }
  if (again([&] { return fs.fsync(fd); }) != 0) {
    *why = "cannot sync " + tmp + ": " + errno_text();
    close_file(fd);
    remove_file(tmp);
    return false;
  }
  if (fs.close(fd) != 0 && errno != EINTR) {
    *why = "cannot close " + tmp + ": " + errno_text();
    remove_file(tmp);
    return false;
  }
  if (again([&] { return fs.rename(tmp.c_str(), path.c_str()); }) != 0) {
    *why = "cannot rename " + tmp + ": " + errno_text();
    remove_file(tmp);
    return false;
  }
  return true;
}

bool write_file_synced(const std::string& path, const void* data, size_t size, std::string* why) {
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  const int fd = open_file(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = "cannot create " + tmp + ": " + errno_text();
    return false;
  }
  // Held until the close: the file is not left over while this writer lives.
  again([&] { return file_system().flock(fd, LOCK_EX); });
  if (!commit_temporary(fd, tmp, data, size, path, why)) return false;
  sync_dir(folder_of(path));
  return true;
}

bool append_whole(int fd, const std::string& path, const void* data, size_t size, std::string* why) {
  const file_calls& fs = file_system();
  struct stat st;
  if (again([&] { return fs.fstat(fd, &st); }) != 0) {
    *why = "cannot append to " + path + ": " + errno_text();
    return false;
  }
  std::string what;
  if (write_all(fd, data, size, &what)) return true;
  *why = "cannot append to " + path + ": " + what;
  // What did reach the file goes again: the next append starts where this one did.
  again([&] { return fs.ftruncate(fd, st.st_size); });
  return false;
}

bool sync_file(int fd, const std::string& path, std::string* why) {
  if (again([&] { return file_system().fsync(fd); }) == 0) return true;
  *why = "cannot sync " + path + ": " + errno_text();
  return false;
}

void sync_dir(const std::string& dir) {
  const int fd = open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  again([&] { return file_system().fsync(fd); });
  close_file(fd);
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

int open_locked(const std::string& path, int extra_flags, bool* busy, std::string* why) {
  const file_calls& fs = file_system();
  *busy = false;
  const int fd = open_file(path, O_RDWR | O_CREAT | O_CLOEXEC | extra_flags, 0644);
  if (fd < 0) {
    *why = "cannot open " + path + ": " + errno_text();
    return -1;
  }
  struct stat st;
  st.st_mode = S_IFREG;
  if (again([&] { return fs.fstat(fd, &st); }) != 0 || !S_ISREG(st.st_mode)) {
    *why = S_ISREG(st.st_mode) ? "cannot open " + path + ": " + errno_text() : path + " is not a regular file";
    close_file(fd);
    return -1;
  }
  if (again([&] { return fs.flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
    *busy = errno == EWOULDBLOCK;
    *why = *busy ? path + " is locked" : "cannot lock " + path + ": " + errno_text();
    close_file(fd);
    return -1;
  }
  return fd;
}

int open_locked_waiting(const std::string& path, bool* missing, std::string* why) {
  const file_calls& fs = file_system();
  *missing = false;
  for (;;) {
    const int fd = open_file(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      *missing = errno == ENOENT;
      *why = "cannot open " + path + ": " + errno_text();
      return -1;
    }
    struct stat held, named;
    held.st_mode = S_IFREG;
    if (again([&] { return fs.fstat(fd, &held); }) != 0 || !S_ISREG(held.st_mode)) {
      *why = S_ISREG(held.st_mode) ? "cannot open " + path + ": " + errno_text() : path + " is not a regular file";
      close_file(fd);
      return -1;
    }
    if (again([&] { return fs.flock(fd, LOCK_EX); }) != 0) {
      *why = "cannot lock " + path + ": " + errno_text();
      close_file(fd);
      return -1;
    }
    // Still the file of that name: else whoever held the lock replaced it; take the new one's.
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) return fd;
    close_file(fd);
  }
}

folder_lock::~folder_lock() { close_file(fd); }

int lock_folder(const std::string& dir, std::string* why) {
  const int fd = open_file(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *why = "cannot open " + dir + ": " + errno_text();
    return -1;
  }
  again([&] { return file_system().flock(fd, LOCK_EX); });
  return fd;
}

bool remove_file(const std::string& path) {
  return again([&] { return file_system().unlink(path.c_str()); }) == 0;
}

bool rename_file(const std::string& from, const std::string& to, std::string* why) {
  if (again([&] { return file_system().rename(from.c_str(), to.c_str()); }) == 0) return true;
  const int error = errno;
  *why = errno_text();
  errno = error;  // still the rename's, for the caller to tell ENOENT
  return false;
}

bool make_dir(const std::string& dir, mode_t mode, std::string* why) {
  if (again([&] { return file_system().mkdir(dir.c_str(), mode); }) == 0 || errno == EEXIST) return true;
  *why = "cannot create " + dir + ": " + errno_text();
  return false;
}

uint64_t free_bytes(const std::string& dir) {
  struct statvfs s;
  if (again([&] { return file_system().statvfs(dir.c_str(), &s); }) != 0) return 0;
  return static_cast<uint64_t>(s.f_bavail) * s.f_frsize;
}

bool left_by_dead_writer(const std::string& path, pid_t pid) {
  if (pid <= 0 || pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;
  const int fd = open_file(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const bool unlocked = file_system().flock(fd, LOCK_EX | LOCK_NB) == 0;
  close_file(fd);
  return unlocked;
}

void remove_left_by_dead_writers(const std::string& dir,
                                 const std::function<pid_t(const std::string& name)>& writer_pid) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const pid_t pid = writer_pid(entry.path().filename().string());
    if (pid <= 0 || !left_by_dead_writer(entry.path().string(), pid)) continue;
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}
