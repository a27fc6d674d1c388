// What was asked of a run of exponents, as plain values: which exponents,
// which test, how deep to factor first, where states and results go.
// The command line fills it in; work/ reads nothing else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// An inclusive run of exponents first .. last (first <= last, both >= 2).
struct exponent_span {
  int32_t first = 0;
  int32_t last = 0;
  bool operator==(const exponent_span&) const = default;
};

struct work_settings {
  std::vector<exponent_span> exponents;  // in the order given
  std::string engine = "auto";           // "auto" or a row of the engine table
  int jobs = 1;                          // exponents tested side by side
  int threads = 1;                       // threads inside one test
  bool checkpoints = true;               // save states and resume from them
  std::string state_dir;                 // where; empty: the default (formats/state.h)
  double checkpoint_every = 600;         // seconds between saved states
  int64_t shift = -1;                    // starting shift (taken mod p); -1: random
  int64_t iterations = 0;                // 0: whole tests; K: only the first K iterations
  std::vector<int64_t> inject_faults;    // testing: damage the residue after these iterations
  bool prp = false;                      // the probable-prime test instead of Lucas-Lehmer
  int proof_power = 0;                   // write a proof of this power (1..12); 0: none
  std::string proof_dir;                 // where proofs go; empty: the current directory
  bool factor_only = false;              // trial factoring only
  bool tf_auto = false;                  // factor every exponent first, to the automatic depth
  int tf_bits = -1;                      // factor to 2^B (0: never); -1: not given
  bool pm1 = false;                      // P-1 before every test where its odds pay
  uint64_t pm1_b1 = 0, pm1_b2 = 0;       // --pm1-bounds: fixed bounds (b2 0: b1); 0: chosen by the odds
  uint64_t pm1_b2_start = 0;             // stage 2 from there (work files' B2_start); 0: from b1
  bool pm1_only = false;                 // --test=pm1: P-1 only, every factor its bounds reach
  int tests_saved = 2;                   // the tests a factor saves (2: a first test, 1: a double-check)
  bool ecm_only = false;                 // --test=ecm
  int ecm_curves = 0;                    // --curves
  uint64_t ecm_b1 = 0;                   // --ecm-b1
  std::string results_file;              // append final lines here, skip those already there
  int shard_index = 1, shard_count = 1;  // every N-th exponent from the I-th
};
