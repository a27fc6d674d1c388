// Saved states of a running test, so that a crash, a reboot or Ctrl-C loses
// at most one checkpoint interval: the file format (checked with SHA-256
// before anything in it is trusted) and the state directory with its
// per-exponent locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "formats/factor_classes.h"

// The test a state belongs to: Lucas-Lehmer, the base-3 Fermat
// probable-prime test with its Gerbicz check (methods/prp.h), or P-1 factoring (methods/pm1.h).
enum class test_kind : uint32_t { ll = 1, prp = 2, pm1 = 3 };

// "ll", "prp" or "pm1"; "?" for a kind this build does not know.
const char* test_name(test_kind kind);

struct run_state {
  test_kind test = test_kind::ll;
  int32_t p = 0;
  int64_t iteration = 0;         // iterations done
  uint32_t shift = 0;            // current shift k: the residue held is s 2^k mod 2^p - 1
  uint32_t start_shift = 0;      // the run's starting shift
  uint32_t jacobi_errors = 0;    // checks failed so far (each rolled back)
  uint32_t roundoff_errors = 0;  // iterations redone after crossing the rounding bound
  double elapsed = 0.0;          // seconds spent on the test so far
  bool verified = false;         // the residue passed the Jacobi check
  int32_t tf_bits = 0;           // trial factoring searched every q below 2^tf_bits before the test; 0: unknown
  std::string file;              // the file load() read it from (not saved in it)
  std::vector<uint8_t> residue;  // ceil(p/8) bytes, least significant first
  // Probable-prime states only:
  uint32_t block = 0;            // Gerbicz block B: the check product takes the residue every B iterations
  uint32_t check_shift = 0;      // shift of the check product held
  uint32_t gerbicz_errors = 0;   // Gerbicz checks failed so far (each rolled back)
  uint32_t proof_power = 0;      // 0: no proof; else the proof residues kept are at multiples of proof_step
  int64_t proof_step = 0;
  std::vector<uint8_t> check;    // the check product d, ceil(p/8) bytes
  std::vector<uint8_t> kept;     // x_p without shift once iteration >= p, else empty
  // P-1 states only (check: stage 1's check product, held with check_shift,
  // or stage 2's product so far, unshifted; block: stage 1's check block):
  uint32_t pm1_stage = 0;        // 1: residue is stage 1's x_i; 2: residue is stage 1's result, unshifted
  uint64_t pm1_b1 = 0, pm1_b2 = 0, pm1_b2_start = 0;
  uint64_t pm1_done = 0;         // stage 2: giant steps done
  std::string pm1_factors;       // the prime factors found so far, decimal, comma-separated
  std::vector<uint8_t> pm1_base; // stage 1: the residue its check product started from, ceil(p/8) bytes
  uint32_t pm1_base_shift = 0;   // its shift
};

// The iterations a test of p runs: p for the probable-prime test (and on
// to its proof's end), p - 2 for Lucas-Lehmer; 0 for P-1, whose length its bounds set.
int64_t test_iterations(test_kind kind, int32_t p);

// One entry of the listing of saved states: a test's newest state and the
// seconds since it was saved.
struct state_listing {
  const run_state& state;
  double age_seconds = 0.0;
};

// The entry's JSON object: exponent, test, iteration, iterations, verified,
// age_seconds (whole seconds).
void to_json(nlohmann::ordered_json& j, const state_listing& s);

// The file's bytes: magic, version, fields, residue, (probable-prime states:
// Gerbicz fields, check product, x_p), the trial factoring depth, SHA-256 of
// all before it. States written before the depth was kept still decode, with depth 0.
std::vector<uint8_t> encode_state(const run_state& s);

// The state in data, when it is a whole, undamaged state of this format for
// exponent p; otherwise false with the reason in *why.
bool decode_state(const uint8_t* data, size_t size, int32_t p, run_state* out, std::string* why);

// How far the trial factoring of p got: every q below 2^level searched, and
// of the level [2^level, 2^(level + 1)) the classes in done
// (formats/factor_classes.h: a search resumes from exactly this).
struct factoring_state {
  int32_t p = 0;
  int level = 0;
  factor_classes done;
};

// The factoring file's bytes: magic, version, p, level, the classes done (a
// bit each), SHA-256 of all before it.
std::vector<uint8_t> encode_factoring(const factoring_state& f);

// The factoring progress in data, when it is whole, undamaged and of
// exponent p; otherwise false with the reason in *why.
bool decode_factoring(const uint8_t* data, size_t size, int32_t p, factoring_state* out, std::string* why);

// A held per-exponent lock; released (and its file removed if asked) when destroyed.
class exponent_lock {
 public:
  exponent_lock(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~exponent_lock();
  exponent_lock(const exponent_lock&) = delete;
  exponent_lock& operator=(const exponent_lock&) = delete;
  // Removes the lock file before letting go (the exponent is done).
  void remove_on_release() { remove_ = true; }

 private:
  int fd_;
  std::string path_;
  bool remove_ = false;
};

// One directory of saved states: M<p>.state (newest), M<p>.state.bak (the
// one before), M<p>.verified (newest that passed the Jacobi check) and
// M<p>.lock; a probable-prime test's files are M<p>.prp.state and so on, so
// that the two tests of one exponent keep their own progress. Safe for
// several threads on different exponents.
class state_dir {
 public:
  // The directory dir, created if missing; null with the reason in *why
  // when it cannot be used (not a directory, not writable).
  static std::unique_ptr<state_dir> open(const std::string& dir, std::string* why);

  const std::string& path() const { return dir_; }

  // Takes p's lock without waiting. Null when another process holds it
  // (*busy set) or the lock file cannot be made (*why set).
  std::unique_ptr<exponent_lock> lock(int32_t p, bool* busy, std::string* why) const;

  // Writes s as p's newest state (to a temporary name, flushed, synced,
  // renamed over; the old newest kept as the backup; a verified state also
  // as the verified copy). False with *why when it could not: the files
  // that were there are left as they were.
  bool save(const run_state& s, std::string* why) const;

  // p's valid states, newest iteration first; every file that exists but
  // cannot be used is named with its reason through warn.
  std::vector<run_state> load(int32_t p, const std::function<void(const std::string&)>& warn,
                              test_kind kind = test_kind::ll) const;

  // Writes f as p's factoring progress, M<p>.factoring (to a temporary name,
  // synced, renamed over). False with *why when it could not.
  bool save_factoring(const factoring_state& f, std::string* why) const;

  // p's saved factoring progress into *out; false when there is none or it
  // cannot be used (named with its reason through warn).
  bool load_factoring(int32_t p, factoring_state* out, const std::function<void(const std::string&)>& warn) const;

  // Removes p's factoring progress.
  void forget_factoring(int32_t p) const;

  // Whether p has a state file of any test, or its factoring progress, here.
  bool holds(int32_t p) const;

  // Removes p's state files of every test, its factoring progress, its proof
  // residues and leftover temporary files (not the lock).
  void forget(int32_t p) const;
  // Removes p's state files of one test (and for prp its proof residues).
  void forget(int32_t p, test_kind kind) const;

  // The folder for p's proof residues (formats/proof_file.h); not created here.
  std::string proof_residue_dir(int32_t p) const { return file(p, ".proof-residues"); }

  // Seconds since p's newest state file was written (0 when there is none).
  double age_seconds(int32_t p) const;

  // Exponents with a state file of any test or a factoring progress here, ascending.
  std::vector<int32_t> exponents() const;

 private:
  explicit state_dir(std::string dir) : dir_(std::move(dir)) {}
  // Removes p's temporary files (M<p>.*.tmp.<pid>) that a killed writer left.
  void remove_temporaries(int32_t p) const;
  std::string file(int32_t p, const char* suffix) const;
  std::string dir_;
};

// The default state directory: $XDG_STATE_HOME/mersenne, else
// $HOME/.local/state/mersenne; empty when neither variable is set.
std::string default_state_dir();
