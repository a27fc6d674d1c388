// Which iteration the fast engine runs at a length, by measurement on this
// processor rather than by its widest instruction set: on some processors
// the 512-bit kernels lose to the 256-bit ones, and where the two-pass
// iteration starts to beat the one-transform squarer differs from one
// processor to the next. Each table is timed once per processor at a few
// probe lengths, and the choice kept in the cache folder beside the saved
// transform plans. Every table gives the same residues, so the choice
// changes speed only, never a result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "arith/fast/kernels.h"

struct kernel_choice {
  // Per probe length (ascending), the fastest table's name there.
  std::vector<std::pair<int64_t, std::string>> tables;
  // Where the two-pass iteration runs from: 0 (wherever it serves) where it
  // beat the one-transform squarer at the shortest probe, at 2K and at 1K;
  // 2048 where at the probe and 2K only; the shortest probe where only
  // there; else tuning::kTwoPassFrom.
  int64_t two_pass_from = 0;
  // As measured (not saved): per probe, "LENGTH NAME ms ..." per candidate.
  std::vector<std::string> timings;
};

// The probe lengths.
std::vector<int64_t> kernel_choice_probes();

// The choice's file text for this processor, and back: false (leaving
// *out alone) unless text is such a file, for this processor's identity,
// for these probes, naming only tables this processor runs.
std::string kernel_choice_text(const kernel_choice& c);
bool parse_kernel_choice(const std::string& text, kernel_choice* out);

// Times every usable table (and the one-transform squarer at the shortest
// probe, and at 2K and 1K against the table chosen there) now; takes about
// a second.
kernel_choice measure_kernel_choice();

// The choice saved in file when it holds one for this processor, else
// measure()d now and saved there (best effort: unsaved, the next run
// measures again). file "" : measured, not saved.
kernel_choice choose_kernels(const std::string& file, kernel_choice (*measure)() = measure_kernel_choice);

// This process's choice: from the cache folder's "kernel-choice", made once.
const kernel_choice& kernel_choice_default();

// The table that serves length n under c: the one of the probe nearest n
// (by ratio).
const fast_kernels::table& kernels_at(const kernel_choice& c, int64_t n);

// The table the engine runs at length n: MERSENNE_KERNELS when it names one
// (engine_failure when it names a table this processor lacks), else this
// process's choice.
const fast_kernels::table& chosen_kernels(int64_t n);

// Whether the engine runs the two-pass iteration at length n where it
// serves (else the one-transform squarer): from tuning::kTwoPassFrom on, and
// below it where the measurement found it faster (with MERSENNE_KERNELS:
// for the AVX-512 table).
bool two_pass_chosen(int64_t n);
