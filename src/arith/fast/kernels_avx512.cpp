// The kernels for processors with AVX-512F and FMA.
#define KERNEL_NS with_avx512
#define KERNEL_TABLE avx512
#define KERNEL_NAME "avx512"
#include "arith/fast/kernels_body.h"
