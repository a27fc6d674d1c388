// The program entry: the console dialogue without arguments, the batch
// command line with them; each outcome mapped to its exit status.
#include <cstdlib>

#include "app/exit_codes.h"
#include "cli/batch.h"
#include "driver/dialogue.h"

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

exit_code status_of(batch_status s) {
  switch (s) {
    case batch_status::ok:
      return kExitOk;
    case batch_status::usage:
      return kExitBadInput;
    case batch_status::no_verdict:
      return kExitNoVerdict;
  }
  return kExitNoVerdict;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) return status_of(run_dialogue(std::calloc));
  return status_of(run_cli(argc, argv));
}
