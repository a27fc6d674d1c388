// The kernels for processors with AVX2 and FMA.
#define KERNEL_NS with_avx2
#define KERNEL_TABLE avx2
#define KERNEL_NAME "avx2"
#include "arith/fast/kernels_body.h"
