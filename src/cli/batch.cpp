#include "cli/batch.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "driver/exit_codes.h"
#include "engine/engine_table.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The exponents of the command line, handed out one at a time in order.
class exponent_cursor {
 public:
  explicit exponent_cursor(const std::vector<exponent_span>& spans) : spans_(spans) {}
  // The next exponent into *p; false when all are handed out.
  bool next(int32_t* p) {
    if (span_ >= spans_.size()) return false;
    const exponent_span& s = spans_[span_];
    *p = static_cast<int32_t>(s.first + offset_);
    if (static_cast<int64_t>(s.first) + offset_ == s.last) {
      ++span_;
      offset_ = 0;
    } else {
      ++offset_;
    }
    return true;
  }

 private:
  const std::vector<exponent_span>& spans_;
  size_t span_ = 0;
  int64_t offset_ = 0;
};

// One test in flight, as the progress line shows it.
struct progress_slot {
  std::atomic<int64_t> index{-1};  // position in the command line; -1: idle
  std::atomic<int32_t> p{0};
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> total{0};
  std::atomic<int64_t> start_ns{0};
};

// "1h02m", "3m05s", "12s"
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

// The single progress line on err, redrawn in place with \r by its own thread.
class progress_line {
 public:
  progress_line(FILE* err, size_t slots, std::mutex* io) : err_(err), slots_(slots), io_(io) {}
  ~progress_line() { stop(); }

  void start() { ticker_ = std::thread([this] { run(); }); }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stopping_ = true;
    }
    cv_.notify_all();
    if (ticker_.joinable()) ticker_.join();
    std::lock_guard<std::mutex> lock(*io_);
    clear_locked();
  }

  progress_slot& slot(size_t i) { return slots_[i]; }

  // Wipes the line; the caller holds the io mutex.
  void clear_locked() {
    if (width_ == 0) return;
    std::fprintf(err_, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(err_);
    width_ = 0;
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(m_);
    while (!cv_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
      const std::string text = render();
      std::lock_guard<std::mutex> io(*io_);
      const size_t pad = width_ > text.size() ? width_ - text.size() : 0;
      std::fprintf(err_, "\r%s%*s", text.c_str(), static_cast<int>(pad), "");
      if (pad > 0) std::fprintf(err_, "\r%s", text.c_str());
      std::fflush(err_);
      width_ = text.size();
    }
  }

  // The earliest test in flight, and how many others run beside it.
  std::string render() {
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
    const int64_t done = first->done.load(), total = first->total.load();
    const double elapsed =
        (clock_type::now().time_since_epoch().count() - first->start_ns.load()) * 1e-9;
    const double rate = elapsed > 0 ? done / elapsed : 0.0;
    char text[200];
    std::snprintf(text, sizeof text, "M%d: iteration %lld/%lld (%.1f%%), %.0f it/s, ETA %s",
                  first->p.load(), static_cast<long long>(done), static_cast<long long>(total),
                  total > 0 ? 100.0 * done / total : 0.0, rate,
                  rate > 0 ? short_duration((total - done) / rate).c_str() : "?");
    std::string s = text;
    if (others > 0) s += " (+" + std::to_string(others) + " running)";
    return s;
  }

  FILE* err_;
  std::vector<progress_slot> slots_;
  std::mutex* io_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stopping_ = false;
  size_t width_ = 0;
  std::thread ticker_;
};

}  // namespace

exponent_result test_exponent(int32_t p, const cli_options& opt,
                              const std::function<void(int64_t, int64_t)>& progress) {
  exponent_result r;
  r.p = p;
  const auto t0 = clock_type::now();
  if (p == 2) {
    r.kind = result_kind::small_prime;
  } else if (const int32_t d = smallest_prime_factor(p); d != p) {
    r.kind = result_kind::composite_exponent;
    r.divisor = d;
  } else {
    const engine* e = choose_engine(opt.engine, p);
    r.engine = e != nullptr ? e->name : opt.engine;
    if (e == nullptr || !e->applicable(p)) {
      r.kind = result_kind::no_engine;
    } else {
      engine_options eo;
      eo.threads = opt.threads;
      eo.progress = progress;
      // An engine that throws (e.g. out of memory for its vectors) yields no verdict, not a crash.
      try {
        r.outcome = e->run(p, eo);
      } catch (const std::bad_alloc&) {
        r.outcome = ll_outcome{};
        r.outcome.error = "not enough memory for p = " + std::to_string(p);
      } catch (const std::exception& x) {
        r.outcome = ll_outcome{};
        r.outcome.error = x.what();
      }
    }
  }
  r.seconds = seconds_since(t0);
  return r;
}

int run_batch(const cli_options& opt, FILE* out, FILE* err, bool show_progress) {
  const size_t workers = static_cast<size_t>(opt.jobs < 1 ? 1 : opt.jobs);
  // Results wait here until every earlier one is printed; the window keeps a
  // long range from piling up behind one slow exponent.
  const int64_t window = static_cast<int64_t>(workers) * 16 + 64;

  std::mutex io;
  progress_line line(err, workers, &io);
  std::mutex m;
  std::condition_variable cv;
  exponent_cursor cursor(opt.exponents);
  int64_t next_index = 0;
  int64_t next_to_print = 0;
  bool exhausted = false;
  bool all_verdicts = true;
  std::map<int64_t, std::string> ready;

  auto work = [&](size_t w) {
    progress_slot& slot = line.slot(w);
    for (;;) {
      int64_t index;
      int32_t p;
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return exhausted || next_index < next_to_print + window; });
        if (exhausted || !cursor.next(&p)) {
          exhausted = true;
          cv.notify_all();
          return;
        }
        index = next_index++;
      }
      slot.p = p;
      slot.done = 0;
      slot.total = 0;
      slot.start_ns = clock_type::now().time_since_epoch().count();
      slot.index = index;
      const exponent_result r = test_exponent(p, opt, [&slot](int64_t done, int64_t total) {
        slot.done.store(done, std::memory_order_relaxed);
        slot.total.store(total, std::memory_order_relaxed);
      });
      slot.index = -1;
      std::string text = (opt.json ? result_json(r) : result_text(r)) + "\n";

      std::lock_guard<std::mutex> lock(m);
      if (!has_verdict(r)) all_verdicts = false;
      ready.emplace(index, std::move(text));
      // Whoever completes the next result in order prints every result now in order.
      if (ready.begin()->first == next_to_print) {
        std::lock_guard<std::mutex> out_lock(io);
        line.clear_locked();
        while (!ready.empty() && ready.begin()->first == next_to_print) {
          std::fputs(ready.begin()->second.c_str(), out);
          ready.erase(ready.begin());
          ++next_to_print;
        }
        std::fflush(out);
        cv.notify_all();
      }
    }
  };

  if (show_progress) line.start();
  std::vector<std::thread> pool;
  for (size_t w = 1; w < workers; ++w) pool.emplace_back(work, w);
  work(0);
  for (std::thread& t : pool) t.join();
  line.stop();
  return all_verdicts ? kExitOk : kExitNoVerdict;
}

int run_cli(int argc, const char* const* argv) {
  const parsed_command cmd = parse_command_line(argc, argv);
  switch (cmd.action) {
    case cli_action::help:
    case cli_action::version:
      std::fputs(cmd.text.c_str(), stdout);
      return kExitOk;
    case cli_action::error:
      std::fprintf(stderr, "mersenne: %s\nRun 'mersenne --help' for usage.\n", cmd.text.c_str());
      return kExitBadInput;
    case cli_action::run:
      break;
  }
  bool show = isatty(STDERR_FILENO) != 0;
  if (cmd.options.progress == progress_mode::on) show = true;
  if (cmd.options.progress == progress_mode::off) show = false;
  return run_batch(cmd.options, stdout, stderr, show);
}
