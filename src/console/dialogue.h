// The console dialogue: prompt, read p from standard input, allocate and
// report the working arrays, trace every step, dump the residue, verdict.
#pragma once

#include "console/lucas_lehmer.h"
#include "console/transform.h"

enum class dialogue_status {
  verdict,     // a verdict was printed
  bad_input,   // no usable exponent was read; nothing allocated
  no_memory,   // a working array could not be allocated; no step run
  no_verdict,  // the rounding bound was crossed: no verdict printed
};

// Runs the dialogue with arrays from alloc and the inverse transform along path.
dialogue_status run_dialogue(alloc_fn alloc, inverse_path path = inverse_path_default());
