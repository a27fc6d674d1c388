#include "work/lifecycle.h"

std::unique_ptr<state_dir> open_state_dir(const work_settings& s, std::string* why) {
  const std::string dir = s.state_dir.empty() ? default_state_dir() : s.state_dir;
  *why = "no state directory: neither XDG_STATE_HOME nor HOME is set";
  return dir.empty() ? nullptr : state_dir::open(dir, why);
}

std::shared_ptr<exponent_lock> exponent_locks::take(int32_t p, bool* busy, std::string* why) {
  *busy = false;
  // Checked and taken under one hold: two workers on the same exponent at
  // once would otherwise both miss it here and one find its own lock busy.
  std::lock_guard<std::mutex> hold(m_);
  if (held_.count(p) != 0) return nullptr;
  std::unique_ptr<exponent_lock> taken = states_.lock(p, busy, why);
  if (taken == nullptr) return nullptr;
  held_.insert(p);
  return std::shared_ptr<exponent_lock>(taken.release(), [this, p](exponent_lock* l) {
    delete l;
    std::lock_guard<std::mutex> hold(m_);
    held_.erase(p);
  });
}

bool close_exponent(int32_t p, test_kind kind, bool done, bool finished, const std::string& record,
                    results_file* results, const state_dir* states, exponent_lock* held, std::string* why) {
  if (!record.empty() && !results->append(record, held != nullptr && finished, why)) return false;
  if (held == nullptr) return true;
  if (done) states->forget_factoring(p);
  if (finished) {
    states->forget(p, kind);
    states->forget(p, test_kind::pm1);  // P-1 before a test, or alone: done with the exponent
  }
  // The lock stays only beside the files it guards.
  if (!states->holds(p)) held->remove_on_release();
  return true;
}
