#include "formats/proof_file.h"


#include <cstring>

#include "base/check.h"
#include "base/digest.h"
#include "base/files.h"
#include "base/numbers.h"
#include "formats/bytes.h"

namespace {

constexpr char kResidueMagic[16] = {'M', 'E', 'R', 'S', 'E', 'N', 'N', 'E', '-', 'R', 'E', 'S', 'I', 'D', '\r', '\n'};
constexpr size_t kResidueHeader = 16 + 4 + 8 + 8;  // magic, p, iteration, length
constexpr size_t kDigest = 32;

using le::get;
using le::put;

// A header number: decimal without sign or leading zero, at most max.
bool header_number(const std::string& s, int64_t max, int64_t* out) {
  return !(s.size() > 1 && s[0] == '0') && read_decimal(s, max, out) == decimal_read::ok;
}

}  // namespace

size_t residue_size(int32_t p) { return (static_cast<size_t>(p) + 7) / 8; }

void append_residue(std::vector<uint8_t>& out, mpz_srcptr x, int32_t p) {
  MERSENNE_REQUIRE(mpz_sgn(x) >= 0 && mpz_sizeinbase(x, 2) <= static_cast<size_t>(p));
  const size_t at = out.size();
  out.resize(at + residue_size(p), 0);
  size_t count = 0;
  mpz_export(out.data() + at, &count, -1, 1, 0, 0, x);
}

bool import_residue(mpz_ptr x, const uint8_t* data, int32_t p) {
  mpz_import(x, residue_size(p), -1, 1, 0, 0, data);
  return mpz_sizeinbase(x, 2) <= static_cast<size_t>(p) && mpz_popcount(x) != static_cast<mp_bitcnt_t>(p);
}

size_t hashed_residue_size(int32_t p) { return (static_cast<size_t>(p) + 31) / 32 * 4; }

std::string proof_header(int32_t p, int power) {
  std::string h = "PRP PROOF\nVERSION=1\nHASHSIZE=64\nPOWER=";
  h += std::to_string(power);
  h += "\nNUMBER=";
  h += mersenne_name(p);
  h += '\n';
  return h;
}

bool parse_header(const uint8_t* data, size_t size, proof_head* head, std::string* why) {
  static const char* const kKeys[] = {"PRP PROOF", "VERSION", "HASHSIZE", "POWER", "NUMBER"};
  std::string lines[5];
  size_t at = 0;
  char sep = '=';  // after the keys: '=' in the search's layout, ' ' in the older one
  for (int i = 0; i < 5; ++i) {
    const size_t start = at;
    while (at < size && at < kLongestProofHeader && data[at] != '\n') ++at;
    if (at >= size || at >= kLongestProofHeader) {
      *why = size < kLongestProofHeader && at >= size ? "truncated header" : "not a proof file (no header)";
      return false;
    }
    lines[i].assign(reinterpret_cast<const char*>(data) + start, at - start);
    ++at;
    std::string key = kKeys[i];
    if (i == 1 && lines[i].size() > key.size()) sep = lines[i][key.size()];
    if (i > 0) key += sep;
    if (i == 4) key += 'M';
    if ((sep != '=' && sep != ' ') || lines[i].compare(0, key.size(), key) != 0) {
      *why = i == 0 ? "not a proof file (wrong format name)" : "bad header line " + std::to_string(i + 1);
      return false;
    }
    lines[i].erase(0, key.size());
  }
  int64_t version = 0, hash = 0, pw = 0, pv = 0;
  if (!lines[0].empty()) {
    *why = "not a proof file (wrong format name)";
    return false;
  }
  if (!header_number(lines[1], 1000000, &version) || version != 1) {
    *why = "unknown format version '" + lines[1] + "' (this program reads version 1)";
    return false;
  }
  if (!header_number(lines[2], 1000000, &hash) || hash != 64) {
    *why = "unsupported hash size '" + lines[2] + "' (this program reads 64)";
    return false;
  }
  if (!header_number(lines[3], kMaxProofPower, &pw) || pw < 1) {
    *why = "bad power '" + lines[3] + "' (1 to " + std::to_string(kMaxProofPower) + ")";
    return false;
  }
  if (!header_number(lines[4], 2147483647, &pv) || pv < 3 || !is_prime(pv)) {
    *why = "bad number 'M" + lines[4] + "' (the exponent must be an odd prime)";
    return false;
  }
  head->p = static_cast<int32_t>(pv);
  head->power = static_cast<int>(pw);
  head->length = at;
  head->layout = sep == '=' ? proof_layout::consensus : proof_layout::older;
  return true;
}

int proof_residue_count(const proof_head& head) {
  return head.power + (head.layout == proof_layout::older ? 2 : 1);
}

size_t proof_size(const proof_head& head) {
  return head.length + static_cast<size_t>(proof_residue_count(head)) * residue_size(head.p);
}

std::vector<uint8_t> encode_proof(int32_t p, mpz_srcptr x_top, const std::vector<mpz_srcptr>& middles) {
  const std::string header = proof_header(p, static_cast<int>(middles.size()));
  std::vector<uint8_t> out(header.begin(), header.end());
  append_residue(out, x_top, p);
  for (mpz_srcptr m : middles) append_residue(out, m, p);
  return out;
}

std::string proof_file_name(int32_t p, int power) {
  return mersenne_name(p) + ".power" + std::to_string(power) + ".proof";
}

std::string proof_residues::file(int64_t i) const { return dir_ + "/" + std::to_string(i) + ".residue"; }

bool proof_residues::save(int64_t i, mpz_srcptr x, std::string* why) const {
  std::vector<uint8_t> bytes(kResidueMagic, kResidueMagic + 16);
  put(bytes, static_cast<uint32_t>(p_), 4);
  put(bytes, static_cast<uint64_t>(i), 8);
  put(bytes, residue_size(p_), 8);
  append_residue(bytes, x, p_);
  uint8_t digest[kDigest];
  sha256(bytes.data(), bytes.size(), digest);
  bytes.insert(bytes.end(), digest, digest + kDigest);
  return write_file_synced(file(i), bytes.data(), bytes.size(), why);
}

bool proof_residues::load(int64_t i, mpz_ptr x, std::string* why) const {
  const std::string path = file(i);
  std::string bytes;
  bool missing = false;
  const size_t want = kResidueHeader + residue_size(p_) + kDigest;
  if (!read_whole_file(path, want, &bytes, &missing, why)) {
    if (missing) *why = path + " is missing";
    return false;
  }
  const auto* d = reinterpret_cast<const uint8_t*>(bytes.data());
  uint8_t digest[kDigest];
  if (bytes.size() == want) sha256(d, want - kDigest, digest);
  if (bytes.size() != want || std::memcmp(d, kResidueMagic, 16) != 0 || get(d + 16, 4) != static_cast<uint32_t>(p_) ||
      get(d + 20, 8) != static_cast<uint64_t>(i) || std::memcmp(digest, d + want - kDigest, kDigest) != 0 ||
      !import_residue(x, d + kResidueHeader, p_)) {
    *why = path + " is damaged";
    return false;
  }
  return true;
}
