// The queue of a run: its exponents handed out in order (spans, a shard of
// them), what the results file already holds for each, and the first run of
// an exponent that a repeat of it in the same list waits for.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "work/report.h"
#include "work/settings.h"

// How many exponents the spans hold together.
int64_t exponent_count(const std::vector<exponent_span>& spans);

// The exponents of spans, handed out one at a time in order (safe from
// several threads): of a shard I/N only every N-th of the expanded list, from the I-th.
class exponent_queue {
 public:
  exponent_queue(const std::vector<exponent_span>& spans, int shard_index = 1, int shard_count = 1)
      : spans_(spans), shard_(shard_index - 1), shards_(shard_count) {}
  // The next exponent into *p and its position into *index; false when all are handed out.
  bool next(int32_t* p, int64_t* index);

 private:
  std::mutex m_;
  const std::vector<exponent_span>& spans_;
  int64_t shard_, shards_;
  size_t span_ = 0;
  int64_t offset_ = 0;  // exponents of the current span already passed
  int64_t seen_ = 0;    // positions of the whole list passed
  int64_t index_ = 0;
};

// What an earlier run recorded in the results file for one exponent.
struct recorded {
  const exponent_result* settled = nullptr;  // a line that stands for this run's result; null: none
  int factored_to = 0;                        // the deepest factoring recorded without a factor
};

// Whether saved, a line of the results file for its exponent p, stands for
// what s asks of p: a verdict settled by factoring or by p itself stands for
// any test; otherwise the same test, with the same K or at least the same depth.
bool settles(const exponent_result& saved, const work_settings& s);

// Per exponent, what the lines saved (a results file's, in file order) hold
// for a run under s: the first line that settles it, the deepest factoring.
// The pointers are into saved.
std::map<int32_t, recorded> index_results(const std::vector<exponent_result>& saved, const work_settings& s);

// The first run of each exponent in this process, which a repeat of it in
// the list waits for and reports again (so that it is done and recorded once).
class first_runs {
 public:
  enum class claim { first, repeat, stopped };
  // Claims p: first when no run of p came before (finish(p, ...) must
  // follow); else waits for that run and gives repeat with its result in *r,
  // or stopped when it was stopped (or stop was raised before it finished).
  claim take(int32_t p, const std::atomic<bool>& stop, exponent_result* r);
  // The first run of p ended with r; an interrupted r leaves its repeats nothing to report.
  void finish(int32_t p, const exponent_result& r);
  // The first run of p ended without a result (an exception on its way):
  // its repeats, waiting or to come, report nothing. No effect after finish.
  void abandon(int32_t p) noexcept;

  // A first run's claim on p: abandons the run where it goes out of scope
  // before finish, so that no repeat waits for a result that never comes.
  class first_claim {
   public:
    first_claim() = default;
    first_claim(first_runs* runs, int32_t p) : runs_(runs), p_(p) {}
    first_claim(const first_claim&) = delete;
    first_claim& operator=(const first_claim&) = delete;
    ~first_claim() {
      if (runs_ != nullptr) runs_->abandon(p_);
    }
    explicit operator bool() const { return runs_ != nullptr; }
    // Hands over the first run's result r (see finish).
    void finish(const exponent_result& r) {
      runs_->finish(p_, r);
      runs_ = nullptr;
    }

   private:
    first_runs* runs_ = nullptr;
    int32_t p_ = 0;
  };

 private:
  struct run {
    bool done = false;
    bool stopped = false;
    exponent_result r;
  };
  std::mutex m_;
  std::condition_variable cv_;
  std::map<int32_t, std::shared_ptr<run>> runs_;
};
