#include "cli/batch.h"
#include "base/clock.h"
#include "base/numbers.h"

#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/line_output.h"
#include "cli/ordered_output.h"
#include "cli/progress_line.h"
#include "formats/state.h"
#include "work/lifecycle.h"
#include "work/plan.h"
#include "work/queue.h"
#include "work/report.h"
#include "work/results_file.h"
#include "work/work_file.h"

namespace {


// The result for p when its test or its line could not have its memory.
exponent_result memory_result(int32_t p, const work_settings& opt) {
  return error_result(p, opt, "not enough memory for p = " + std::to_string(p));
}

}  // namespace

namespace {

// Set by the signal handler: the first ending signal, and the batch's stop flag to raise.
volatile sig_atomic_t stop_signal = 0;
std::atomic<bool>* stop_flag = nullptr;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The first signal lets every running test finish its iteration and save;
// a second SIGINT ends the program at once.
void on_ending_signal(int sig) {
  if (stop_signal != 0 && sig == SIGINT) {
    const char newline = '\n';
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, &newline, 1);
    _exit(128 + SIGINT);
  }
  if (stop_signal == 0) stop_signal = sig;
  if (stop_flag != nullptr) stop_flag->store(true);
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
  }
  return "a signal";
}

// The state directory for a batch, or null (with one warning) when it cannot be used.
std::unique_ptr<state_dir> open_states(const cli_options& opt, FILE* err) {
  if (!opt.checkpoints) return nullptr;
  std::string why;
  std::unique_ptr<state_dir> states = open_state_dir(opt, &why);
  if (states == nullptr) std::fprintf(err, "mersenne: %s; going on without checkpoints\n", why.c_str());
  return states;
}

// What every line for the search's server says of this program and machine.
record_context server_context() {
  record_context c;
  c.version = MERSENNE_VERSION;
  struct utsname u;
  if (uname(&u) == 0) {
    c.os = u.sysname;
    c.architecture = u.machine;
  }
  return c;
}

// The assignment an exponent of the command line stands for, for its server line.
assignment command_line_task(int32_t p, const work_settings& s) {
  assignment a;
  a.p = p;
  a.type = s.factor_only ? work_type::factor : s.pm1_only ? work_type::pminus1 : s.prp ? work_type::prp : work_type::ll;
  a.factor_to = s.tf_bits;
  a.b1 = s.pm1_b1;
  a.b2 = s.pm1_b2;
  return a;
}

}  // namespace

cli_outcome run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress) {
  const bool from_work_file = !opt.worktodo.empty();
  const int64_t count = from_work_file ? opt.jobs : (exponent_count(opt.exponents) + opt.shard_count - 1) / opt.shard_count;
  const size_t workers = static_cast<size_t>(std::clamp<int64_t>(std::min<int64_t>(opt.jobs, count), 1, 1 << 20));
  // Results wait until every earlier one is printed; the window keeps a long
  // range from piling up behind one slow exponent.
  const int64_t window = static_cast<int64_t>(workers) * 16 + 64;

  // Declared before the printer, whose pending lines may still hold locks
  // that unregister themselves here when it is destroyed.
  const std::unique_ptr<state_dir> states = open_states(opt, err);
  // Exponents whose lock this process holds: a repeat of one in the same
  // list is tested again without checkpoints rather than reported busy.
  std::optional<exponent_locks> locks;
  if (states != nullptr) locks.emplace(*states);
  std::mutex io;
  line_output out(out_fd);
  progress_line line(err, workers, &io);
  ordered_output printer(&out, &io, &line);
  exponent_queue queue(opt.exponents, opt.shard_index, opt.shard_count);
  std::atomic<bool> stop{false};
  std::atomic<int32_t> memory_failed{0};  // the exponent whose handling ran out of memory (0: none)
  std::mutex shared_lock;
  bool all_done = true;
  std::vector<std::pair<int32_t, int64_t>> saved;  // interrupted tests: exponent, iteration saved (-1: none)
  std::vector<std::pair<int32_t, int>> factoring_saved;  // interrupted before a state: exponent, level factored
  const auto warn = [&](const std::string& text) {
    std::lock_guard<std::mutex> hold(io);
    line.clear_locked();
    std::fprintf(err, "mersenne: %s\n", text.c_str());
  };

  // The results file: what it holds per exponent, and the first run of each
  // exponent of this list (so that a repeat is done and recorded once).
  std::unique_ptr<results_file> results;
  std::map<int32_t, recorded> earlier;
  first_runs runs;
  std::string results_failure;  // set (under io) when a line could not be recorded
  if (!opt.results_file.empty()) {
    std::string why;
    results = results_file::open(opt.results_file, warn, &why);
    if (results == nullptr) {
      std::fprintf(err, "mersenne: %s\n", why.c_str());
      return {batch_status::usage, 0};
    }
    earlier = index_results(results->saved(), opt);
  }
  // The search server's result lines, and the work file whose finished lines they take out.
  std::unique_ptr<results_file> server_results;
  std::unique_ptr<work_file> assignments_file;
  std::unique_ptr<assignment_queue> assignments;
  const record_context context = server_context();
  if (!opt.results_json.empty()) {
    std::string why;
    server_results = results_file::open(opt.results_json, warn, &why, true);
    if (server_results == nullptr) {
      std::fprintf(err, "mersenne: %s\n", why.c_str());
      return {batch_status::usage, 0};
    }
  }
  if (from_work_file) {
    std::string why;
    assignments_file = work_file::open(opt.worktodo, &why);
    if (assignments_file == nullptr) {
      std::fprintf(err, "mersenne: %s\n", why.c_str());
      return {batch_status::usage, 0};
    }
    assignments = std::make_unique<assignment_queue>(*assignments_file, opt, opt.worker, server_results->saved_keys(), warn);
  }
  const auto line_of = [&](const exponent_result& r) { return (opt.json ? result_json(r) : result_text(r)) + "\n"; };

  stop_signal = 0;
  stop_flag = &stop;
  struct sigaction action = {}, previous[3];
  action.sa_handler = on_ending_signal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kEndingSignals[i], &action, &previous[i]);

  // Worker w's loop over the exponents; p is the one it is on.
  // The next exponent, with the settings it is done under and, from a work file, its assignment.
  const auto next = [&](int32_t* p, int64_t* index, const work_settings** s, std::optional<work_item>* item) {
    if (!from_work_file) {
      *s = &opt;
      return queue.next(p, index);
    }
    work_item taken;
    std::string why;
    if (!assignments->next(&taken, index, &why)) {
      if (!why.empty()) {
        std::lock_guard<std::mutex> hold(io);
        if (results_failure.empty()) results_failure = why;
      }
      return false;
    }
    *p = taken.task.p;
    item->emplace(std::move(taken));
    *s = &(*item)->settings;
    return true;
  };
  auto work_on = [&](size_t w, int32_t& p) {
    progress_slot& slot = line.slot(w);
    int64_t index;
    const work_settings* settings = &opt;
    std::optional<work_item> item;
    while (!stop.load() && next(&p, &index, &settings, &item)) {
      const work_settings& s = *settings;
      printer.wait_for_room(index, window);
      if (stop.load()) break;
      int factored_to = item ? item->task.factored_to : 0;
      std::optional<first_runs::first_claim> first;  // a first run of p, which its repeats wait for
      if (results != nullptr) {
        const auto found = earlier.find(p);
        if (found != earlier.end() && found->second.settled != nullptr) {
          // Done before: reported again from the file, in today's format.
          if (!printer.put(index, line_of(*found->second.settled))) stop = true;
          continue;
        }
        if (found != earlier.end()) factored_to = found->second.factored_to;
        exponent_result again;
        const first_runs::claim claim = runs.take(p, stop, &again);
        if (claim == first_runs::claim::stopped) break;
        if (claim == first_runs::claim::repeat) {
          if (!printer.put(index, line_of(again))) stop = true;
          continue;
        }
        first.emplace(&runs, p);
      }
      slot.p = p;
      slot.done = 0;
      slot.total = 0;
      slot.base = -1;
      slot.start_ns = clock_type::now().time_since_epoch().count();
      slot.index = index;
      engine_options eo;
      slot.level = 0;
      slot.pm1_stage = 0;
      slot.threads.team = 0;
      slot.threads.running = 0;
      eo.thread_report = &slot.threads;
      eo.factor_progress = [&slot](int level, double share) {
        slot.level.store(level, std::memory_order_relaxed);
        slot.done.store(static_cast<int64_t>(share * 1000), std::memory_order_relaxed);
        slot.total.store(1000, std::memory_order_relaxed);
      };
      eo.pm1_progress = [&slot](int stage, double share) {
        slot.level.store(0, std::memory_order_relaxed);
        slot.pm1_stage.store(stage, std::memory_order_relaxed);
        slot.done.store(static_cast<int64_t>(share * 1000), std::memory_order_relaxed);
        slot.total.store(1000, std::memory_order_relaxed);
      };
      eo.progress = [&slot](int64_t done, int64_t total) {
        slot.level.store(0, std::memory_order_relaxed);
        slot.pm1_stage.store(0, std::memory_order_relaxed);
        int64_t none = -1;
        // The rate counts from the test's first report, not from the factoring before it.
        if (slot.base.compare_exchange_strong(none, done))
          slot.start_ns.store(clock_type::now().time_since_epoch().count(), std::memory_order_relaxed);
        slot.done.store(done, std::memory_order_relaxed);
        slot.total.store(total, std::memory_order_relaxed);
      };
      eo.stop = &stop;
      eo.warn = warn;
      if (show_progress) line.poke();
      // The exponent's lock is taken before anything is allocated for it.
      std::shared_ptr<exponent_lock> held;
      exponent_result r;
      bool busy = false;
      if (states != nullptr && p > 2 && smallest_prime_factor(p) == p) {
        std::string why;
        held = locks->take(p, &busy, &why);
        if (held != nullptr) eo.states = states.get();
        else if (busy) r = error_result(p, s, "busy: " + why);
        else if (!why.empty()) warn(mersenne_name(p) + ": " + why + "; testing it without checkpoints");
      }
      if (!busy) {
        try {
          r = test_exponent(p, s, eo, factored_to);
        } catch (const std::bad_alloc&) {
          r = memory_result(p, s);
        }
      }
      slot.index = -1;
      std::string text;
      try {
        text = line_of(r);
      } catch (const std::bad_alloc&) {
        // A verdict that cannot be put into words is not reported: its states stay.
        r = memory_result(p, s);
        text = line_of(r);
      }
      // The server's line of a finished assignment, and its key for the work file.
      std::optional<std::string> server_line;
      search_key server_key;
      if (server_results != nullptr && !r.outcome.interrupted) {
        search_result sr;
        std::string why;
        record_context now = context;
        now.now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
        if (search_record(r, item ? item->task : command_line_task(p, s), now, &sr, &why)) {
          server_line = search_result_line(sr);
          server_key = key_of(sr);
        } else if (!why.empty()) {
          warn(mersenne_name(p) + ": " + why + "; its assignment stays");
        }
      }
      if (first) first->finish(r);
      if (r.outcome.interrupted) {
        std::lock_guard<std::mutex> hold(shared_lock);
        saved.emplace_back(p, r.outcome.saved_at);
        if (held != nullptr && r.outcome.saved_at < 0 && r.tf_bits >= 0) factoring_saved.emplace_back(p, r.tf_bits);
        break;  // stopped in the middle: no result line
      }
      if (!is_done(r)) {
        std::lock_guard<std::mutex> hold(shared_lock);
        all_done = false;
      }
      // A finished exponent's states go once its line is out; a partial one keeps them.
      // With a results file, a final line is recorded once it is printed,
      // and synced before the states it stands for are removed.
      const bool record = results != nullptr && is_done(r) && r.outcome.error.empty();
      std::function<void()> after;
      if (held != nullptr || record || server_line)
        after = [&, held, p, finished = has_verdict(r), done = is_done(r),
                 kind = s.prp ? test_kind::prp : test_kind::ll, json = record ? result_json(r) : std::string(),
                 server_line, server_key, task = item] {
          std::string why;
          // The server's line is durable before the assignment's line goes, and that before its states.
          if (server_line && !server_results->append(*server_line, true, &why)) {
            if (results_failure.empty()) results_failure = why;
            stop = true;
            return;
          }
          if (server_line && task && !assignments->finished(*task, server_key, &why)) {
            if (results_failure.empty())
              results_failure = "cannot take the finished line " + std::to_string(task->line_no) + " out of " +
                                opt.worktodo + ": " + why;
            stop = true;
            return;
          }
          if (!close_exponent(p, kind, done, finished, json, results.get(), states.get(), held.get(), &why)) {
            if (results_failure.empty()) results_failure = why;
            stop = true;
          }
        };
      // Nobody will read what comes next: stop the tests in flight too (they save their states).
      if (!printer.put(index, std::move(text), std::move(after))) stop = true;
    }
  };
  auto work = [&](size_t w) {
    int32_t p = 0;
    try {
      work_on(w, p);
    } catch (const std::bad_alloc&) {
      // No memory even for the bookkeeping around a test: the batch stops
      // (the tests in flight save their states), never the process.
      int32_t none = 0;
      memory_failed.compare_exchange_strong(none, p);
      stop = true;
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
  for (int i = 0; i < 3; ++i) sigaction(kEndingSignals[i], &previous[i], nullptr);
  stop_flag = nullptr;
  if (results != nullptr && results_failure.empty()) {
    std::string why;
    if (!results->sync(&why)) results_failure = why;
  }
  if (!results_failure.empty()) {
    std::fprintf(err, "mersenne: %s; stopped (the results printed after the last line recorded are not in it)\n",
                 results_failure.c_str());
    return {batch_status::output_failed, 0};
  }

  if (const int32_t p = memory_failed.load(); p != 0) {
    std::fprintf(err, "mersenne: out of memory while handling M%d; stopped (the tests in progress saved their states)\n",
                 p);
    return {batch_status::no_verdict, 0};
  }
  if (stop_signal != 0) {
    std::string what;
    std::sort(saved.begin(), saved.end());
    for (const auto& [p, at] : saved) {
      if (at < 0) continue;
      if (!what.empty()) what += ", ";
      what += mersenne_name(p) + " at iteration " + std::to_string(at);
    }
    std::sort(factoring_saved.begin(), factoring_saved.end());
    for (const auto& [p, level] : factoring_saved) {
      if (!what.empty()) what += ", ";
      what += mersenne_name(p) + "'s trial factoring (no factor below 2^" + std::to_string(level) + ")";
    }
    if (what.empty())
      std::fprintf(err, "mersenne: stopped by %s; no state saved\n", signal_name(stop_signal));
    else
      std::fprintf(err, "mersenne: stopped by %s; saved %s; the same command resumes\n", signal_name(stop_signal),
                   what.c_str());
    return {batch_status::interrupted, stop_signal};
  }
  if (out.failed()) {
    if (out.reader_gone())
      std::fprintf(err, "mersenne: the reader of the results went away (%s); stopped\n", out.error().c_str());
    else
      std::fprintf(err, "mersenne: cannot write the results (%s); stopped\n", out.error().c_str());
    return {batch_status::output_failed, 0};
  }
  return {all_done ? batch_status::ok : batch_status::no_verdict, 0};
}
