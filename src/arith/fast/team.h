// A fixed team of threads that run one job together, member by member, and
// meet at barriers inside it: the calling thread is member 0, the others
// are started once and wait between jobs. Nothing is allocated per job.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <utility>
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

// Whether a team's helpers pay, measured now and then: a few iterations on
// every member, as many on the first alone, then the faster for a while
// (kTeamRunSeconds), then measured again. When something else holds a core
// a helper waits for, one thread is often the faster. Fed the seconds each
// iteration took, so that the choice can be tested without a clock.
class team_chooser {
 public:
  // For a team of size members (1: always one).
  explicit team_chooser(int size) : size_(size) {}
  // The members the next iteration runs on: size or 1.
  int members() const { return phase_ == phase::one || (phase_ == phase::run && !all_pays_) ? 1 : size_; }
  // Whether the last measurement found the helpers paying (true until measured).
  bool all_pays() const { return all_pays_; }
  // The last iteration, on members() members, took seconds.
  void took(double seconds);

 private:
  enum class phase { all, one, run };
  int size_;
  phase phase_ = phase::all;
  bool all_pays_ = true;
  int count_ = 0;       // iterations in this phase
  double seconds_ = 0;  // their seconds
  double all_per_iteration_ = 0;
};

// How a team shares a pass's items (rows, or whole segments) when its cores
// run at different speeds, as a core whose sibling thread or neighbour is
// busy does: contiguous runs, so that no line is written by two cores, each
// member's run in proportion to the rate it showed in the passes before.
// Fed each member's seconds, so that it can be tested without a clock.
class pass_split {
 public:
  // count items over members members, equal runs to begin with; every
  // member keeps at least one item where there are as many.
  pass_split(int64_t count = 0, int members = 1);
  int members() const { return static_cast<int>(share_.size()); }
  // [lo, hi) of member's run.
  std::pair<int64_t, int64_t> range(int member) const {
    return {cut_[static_cast<size_t>(member)], cut_[static_cast<size_t>(member) + 1]};
  }
  // The last pass took seconds[m] on member m (over its range(m)): moves
  // each share part of the way toward the member's rate over all rates.
  void took(const double* seconds);

 private:
  void place_cuts();
  int64_t count_;
  std::vector<double> share_;  // per member, summing to 1
  std::vector<double> rate_;   // per member, the last pass's items per second
  std::vector<int64_t> cut_;   // members + 1 edges, from 0 to count_
};
