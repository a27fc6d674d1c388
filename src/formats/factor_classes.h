// The record of how far a trial factoring search got, as the factoring
// progress file and the test's states keep it: the depth bound and the set
// of residue classes of k (q = 2kp + 1) done within a level.
#pragma once

#include <bitset>
#include <cstdint>

// The deepest search supported: every q below 2^kFactorMaxBits.
inline constexpr int kFactorMaxBits = 96;

// The candidates' k are searched in residue classes modulo this; within a
// level, a search's progress is the set of classes done (bit c: the k = c
// mod kFactorClassModulus).
inline constexpr uint32_t kFactorClassModulus = 4620;
using factor_classes = std::bitset<kFactorClassModulus>;
