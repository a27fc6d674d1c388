#include "cli/batch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <nlohmann/json.hpp>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/machine.h"
#include "cli/benchmark.h"
#include "cli/line_output.h"
#include "cli/ordered_output.h"
#include "cli/progress_line.h"
#include "work/results_file.h"
#include "arith/engine_table.h"
#include "methods/factor/factor.h"
#include "base/tuning.h"
#include "arith/fast/plans.h"
#include "methods/proof.h"
#include "methods/prp.h"
#include "methods/run.h"
#include "formats/state.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
  return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The exponents of the command line, handed out one at a time in order:
// of a shard I/N only every N-th of the expanded list, from the I-th.
class exponent_cursor {
 public:
  exponent_cursor(const std::vector<exponent_span>& spans, int shard_index = 1, int shard_count = 1)
      : spans_(spans), shard_(shard_index - 1), shards_(shard_count) {}
  // The next exponent into *p and its position into *index; false when all are handed out.
  bool next(int32_t* p, int64_t* index) {
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

 private:
  std::mutex m_;
  const std::vector<exponent_span>& spans_;
  int64_t shard_, shards_;
  size_t span_ = 0;
  int64_t offset_ = 0;  // exponents of the current span already passed
  int64_t seen_ = 0;    // positions of the whole list passed
  int64_t index_ = 0;
};

// "M127". (Built by appending: GCC 12 warns falsely about "M" + std::string.)
std::string exponent_name(int32_t p) {
  std::string s = "M";
  s += std::to_string(p);
  return s;
}

// A result of no verdict for p, with error as the reason (another process
// holds its lock, no memory for its test or its line).
exponent_result error_result(int32_t p, const cli_options& opt, const std::string& error) {
  exponent_result r;
  r.p = p;
  r.prp = opt.prp;
  const engine* e = choose_engine(opt.engine, p);
  r.engine = e != nullptr ? e->name : opt.engine;
  r.outcome.error = error;
  return r;
}

// The result for p when its test or its line could not have its memory.
exponent_result memory_result(int32_t p, const cli_options& opt) {
  return error_result(p, opt, "not enough memory for p = " + std::to_string(p));
}

// How many exponents the spans hold together.
int64_t exponent_count(const std::vector<exponent_span>& spans) {
  int64_t n = 0;
  for (const exponent_span& s : spans) n += static_cast<int64_t>(s.last) - s.first + 1;
  return n;
}

// Where the trial factoring of p stands by its state directory: the deepest
// level its test's states record, or its factoring progress where that is as deep.
factoring_state saved_factoring(int32_t p, const state_dir& states,
                                const std::function<void(const std::string&)>& warn) {
  factoring_state at;
  at.p = p;
  const auto quiet = [](const std::string&) {};  // the test itself names the state files it cannot use
  for (test_kind kind : {test_kind::ll, test_kind::prp})
    for (const run_state& s : states.load(p, quiet, kind)) at.level = std::max(at.level, static_cast<int>(s.tf_bits));
  factoring_state f;
  if (states.load_factoring(p, &f, warn ? warn : quiet) && f.level >= at.level) at = f;
  return at;
}

// Trial-factors prime p to 2^depth (on from 2^factored_to, or from where its
// state directory says it got) into r, saving its progress there at class
// boundaries every checkpoint interval, and where it stops. True when the test
// is still to run (eo.factored_to then set); false when factoring settled the
// exponent or was stopped.
bool factor_first(int32_t p, const cli_options& opt, engine_options& eo, int depth, int factored_to,
                  exponent_result& r) {
  factoring_state at;
  at.p = p;
  at.level = factored_to;
  if (eo.states != nullptr) {
    const factoring_state saved = saved_factoring(p, *eo.states, eo.warn);
    if (saved.level >= at.level) at = saved;
  }
  factor_options fo;
  fo.from_bits = std::min(at.level, depth);
  if (at.level < depth) fo.from_classes = at.done;
  fo.to_bits = depth;
  fo.stop = eo.stop;
  fo.progress = eo.factor_progress;
  factoring_state reached = at;
  bool unsaved = false;
  auto last_save = clock_type::now();
  const auto save = [&] {
    std::string why;
    if (!eo.states->save_factoring(reached, &why) && eo.warn)
      eo.warn("could not save the factoring progress of M" + std::to_string(p) + ": " + why + "; going on");
    last_save = clock_type::now();
    unsaved = false;
  };
  if (eo.states != nullptr)
    fo.reached = [&](int level, const factor_classes& done) {
      reached.level = level;
      reached.done = done;
      unsaved = true;
      if (seconds_since(last_save) >= opt.checkpoint_every) save();
    };
  const factor_outcome f = trial_factor(p, fo);
  r.tf_bits = std::max(f.bits, fo.from_bits);
  if (f.interrupted) {
    if (eo.states != nullptr) save();
    r.outcome.interrupted = true;
    return false;
  }
  if (!f.error.empty()) {
    r.engine = "tf";
    r.outcome.error = f.error;
    return false;
  }
  if (!f.factor.empty()) {
    r.kind = result_kind::factored;
    r.tf_factor = f.factor;
    return false;
  }
  if (f.sqrt_reached) {
    r.kind = result_kind::proven_prime;
    return false;
  }
  if (opt.factor_only) {
    r.kind = result_kind::no_factor;
    return false;
  }
  // The depth goes into the test's states; until the first is saved, the progress holds it.
  eo.factored_to = std::max(at.level, r.tf_bits);
  if (unsaved) save();
  return true;
}

}  // namespace

int factoring_depth(int32_t p, const cli_options& opt) {
  if (opt.tf_bits >= 0) return opt.tf_bits;
  const double test = estimated_test_seconds(p);
  const bool asked = opt.factor_only || opt.tf_auto;
  // An interim residue (--iterations) is not about primality: factoring only when asked.
  if (asked || (opt.iterations == 0 && test >= tuning::kFactorBeforeTestSeconds)) return factor_auto_depth(p, test);
  return 0;
}

exponent_result test_exponent(int32_t p, const cli_options& opt, engine_options eo, int factored_to) {
  exponent_result r;
  r.p = p;
  r.prp = opt.prp;
  r.factor_only = opt.factor_only;
  const auto t0 = clock_type::now();
  if (p == 2) {
    r.kind = result_kind::small_prime;
  } else if (const int32_t d = smallest_prime_factor(p); d != p) {
    r.kind = result_kind::composite_exponent;
    r.divisor = d;
  } else if (const int depth = factoring_depth(p, opt); depth > 0 && !factor_first(p, opt, eo, depth, factored_to, r)) {
    // Settled by factoring (a factor, the square root reached, or --test=tf done), or stopped.
  } else {
    const engine* e = choose_engine(opt.engine, p);
    r.engine = e != nullptr ? e->name : opt.engine;
    if (e == nullptr || !e->applicable(p)) {
      r.kind = result_kind::no_engine;
    } else {
      eo.threads = opt.threads;
      eo.shift = opt.shift;
      eo.iterations = opt.iterations;
      eo.inject_faults = opt.inject_faults;
      eo.checkpoint_every = opt.checkpoint_every;
      eo.proof_power = opt.proof_power;
      eo.proof_dir = opt.proof_dir;
      // Whatever escapes the loop (it reports its own failures) still gives no verdict, not a crash.
      try {
        r.outcome = opt.prp ? run_probable_prime(*e, p, eo) : run_lucas_lehmer(*e, p, eo);
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

// The state directory opt names (or the default), or null with the reason in *why.
std::unique_ptr<state_dir> state_dir_of(const cli_options& opt, std::string* why) {
  const std::string dir = opt.state_dir.empty() ? default_state_dir() : opt.state_dir;
  *why = "no state directory: neither XDG_STATE_HOME nor HOME is set";
  return dir.empty() ? nullptr : state_dir::open(dir, why);
}

// The state directory for a batch, or null (with one warning) when it cannot be used.
std::unique_ptr<state_dir> open_states(const cli_options& opt, FILE* err) {
  if (!opt.checkpoints) return nullptr;
  std::string why;
  std::unique_ptr<state_dir> states = state_dir_of(opt, &why);
  if (states == nullptr) std::fprintf(err, "mersenne: %s; going on without checkpoints\n", why.c_str());
  return states;
}

}  // namespace

namespace {

// What an earlier run recorded in the results file for one exponent.
struct recorded {
  const exponent_result* settled = nullptr;  // a line that stands for this run's result; null: none
  int factored_to = 0;                        // the deepest factoring recorded without a factor
};

// Whether saved, a line of the results file for its exponent p, stands for
// what opt asks of p: a verdict settled by factoring or by p itself stands for
// any test; otherwise the same test, with the same K or at least the same depth.
bool settles(const exponent_result& saved, const cli_options& opt) {
  switch (saved.kind) {
    case result_kind::small_prime:
    case result_kind::composite_exponent:
    case result_kind::factored:
    case result_kind::proven_prime:
      return true;
    case result_kind::no_engine:
      return false;
    case result_kind::no_factor:
      return opt.factor_only && saved.tf_bits >= factoring_depth(saved.p, opt);
    case result_kind::tested:
      break;
  }
  const ll_outcome& o = saved.outcome;
  if (opt.factor_only || saved.factor_only || saved.prp != opt.prp || !o.error.empty()) return false;
  const bool whole = opt.iterations == 0 || opt.iterations >= static_cast<int64_t>(saved.p) - 2;
  return whole ? o.verdict && o.partial == 0 : o.partial == opt.iterations;
}

// The first run of an exponent in this process, which a repeat of it in the
// list waits for and reports again (with a results file, each exponent is done once).
struct first_run {
  bool done = false;
  bool stopped = false;  // interrupted: the repeat has nothing to report either
  exponent_result r;
};

}  // namespace

cli_outcome run_batch(const cli_options& opt, int out_fd, FILE* err, bool show_progress) {
  const int64_t count = (exponent_count(opt.exponents) + opt.shard_count - 1) / opt.shard_count;
  const size_t workers = static_cast<size_t>(std::clamp<int64_t>(std::min<int64_t>(opt.jobs, count), 1, 1 << 20));
  // Results wait until every earlier one is printed; the window keeps a long
  // range from piling up behind one slow exponent.
  const int64_t window = static_cast<int64_t>(workers) * 16 + 64;

  // Declared before the printer, whose pending lines may still hold locks
  // that unregister themselves here when it is destroyed.
  const std::unique_ptr<state_dir> states = open_states(opt, err);
  std::mutex held_mutex;
  std::set<int32_t> held_here;
  std::mutex io;
  line_output out(out_fd);
  progress_line line(err, workers, &io);
  ordered_output printer(&out, &io, &line);
  exponent_cursor cursor(opt.exponents, opt.shard_index, opt.shard_count);
  std::atomic<bool> stop{false};
  std::atomic<int32_t> memory_failed{0};  // the exponent whose handling ran out of memory (0: none)
  std::mutex shared_lock;
  bool all_done = true;
  std::vector<std::pair<int32_t, int64_t>> saved;  // interrupted tests: exponent, iteration saved (-1: none)
  std::vector<std::pair<int32_t, int>> factoring_saved;  // interrupted before a state: exponent, level factored
  // Exponents whose lock this process holds (held_here): a repeat of one in
  // the same list is tested again without checkpoints rather than reported busy.
  const auto take_lock = [&](int32_t p, bool* busy, std::string* why) -> std::shared_ptr<exponent_lock> {
    *busy = false;
    // Checked and taken under one hold: two workers on the same exponent at
    // once would otherwise both miss it here and one find its own lock busy.
    std::lock_guard<std::mutex> hold(held_mutex);
    if (held_here.count(p) != 0) return nullptr;
    std::unique_ptr<exponent_lock> taken = states->lock(p, busy, why);
    if (taken == nullptr) return nullptr;
    held_here.insert(p);
    return std::shared_ptr<exponent_lock>(taken.release(), [&held_mutex, &held_here, p](exponent_lock* l) {
      delete l;
      std::lock_guard<std::mutex> hold(held_mutex);
      held_here.erase(p);
    });
  };
  const auto warn = [&](const std::string& text) {
    std::lock_guard<std::mutex> hold(io);
    line.clear_locked();
    std::fprintf(err, "mersenne: %s\n", text.c_str());
  };

  // The results file: what it holds per exponent, and the first run of each
  // exponent of this list (so that a repeat is done and recorded once).
  std::unique_ptr<results_file> results;
  std::map<int32_t, recorded> earlier;
  std::mutex runs_mutex;
  std::condition_variable runs_cv;
  std::map<int32_t, std::shared_ptr<first_run>> runs;
  std::string results_failure;  // set (under io) when a line could not be recorded
  if (!opt.results_file.empty()) {
    std::string why;
    results = results_file::open(opt.results_file, warn, &why);
    if (results == nullptr) {
      std::fprintf(err, "mersenne: %s\n", why.c_str());
      return {batch_status::usage, 0};
    }
    for (const exponent_result& saved : results->saved()) {
      recorded& e = earlier[saved.p];
      if (e.settled == nullptr && settles(saved, opt)) e.settled = &saved;
      if (saved.tf_factor.empty() && saved.outcome.error.empty()) e.factored_to = std::max(e.factored_to, saved.tf_bits);
    }
  }
  const auto line_of = [&](const exponent_result& r) { return (opt.json ? result_json(r) : result_text(r)) + "\n"; };

  stop_signal = 0;
  stop_flag = &stop;
  struct sigaction action = {}, previous[3];
  action.sa_handler = on_ending_signal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kEndingSignals[i], &action, &previous[i]);

  // Worker w's loop over the exponents; p is the one it is on.
  auto work_on = [&](size_t w, int32_t& p) {
    progress_slot& slot = line.slot(w);
    int64_t index;
    while (!stop.load() && cursor.next(&p, &index)) {
      printer.wait_for_room(index, window);
      if (stop.load()) break;
      int factored_to = 0;
      std::shared_ptr<first_run> first;
      if (results != nullptr) {
        const auto found = earlier.find(p);
        if (found != earlier.end() && found->second.settled != nullptr) {
          // Done before: reported again from the file, in today's format.
          if (!printer.put(index, line_of(*found->second.settled))) stop = true;
          continue;
        }
        if (found != earlier.end()) factored_to = found->second.factored_to;
        std::unique_lock<std::mutex> hold(runs_mutex);
        auto [it, mine] = runs.try_emplace(p, nullptr);
        if (!mine) {
          const std::shared_ptr<first_run> other = it->second;
          runs_cv.wait(hold, [&] { return other->done || stop.load(); });
          if (!other->done || other->stopped) break;
          const exponent_result again = other->r;
          hold.unlock();
          if (!printer.put(index, line_of(again))) stop = true;
          continue;
        }
        it->second = first = std::make_shared<first_run>();
      }
      slot.p = p;
      slot.done = 0;
      slot.total = 0;
      slot.base = -1;
      slot.start_ns = clock_type::now().time_since_epoch().count();
      slot.index = index;
      engine_options eo;
      slot.level = 0;
      slot.threads.team = 0;
      slot.threads.running = 0;
      eo.thread_report = &slot.threads;
      eo.factor_progress = [&slot](int level, double share) {
        slot.level.store(level, std::memory_order_relaxed);
        slot.done.store(static_cast<int64_t>(share * 1000), std::memory_order_relaxed);
        slot.total.store(1000, std::memory_order_relaxed);
      };
      eo.progress = [&slot](int64_t done, int64_t total) {
        slot.level.store(0, std::memory_order_relaxed);
        int64_t none = -1;
        slot.base.compare_exchange_strong(none, done);
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
        held = take_lock(p, &busy, &why);
        if (held != nullptr) eo.states = states.get();
        else if (busy) r = error_result(p, opt, "busy: " + why);
        else if (!why.empty()) warn(exponent_name(p) + ": " + why + "; testing it without checkpoints");
      }
      if (!busy) {
        try {
          r = test_exponent(p, opt, eo, factored_to);
        } catch (const std::bad_alloc&) {
          r = memory_result(p, opt);
        }
      }
      slot.index = -1;
      std::string text;
      try {
        text = line_of(r);
      } catch (const std::bad_alloc&) {
        // A verdict that cannot be put into words is not reported: its states stay.
        r = memory_result(p, opt);
        text = line_of(r);
      }
      if (first != nullptr) {
        std::lock_guard<std::mutex> hold(runs_mutex);
        first->r = r;
        first->stopped = r.outcome.interrupted;
        first->done = true;
        runs_cv.notify_all();
      }
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
      if (held != nullptr || record)
        after = [&, held, p, finished = has_verdict(r), done = is_done(r),
                 kind = opt.prp ? test_kind::prp : test_kind::ll, json = record ? result_json(r) : std::string()] {
          if (!json.empty()) {
            std::string why;
            if (!results->append(json, held != nullptr && finished, &why)) {
              if (results_failure.empty()) results_failure = why;
              stop = true;
              return;
            }
          }
          if (held == nullptr) return;
          if (done) states->forget_factoring(p);
          if (finished) states->forget(p, kind);
          // The lock stays only beside the files it guards.
          if (!states->holds(p)) held->remove_on_release();
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
      what += exponent_name(p) + " at iteration " + std::to_string(at);
    }
    std::sort(factoring_saved.begin(), factoring_saved.end());
    for (const auto& [p, level] : factoring_saved) {
      if (!what.empty()) what += ", ";
      what += exponent_name(p) + "'s trial factoring (no factor below 2^" + std::to_string(level) + ")";
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

namespace {

// Writes text to standard output; false, with a message on stderr, when it cannot.
bool write_stdout(const std::string& text) {
  line_output out(STDOUT_FILENO);
  if (out.write(text) && out.close()) return true;
  std::fprintf(stderr, "mersenne: cannot write to standard output (%s)\n", out.error().c_str());
  return false;
}

// --states: one line (or JSON object) per exponent with a saved state.
batch_status list_states(const cli_options& opt) {
  std::string why, text;
  const auto states = state_dir_of(opt, &why);
  if (states == nullptr) {
    std::fprintf(stderr, "mersenne: no state directory to list (%s)\n", why.c_str());
    return batch_status::usage;
  }
  for (int32_t p : states->exponents())
    for (test_kind kind : {test_kind::ll, test_kind::prp}) {
    const auto found =
        states->load(p, [](const std::string& w) { std::fprintf(stderr, "mersenne: %s\n", w.c_str()); }, kind);
    if (found.empty()) continue;
    // A probable-prime test runs p iterations (and on to the proof's end), a Lucas-Lehmer test p - 2.
    const int64_t total = kind == test_kind::prp ? p : p - 2;
    const run_state& s = found.front();
    const double age = states->age_seconds(p);
    if (opt.json) {
      nlohmann::ordered_json j;
      j["exponent"] = p;
      j["test"] = test_name(s.test);
      j["iteration"] = s.iteration;
      j["iterations"] = total;
      j["verified"] = s.verified;
      j["age_seconds"] = std::round(age);
      text += j.dump() + "\n";
    } else {
      char line[200];
      std::snprintf(line, sizeof line, "M%d  %s  iteration %lld of %lld (%.1f%%)  saved %s ago%s\n", p,
                    test_name(s.test), static_cast<long long>(s.iteration), static_cast<long long>(total),
                    std::min(100.0, 100.0 * static_cast<double>(s.iteration) / static_cast<double>(total)),
                    short_duration(age).c_str(), s.verified ? "  verified" : "");
      text += line;
    }
    }
  if (text.empty() && !opt.json) text = "no saved states in " + states->path() + "\n";
  return write_stdout(text) ? batch_status::ok : batch_status::output_failed;
}

// --forget P...: removes the saved states of the exponents given (not of one another process is testing).
batch_status forget_states(const cli_options& opt) {
  std::string why, text;
  const auto states = state_dir_of(opt, &why);
  if (states == nullptr) return write_stdout("no saved states\n") ? batch_status::ok : batch_status::output_failed;
  bool kept = false;
  for (int32_t p : states->exponents()) {
    bool wanted = false;
    for (const exponent_span& s : opt.exponents) wanted = wanted || (s.first <= p && p <= s.last);
    if (!wanted) continue;
    bool busy = false;
    const auto held = states->lock(p, &busy, &why);
    if (held == nullptr) {
      text += exponent_name(p) + ": kept: " + why + "\n";
      kept = true;
      continue;
    }
    states->forget(p);
    held->remove_on_release();
    text += exponent_name(p) + ": saved states removed\n";
  }
  if (text.empty()) text = "no saved states for these exponents\n";
  if (!write_stdout(text)) return batch_status::output_failed;
  return kept ? batch_status::no_verdict : batch_status::ok;
}

// Whether FFTW plans are measured: --plans, else MERSENNE_PLANS where it
// names a choice (a warning where it names none), else measured.
bool measured_plans(plan_choice choice) {
  if (choice != plan_choice::unset) return choice == plan_choice::measure;
  const char* env = std::getenv("MERSENNE_PLANS");
  if (env == nullptr || *env == '\0' || std::strcmp(env, "measure") == 0) return true;
  if (std::strcmp(env, "estimate") == 0) return false;
  std::fprintf(stderr, "mersenne: MERSENNE_PLANS=%s is neither measure nor estimate; plans are measured\n", env);
  return true;
}

// The benchmark's blocks: MERSENNE_BENCH_QUICK (for the tests) shortens them
// to a few milliseconds, which only makes the figures rougher.
bench_timing benchmark_timing() {
  const char* quick = std::getenv("MERSENNE_BENCH_QUICK");
  if (quick == nullptr || *quick == '\0' || std::strcmp(quick, "0") == 0) return {};
  return {0.002, 1, 5};
}

}  // namespace

batch_status run_verify(const cli_options& opt, int out_fd) {
  line_output out(out_fd);
  engine_options eo;
  eo.threads = opt.threads;
  bool all_valid = true;
  for (const std::string& path : opt.verify_files) {
    const auto t0 = clock_type::now();
    proof_verdict v;
    try {
      v = verify_proof_file(*find_engine("fast"), path, eo);
    } catch (const std::bad_alloc&) {
      v = proof_verdict{};
      v.why = "could not be checked: not enough memory";
    }
    const double seconds = seconds_since(t0);
    all_valid = all_valid && v.valid;
    std::string line;
    if (opt.json) {
      nlohmann::ordered_json j;
      j["file"] = path;
      j["valid"] = v.valid;
      j["exponent"] = v.p != 0 ? nlohmann::ordered_json(v.p) : nlohmann::ordered_json(nullptr);
      if (v.valid) {
        j["prime"] = v.prime;
        j["res64"] = res64_hex(v.res64);
        j["power"] = v.power;
      } else {
        j["reason"] = v.why;
      }
      j["squarings"] = v.squarings;
      j["seconds"] = std::round(seconds * 1000.0) / 1000.0;
      line = j.dump();
    } else {
      char details[96];
      std::snprintf(details, sizeof details, " (%lld squarings, %.1f s)", static_cast<long long>(v.squarings), seconds);
      if (!v.valid)
        line = path + ": proof invalid: " + v.why;
      else if (v.prime)
        line = exponent_name(v.p) + ": proof valid, probable prime" + details;
      else
        line = exponent_name(v.p) + ": proof valid, composite, PRP Res64 " + res64_hex(v.res64) + details;
    }
    if (!out.write(line + "\n")) break;
  }
  if (!out.close() || out.failed()) {
    std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", out.error().c_str());
    return batch_status::output_failed;
  }
  return all_valid ? batch_status::ok : batch_status::proof_invalid;
}

batch_status run_summary(const cli_options& opt, int out_fd) {
  std::vector<exponent_result> all;
  for (const std::string& path : opt.summary_files) {
    std::string text, why;
    bool missing = false;
    if (!read_whole_file(path, size_t{1} << 34, &text, &missing, &why)) {
      std::fprintf(stderr, "mersenne: cannot read %s: %s\n", path.c_str(), why.c_str());
      return batch_status::usage;
    }
    results_text parsed = parse_results(text, path);
    for (const std::string& w : parsed.warnings) std::fprintf(stderr, "mersenne: %s\n", w.c_str());
    for (exponent_result& r : parsed.results) all.push_back(std::move(r));
  }
  const results_summary s = summarize(all);
  std::string text;
  if (opt.json) {
    nlohmann::ordered_json j;
    j["exponents"] = s.exponents;
    j["primes"] = s.primes;
    j["factored"] = s.factored;
    j["tested"] = s.tested;
    j["no_verdict"] = s.no_verdict;
    j["prime_exponents"] = s.prime_exponents;
    text = j.dump() + "\n";
  } else {
    text = "exponents: " + std::to_string(s.exponents) + "\nprimes: " + std::to_string(s.primes) +
           "\nfactored: " + std::to_string(s.factored) + "\ntested (composite): " + std::to_string(s.tested) +
           "\nno verdict: " + std::to_string(s.no_verdict) + "\n";
    if (!s.prime_exponents.empty()) {
      text += "primes found:";
      for (int32_t p : s.prime_exponents) text += " " + exponent_name(p);
      text += "\n";
    }
  }
  line_output out(out_fd);
  if (out.write(text) && out.close()) return batch_status::ok;
  std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", out.error().c_str());
  return batch_status::output_failed;
}

namespace {

// Adds the exponents of --from (a file, or standard input for "-") to o;
// false with a message on stderr when it cannot be read or holds a bad line.
bool read_from_file(cli_options& o) {
  if (o.from_file.empty()) return true;
  std::string text, why;
  bool missing = false;
  const std::string path = o.from_file == "-" ? "/dev/stdin" : o.from_file;
  bool ok = false;
  if (o.from_file == "-") {
    char buf[1 << 16];
    ok = true;
    for (;;) {
      const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        why = std::strerror(errno);
        ok = false;
      }
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
  } else {
    ok = read_whole_file(path, size_t{1} << 30, &text, &missing, &why);
  }
  const std::string name = o.from_file == "-" ? "standard input" : o.from_file;
  if (!ok) {
    std::fprintf(stderr, "mersenne: cannot read the exponents of --from %s: %s\n", name.c_str(), why.c_str());
    return false;
  }
  if (!parse_exponent_list(text, &o.exponents, &why)) {
    std::fprintf(stderr, "mersenne: %s: %s\n", name.c_str(), why.c_str());
    return false;
  }
  if (o.exponents.empty()) {
    std::fprintf(stderr, "mersenne: no exponent given (%s holds none)\n", name.c_str());
    return false;
  }
  return true;
}

}  // namespace

cli_outcome run_cli(int argc, const char* const* argv) {
  // A closed standard output could be taken over by the next file opened.
  if (fcntl(STDOUT_FILENO, F_GETFL) == -1) {
    std::fprintf(stderr, "mersenne: standard output is closed; there is nowhere to write results\n");
    return {batch_status::output_failed, 0};
  }
  // A reader that goes away shows as a failed write (EPIPE), handled like any
  // other; a file size limit makes a state write fail instead of the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  share_heap_under_address_limit();
  const parsed_command cmd = parse_command_line(argc, argv);
  for (const std::string& w : cmd.warnings) std::fprintf(stderr, "mersenne: %s\n", w.c_str());
  switch (cmd.action) {
    case cli_action::help:
    case cli_action::version:
      return {write_stdout(cmd.text) ? batch_status::ok : batch_status::output_failed, 0};
    case cli_action::error:
      std::fprintf(stderr, "mersenne: %s\nRun 'mersenne --help' for usage.\n", cmd.text.c_str());
      return {batch_status::usage, 0};
    case cli_action::states:
      return {list_states(cmd.options), 0};
    case cli_action::forget:
      return {forget_states(cmd.options), 0};
    case cli_action::summary:
      return {run_summary(cmd.options, STDOUT_FILENO), 0};
    case cli_action::run:
    case cli_action::benchmark:
    case cli_action::verify:
      break;
  }
  fast_set_measured_plans(measured_plans(cmd.options.plans));
  bool show = isatty(STDERR_FILENO) != 0;
  if (cmd.options.progress == progress_mode::on) show = true;
  if (cmd.options.progress == progress_mode::off) show = false;
  if (cmd.action == cli_action::verify) return {run_verify(cmd.options, STDOUT_FILENO), 0};
  cli_options opt = cmd.options;
  if (cmd.action == cli_action::run && !read_from_file(opt)) return {batch_status::usage, 0};
  const cli_outcome outcome =
      cmd.action == cli_action::benchmark
          ? run_benchmark(opt, benchmark_timing(), STDOUT_FILENO, stderr, show)
          : run_batch(opt, STDOUT_FILENO, stderr, show);
  if (outcome.status != batch_status::output_failed && close(STDOUT_FILENO) != 0) {
    std::fprintf(stderr, "mersenne: cannot write the results (%s)\n", std::strerror(errno));
    return {batch_status::output_failed, 0};
  }
  return outcome;
}
