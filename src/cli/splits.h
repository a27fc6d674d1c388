// The throughput measurement kept between runs: for each processor, number
// of usable cores and transform length, the split of the cores into workers
// x threads that did the most iterations per second in all
// (--benchmark --throughput), and the default --jobs/--threads it gives a
// list of exponents.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"

// The best split measured at one length.
struct saved_split {
  std::string processor;  // processor_identity() where it was measured
  int cores = 0;          // usable cores then: workers * threads
  int64_t fft_length = 0;
  int workers = 0;
  int threads = 0;
  double iterations_per_second = 0;  // in all, over the workers
  bool operator==(const saved_split&) const = default;
};

void to_json(nlohmann::ordered_json& j, const saved_split& s);

// The file's place: choice_cache_dir()/throughput-splits; "" when there is none.
std::string saved_splits_path();

// Every entry of the file at path (of any processor) into *out. True also
// when there is no file (*out empty); false with *why when it cannot be
// read or is not whole and sound: another format, a checksum that does not
// match, an entry with a field missing, out of range, or a split that does
// not multiply to its cores.
bool read_saved_splits(const std::string& path, std::vector<saved_split>* out, std::string* why);

// Adds measured to the file at path, each replacing the entry of the same
// processor, cores and length; the other entries are kept (all of them
// dropped when the file is not sound). Under the folder's lock, so that
// two savers merge one after the other; written to a temporary name, synced
// and renamed. False with *why when it could not be written.
bool save_splits(const std::string& path, const std::vector<saved_split>& measured, std::string* why);

// The entry of processor and cores for a test at length n: the nearest
// saved length at or above n, else the nearest below; none when no entry
// is of that processor and cores.
std::optional<saved_split> split_for_length(const std::vector<saved_split>& saved, const std::string& processor,
                                            int cores, int64_t n);

// For a run of several exponents with neither --jobs nor --threads given:
// opt's jobs and threads from the file at path, the split saved for this
// processor and its usable cores at the length the largest exponent's test
// runs at, where that test is the fast engine's on more than one thread's
// length (tuning::kTwoPassThreadsFrom). A file that is not sound is named
// on err and changes nothing; tell: say on err which split was taken.
void take_saved_split(cli_options& opt, const std::string& path, FILE* err, bool tell);
