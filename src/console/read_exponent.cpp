#include "read_exponent.h"

#include <cctype>

read_status read_exponent(FILE* in, int32_t* p) {
  int c = fgetc(in);
  while (c != EOF && isspace(c)) c = fgetc(in);
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = fgetc(in);
  }
  if (c == EOF || !isdigit(c)) {
    if (c != EOF) ungetc(c, in);
    return read_status::no_integer;
  }
  // Magnitudes are capped just above the 32-bit range, so long inputs cannot overflow.
  const int64_t cap = int64_t{1} << 32;
  int64_t magnitude = 0;
  for (; c != EOF && isdigit(c); c = fgetc(in)) {
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > cap) magnitude = cap;
  }
  if (c != EOF) ungetc(c, in);
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return read_status::out_of_range;
  *p = static_cast<int32_t>(value);
  return read_status::ok;
}
