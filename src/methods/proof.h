// Proofs of the probable-prime test: a short file that lets anyone confirm
// x_top = 3^(2^top) mod 2^p - 1 with about top / 2^power squarings instead
// of top (Pietrzak's halving: each middle residue folds the claim onto one
// of half the length, with exponents from a SHA3-256 hash chain), made from
// the residues a run keeps on disk. The bytes of both: formats/proof_file.h.
#pragma once

#include <gmp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "arith/engine.h"
#include "formats/proof_file.h"

// The iteration a proof of power k for p ends at: the smallest multiple of
// 2^k above p (1 <= k <= kMaxProofPower, p >= 3).
int64_t proof_top(int32_t p, int power);

// The other end some programs give a proof of power k for p: the smallest
// multiple of 1024 above p, where it is a multiple of 2^k; else proof_top.
int64_t proof_top_1024(int32_t p, int power);

// Computes the middles of a proof of power k from the residues kept at the
// multiples of top / 2^k (x_top given) on e, and the proof file's bytes (the
// search's layout) into *bytes. False with *why when a residue cannot be
// read. Throws engine_failure.
bool make_proof(const engine& e, int32_t p, int power, const engine_options& opt, const proof_residues& kept,
                mpz_srcptr x_top, std::vector<uint8_t>* bytes, std::string* why);

// Which end a valid proof in the search's layout verified under.
enum class proof_end { power_multiple, multiple_of_1024, both };

// What a verification found.
struct proof_verdict {
  bool valid = false;
  std::string why;         // for an invalid proof: the reason
  int32_t p = 0;           // the exponent, once the header named one (0: none)
  int power = 0;
  proof_layout layout = proof_layout::consensus;
  bool prime = false;      // valid: 3^(2^p) = 9, a probable prime
  uint64_t res64 = 0;      // valid, older layout only (it holds x_p): low 64 bits of the Fermat residue
  int64_t top = 0;         // valid: the iteration x_top is the residue of
  proof_end end = proof_end::power_multiple;  // valid, the search's layout: the rule top follows
  int64_t squarings = 0;   // modular squarings done
};

// Verifies the proof in data (either layout: header, sizes, ranges, the
// folding, the squarings to x_top under either rule for top) with engine e
// on opt.threads threads (the exact one where e does not apply to the
// proof's p). Never trusts a size it has not checked against size.
proof_verdict verify_proof(const engine& e, const uint8_t* data, size_t size, const engine_options& opt);

// verify_proof on the file at path; a file that cannot be read is invalid with the reason.
proof_verdict verify_proof_file(const engine& e, const std::string& path, const engine_options& opt);
