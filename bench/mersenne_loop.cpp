// The console program as it was before the inverse transform had faster
// paths: the same dialogue, with every step's inverse transform done by the
// straightforward loop. Only for timing against the real program.
#include <cstdlib>

#include "console/dialogue.h"

int main() { return run_dialogue(std::calloc, inverse_path::loop) == dialogue_status::verdict ? 0 : 1; }
