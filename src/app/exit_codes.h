// Exit statuses of the mersenne program.
#pragma once

enum exit_code : int {
  kExitOk = 0,         // ran to a verdict (or, in batch mode, every exponent did)
  kExitBadInput = 1,   // no usable exponent, or bad command-line options
  kExitNoMemory = 2,   // the dialogue could not allocate a working array
  kExitNoVerdict = 3,  // no verdict: the rounding bound was crossed, or (batch) some exponent got none
  kExitOutputFailed = 4,  // the output could not be written (disk full, stdout closed, reader gone)
  kExitProofInvalid = 5,  // --verify: a proof file is invalid, truncated, tampered with or unreadable
};
