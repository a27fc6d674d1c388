#include "cli/progress_line.h"

#include <chrono>
#include <new>
#include <system_error>

#include "base/tuning.h"


std::string short_duration(double s) {
  if (!(s < 1e9)) return "?";
  const int64_t t = static_cast<int64_t>(s + 0.5);
  char text[48];
  if (t >= 3600)
    std::snprintf(text, sizeof text, "%lldh%02lldm", static_cast<long long>(t / 3600),
                  static_cast<long long>(t / 60 % 60));
  else if (t >= 60)
    std::snprintf(text, sizeof text, "%lldm%02llds", static_cast<long long>(t / 60),
                  static_cast<long long>(t % 60));
  else
    std::snprintf(text, sizeof text, "%llds", static_cast<long long>(t));
  return text;
}

progress_line::progress_line(FILE* err, size_t slots, std::mutex* io) : err_(err), slots_(slots), io_(io) {}

progress_line::~progress_line() { stop(); }

bool progress_line::start() {
  try {
    ticker_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void progress_line::stop() {
  {
    std::lock_guard<std::mutex> lock(m_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (!ticker_.joinable()) return;
  ticker_.join();
  std::lock_guard<std::mutex> lock(*io_);
  clear_locked();
}

void progress_line::clear_locked() {
  if (width_ == 0) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(width_), "");
  std::fflush(err_);
  width_ = 0;
}

void progress_line::poke() {
  {
    std::lock_guard<std::mutex> lock(m_);
    poked_ = true;
  }
  cv_.notify_all();
}

void progress_line::run() {
  const auto interval = std::chrono::duration<double>(tuning::kProgressInterval);
  std::unique_lock<std::mutex> lock(m_);
  for (;;) {
    cv_.wait_for(lock, interval, [this] { return stopping_ || poked_; });
    if (stopping_) return;
    poked_ = false;
    std::string text;
    try {
      text = render();
    } catch (const std::bad_alloc&) {
      continue;  // no memory for the line now: drawn at the next tick
    }
    std::lock_guard<std::mutex> io(*io_);
    const size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    std::fprintf(err_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
    if (pad > 0) std::fprintf(err_, "\r%s", text.c_str());
    std::fflush(err_);
    width_ = text.size();
  }
}

std::string progress_line::render() {
  const progress_slot* first = nullptr;
  int others = 0;
  for (const progress_slot& s : slots_) {
    const int64_t index = s.index.load();
    if (index < 0) continue;
    if (first == nullptr || index < first->index.load()) {
      if (first != nullptr) ++others;
      first = &s;
    } else {
      ++others;
    }
  }
  if (first == nullptr) return "";
  const int64_t done = first->done.load(), total = first->total.load(), base = first->base.load();
  const double elapsed =
      (std::chrono::steady_clock::now().time_since_epoch().count() - first->start_ns.load()) * 1e-9;
  // Counted from where the test started or resumed.
  const double rate = elapsed > 0 && base >= 0 ? (done - base) / elapsed : 0.0;
  char text[200];
  if (const int level = first->level.load(); level > 0) {
    std::snprintf(text, sizeof text, "M%d: trial factoring to 2^%d (%.1f%%)", first->p.load(), level,
                  total > 0 ? 100.0 * done / total : 0.0);
    return std::string(text) + (others > 0 ? " (+" + std::to_string(others) + " running)" : "");
  }
  if (const int stage = first->pm1_stage.load(); stage > 0) {
    std::snprintf(text, sizeof text, "M%d: P-1 stage %d (%.1f%%)", first->p.load(), stage,
                  total > 0 ? 100.0 * done / total : 0.0);
    return std::string(text) + (others > 0 ? " (+" + std::to_string(others) + " running)" : "");
  }
  std::snprintf(text, sizeof text, "M%d: iteration %lld/%lld (%.1f%%), %.0f it/s, ETA %s", first->p.load(),
                static_cast<long long>(done), static_cast<long long>(total), total > 0 ? 100.0 * done / total : 0.0,
                rate, rate > 0 ? short_duration((total - done) / rate).c_str() : "?");
  std::string s = text;
  // A team running on fewer threads than it has: the others were measured not to pay.
  if (const int team = first->threads.team.load(), on = first->threads.running.load(); on > 0 && on < team)
    s += ", on " + std::to_string(on) + " of " + std::to_string(team) + " threads (faster now)";
  if (others > 0) s += " (+" + std::to_string(others) + " running)";
  return s;
}
