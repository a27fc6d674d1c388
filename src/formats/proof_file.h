// The bytes of a probable-prime test's proof, which anyone's verifier reads,
// and of the residues a run keeps on disk to make one.
//
// The proof file, as the search's programs write and verify it: five text
// lines PRP PROOF / VERSION=1 / HASHSIZE=64 / POWER=k / NUMBER=M<p>, then
// B = x_top and the k middles, each ceil(p/8) bytes, least significant byte
// first. top is the smallest multiple of 2^k above p (the verifier also
// takes the smallest multiple of 1024 above p, which some programs use).
//
// Proofs this program wrote before have the older layout, read but never
// written: PRP PROOF / VERSION 1 / HASHSIZE 64 / POWER k / NUMBER M<p>, then
// x_top, the k middles and x_p.
//
// A kept residue's file: a magic line, p (4 bytes), the iteration (8), the
// residue's length (8), the residue, SHA-256 of all before it.
#pragma once

#include <gmp.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The highest proof power this program writes or reads.
inline constexpr int kMaxProofPower = 12;

// Bytes read at most to find the header's five lines (they are far shorter together).
inline constexpr size_t kLongestProofHeader = 128;

// ceil(p/8): the bytes of one residue modulo 2^p - 1.
size_t residue_size(int32_t p);

// x in [0, 2^p - 1) as ceil(p/8) bytes, least significant first, appended to out.
void append_residue(std::vector<uint8_t>& out, mpz_srcptr x, int32_t p);

// The residue in ceil(p/8) bytes at data into x; false when it is not below 2^p - 1.
bool import_residue(mpz_ptr x, const uint8_t* data, int32_t p);

// ceil(p/32) 32-bit words: the bytes of a residue as the proof's hash chain takes it.
size_t hashed_residue_size(int32_t p);

// The layouts of proof files: the search's one, which this program writes,
// and this program's older one, only read.
enum class proof_layout { consensus, older };

// What a proof file's header says.
struct proof_head {
  int32_t p = 0;
  int power = 0;
  size_t length = 0;  // the header's bytes
  proof_layout layout = proof_layout::consensus;
};

// The five header lines of a proof of power for p, each ending in a line break.
std::string proof_header(int32_t p, int power);

// Parses the header (of either layout) at the start of data into *head;
// false with the reason otherwise.
bool parse_header(const uint8_t* data, size_t size, proof_head* head, std::string* why);

// The residues after the header of a proof with head.
int proof_residue_count(const proof_head& head);

// The size of a whole proof with head.
size_t proof_size(const proof_head& head);

// The bytes of a proof file for p of power middles.size(): its header, B =
// x_top and the middles (each residue in [0, 2^p - 1)).
std::vector<uint8_t> encode_proof(int32_t p, mpz_srcptr x_top, const std::vector<mpz_srcptr>& middles);

// The file name of p's proof of power: M<p>.power<k>.proof, so that proofs
// of one exponent at different powers never take each other's place.
std::string proof_file_name(int32_t p, int power);

// The residues a run keeps for its proof: one file per iteration in one
// folder, each with the exponent, the iteration and a SHA-256 checked when
// read back.
class proof_residues {
 public:
  proof_residues(std::string dir, int32_t p) : dir_(std::move(dir)), p_(p) {}
  const std::string& dir() const { return dir_; }
  // Writes x (in [0, 2^p - 1), without shift) as the residue of iteration i,
  // crash-safe; false with *why when it could not.
  bool save(int64_t i, mpz_srcptr x, std::string* why) const;
  // Reads iteration i's residue into x; false with *why when it is missing or damaged.
  bool load(int64_t i, mpz_ptr x, std::string* why) const;

 private:
  std::string file(int64_t i) const;
  std::string dir_;
  int32_t p_;
};
