#include <cstdio>

#include "str_2y16.h"

namespace {

// Drops high zero digits, keeping at least one.
void trim(const uint32_t* u2, int32_t* len) {
  while (*len > 1 && u2[*len - 1] == 0) --*len;
}

int bit_length(uint32_t w) { return w == 0 ? 0 : 32 - __builtin_clz(w); }

// Brings a trimmed value of 2^(2p) or more below 2^(2p) without scratch space:
// the top digit d at bit 16*top is cleared and d * 2^(16*top - p) added back
// (2^p == 1). Every word written lies below the old top, so u2 never grows.
void fold_oversized(uint32_t* u2, int32_t* len, int32_t p) {
  const int64_t limit = 2 * static_cast<int64_t>(p);
  for (;;) {
    trim(u2, len);
    const int32_t top = *len - 1;
    if (16 * static_cast<int64_t>(top) + bit_length(u2[top]) <= limit) return;
    if (top == 0) {
      // Only for p < 8: a single digit, folded at bit p directly.
      const uint32_t low = (1u << p) - 1;
      while (u2[0] >> (2 * p)) u2[0] = (u2[0] & low) + (u2[0] >> p);
      return;
    }
    const uint64_t d = u2[top];
    u2[top] = 0;
    const int64_t shift = 16 * static_cast<int64_t>(top) - p;  // > 0 here
    uint64_t carry = d << (shift % 16);
    for (int64_t j = shift / 16; carry != 0 && j <= top; ++j) {
      carry += u2[j];
      u2[j] = static_cast<uint32_t>(carry & 0xFFFF);
      carry >>= 16;
    }
  }
}

}  // namespace

void fast_modulo_2y16(uint32_t* u1, uint32_t* u2, int32_t* hi_len, int32_t* len, int32_t p) {
  if (p < 1) {
    printf("Exponent %d zu klein, keine Reduktion in fast_mersenne_modulo", p);
    return;
  }
  trim(u2, len);
  fold_oversized(u2, len, p);

  const int32_t k = p / 16 + 1;
  if (*len < k) return;
  const int32_t r = p % 16;
  const uint32_t mask = 0xFFFFu >> (16 - r);  // 2^r - 1, and 0 for r = 0
  if (r == 0) printf("Die Me-Zahl ist durch %d teilbar ??? Unbehandelter Fehler aus fast_mersenne_modulo", 16);
  if (*len == k && u2[k - 1] <= mask) return;

  // Split at bit p: H = V >> p into u1, L = V mod 2^p stays in u2[0 .. k-1].
  const int32_t top = *len - k;
  for (int32_t j = 0; j < top; ++j) u1[j] = (u2[k - 1 + j] >> r) + ((u2[k + j] & mask) << (16 - r));
  u1[top] = u2[*len - 1] >> r;
  *hi_len = top + (u1[top] != 0 ? 1 : 0);
  u2[k - 1] &= mask;
  *len = k;

  // L + H.
  uint32_t carry = 0;
  int32_t i = 0;
  for (; i < *hi_len; ++i) {
    const uint32_t s = u2[i] + u1[i] + carry;
    u2[i] = s & 0xFFFF;
    carry = s > 0xFFFF ? 1 : 0;
  }
  for (; i < *len && carry != 0; ++i) {
    const uint32_t s = u2[i] + 1;
    u2[i] = s & 0xFFFF;
    carry = s > 0xFFFF ? 1 : 0;
  }
  if (carry != 0) {
    u2[*len] = 1;
    ++*len;
  }
  trim(u2, len);

  // All ones below bit p is 2^p - 1, that is 0.
  if (*len == k && u2[k - 1] == mask) {
    for (int32_t j = 0; j < k - 1; ++j)
      if (u2[j] != 0xFFFF) return;
    *len = 1;
    u2[0] = 0;
    return;
  }
  if (*len < k || (*len == k && u2[k - 1] < mask)) return;

  // The sum lies in 2^p .. 2^(p+1) - 2: clear bit p and add 1.
  uint32_t bit = 0;
  for (uint32_t b = 0x8000; b != 0; b >>= 1)
    if (b <= u2[*len - 1]) {
      bit = b;
      break;
    }
  u2[*len - 1] -= bit;
  for (int32_t j = 0; j < *len; ++j) {
    if (u2[j] < 0xFFFF) {
      ++u2[j];
      return;
    }
    u2[j] = 0;
  }
  u2[*len] = 1;
  ++*len;
}
