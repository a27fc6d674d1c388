// The fast engine's length table, ascending: 2^a {1, 3, 5, 7} below 4K,
// eight per octave from there (2^a {8, 9, ..., 15}) up to 2^27, each with the
// largest average bits per word it carries (measured: length_table.h).
#pragma once

#include <cstdint>

// Number of lengths in the table.
int fast_length_count();
// The index-th table length; requires 0 <= index < fast_length_count().
int64_t fast_length(int index);
// Largest average bits per word allowed at table length n (0 for a length not in the table).
double fast_max_bits(int64_t n);
// Largest exponent the table gives to length n: floor(n * fast_max_bits(n)).
int64_t fast_max_exponent(int64_t n);
// The smallest table length for p (p >= 3), or 0 when p is beyond the table.
int64_t fast_length_for(int32_t p);
// The next table length above n that can hold p (at most p words), or 0.
int64_t fast_next_length(int32_t p, int64_t n);
