#include <cstdlib>

#include "driver/lucas_lehmer.h"

int main() { return run_dialogue(std::calloc); }
