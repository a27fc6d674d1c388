#include "arith/fast/team.h"

#include <immintrin.h>

#include <system_error>

#include "base/tuning.h"

void spin_barrier::arrive_and_wait() {
  const unsigned round = round_.load(std::memory_order_acquire);
  if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == size_) {
    arrived_.store(0, std::memory_order_relaxed);
    round_.store(round + 1, std::memory_order_release);
    round_.notify_all();
    return;
  }
  for (int i = 0; i < tuning::kBarrierSpins; ++i) {
    if (round_.load(std::memory_order_acquire) != round) return;
    _mm_pause();
  }
  while (round_.load(std::memory_order_acquire) == round) round_.wait(round, std::memory_order_acquire);
}

worker_team::worker_team(int wanted) {
  if (wanted < 1) wanted = 1;
  // The barrier must know the team's size before any member meets at it, so
  // helpers wait at a gate until every thread that could be had is started:
  // a thread that cannot be had makes the team smaller, never a member short.
  helpers_.reserve(static_cast<size_t>(wanted - 1));  // only starting a thread may fail below
  for (int i = 1; i < wanted; ++i) {
    try {
      helpers_.emplace_back([this, i] {
        while (!ready_.load(std::memory_order_acquire)) ready_.wait(false, std::memory_order_acquire);
        serve(i);
      });
    } catch (const std::system_error&) {
      break;
    }
  }
  size_ = static_cast<int>(helpers_.size()) + 1;
  meet_.set_size(size_);
  ready_.store(true, std::memory_order_release);
  ready_.notify_all();
}

worker_team::~worker_team() {
  if (size_ > 1) {
    quit_.store(true);
    meet_.arrive_and_wait();  // the start of the job that tells them to stop
  }
  for (std::thread& t : helpers_) t.join();
}

void worker_team::go() {
  if (size_ > 1) meet_.arrive_and_wait();  // start
  call_(job_, 0);
  if (size_ > 1) meet_.arrive_and_wait();  // end
}

void worker_team::serve(int member) {
  for (;;) {
    meet_.arrive_and_wait();
    if (quit_.load()) return;
    call_(job_, member);
    meet_.arrive_and_wait();
  }
}

void team_chooser::took(double seconds) {
  if (size_ <= 1) return;
  ++count_;
  seconds_ += seconds;
  const bool probe_done = count_ >= tuning::kTeamProbeIterations && seconds_ >= tuning::kTeamProbeSeconds;
  switch (phase_) {
    case phase::all:
      if (!probe_done) return;
      all_per_iteration_ = seconds_ / count_;
      phase_ = phase::one;
      break;
    case phase::one:
      if (!probe_done) return;
      // The helpers stay only where they are clearly faster: a tie runs on one core.
      all_pays_ = all_per_iteration_ < tuning::kTeamMustWin * (seconds_ / count_);
      phase_ = phase::run;
      break;
    case phase::run:
      if (seconds_ < tuning::kTeamRunSeconds) return;
      phase_ = phase::all;
      break;
  }
  count_ = 0;
  seconds_ = 0;
}
