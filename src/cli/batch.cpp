#include "cli/batch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/line_output.h"
#include "cli/ordered_output.h"
#include "cli/progress_line.h"
#include "engine/engine_table.h"
#include "engine/run.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The exponents of the command line, handed out one at a time in order.
class exponent_cursor {
 public:
  explicit exponent_cursor(const std::vector<exponent_span>& spans) : spans_(spans) {}
  // The next exponent into *p and its position into *index; false when all are handed out.
  bool next(int32_t* p, int64_t* index) {
    std::lock_guard<std::mutex> lock(m_);
    if (span_ >= spans_.size()) return false;
    const exponent_span& s = spans_[span_];
    *p = static_cast<int32_t>(s.first + offset_);
    *index = index_++;
    if (static_cast<int64_t>(s.first) + offset_ == s.last) {
      ++span_;
      offset_ = 0;
    } else {
      ++offset_;
    }
    return true;
  }

 private:
  std::mutex m_;
  const std::vector<exponent_span>& spans_;
  size_t span_ = 0;
  int64_t offset_ = 0;
  int64_t index_ = 0;
};

// How many exponents the spans hold together.
int64_t exponent_count(const std::vector<exponent_span>& spans) {
  int64_t n = 0;
  for (const exponent_span& s : spans) n += static_cast<int64_t>(s.last) - s.first + 1;
  return n;
}

}  // namespace

exponent_result test_exponent(int32_t p, const cli_options& opt,
                              const std::function<void(int64_t, int64_t)>& progress,
                              const std::atomic<bool>* stop) {
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
      eo.stop = stop;
      // Whatever escapes the loop (it reports its own failures) still gives no verdict, not a crash.
      try {
        r.outcome = run_lucas_lehmer(*e, p, eo);
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

batch_status run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress) {
  const int64_t count = exponent_count(opt.exponents);
  const size_t workers = static_cast<size_t>(std::clamp<int64_t>(std::min<int64_t>(opt.jobs, count), 1, 1 << 20));
  // Results wait until every earlier one is printed; the window keeps a long
  // range from piling up behind one slow exponent.
  const int64_t window = static_cast<int64_t>(workers) * 16 + 64;

  std::mutex io;
  line_output out(out_fd);
  progress_line line(err, workers, &io);
  ordered_output printer(&out, &io, &line);
  exponent_cursor cursor(opt.exponents);
  std::atomic<bool> stop{false};
  std::mutex verdicts_lock;
  bool all_verdicts = true;

  auto work = [&](size_t w) {
    progress_slot& slot = line.slot(w);
    int32_t p;
    int64_t index;
    while (!stop.load() && cursor.next(&p, &index)) {
      printer.wait_for_room(index, window);
      if (stop.load()) break;
      slot.p = p;
      slot.done = 0;
      slot.total = 0;
      slot.start_ns = clock_type::now().time_since_epoch().count();
      slot.index = index;
      const exponent_result r = test_exponent(
          p, opt,
          [&slot](int64_t done, int64_t total) {
            slot.done.store(done, std::memory_order_relaxed);
            slot.total.store(total, std::memory_order_relaxed);
          },
          &stop);
      slot.index = -1;
      if (stop.load()) break;  // stopped in the middle: no result line
      if (!has_verdict(r)) {
        std::lock_guard<std::mutex> lock(verdicts_lock);
        all_verdicts = false;
      }
      // Nobody will read what comes next: stop the tests in flight too.
      if (!printer.put(index, (opt.json ? result_json(r) : result_text(r)) + "\n")) stop = true;
    }
  };

  if (show_progress) line.start();
  std::vector<std::thread> pool;
  for (size_t w = 1; w < workers; ++w) {
    try {
      pool.emplace_back(work, w);
    } catch (const std::system_error& x) {
      std::fprintf(err, "mersenne: could start only %zu of %zu workers (%s); going on with them\n", w, workers,
                   x.what());
      break;
    }
  }
  work(0);
  for (std::thread& t : pool) t.join();
  line.stop();
  if (out.failed()) {
    if (out.reader_gone())
      std::fprintf(err, "mersenne: the reader of the results went away (%s); stopped\n", out.error().c_str());
    else
      std::fprintf(err, "mersenne: cannot write the results (%s); stopped\n", out.error().c_str());
    return batch_status::output_failed;
  }
  return all_verdicts ? batch_status::ok : batch_status::no_verdict;
}

namespace {

// Writes text to standard output; false, with a message on stderr, when it cannot.
bool write_stdout(const std::string& text) {
  line_output out(STDOUT_FILENO);
  if (out.write(text) && out.close()) return true;
  std::fprintf(stderr, "mersenne: cannot write to standard output (%s)\n", out.error().c_str());
  return false;
}

}  // namespace

batch_status run_cli(int argc, const char* const* argv) {
  // A closed standard output could be taken over by the next file opened.
  if (fcntl(STDOUT_FILENO, F_GETFL) == -1) {
    std::fprintf(stderr, "mersenne: standard output is closed; there is nowhere to write results\n");
    return batch_status::output_failed;
  }
  // A reader that goes away shows as a failed write (EPIPE), handled like any other.
  signal(SIGPIPE, SIG_IGN);
  const parsed_command cmd = parse_command_line(argc, argv);
  for (const std::string& w : cmd.warnings) std::fprintf(stderr, "mersenne: %s\n", w.c_str());
  switch (cmd.action) {
    case cli_action::help:
    case cli_action::version:
      return write_stdout(cmd.text) ? batch_status::ok : batch_status::output_failed;
    case cli_action::error:
      std::fprintf(stderr, "mersenne: %s\nRun 'mersenne --help' for usage.\n", cmd.text.c_str());
      return batch_status::usage;
    case cli_action::run:
      break;
  }
  bool show = isatty(STDERR_FILENO) != 0;
  if (cmd.options.progress == progress_mode::on) show = true;
  if (cmd.options.progress == progress_mode::off) show = false;
  const batch_status status = run_batch(cmd.options, STDOUT_FILENO, stderr, show);
  if (status != batch_status::output_failed && close(STDOUT_FILENO) != 0) {
    std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", std::strerror(errno));
    return batch_status::output_failed;
  }
  return status;
}
