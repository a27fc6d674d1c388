#include <cstdio>

#include "str_2y16.h"

void str_minus_zwei(uint32_t* u2, int32_t* len) {
  if (u2[0] >= 2) {
    u2[0] -= 2;
    return;
  }
  if (*len <= 1) {
    printf("Vom String u1[] kann nicht 2 subtrahiert werden! Nicht behandelter Fehler aus str_minus_zwei");
    return;
  }
  u2[0] = u2[0] + 0x10000 - 2;
  for (int32_t i = 1; i < *len; ++i) {
    if (u2[i] == 0) {
      u2[i] = 0xFFFF;
      continue;
    }
    --u2[i];
    if (i == *len - 1 && u2[i] == 0) --*len;
    return;
  }
  // Every digit above 0 was zero: the borrow runs off the top.
}
