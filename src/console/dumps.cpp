#include <cstdio>

#include "str_2y16.h"

void print_digits(const uint32_t* words, int32_t len) {
  printf("\n");
  for (int32_t i = len - 1; i >= 0; --i) printf("[%d]=%lu   ", i, static_cast<unsigned long>(words[i]));
  printf("\n");
}

void print_bits(const uint32_t* words, int32_t len) {
  printf("\n");
  for (int32_t i = len - 1; i >= 0; --i) {
    for (int b = 0; b < 32; ++b) printf("%u", (words[i] >> (31 - b)) & 1u);
    printf(" ");
  }
  printf("\n");
}
