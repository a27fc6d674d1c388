#include "cli/line_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool line_output::write(std::string_view text) {
  if (errno_ != 0) return false;
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      errno_ = errno;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

bool line_output::close() {
  if (::close(fd_) != 0 && errno != EINTR && errno_ == 0) errno_ = errno;
  return errno_ == 0;
}

std::string line_output::error() const { return errno_ == 0 ? std::string() : std::strerror(errno_); }

bool line_output::reader_gone() const { return errno_ == EPIPE; }

bool write_stdout(const std::string& text) {
  line_output out(STDOUT_FILENO);
  if (out.write(text) && out.close()) return true;
  std::fprintf(stderr, "mersenne: cannot write to standard output (%s)\n", out.error().c_str());
  return false;
}
