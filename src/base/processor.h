// What the processor is, as files that hold per-processor choices name it,
// and where such per-machine choices are kept.
#pragma once

#include <string>

// "cpu <model name> | <family>.<model> <vector extensions>": /proc/cpuinfo's
// model name ("unknown" without one), the family and model numbers, and the
// extensions our kernels choose among. Two processors with the same line
// run the same code at the same relative speeds.
std::string processor_identity();

// The folder for measured choices that are kept between runs:
// $XDG_CACHE_HOME/mersenne, else $HOME/.cache/mersenne; "" when neither
// names an absolute folder. Not created here.
std::string choice_cache_dir();
