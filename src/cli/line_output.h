// Result lines to a file descriptor: each line goes out whole, in one write
// where the kernel allows (so that a reader, or a run killed in between,
// never leaves half a line that reads like a whole one), and the first
// failure is kept instead of being lost in a buffer.
#pragma once

#include <string>
#include <string_view>

class line_output {
 public:
  explicit line_output(int fd) : fd_(fd) {}

  // Writes text (one or more whole lines). False once any write has failed;
  // nothing more is written after a failure.
  bool write(std::string_view text);

  // Closes the descriptor; false (and the error kept) when that fails.
  bool close();

  bool failed() const { return errno_ != 0; }
  // What went wrong, e.g. "No space left on device"; empty while nothing did.
  std::string error() const;
  // Whether the reader went away (a pipe closed at its other end).
  bool reader_gone() const;

 private:
  int fd_;
  int errno_ = 0;
};

// Writes text to standard output and closes it; false, with a message on
// stderr, when it cannot.
bool write_stdout(const std::string& text);
