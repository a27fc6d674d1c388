// The life of one test in a state directory: its lock taken before
// anything is allocated for it, its states saved and resumed under that
// lock, and once its final line is out (and recorded), its states forgotten.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "formats/state.h"
#include "work/results_file.h"
#include "work/settings.h"

// The state directory s names (or the default), or null with the reason in *why.
std::unique_ptr<state_dir> open_state_dir(const work_settings& s, std::string* why);

// The exponents of one state directory whose lock this process holds.
class exponent_locks {
 public:
  explicit exponent_locks(const state_dir& states) : states_(states) {}
  exponent_locks(const exponent_locks&) = delete;
  exponent_locks& operator=(const exponent_locks&) = delete;

  // p's lock, held until the last copy goes (which must be before this
  // object). Null when this process holds it already (a repeat of p in the
  // same list: *busy false, *why empty, tested without checkpoints), when
  // another process holds it (*busy) or it cannot be made (*why).
  std::shared_ptr<exponent_lock> take(int32_t p, bool* busy, std::string* why);

 private:
  const state_dir& states_;
  std::mutex m_;
  std::set<int32_t> held_;
};

// What ends p's life once its line is out: record (a final JSON line; empty:
// none) appended to results, synced at once where held and finished say the
// states it stands for go next; then, where held (p's lock, null: none),
// p's factoring progress removed when done, its kind's states when finished
// (a verdict), and the lock file when nothing is left beside it. False with
// *why when the line could not be recorded; nothing is removed then.
bool close_exponent(int32_t p, test_kind kind, bool done, bool finished, const std::string& record,
                    results_file* results, const state_dir* states, exponent_lock* held, std::string* why);
