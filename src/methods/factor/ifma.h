// Trial factoring's candidates tested eight to a vector with AVX-512 IFMA
// (52-bit multiply-add): each q in two 52-bit limbs, Montgomery form with
// R = 2^104, every lane running the same chain of squarings (p is shared).
// Compiled for AVX-512 F and IFMA: call only where factor_ifma_supported()
// (methods/factor/factor.h) says the processor has them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace factor_ifma {

using u128 = unsigned __int128;

// out[i] = 2^-p mod q[i] for i < n (n >= 0; p >= 1; every q[i] odd, 3 <= q[i] < 2^96).
// 2^p = 1 (mod q) exactly when out[i] = 1.
void pow2_inverse(uint32_t p, const u128* q, size_t n, u128* out);

}  // namespace factor_ifma
