// The program entry: the console dialogue without arguments, the batch
// command line with them; each outcome mapped to its exit status.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/exit_codes.h"
#include "cli/command_line.h"
#include "console/dialogue.h"

namespace {

exit_code status_of(dialogue_status s) {
  switch (s) {
    case dialogue_status::verdict:
      return kExitOk;
    case dialogue_status::bad_input:
      return kExitBadInput;
    case dialogue_status::no_memory:
      return kExitNoMemory;
    case dialogue_status::no_verdict:
      return kExitNoVerdict;
  }
  return kExitNoVerdict;
}

int status_of(cli_outcome o) {
  switch (o.status) {
    case batch_status::ok:
      return kExitOk;
    case batch_status::usage:
      return kExitBadInput;
    case batch_status::no_verdict:
      return kExitNoVerdict;
    case batch_status::output_failed:
      return kExitOutputFailed;
    case batch_status::proof_invalid:
      return kExitProofInvalid;
    case batch_status::interrupted:
      return 128 + o.signal;  // as a shell reports a process ended by that signal
  }
  return kExitNoVerdict;
}

// The dialogue, with its output checked: a transcript that did not reach its
// reader in full is a failure, whatever the verdict.
exit_code dialogue() {
  if (fcntl(STDOUT_FILENO, F_GETFL) == -1) {
    std::fprintf(stderr, "mersenne: standard output is closed; there is nowhere to write the dialogue\n");
    return kExitOutputFailed;
  }
  const exit_code status = status_of(run_dialogue(std::calloc));
  const bool flushed = std::fflush(stdout) == 0;
  const int flush_errno = errno;
  const bool clean = !std::ferror(stdout);
  if (flushed && clean && std::fclose(stdout) == 0) return status;
  const int why = !flushed ? flush_errno : errno;
  std::fprintf(stderr, "mersenne: the output could not be written in full (%s)\n",
               why != 0 ? std::strerror(why) : "write error");
  return kExitOutputFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) return dialogue();
  return status_of(run_cli(argc, argv));
}
