#include "cli/ordered_output.h"

#include <utility>

void ordered_output::wait_for_room(int64_t index, int64_t window) {
  std::unique_lock<std::mutex> lock(m_);
  cv_.wait(lock, [&] { return failed_ || index < next_to_print_ + window; });
}

bool ordered_output::put(int64_t index, std::string text, std::function<void()> after) {
  std::lock_guard<std::mutex> lock(m_);
  if (failed_) return false;
  ready_.emplace(index, std::make_pair(std::move(text), std::move(after)));
  if (ready_.begin()->first != next_to_print_) return true;
  std::lock_guard<std::mutex> out_lock(*io_);
  line_->clear_locked();
  while (!ready_.empty() && ready_.begin()->first == next_to_print_) {
    auto& [text, after] = ready_.begin()->second;
    if (!out_->write(text)) {
      failed_ = true;
      break;
    }
    if (after) after();
    ready_.erase(ready_.begin());
    ++next_to_print_;
  }
  cv_.notify_all();
  return !failed_;
}
