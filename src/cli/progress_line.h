// The single progress line of a batch run on stderr: the earliest test in
// flight, its iteration, percent, speed and ETA, redrawn in place with \r by
// its own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "arith/engine.h"

// One test in flight, as the progress line shows it; written by its worker.
struct progress_slot {
  std::atomic<int64_t> index{-1};  // position in the command line; -1: idle
  std::atomic<int32_t> p{0};
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> total{0};
  std::atomic<int64_t> start_ns{0};  // steady clock, nanoseconds
  std::atomic<int64_t> base{-1};     // iterations done at the first report (a resumed test's start); -1: none yet
  std::atomic<int> level{0};         // trial factoring to 2^level, done/total per mille; 0: a test runs
  std::atomic<int> pm1_stage{0};     // P-1 in stage 1 or 2, done/total per mille; 0: none runs
  thread_use threads;                // what the test's stepper says of its threads
};

// "1h02m", "3m05s", "12s"; "?" for an unknown or absurd duration.
std::string short_duration(double seconds);

class progress_line {
 public:
  // A line on err for slots workers; io serialises every write to the terminal.
  progress_line(FILE* err, size_t slots, std::mutex* io);
  ~progress_line();

  // Starts the redrawing thread (false when no thread can be had: no line
  // then); stop() ends it and wipes the line.
  bool start();
  void stop();

  progress_slot& slot(size_t i) { return slots_[i]; }

  // Redraws at once (a test has just started) instead of at the next tick.
  void poke();

  // Wipes the line; the caller holds the io mutex.
  void clear_locked();

 private:
  void run();
  std::string render();

  FILE* err_;
  std::vector<progress_slot> slots_;
  std::mutex* io_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stopping_ = false;
  bool poked_ = false;
  size_t width_ = 0;
  std::thread ticker_;
};
