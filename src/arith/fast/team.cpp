#include "arith/fast/team.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
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

pass_split::pass_split(int64_t count, int members)
    : count_(count), share_(static_cast<size_t>(std::max(members, 1)), 1.0 / std::max(members, 1)),
      rate_(share_.size()), cut_(share_.size() + 1) {
  place_cuts();
}

void pass_split::took(const double* seconds) {
  const size_t k = share_.size();
  if (k < 2) return;
  double all = 0;
  for (size_t m = 0; m < k; ++m) {
    const double items = static_cast<double>(cut_[m + 1] - cut_[m]);
    // A member without items, or a time that says nothing, leaves the shares as they are.
    if (!(items > 0 && seconds[m] > 0 && std::isfinite(seconds[m]))) return;
    rate_[m] = items / seconds[m];
    all += rate_[m];
  }
  // The new shares still sum to 1; those below the least are raised to it,
  // at the cost of the others in proportion to what they hold above it.
  const double least = tuning::kSplitLeastShare / static_cast<double>(k);
  double lack = 0, spare = 0;
  for (size_t m = 0; m < k; ++m) {
    share_[m] += tuning::kSplitGain * (rate_[m] / all - share_[m]);
    if (share_[m] < least)
      lack += least - share_[m];
    else
      spare += share_[m] - least;
  }
  for (double& s : share_) s = s < least ? least : s - (spare > 0 ? lack * (s - least) / spare : 0);
  place_cuts();
}

void pass_split::place_cuts() {
  const size_t k = share_.size();
  const int64_t least = count_ >= static_cast<int64_t>(k) ? 1 : 0;
  double below = 0;
  cut_[0] = 0;
  for (size_t m = 1; m < k; ++m) {
    below += share_[m - 1];
    const int64_t at = std::llround(below * static_cast<double>(count_));
    // Room for a least run on every member before and after this edge.
    const int64_t lo = cut_[m - 1] + least, hi = count_ - static_cast<int64_t>(k - m) * least;
    cut_[m] = std::clamp(at, lo, std::max(lo, hi));
  }
  cut_[k] = count_;
}
