// Exact arithmetic modulo an odd q in Montgomery form, for trial factoring:
// one 64-bit word (q < 2^64, R = 2^64) and two words (q < 2^126, R = 2^128).
// A value x is held as x R mod q, fully reduced (below q).
#pragma once

#include <cstdint>

namespace factor_arith {

using u128 = unsigned __int128;

// q^-1 mod 2^64 for an odd q (Newton's iteration: each step doubles the correct bits).
inline uint64_t inverse_mod_word(uint64_t q) {
  uint64_t x = q;  // q q = 1 mod 8: three bits
  for (int i = 0; i < 5; ++i) x *= 2 - q * x;
  return x;
}

// One word: q odd, q < 2^64.
struct mont1 {
  uint64_t q = 1;
  uint64_t inv = 1;  // q^-1 mod 2^64

  mont1() = default;
  explicit mont1(uint64_t modulus) : q(modulus), inv(inverse_mod_word(modulus)) {}

  // a b R^-1 mod q for a, b < q. t - m q has a zero low word, so the result is
  // hi(t) - hi(m q), in (-q, q): no 129-bit sum is ever formed.
  uint64_t mul(uint64_t a, uint64_t b) const {
    const u128 t = static_cast<u128>(a) * b;
    const uint64_t m = static_cast<uint64_t>(t) * inv;
    const uint64_t mh = static_cast<uint64_t>((static_cast<u128>(m) * q) >> 64);
    const uint64_t th = static_cast<uint64_t>(t >> 64);
    const uint64_t r = th - mh;
    return th < mh ? r + q : r;
  }
  // 2 a mod q for a < q.
  uint64_t twice(uint64_t a) const {
    const uint64_t d = a + a;
    return (d < a || d >= q) ? d - q : d;
  }
  // 2^t R mod q for 0 <= t < 64: the Montgomery form of 2^t.
  uint64_t power_of_two(unsigned t) const {
    return static_cast<uint64_t>((static_cast<u128>(1) << (64 + t)) % q);
  }
  // The plain value of the Montgomery form x (x R^-1 mod q).
  uint64_t plain(uint64_t x) const { return mul(x, 1); }
};

// Two words: q odd, q < 2^126 (so that every intermediate sum fits).
struct mont2 {
  u128 q = 1;
  uint64_t q0 = 1, q1 = 0;
  uint64_t neg_inv = 0;  // -q^-1 mod 2^64

  mont2() = default;
  explicit mont2(u128 modulus)
      : q(modulus), q0(static_cast<uint64_t>(modulus)), q1(static_cast<uint64_t>(modulus >> 64)),
        neg_inv(0 - inverse_mod_word(static_cast<uint64_t>(modulus))) {}

  // a b R^-1 mod q for a, b < q: word-by-word (coarsely integrated operand
  // scanning), one word of b and one reduction word per round.
  u128 mul(u128 a, u128 b) const {
    const uint64_t a0 = static_cast<uint64_t>(a), a1 = static_cast<uint64_t>(a >> 64);
    const uint64_t b0 = static_cast<uint64_t>(b), b1 = static_cast<uint64_t>(b >> 64);
    // Round 1: r = a b0, then r = (r + m q) / 2^64.
    u128 t = static_cast<u128>(a0) * b0;
    uint64_t r0 = static_cast<uint64_t>(t);
    t = static_cast<u128>(a1) * b0 + static_cast<uint64_t>(t >> 64);
    uint64_t r1 = static_cast<uint64_t>(t);
    uint64_t r2 = static_cast<uint64_t>(t >> 64);
    uint64_t m = r0 * neg_inv;
    t = static_cast<u128>(m) * q0 + r0;
    t = static_cast<u128>(m) * q1 + r1 + static_cast<uint64_t>(t >> 64);
    r0 = static_cast<uint64_t>(t);
    t = static_cast<u128>(r2) + static_cast<uint64_t>(t >> 64);
    r1 = static_cast<uint64_t>(t);
    r2 = static_cast<uint64_t>(t >> 64);
    // Round 2: r += a b1, then r = (r + m q) / 2^64.
    t = static_cast<u128>(a0) * b1 + r0;
    r0 = static_cast<uint64_t>(t);
    t = static_cast<u128>(a1) * b1 + r1 + static_cast<uint64_t>(t >> 64);
    r1 = static_cast<uint64_t>(t);
    r2 += static_cast<uint64_t>(t >> 64);
    m = r0 * neg_inv;
    t = static_cast<u128>(m) * q0 + r0;
    t = static_cast<u128>(m) * q1 + r1 + static_cast<uint64_t>(t >> 64);
    r0 = static_cast<uint64_t>(t);
    r1 = r2 + static_cast<uint64_t>(t >> 64);
    const u128 r = (static_cast<u128>(r1) << 64) | r0;  // below 2q
    return r >= q ? r - q : r;
  }
  u128 twice(u128 a) const {
    const u128 d = a + a;  // no overflow: a < q < 2^126
    return d >= q ? d - q : d;
  }
  // 2^t R mod q for 0 <= t < 64: 2^127 mod q, doubled t + 1 times.
  u128 power_of_two(unsigned t) const {
    u128 x = (static_cast<u128>(1) << 127) % q;
    for (unsigned i = 0; i <= t; ++i) x = twice(x);
    return x;
  }
  u128 plain(u128 x) const { return mul(x, 1); }
};

// 2^p mod q_i for LANES moduli at once, p >= 1: the same square-and-double
// chain on every lane, interleaved so that the multiplier stays busy.
// top_bits: how many leading bits of p are taken as one power of two at the
// start (at most 6 for mont1, and then 2^t must stay below 2^64).
template <class M, class V, int LANES>
inline void pow2_lanes(const M* mod, uint32_t p, unsigned top_bits, V* out) {
  int bits = 0;
  while ((p >> bits) > 1) ++bits;  // bits below the leading one
  const int first = bits + 1 > static_cast<int>(top_bits) ? static_cast<int>(top_bits) : bits + 1;
  int below = bits + 1 - first;
  const unsigned t = p >> below;
  V x[LANES];
  for (int l = 0; l < LANES; ++l) x[l] = mod[l].power_of_two(t);
  while (below > 0) {
    --below;
    for (int l = 0; l < LANES; ++l) x[l] = mod[l].mul(x[l], x[l]);
    if ((p >> below) & 1)
      for (int l = 0; l < LANES; ++l) x[l] = mod[l].twice(x[l]);
  }
  for (int l = 0; l < LANES; ++l) out[l] = mod[l].plain(x[l]);
}

}  // namespace factor_arith
