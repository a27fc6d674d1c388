// 2^-p mod q for many q at once with AVX-512 IFMA.
//
// Why 2^-p: it is 1 exactly when 2^p is, and its chain needs no division to
// start. The Montgomery form of 2^e is 2^(e + 104) mod q, so for
// -104 <= e <= -53 it is the plain power 2^(e + 104) < 2^52 whatever q is.
// With k squarings (each optionally doubled), e goes e -> 2e + bit; starting
// from e = -c, c = ceil(p / 2^k) and k the fewest with c <= 104, the bits
// B = c 2^k - p (below 2^k) take it to exactly -p. That is as many squarings
// as a chain that starts from the top bits of p, and no per-q setup but q's
// inverse modulo 2^52.
//
// Lazy bounds, q < 2^96 < 2^101: a Montgomery reduction of T < q R gives a
// value below T / R + q < 2q; a doubled square of x < 2q is 2 x^2 < 8 q^2 < q R.
// So every value of the chain stays below 2q in two normalised 52-bit limbs
// (the high one below 2^46), and the last reduction (of x < 2q, no square)
// gives x / R + q < q + 1: the residue itself, q only for x = 0.
#include "methods/factor/ifma.h"

#include <immintrin.h>

#include "base/check.h"
#include "base/tuning.h"

namespace factor_ifma {
namespace {

constexpr uint64_t kMask = (uint64_t{1} << 52) - 1;

#define IFMA_INLINE inline __attribute__((always_inline))

IFMA_INLINE __m512i lo(__m512i acc, __m512i a, __m512i b) { return _mm512_madd52lo_epu64(acc, a, b); }
IFMA_INLINE __m512i hi(__m512i acc, __m512i a, __m512i b) { return _mm512_madd52hi_epu64(acc, a, b); }
// Shifts by GCC's vector operators: GCC 12's shift intrinsics read an
// uninitialised vector that -Wuninitialized reports.
using u64x8 = uint64_t __attribute__((vector_size(64)));
IFMA_INLINE __m512i above52(__m512i a) { return reinterpret_cast<__m512i>(reinterpret_cast<u64x8>(a) >> 52); }
IFMA_INLINE __m512i shifted(__m512i a, int bit) { return reinterpret_cast<__m512i>(reinterpret_cast<u64x8>(a) << bit); }

// The chain for p, shared by every lane: the start 2^start (start < 104,
// below 52 whenever squarings > 0), then `squarings` squarings, the one
// for bit i of `doublings` (counted from squarings - 1 down) doubled.
struct chain {
  int squarings = 0;
  uint64_t doublings = 0;
  int start = 0;
};

// The chain whose end is the Montgomery form of 2^-p, for p >= 1.
chain chain_for(uint32_t p) {
  chain c;
  uint64_t top = p;  // ceil(p / 2^k)
  while (top > 104) {
    ++c.squarings;
    top = (static_cast<uint64_t>(p) + (uint64_t{1} << c.squarings) - 1) >> c.squarings;
  }
  c.doublings = (top << c.squarings) - p;
  c.start = static_cast<int>(104 - top);
  return c;
}

// One group of 8 V moduli: limbs q0 (< 2^52), q1 (< 2^44) and -q^-1 mod 2^52.
template <int V>
struct group {
  __m512i q0[V], q1[V], ninv[V];
};

// -q^-1 mod 2^52 for odd q0 < 2^52: Newton's iteration, each step doubling
// the correct low bits from the three of q q = 1 (mod 8). Only the low 52
// bits of each operand enter a product, so 2 - t needs no mask.
IFMA_INLINE __m512i neg_inverse(__m512i q0) {
  const __m512i zero = _mm512_setzero_si512(), two = _mm512_set1_epi64(2);
  __m512i x = q0;
  for (int i = 0; i < 5; ++i) {
    const __m512i t = _mm512_sub_epi64(two, lo(zero, q0, x));
    x = lo(zero, x, t);
  }
  return _mm512_and_si512(_mm512_sub_epi64(zero, x), _mm512_set1_epi64(static_cast<long long>(kMask)));
}

// One word of a Montgomery reduction: adds m q for the m that makes column a
// a multiple of 2^52 (m q spans a, b and c) and carries a's excess into b,
// after which a can be dropped. Columns below 2^58 stay below 2^64.
template <int V>
IFMA_INLINE void fold_word(const group<V>& g, __m512i* a, __m512i* b, __m512i* c) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i m[V];
  for (int v = 0; v < V; ++v) m[v] = lo(zero, a[v], g.ninv[v]);
  for (int v = 0; v < V; ++v) {
    a[v] = lo(a[v], m[v], g.q0[v]);  // a multiple of 2^52
    b[v] = hi(b[v], m[v], g.q0[v]);
    b[v] = lo(b[v], m[v], g.q1[v]);
    c[v] = hi(c[v], m[v], g.q1[v]);
    b[v] = _mm512_add_epi64(b[v], above52(a[v]));
  }
}

// Montgomery reduction of the columns c0 + c1 2^52 + c2 2^104 + c3 2^156 (each
// below 2^58, the value T below q R) into x0 + x1 2^52 = T R^-1 mod q, below
// T / R + q, normalised.
template <int V>
IFMA_INLINE void reduce(const group<V>& g, __m512i* c0, __m512i* c1, __m512i* c2, __m512i* c3, __m512i* x0,
                        __m512i* x1) {
  const __m512i mask = _mm512_set1_epi64(static_cast<long long>(kMask));
  fold_word<V>(g, c0, c1, c2);
  fold_word<V>(g, c1, c2, c3);
  for (int v = 0; v < V; ++v) {
    x0[v] = _mm512_and_si512(c2[v], mask);
    x1[v] = _mm512_add_epi64(c3[v], above52(c2[v]));
  }
}

// x = x^2 2^bit R^-1 mod q for x < 2q (normalised limbs); the result again below 2q.
template <int V>
IFMA_INLINE void square(const group<V>& g, __m512i* x0, __m512i* x1, int bit) {
  const __m512i zero = _mm512_setzero_si512();
  __m512i c0[V], c1[V], c2[V], c3[V];
  for (int v = 0; v < V; ++v) {
    const __m512i cross_lo = lo(zero, x0[v], x1[v]), cross_hi = hi(zero, x0[v], x1[v]);
    c0[v] = shifted(lo(zero, x0[v], x0[v]), bit);
    c1[v] = shifted(hi(_mm512_add_epi64(cross_lo, cross_lo), x0[v], x0[v]), bit);
    c2[v] = shifted(lo(_mm512_add_epi64(cross_hi, cross_hi), x1[v], x1[v]), bit);
    c3[v] = shifted(hi(zero, x1[v], x1[v]), bit);
  }
  reduce<V>(g, c0, c1, c2, c3, x0, x1);
}

// out[l] = 2^-p mod q[l] for l < min(n, 8 V), n >= 1: 8 V lanes, those past n
// repeating the last q (a harmless copy whose results are dropped).
template <int V>
void run_group(const chain& ch, const u128* q, size_t n, u128* out) {
  constexpr int L = 8 * V;
  alignas(64) uint64_t q0[L], q1[L];
  for (int l = 0; l < L; ++l) {
    const u128 m = q[static_cast<size_t>(l) < n ? l : n - 1];
    MERSENNE_REQUIRE((m & 1) == 1 && m >= 3 && (m >> 96) == 0);
    q0[l] = static_cast<uint64_t>(m) & kMask;
    q1[l] = static_cast<uint64_t>(m >> 52);
  }
  group<V> g;
  __m512i x0[V], x1[V];
  const __m512i s0 = _mm512_set1_epi64(ch.start < 52 ? static_cast<long long>(uint64_t{1} << ch.start) : 0);
  const __m512i s1 = _mm512_set1_epi64(ch.start < 52 ? 0 : static_cast<long long>(uint64_t{1} << (ch.start - 52)));
  for (int v = 0; v < V; ++v) {
    g.q0[v] = _mm512_load_si512(q0 + 8 * v);
    g.q1[v] = _mm512_load_si512(q1 + 8 * v);
    g.ninv[v] = neg_inverse(g.q0[v]);
    x0[v] = s0;
    x1[v] = s1;
  }
  for (int i = ch.squarings - 1; i >= 0; --i)
    square<V>(g, x0, x1, static_cast<int>((ch.doublings >> i) & 1));
  const __m512i zero = _mm512_setzero_si512();
  __m512i c0[V], c1[V], c2[V], c3[V];
  for (int v = 0; v < V; ++v) {
    c0[v] = x0[v];
    c1[v] = x1[v];
    c2[v] = c3[v] = zero;
  }
  reduce<V>(g, c0, c1, c2, c3, x0, x1);
  alignas(64) uint64_t r0[L], r1[L];
  for (int v = 0; v < V; ++v) {
    _mm512_store_si512(r0 + 8 * v, x0[v]);
    _mm512_store_si512(r1 + 8 * v, x1[v]);
  }
  for (int l = 0; l < L && static_cast<size_t>(l) < n; ++l) {
    const u128 r = static_cast<u128>(r1[l]) << 52 | r0[l];
    out[l] = r == q[l] ? 0 : r;  // at most q: q stands for 0
  }
}

}  // namespace

void pow2_inverse(uint32_t p, const u128* q, size_t n, u128* out) {
  MERSENNE_REQUIRE(p >= 1);
  const chain ch = chain_for(p);
  constexpr int V = tuning::kFactorIfmaVectors;
  for (size_t i = 0; i < n; i += 8 * V) run_group<V>(ch, q + i, n - i, out + i);
}

}  // namespace factor_ifma
