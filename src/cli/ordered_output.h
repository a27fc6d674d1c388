// Result lines of a batch, printed in the order of their indices: each as
// soon as it and every line before it are in.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "cli/line_output.h"
#include "cli/progress_line.h"

class ordered_output {
 public:
  // Lines go to out under the io mutex, after the progress line is wiped.
  ordered_output(line_output* out, std::mutex* io, progress_line* line) : out_(out), io_(io), line_(line) {}

  // Waits until line index may be worked on: fewer than window lines before
  // it are still unprinted (so that a long list does not pile up behind one
  // slow line), or the output has failed.
  void wait_for_room(int64_t index, int64_t window);

  // Hands in the text of line index (with its line break) and prints every
  // line that is now next in order; after, if given, runs once the line is
  // written. Each index is handed in once. False once the output has
  // failed: nothing more will reach the reader.
  bool put(int64_t index, std::string text, std::function<void()> after = {});

 private:
  line_output* out_;
  std::mutex* io_;
  progress_line* line_;
  std::mutex m_;
  std::condition_variable cv_;
  int64_t next_to_print_ = 0;
  bool failed_ = false;
  std::map<int64_t, std::pair<std::string, std::function<void()>>> ready_;
};
