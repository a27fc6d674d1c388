// The kernels for any x86-64 processor (SSE2), and the reference for the others.
#define KERNEL_NS portable_set
#define KERNEL_TABLE portable
#define KERNEL_NAME "portable"
#include "arith/fast/kernels_body.h"
