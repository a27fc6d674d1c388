#include "formats/state.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "base/digest.h"
#include "base/files.h"
#include "base/numbers.h"
#include "formats/bytes.h"

namespace {

constexpr char kMagic[16] = {'M', 'E', 'R', 'S', 'E', 'N', 'N', 'E', '-', 'S', 'T', 'A', 'T', 'E', '\r', '\n'};
constexpr uint32_t kVersion = 1;     // Lucas-Lehmer states
constexpr uint32_t kPrpVersion = 2;  // probable-prime states: version 1 followed by the Gerbicz section
// Versions 1 and 2 followed by the trial factoring depth (4 bytes), as written now.
constexpr uint32_t kDepthVersion = 3;
constexpr uint32_t kPrpDepthVersion = 4;
constexpr size_t kDepthField = 4;
// P-1 states: version 3 followed by the P-1 section (stage, bounds, position,
// the factors found, stage 2's product), then the depth.
constexpr uint32_t kPm1FirstVersion = 5;
// Version 5 followed by stage 1's check (block, shifts, failures, the base
// residue); a version 5 state's stage 1 holds no check product.
constexpr uint32_t kPm1Version = 6;
constexpr size_t kPm1Fields = 4 + 4 * 8 + 8;  // stage, b1, b2, b2 start, done, factors' length
constexpr size_t kPm1CheckFields = 4 * 4 + 8;  // block, check shift, base shift, check failures, base length
constexpr size_t kLongestFactors = 1 << 16;
constexpr size_t kPrpFields = 4 * 4 + 8 + 8;  // block, check shift, errors, power, step, kept length
constexpr size_t kHeader = 16 + 4 * 4 + 8 + 4 * 4 + 8 + 8;  // magic, version..flags, iteration, shifts+errors, elapsed, length
constexpr size_t kDigest = 32;

// The longest state of p (a probable-prime state keeping x_p): nothing longer is read.
size_t largest_state(int32_t p) {
  const size_t residue_bytes = (static_cast<size_t>(p) + 7) / 8;
  return kHeader + 3 * residue_bytes + kPrpFields + kPm1Fields + kLongestFactors + 8 + kPm1CheckFields + kDepthField +
         kDigest;
}

using le::get;
using le::put;

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string* why) {
  return write_file_synced(path, bytes.data(), bytes.size(), why);
}

}  // namespace

const char* test_name(test_kind kind) {
  return kind == test_kind::ll ? "ll" : kind == test_kind::prp ? "prp" : kind == test_kind::pm1 ? "pm1" : "?";
}

int64_t test_iterations(test_kind kind, int32_t p) {
  return kind == test_kind::prp ? p : kind == test_kind::pm1 ? 0 : int64_t{p} - 2;
}

void to_json(nlohmann::ordered_json& j, const state_listing& s) {
  j = nlohmann::ordered_json::object();
  j["exponent"] = s.state.p;
  j["test"] = test_name(s.state.test);
  j["iteration"] = s.state.iteration;
  j["iterations"] = test_iterations(s.state.test, s.state.p);
  j["verified"] = s.state.verified;
  j["age_seconds"] = std::round(s.age_seconds);
}

std::vector<uint8_t> encode_state(const run_state& s) {
  const bool prp = s.test == test_kind::prp, pm1 = s.test == test_kind::pm1;
  std::vector<uint8_t> out(kMagic, kMagic + 16);
  put(out, prp ? kPrpDepthVersion : pm1 ? kPm1Version : kDepthVersion, 4);
  put(out, static_cast<uint32_t>(s.test), 4);
  put(out, static_cast<uint32_t>(s.p), 4);
  put(out, s.verified ? 1 : 0, 4);
  put(out, static_cast<uint64_t>(s.iteration), 8);
  put(out, s.shift, 4);
  put(out, s.start_shift, 4);
  put(out, s.jacobi_errors, 4);
  put(out, s.roundoff_errors, 4);
  uint64_t elapsed;
  std::memcpy(&elapsed, &s.elapsed, 8);
  put(out, elapsed, 8);
  put(out, s.residue.size(), 8);
  out.insert(out.end(), s.residue.begin(), s.residue.end());
  if (prp) {
    put(out, s.block, 4);
    put(out, s.check_shift, 4);
    put(out, s.gerbicz_errors, 4);
    put(out, s.proof_power, 4);
    put(out, static_cast<uint64_t>(s.proof_step), 8);
    put(out, s.kept.size(), 8);
    out.insert(out.end(), s.check.begin(), s.check.end());
    out.insert(out.end(), s.kept.begin(), s.kept.end());
  }
  if (pm1) {
    put(out, s.pm1_stage, 4);
    put(out, s.pm1_b1, 8);
    put(out, s.pm1_b2, 8);
    put(out, s.pm1_b2_start, 8);
    put(out, s.pm1_done, 8);
    put(out, s.pm1_factors.size(), 8);
    out.insert(out.end(), s.pm1_factors.begin(), s.pm1_factors.end());
    put(out, s.check.size(), 8);
    out.insert(out.end(), s.check.begin(), s.check.end());
    put(out, s.block, 4);
    put(out, s.check_shift, 4);
    put(out, s.pm1_base_shift, 4);
    put(out, s.gerbicz_errors, 4);
    put(out, s.pm1_base.size(), 8);
    out.insert(out.end(), s.pm1_base.begin(), s.pm1_base.end());
  }
  put(out, static_cast<uint32_t>(s.tf_bits), 4);
  uint8_t digest[kDigest];
  sha256(out.data(), out.size(), digest);
  out.insert(out.end(), digest, digest + kDigest);
  return out;
}

bool decode_state(const uint8_t* data, size_t size, int32_t p, run_state* out, std::string* why) {
  if (size < kHeader + kDigest) {
    *why = "too short to be a state (" + std::to_string(size) + " bytes)";
    return false;
  }
  if (std::memcmp(data, kMagic, 16) != 0) {
    *why = "not a state file (wrong magic)";
    return false;
  }
  const uint32_t version = static_cast<uint32_t>(get(data + 16, 4));
  if (version < kVersion || version > kPm1Version) {
    *why = "format version " + std::to_string(version) + ", this program reads versions " + std::to_string(kVersion) +
           " to " + std::to_string(kPm1Version);
    return false;
  }
  const uint32_t file_p = static_cast<uint32_t>(get(data + 24, 4));
  if (file_p != static_cast<uint32_t>(p)) {
    *why = "state of exponent " + std::to_string(file_p) + ", not " + std::to_string(p);
    return false;
  }
  const size_t residue_bytes = (static_cast<size_t>(p) + 7) / 8;
  const bool prp = version == kPrpVersion || version == kPrpDepthVersion;
  const bool pm1 = version >= kPm1FirstVersion;
  const bool pm1_check = version >= kPm1Version;
  const size_t depth_bytes = version >= kDepthVersion ? kDepthField : 0;
  // A P-1 state's size depends on its factors' text and whether it holds stage 2's product.
  size_t pm1_bytes = 0, factor_bytes = 0, product_bytes = 0, base_bytes = 0;
  if (pm1) {
    const size_t at = kHeader + residue_bytes;
    if (size < at + kPm1Fields + 8 + depth_bytes + kDigest) {
      *why = "too short to be a P-1 state (" + std::to_string(size) + " bytes)";
      return false;
    }
    const uint64_t f = get(data + at + kPm1Fields - 8, 8);
    if (f > kLongestFactors || at + kPm1Fields + f + 8 > size) {
      *why = "its factors' field is " + std::to_string(f) + " bytes long, more than the file holds";
      return false;
    }
    factor_bytes = static_cast<size_t>(f);
    const uint64_t c = get(data + at + kPm1Fields + factor_bytes, 8);
    if (c != 0 && c != residue_bytes) {
      *why = "its product is " + std::to_string(c) + " bytes long, a state of M" + std::to_string(p) + " keeps 0 or " +
             std::to_string(residue_bytes);
      return false;
    }
    product_bytes = static_cast<size_t>(c);
    pm1_bytes = kPm1Fields + factor_bytes + 8 + product_bytes;
    if (pm1_check) {
      const size_t check_at = at + pm1_bytes;
      if (check_at + kPm1CheckFields > size) {
        *why = "too short to be a P-1 state (" + std::to_string(size) + " bytes)";
        return false;
      }
      const uint64_t b = get(data + check_at + kPm1CheckFields - 8, 8);
      if (b != 0 && b != residue_bytes) {
        *why = "its check's base is " + std::to_string(b) + " bytes long, a state of M" + std::to_string(p) +
               " keeps 0 or " + std::to_string(residue_bytes);
        return false;
      }
      base_bytes = static_cast<size_t>(b);
      pm1_bytes += kPm1CheckFields + base_bytes;
    }
  }
  // A probable-prime state's size depends on whether x_p is kept: read that length before comparing.
  size_t kept_bytes = 0;
  if (prp && size >= kHeader + residue_bytes + kPrpFields) {
    const uint64_t kept_field = get(data + kHeader + residue_bytes + kPrpFields - 8, 8);
    if (kept_field != 0 && kept_field != residue_bytes) {
      *why = "its kept residue is " + std::to_string(kept_field) + " bytes long, a state of M" + std::to_string(p) +
             " keeps 0 or " + std::to_string(residue_bytes);
      return false;
    }
    kept_bytes = static_cast<size_t>(kept_field);
  }
  const size_t want =
      kHeader + residue_bytes + (prp ? kPrpFields + residue_bytes + kept_bytes : 0) + pm1_bytes + depth_bytes + kDigest;
  if (size != want) {
    *why = "wrong size (" + std::to_string(size) + " bytes, a state of M" + std::to_string(p) + " has " +
           std::to_string(want) + ")";
    return false;
  }
  if (const uint64_t length = get(data + kHeader - 8, 8); length != residue_bytes) {
    *why = "its residue is " + std::to_string(length) + " bytes long, a state of M" + std::to_string(p) + " has " +
           std::to_string(residue_bytes);
    return false;
  }
  uint8_t digest[kDigest];
  sha256(data, size - kDigest, digest);
  if (std::memcmp(digest, data + size - kDigest, kDigest) != 0) {
    *why = "checksum mismatch (the file is damaged)";
    return false;
  }
  run_state s;
  s.test = static_cast<test_kind>(get(data + 20, 4));
  s.p = p;
  const uint32_t flags = static_cast<uint32_t>(get(data + 28, 4));
  s.verified = (flags & 1) != 0;
  s.iteration = static_cast<int64_t>(get(data + 32, 8));
  s.shift = static_cast<uint32_t>(get(data + 40, 4));
  s.start_shift = static_cast<uint32_t>(get(data + 44, 4));
  s.jacobi_errors = static_cast<uint32_t>(get(data + 48, 4));
  s.roundoff_errors = static_cast<uint32_t>(get(data + 52, 4));
  const uint64_t elapsed = get(data + 56, 8);
  std::memcpy(&s.elapsed, &elapsed, 8);
  if (s.test != (prp ? test_kind::prp : pm1 ? test_kind::pm1 : test_kind::ll) || s.iteration < 0 || s.shift >= static_cast<uint32_t>(p) ||
      s.start_shift >= static_cast<uint32_t>(p) || !(s.elapsed >= 0)) {
    *why = "fields out of range";
    return false;
  }
  s.residue.assign(data + kHeader, data + kHeader + residue_bytes);
  if (depth_bytes != 0) {
    const uint32_t depth = static_cast<uint32_t>(get(data + size - kDigest - kDepthField, 4));
    if (depth > static_cast<uint32_t>(kFactorMaxBits)) {
      *why = "fields out of range";
      return false;
    }
    s.tf_bits = static_cast<int32_t>(depth);
  }
  if (prp) {
    const uint8_t* f = data + kHeader + residue_bytes;
    s.block = static_cast<uint32_t>(get(f, 4));
    s.check_shift = static_cast<uint32_t>(get(f + 4, 4));
    s.gerbicz_errors = static_cast<uint32_t>(get(f + 8, 4));
    s.proof_power = static_cast<uint32_t>(get(f + 12, 4));
    s.proof_step = static_cast<int64_t>(get(f + 16, 8));
    const uint8_t* check = f + kPrpFields;
    s.check.assign(check, check + residue_bytes);
    s.kept.assign(check + residue_bytes, check + residue_bytes + kept_bytes);
    // x_p is kept exactly from iteration p on; the proof's layout is whole.
    if (s.block == 0 || s.check_shift >= static_cast<uint32_t>(p) || s.proof_power > 12 || s.proof_step < 0 ||
        (s.proof_power == 0) != (s.proof_step == 0) || (kept_bytes != 0) != (s.iteration >= p)) {
      *why = "fields out of range";
      return false;
    }
  }
  if (pm1) {
    const uint8_t* f = data + kHeader + residue_bytes;
    s.pm1_stage = static_cast<uint32_t>(get(f, 4));
    s.pm1_b1 = get(f + 4, 8);
    s.pm1_b2 = get(f + 12, 8);
    s.pm1_b2_start = get(f + 20, 8);
    s.pm1_done = get(f + 28, 8);
    s.pm1_factors.assign(reinterpret_cast<const char*>(f + kPm1Fields), factor_bytes);
    const uint8_t* product = f + kPm1Fields + factor_bytes + 8;
    s.check.assign(product, product + product_bytes);
    // Stage 2 holds its product, and so does stage 1 from version 6 on, with
    // its check's base and block; the factors are decimals and commas.
    bool whole = (s.pm1_stage == 1 || s.pm1_stage == 2) && s.pm1_b1 >= 2 &&
                 s.pm1_factors.find_first_not_of("0123456789,") == std::string::npos;
    if (pm1_check) {
      const uint8_t* c = product + product_bytes;
      s.block = static_cast<uint32_t>(get(c, 4));
      s.check_shift = static_cast<uint32_t>(get(c + 4, 4));
      s.pm1_base_shift = static_cast<uint32_t>(get(c + 8, 4));
      s.gerbicz_errors = static_cast<uint32_t>(get(c + 12, 4));
      s.pm1_base.assign(c + kPm1CheckFields, c + kPm1CheckFields + base_bytes);
      const bool first = s.pm1_stage == 1;
      whole = whole && product_bytes != 0 && (base_bytes != 0) == first && (s.block != 0) == first &&
              s.check_shift < static_cast<uint32_t>(p) && s.pm1_base_shift < static_cast<uint32_t>(p);
    } else {
      whole = whole && (s.pm1_stage == 2) == (product_bytes != 0);
    }
    if (!whole) {
      *why = "fields out of range";
      return false;
    }
  }
  *out = std::move(s);
  return true;
}

namespace {

constexpr char kFactorMagic[16] = {'M', 'E', 'R', 'S', 'E', 'N', 'N', 'E', '-', 'F', 'A', 'C', 'T', 'O', 'R', '\n'};
constexpr uint32_t kFactorVersion = 1;
constexpr size_t kClassBytes = (kFactorClassModulus + 7) / 8;
constexpr size_t kFactorSize = 16 + 3 * 4 + kClassBytes + kDigest;  // magic, version, p, level, classes, digest

}  // namespace

std::vector<uint8_t> encode_factoring(const factoring_state& f) {
  std::vector<uint8_t> out(kFactorMagic, kFactorMagic + 16);
  put(out, kFactorVersion, 4);
  put(out, static_cast<uint32_t>(f.p), 4);
  put(out, static_cast<uint32_t>(f.level), 4);
  for (size_t i = 0; i < kClassBytes; ++i) {
    uint8_t byte = 0;
    for (size_t b = 0; b < 8 && 8 * i + b < kFactorClassModulus; ++b) byte |= f.done[8 * i + b] ? 1 << b : 0;
    out.push_back(byte);
  }
  uint8_t digest[kDigest];
  sha256(out.data(), out.size(), digest);
  out.insert(out.end(), digest, digest + kDigest);
  return out;
}

bool decode_factoring(const uint8_t* data, size_t size, int32_t p, factoring_state* out, std::string* why) {
  if (size != kFactorSize || std::memcmp(data, kFactorMagic, 16) != 0) {
    *why = "not a factoring progress file";
    return false;
  }
  uint8_t digest[kDigest];
  sha256(data, size - kDigest, digest);
  if (std::memcmp(digest, data + size - kDigest, kDigest) != 0) {
    *why = "checksum mismatch (the file is damaged)";
    return false;
  }
  const uint32_t version = static_cast<uint32_t>(get(data + 16, 4));
  if (version != kFactorVersion) {
    *why = "format version " + std::to_string(version) + ", this program reads version " +
           std::to_string(kFactorVersion);
    return false;
  }
  const uint32_t file_p = static_cast<uint32_t>(get(data + 20, 4)), level = static_cast<uint32_t>(get(data + 24, 4));
  if (file_p != static_cast<uint32_t>(p)) {
    *why = "factoring of exponent " + std::to_string(file_p) + ", not " + std::to_string(p);
    return false;
  }
  const uint8_t* bits = data + 28;
  // The last byte's bits past the classes are never set.
  if (level > static_cast<uint32_t>(kFactorMaxBits) || (bits[kClassBytes - 1] >> (kFactorClassModulus % 8)) != 0) {
    *why = "fields out of range";
    return false;
  }
  factoring_state f;
  f.p = p;
  f.level = static_cast<int>(level);
  for (size_t c = 0; c < kFactorClassModulus; ++c) f.done[c] = (bits[c / 8] >> (c % 8) & 1) != 0;
  *out = f;
  return true;
}

exponent_lock::~exponent_lock() {
  if (remove_) remove_file(path_);
  close_file(fd_);  // releases the flock
}

std::unique_ptr<state_dir> state_dir::open(const std::string& dir, std::string* why) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (!std::filesystem::is_directory(dir, ec)) {
    *why = dir + " is not a usable directory" + (ec ? ": " + ec.message() : std::string());
    return nullptr;
  }
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    *why = "cannot write in " + dir + ": " + errno_text();
    return nullptr;
  }
  return std::unique_ptr<state_dir>(new state_dir(dir));
}

std::string state_dir::file(int32_t p, const char* suffix) const {
  return dir_ + "/" + mersenne_name(p) + suffix;
}

std::unique_ptr<exponent_lock> state_dir::lock(int32_t p, bool* busy, std::string* why) const {
  *busy = false;
  const std::string path = file(p, ".lock");
  const int fd = open_locked(path, 0, busy, why);
  if (fd < 0) {
    if (*busy) *why = "another mersenne process is testing it (" + path + " is locked)";
    return nullptr;
  }
  // Nobody else writes p's files now: what a killed writer left half done goes.
  remove_temporaries(p);
  return std::make_unique<exponent_lock>(fd, path);
}

namespace {

// p's state file names of one test: newest, backup, staged, verified.
struct kind_suffixes {
  const char* newest;
  const char* backup;
  const char* staged;
  const char* verified;
};

kind_suffixes suffixes_of(test_kind kind) {
  if (kind == test_kind::prp) return {".prp.state", ".prp.state.bak", ".prp.state.new", ".prp.verified"};
  if (kind == test_kind::pm1) return {".pm1.state", ".pm1.state.bak", ".pm1.state.new", ".pm1.verified"};
  return {".state", ".state.bak", ".state.new", ".verified"};
}

}  // namespace

bool state_dir::save(const run_state& s, std::string* why) const {
  const std::vector<uint8_t> bytes = encode_state(s);
  const kind_suffixes names = suffixes_of(s.test);
  const std::string newest = file(s.p, names.newest), backup = file(s.p, names.backup);
  // The new state goes to a temporary name first: a failure leaves every old file alone.
  const std::string staged = file(s.p, names.staged);
  if (!write_file(staged, bytes, why)) return false;
  if (std::string what; !rename_file(newest, backup, &what) && errno != ENOENT) {
    *why = "cannot keep " + newest + " as the backup: " + what;
    remove_file(staged);
    return false;
  }
  if (std::string what; !rename_file(staged, newest, &what)) {
    *why = "cannot rename " + staged + ": " + what;
    return false;
  }
  bool ok = true;
  if (s.verified) ok = write_file(file(s.p, names.verified), bytes, why);
  sync_dir(dir_);
  return ok;
}

std::vector<run_state> state_dir::load(int32_t p, const std::function<void(const std::string&)>& warn,
                                       test_kind kind) const {
  std::vector<run_state> found;
  const kind_suffixes names = suffixes_of(kind);
  for (const char* suffix : {names.newest, names.backup, names.staged, names.verified}) {
    const std::string path = file(p, suffix);
    std::string bytes;
    bool missing = false;
    std::string why;
    run_state s;
    if (!read_whole_file(path, largest_state(p), &bytes, &missing, &why)) {
      if (!missing) warn(path + ": cannot be read (" + why + "); not used");
      continue;
    }
    if (!decode_state(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), p, &s, &why)) {
      warn(path + ": " + why + "; not used");
      continue;
    }
    if (s.test != kind) {
      warn(path + ": a state of another test; not used");
      continue;
    }
    s.file = path;
    found.push_back(std::move(s));
  }
  // Newest first; of two at the same iteration the verified one.
  std::stable_sort(found.begin(), found.end(), [](const run_state& a, const run_state& b) {
    return a.iteration != b.iteration ? a.iteration > b.iteration : a.verified > b.verified;
  });
  return found;
}

void state_dir::forget(int32_t p, test_kind kind) const {
  const kind_suffixes names = suffixes_of(kind);
  for (const char* suffix : {names.newest, names.backup, names.staged, names.verified}) remove_file(file(p, suffix));
  if (kind == test_kind::prp) {
    std::error_code ec;
    std::filesystem::remove_all(proof_residue_dir(p), ec);
  }
  remove_temporaries(p);
  sync_dir(dir_);
}

void state_dir::forget(int32_t p) const {
  forget_factoring(p);
  forget(p, test_kind::ll);
  forget(p, test_kind::prp);
  forget(p, test_kind::pm1);
}

bool state_dir::save_factoring(const factoring_state& f, std::string* why) const {
  if (!write_file(file(f.p, ".factoring"), encode_factoring(f), why)) return false;
  sync_dir(dir_);
  return true;
}

bool state_dir::load_factoring(int32_t p, factoring_state* out,
                               const std::function<void(const std::string&)>& warn) const {
  const std::string path = file(p, ".factoring");
  std::string bytes, why;
  bool missing = false;
  if (!read_whole_file(path, 1 << 16, &bytes, &missing, &why)) {
    if (!missing) warn(path + ": cannot be read (" + why + "); not used");
    return false;
  }
  if (!decode_factoring(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), p, out, &why)) {
    warn(path + ": " + why + "; not used");
    return false;
  }
  return true;
}

void state_dir::forget_factoring(int32_t p) const {
  if (remove_file(file(p, ".factoring"))) sync_dir(dir_);
}

bool state_dir::holds(int32_t p) const {
  for (const char* suffix : {".state", ".state.bak", ".state.new", ".verified", ".prp.state", ".prp.state.bak",
                             ".prp.state.new", ".prp.verified", ".pm1.state", ".pm1.state.bak", ".pm1.state.new",
                             ".pm1.verified", ".factoring"})
    if (::access(file(p, suffix).c_str(), F_OK) == 0) return true;
  return false;
}

void state_dir::remove_temporaries(int32_t p) const {
  const std::string prefix = mersenne_name(p) + ".";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) == 0 && name.find(".tmp.") != std::string::npos)
      remove_file(entry.path().string());
  }
}

double state_dir::age_seconds(int32_t p) const {
  double newest = 0;
  for (const char* suffix : {".state", ".state.bak", ".verified", ".prp.state", ".prp.state.bak", ".prp.verified"}) {
    struct stat st;
    if (::stat(file(p, suffix).c_str(), &st) == 0 && st.st_mtime > newest) newest = static_cast<double>(st.st_mtime);
  }
  return newest > 0 ? static_cast<double>(::time(nullptr)) - newest : 0.0;
}

std::vector<int32_t> state_dir::exponents() const {
  std::vector<int32_t> ps;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir_, ec)) {
    const std::string name = entry.path().filename().string();
    const size_t dot = name.find('.');
    if (name.size() < 2 || name[0] != 'M' || dot == std::string::npos) continue;
    const std::string digits = name.substr(1, dot - 1), suffix = name.substr(dot);
    if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    if (suffix != ".state" && suffix != ".state.bak" && suffix != ".verified" && suffix != ".prp.state" &&
        suffix != ".prp.state.bak" && suffix != ".prp.verified" && suffix != ".pm1.state" &&
        suffix != ".pm1.state.bak" && suffix != ".pm1.verified" && suffix != ".factoring")
      continue;
    const long long v = std::atoll(digits.c_str());
    if (v >= 2 && v <= 2147483647) ps.push_back(static_cast<int32_t>(v));
  }
  std::sort(ps.begin(), ps.end());
  ps.erase(std::unique(ps.begin(), ps.end()), ps.end());
  return ps;
}

std::string default_state_dir() {
  if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && *xdg != '\0')
    return std::string(xdg) + "/mersenne";
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home) + "/.local/state/mersenne";
  return "";
}
