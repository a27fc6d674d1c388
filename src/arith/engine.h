// The engines behind the batch command line, and the seam they share: a
// stepper holds one residue modulo 2^p - 1 in its engine's own form and
// advances it; an engine is a row that says where it applies and makes its
// steppers. The methods run steppers through one driver (methods/driver.h),
// proofs through the modular layer (arith/modular.h); nothing else iterates one.
#pragma once

#include <gmp.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class state_dir;

// What one run reports: a Lucas-Lehmer test, or a probable-prime test
// (methods/prp.h), where prime means "probable prime" and res64 is the low 64
// bits of the Fermat residue (1 for a probable prime).
struct ll_outcome {
  bool verdict = false;       // false: the rounding bound was crossed and no verdict is given
  bool prime = false;         // s(p-2) mod 2^p - 1 is zero
  uint64_t res64 = 0;         // low 64 bits of s(p-2) mod 2^p - 1 (0 for a prime)
  std::string res2048;        // probable-prime test: the residue's low 2048 bits, 512 upper-case hex digits
  int64_t fft_length = 0;     // transform length at the end of the run; 0 where none is used
  double max_roundoff = 0.0;  // largest rounding distance seen in the run
  std::string note;           // anything the user should know, e.g. a length raised after a retry
  std::string error;          // non-empty: the run could not be carried out (e.g. no memory); no verdict
  int64_t partial = 0;        // > 0: only this many iterations were asked for and done; res64 is s(partial)
  int64_t resumed_from = 0;   // iteration of the saved state the run went on from; 0: a fresh start
  uint32_t shift = 0;         // the run's starting shift
  uint32_t jacobi_errors = 0;    // failed checks, each rolled back and recomputed
  uint32_t roundoff_errors = 0;  // iterations redone at a longer length
  std::string factor;         // a proper factor of 2^p - 1 the check found (decimal); empty: none
  bool interrupted = false;   // stopped on request before the end: no result (state saved if it could be)
  int64_t saved_at = -1;      // iteration of the state saved when interrupted; -1: none
  uint32_t gerbicz_errors = 0;  // failed Gerbicz checks (probable-prime test), each rolled back and recomputed
  std::string proof_file;       // the proof written (probable-prime test with a proof); empty: none
  int proof_power = 0;          // its power
};

// How many threads a test's iterations run on, as its stepper tells it (for
// the progress line): of a team of `team`, `running` now (fewer while the
// others are measured not to pay); 0: not told.
struct thread_use {
  std::atomic<int> team{0};
  std::atomic<int> running{0};
};

struct engine_options {
  int threads = 1;           // threads inside one test
  thread_use* thread_report = nullptr;  // where the stepper tells how many it runs on; may be null
  int64_t start_length = 0;  // transform length to start at; 0: the engine's own choice
  // Called now and then with the iterations done and the total; may be empty.
  std::function<void(int64_t done, int64_t total)> progress;
  // When set and true, the run stops after its current iteration, saves its
  // state and returns interrupted (after its last iteration it finishes instead).
  const std::atomic<bool>* stop = nullptr;
  int64_t iterations = 0;            // 0: the whole test; K: only the first K iterations
  int64_t shift = -1;                // starting shift, 0 <= shift < p; -1: a random one
  std::vector<int64_t> inject_faults;  // damage the residue once after each of these iterations (tests)
  const state_dir* states = nullptr;   // where states are saved and resumed from; null: nowhere
  double checkpoint_every = 600;       // seconds between saved states
  // Messages for the user (a state file not used, a save that failed); may be empty.
  std::function<void(const std::string&)> warn;
  int proof_power = 0;    // probable-prime test: 1..12 writes a proof of this power; 0: none
  std::string proof_dir;  // where the proof goes (empty: the current directory)
  // Trial factoring before a test: called now and then with the level (q
  // below 2^level) and its share done, 0..1; may be empty.
  std::function<void(int level, double share)> factor_progress;
  // P-1: called now and then with its stage (1 or 2) and that stage's share
  // done, 0..1; may be empty. While P-1 runs, progress is not called.
  std::function<void(int stage, double share)> pm1_progress;
  // Trial factoring searched every q below 2^factored_to before this test
  // (recorded in its saved states; 0: unknown).
  int factored_to = 0;
};

// A stepper or engine that cannot do what it was asked (no memory for its
// arrays, an operation it lacks); what() is the message for the user.
struct engine_failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One residue s modulo 2^p - 1, held and advanced by an engine. Every value
// going in or out is exact; the engine's own form stays inside.
class stepper {
 public:
  virtual ~stepper() = default;

  // Sets s to v mod 2^p - 1; requires v >= 0.
  virtual void load(mpz_srcptr v) = 0;
  // Writes s, in [0, 2^p - 1), to out.
  virtual void store(mpz_ptr out) const = 0;
  // s -> s^2 - c 2^j mod 2^p - 1, for c in 0..3 (0: a plain squaring) and
  // 0 <= j < p. Returns the step's largest rounding distance (0 for exact
  // arithmetic); when that is not below limit, s is left as it was.
  virtual double square(uint32_t c, int32_t j, double limit) = 0;
  // s -> s v mod 2^p - 1 for 0 <= v < 2^p; returns and limits as square does.
  virtual double multiply(mpz_srcptr v, double limit) = 0;
  // s -> s t mod 2^p - 1 for t the residue of other (same p); returns and
  // limits as square does. By default through other's store and multiply;
  // an engine whose steppers can multiply in their own form does so.
  virtual double multiply_by(const stepper& other, double limit);
  // s -> m s^2 mod 2^p - 1 for m in 1..3 (P-1's multiplications by 3 folded
  // into its squarings); returns and limits as square does. By default a
  // squaring, then the exact product by m through store and load.
  virtual double square_times(uint32_t m, double limit);
  // s -> a - b mod 2^p - 1 for the residues of steppers a and b of this p
  // (either may be this one). By default through store and load; an engine
  // whose steppers hold a linear form subtracts in it, its digits no longer
  // balanced (the next product's rounding distance shows what that costs).
  virtual void set_difference(const stepper& a, const stepper& b, int32_t p);
  // The transform length the next operation uses; 0 where none is used.
  virtual int64_t length() const = 0;
};

// One row of the engine table.
struct engine {
  const char* name;
  // Whether the engine can test 2^p - 1, for a prime p >= 3.
  bool (*applicable)(int32_t p);
  // A stepper for 2^p - 1 at transform length n (0 for an engine without a
  // choice of lengths), s = 0. Throws engine_failure or std::bad_alloc.
  std::unique_ptr<stepper> (*make)(int32_t p, int64_t n, const engine_options& opt);
  // The length to start at, given the length asked for (0: any); 0 when none
  // serves p. Null for an engine without a choice of lengths.
  int64_t (*start_length)(int32_t p, int64_t asked) = nullptr;
  // A longer length than n for p, to redo a step whose rounding distance
  // crossed the bound; 0 when there is none. Null: the bound ends the run.
  int64_t (*next_length)(int32_t p, int64_t n) = nullptr;
  // About how many bytes a stepper for p at length n needs, its library's
  // scratch included; make_stepper (and a stepper_set, for all its steppers
  // together) refuses to make what the process cannot have. Null: not estimated.
  uint64_t (*memory_bytes)(int32_t p, int64_t n) = nullptr;
};

// A stepper of e for p at length n, made only where the memory e says it
// needs can still be had (else engine_failure naming both figures: some
// libraries abort on a failed allocation instead of failing). The check and
// the making hold memory_gate(). Throws engine_failure or std::bad_alloc.
std::unique_ptr<stepper> make_stepper(const engine& e, int32_t p, int64_t n, const engine_options& opt);
