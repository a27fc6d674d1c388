// Arithmetic modulo 2^p - 1 through an engine's steppers: a set of steppers
// at one transform length, made only where the memory all of them need can
// be had, and moved together to a longer length whenever a step's rounding
// distance reaches the retry bound; and on one such stepper the powers,
// products and squarings of residues that proofs are made and verified with.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "arith/engine.h"
#include "base/tuning.h"

// The transform length e starts p at into *n (opt.start_length where it
// serves; 0 for an engine without a choice of lengths); false when no length serves p.
bool starting_length(const engine& e, int32_t p, const engine_options& opt, int64_t* n);

class stepper_set {
 public:
  // count >= 1 steppers of e for p at length n, each s = 0, made only where
  // the memory all of them need can still be had (else engine_failure naming
  // both figures); the first `threaded` of them (all when negative) run on
  // opt.threads, the rest on one thread (residues only held and read).
  // Throws engine_failure or std::bad_alloc.
  stepper_set(const engine& e, int32_t p, int64_t n, const engine_options& opt, int count, int threaded = -1);

  stepper& operator[](size_t k) { return *st_[k]; }
  const stepper& operator[](size_t k) const { return *st_[k]; }
  size_t size() const { return st_.size(); }
  // The transform length the steppers use; 0 where none is used.
  int64_t length() const { return st_[0]->length(); }

  // Runs step (double(stepper&)) on stepper k; while its distance reaches
  // the retry bound, moves every stepper to the next longer length with its
  // residue (a refused step leaves its own as it was) and runs it again.
  // Returns the last distance: not below the bound only where no longer length serves p.
  template <class Step>
  double run(size_t k, Step&& step) {
    double err = step(*st_[k]);
    while (!(err < tuning::kRetryDistance) && raise()) err = step(*st_[k]);
    return err;
  }

  // Told the old and the new length each time the steppers move to a longer one; may be empty.
  std::function<void(int64_t from, int64_t to)> on_raise;

 private:
  // Moves every stepper to the next longer length; false when there is none.
  bool raise();
  void make(int64_t n);

  const engine& e_;
  int32_t p_;
  const engine_options& opt_;
  engine_options single_;  // opt_ on one thread
  size_t threaded_;
  std::vector<std::unique_ptr<stepper>> st_;
};

// Residues modulo 2^p - 1 combined on one stepper of an engine, at a longer
// length whenever a step needs it.
class modular_arith {
 public:
  // A stepper of e for p (e must apply to p) at its starting length. Throws engine_failure or std::bad_alloc.
  modular_arith(const engine& e, int32_t p, const engine_options& opt);
  // out = base^r * times mod 2^p - 1 (residues in [0, 2^p - 1)); out may be base or times.
  void pow_mul(mpz_ptr out, mpz_srcptr base, uint64_t r, mpz_srcptr times);
  // out = x^(2^count) mod 2^p - 1; out may be x.
  void square_times(mpz_ptr out, mpz_srcptr x, int64_t count);
  // Squarings done so far.
  int64_t squarings() const { return squarings_; }

 private:
  // Runs step on the stepper at a longer length while it needs one; throws engine_failure where none serves.
  template <class Step>
  void run(Step&& step);
  std::unique_ptr<stepper_set> set_;
  int64_t squarings_ = 0;
};
