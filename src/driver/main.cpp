#include <cstdlib>

#include "cli/batch.h"
#include "driver/lucas_lehmer.h"

// No arguments: the console dialogue. Arguments: the batch command line.
int main(int argc, char** argv) {
  if (argc <= 1) return run_dialogue(std::calloc);
  return run_cli(argc, argv);
}
