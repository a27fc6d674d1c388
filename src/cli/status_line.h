// What a command is doing now, one line on stderr redrawn in place (the
// benchmark and the self-test); silent when off.
#pragma once

#include <cstdio>
#include <string>

class status_line {
 public:
  status_line(FILE* err, bool on) : err_(err), on_(on) {}
  ~status_line() { clear(); }
  status_line(const status_line&) = delete;
  status_line& operator=(const status_line&) = delete;

  // Replaces the line with text.
  void show(const std::string& text) {
    if (!on_) return;
    const size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    std::fprintf(err_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    if (pad > 0) std::fprintf(err_, "\r%s", text.c_str());
    std::fflush(err_);
    width_ = text.size();
  }

  // Wipes the line, so that a message or a result line can follow.
  void clear() {
    if (width_ == 0) return;
    std::fprintf(err_, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(err_);
    width_ = 0;
  }

 private:
  FILE* err_;
  bool on_;
  size_t width_ = 0;
};
