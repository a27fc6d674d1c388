// How a command of the command line ended; the program maps it to an exit status.
#pragma once

enum class batch_status {
  ok,          // every exponent got a verdict (or help / version was printed)
  usage,       // bad options or exponents: nothing tested
  no_verdict,  // at least one exponent got no verdict
  output_failed,  // results could not be written (disk full, stdout closed, reader gone): stopped
  interrupted,    // stopped by a signal; the running tests' states saved
  proof_invalid,  // --verify: at least one proof is invalid, truncated or unreadable
};

// How the command line ended: the status, and for interrupted the signal.
struct cli_outcome {
  batch_status status = batch_status::ok;
  int signal = 0;
};
