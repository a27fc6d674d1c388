#include "work/queue.h"

#include <algorithm>

#include "work/plan.h"

int64_t exponent_count(const std::vector<exponent_span>& spans) {
  int64_t n = 0;
  for (const exponent_span& s : spans) n += static_cast<int64_t>(s.last) - s.first + 1;
  return n;
}

bool exponent_queue::next(int32_t* p, int64_t* index) {
  std::lock_guard<std::mutex> lock(m_);
  while (span_ < spans_.size()) {
    const exponent_span& s = spans_[span_];
    const int64_t left = static_cast<int64_t>(s.last) - s.first + 1 - offset_;
    // Positions in the whole list up to the next one of this shard.
    const int64_t skip = ((shard_ - seen_ % shards_) % shards_ + shards_) % shards_;
    if (skip >= left) {
      seen_ += left;
      ++span_;
      offset_ = 0;
      continue;
    }
    *p = static_cast<int32_t>(s.first + offset_ + skip);
    *index = index_++;
    seen_ += skip + 1;
    offset_ += skip + 1;
    if (skip + 1 == left) {
      ++span_;
      offset_ = 0;
    }
    return true;
  }
  return false;
}

bool settles(const exponent_result& saved, const work_settings& s) {
  switch (saved.kind) {
    case result_kind::small_prime:
    case result_kind::composite_exponent:
    case result_kind::factored:
    case result_kind::proven_prime:
      return true;
    case result_kind::pm1_factor:
    case result_kind::ecm_factor:
      return true;
    case result_kind::pm1_none:
      // P-1 alone, with bounds no wider than those that found nothing.
      return s.pm1_only && saved.pm1.b1 >= s.pm1_b1 && saved.pm1.b2 >= std::max(s.pm1_b1, s.pm1_b2);
    case result_kind::ecm_none:
      return s.ecm_only && saved.ecm.b1 >= s.ecm_b1 && saved.ecm.curves >= s.ecm_curves;
    case result_kind::no_engine:
      return false;
    case result_kind::no_factor:
      return s.factor_only && saved.tf_bits >= factoring_depth(saved.p, s);
    case result_kind::tested:
      break;
  }
  const ll_outcome& o = saved.outcome;
  if (s.factor_only || saved.factor_only || s.pm1_only || s.ecm_only || saved.pm1_only || saved.ecm_only || saved.prp != s.prp || !o.error.empty()) return false;
  const bool whole = s.iterations == 0 || s.iterations >= static_cast<int64_t>(saved.p) - 2;
  return whole ? o.verdict && o.partial == 0 : o.partial == s.iterations;
}

std::map<int32_t, recorded> index_results(const std::vector<exponent_result>& saved, const work_settings& s) {
  std::map<int32_t, recorded> earlier;
  for (const exponent_result& line : saved) {
    recorded& e = earlier[line.p];
    if (e.settled == nullptr && settles(line, s)) e.settled = &line;
    if (line.tf_factor.empty() && line.outcome.error.empty()) e.factored_to = std::max(e.factored_to, line.tf_bits);
  }
  return earlier;
}

first_runs::claim first_runs::take(int32_t p, const std::atomic<bool>& stop, exponent_result* r) {
  std::unique_lock<std::mutex> hold(m_);
  auto [it, mine] = runs_.try_emplace(p, nullptr);
  if (mine) {
    it->second = std::make_shared<run>();
    return claim::first;
  }
  const std::shared_ptr<run> other = it->second;
  cv_.wait(hold, [&] { return other->done || stop.load(); });
  if (!other->done || other->stopped) return claim::stopped;
  *r = other->r;
  return claim::repeat;
}

void first_runs::finish(int32_t p, const exponent_result& r) {
  std::lock_guard<std::mutex> hold(m_);
  const std::shared_ptr<run>& mine = runs_.at(p);
  mine->r = r;  // done only once the copy is whole (it may run out of memory)
  mine->stopped = r.outcome.interrupted;
  mine->done = true;
  cv_.notify_all();
}

void first_runs::abandon(int32_t p) noexcept {
  std::lock_guard<std::mutex> hold(m_);
  const auto it = runs_.find(p);
  if (it == runs_.end() || it->second->done) return;
  it->second->stopped = true;
  it->second->done = true;
  cv_.notify_all();
}
