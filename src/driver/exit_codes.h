// Exit statuses of the mersenne program.
#pragma once

enum exit_code : int {
  kExitOk = 0,         // ran to a verdict (or, in batch mode, every exponent did)
  kExitBadInput = 1,   // no usable exponent, or bad command-line options
  kExitNoMemory = 2,   // a working array could not be allocated
  kExitNoVerdict = 3,  // the rounding bound was crossed: no verdict given
};
