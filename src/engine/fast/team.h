// A fixed team of threads that run one job together, member by member, and
// meet at barriers inside it: the calling thread is member 0, the others
// are started once and wait between jobs. Nothing is allocated per job.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

// A reusable barrier for a fixed number of threads that spins a while
// before it sleeps: the passes of an iteration meet several times a
// millisecond, sooner than a sleeping thread wakes.
class spin_barrier {
 public:
  // The number of threads that meet; set before any of them arrives.
  void set_size(int size) { size_ = size; }
  // Returns once all size threads have called it (once each per round).
  void arrive_and_wait();

 private:
  int size_ = 1;
  std::atomic<int> arrived_{0};
  std::atomic<unsigned> round_{0};
};

class worker_team {
 public:
  // A team of up to `wanted` members (at least 1): as many as threads can be
  // started for, the caller included.
  explicit worker_team(int wanted);
  ~worker_team();
  worker_team(const worker_team&) = delete;
  worker_team& operator=(const worker_team&) = delete;

  int size() const { return size_; }

  // Runs job(member) on every member, 0 on the calling thread, and returns
  // when all are done. Requires that no other run is in progress.
  template <class Job>
  void run(Job& job) {
    job_ = &job;
    call_ = [](void* j, int member) { (*static_cast<Job*>(j))(member); };
    go();
  }

  // Inside a job: waits until every member has reached this point.
  void sync() {
    if (size_ > 1) meet_.arrive_and_wait();
  }

 private:
  void go();
  void serve(int member);

  int size_ = 1;
  spin_barrier meet_;
  std::vector<std::thread> helpers_;
  void* job_ = nullptr;
  void (*call_)(void*, int) = nullptr;
  std::atomic<bool> ready_{false};  // the start gate: the team's size is known
  std::atomic<bool> quit_{false};
};
