// Reading the exponent from the console the way "%d" does, but with every
// failure named instead of undefined.
#pragma once

#include <cstdint>
#include <cstdio>

enum class read_status { ok, no_integer, out_of_range };

// Skips white space, takes an optional sign and decimal digits from in.
// ok: *p holds the value; otherwise *p is left alone. Stops at the first
// character that cannot continue the number (left unread).
read_status read_exponent(FILE* in, int32_t* p);
