#include "methods/proof.h"

#include <cstring>
#include <memory>

#include "base/check.h"
#include "base/digest.h"
#include "base/files.h"
#include "base/numbers.h"
#include "arith/engine_table.h"
#include "arith/modular.h"
#include "arith/residue.h"

namespace {

constexpr size_t kDigest = 32;
constexpr size_t kLongestHeader = kLongestProofHeader;  // read of a file to parse its header

uint64_t get(const uint8_t* at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(at[i]) << (8 * i);
  return v;
}

// The folding exponents r_1 .. r_k: h_0 = SHA3(p || x_top), h_i = SHA3(h_(i-1)
// || middle i), r_i = the first 8 bytes of h_i read least significant first.
// Each r_i depends on every middle up to its own. The search's layout takes p
// as 8 bytes and each residue as ceil(p/32) 32-bit words (its bytes padded
// with zeros); the older one took p as 4 bytes and the residues' file bytes.
class hash_chain {
 public:
  hash_chain(int32_t p, proof_layout layout, const uint8_t* x_top)
      : size_(residue_size(p)),
        hashed_(layout == proof_layout::consensus ? hashed_residue_size(p) : size_),
        padded_(hashed_, 0) {
    const int seed = layout == proof_layout::consensus ? 8 : 4;
    uint8_t pb[8];
    for (int i = 0; i < 8; ++i) pb[i] = static_cast<uint8_t>(static_cast<uint64_t>(p) >> (8 * i));
    std::memcpy(padded_.data(), x_top, size_);
    sha3_256({{pb, static_cast<size_t>(seed)}, {padded_.data(), hashed_}}, h_);
  }
  // Takes the next middle; returns its exponent.
  uint64_t next(const uint8_t* middle) {
    uint8_t h[kDigest];
    std::memcpy(padded_.data(), middle, size_);
    sha3_256({{h_, kDigest}, {padded_.data(), hashed_}}, h);
    std::memcpy(h_, h, kDigest);
    return get(h_, 8);
  }

 private:
  size_t size_, hashed_;
  std::vector<uint8_t> padded_;  // a residue's bytes, then the zeros up to hashed_
  uint8_t h_[kDigest];
};

// The verifier of a proof for p below this also recomputes x_p itself.
constexpr int32_t kDirectCheckBits = 128;

// "x_top", "middle i" or "x_p" for the residue at index i of a proof of power.
std::string residue_name(int i, int power) {
  return i == 0 ? "x_top" : i <= power ? "middle " + std::to_string(i) : "x_p";
}

// 3^(2^k) mod n, directly.
void fermat_power(mpz_ptr out, int64_t k, mpz_srcptr n) {
  mpz_value e, three;
  mpz_setbit(e, static_cast<mp_bitcnt_t>(k));
  mpz_set_ui(three, 3);
  mpz_powm(out, three, e, n);
}

// "0", "1" or "2^p - 2" when x is one of them modulo n = 2^p - 1, else null.
// No 3^(2^j) with j >= 1 is +-1: 2^p - 1 = 3 mod 4 has a prime factor q = 3
// mod 4, and modulo q the order of 3 would be a power of two dividing 2, so q | 8.
const char* trivial_value(mpz_srcptr x, mpz_srcptr n) {
  if (mpz_sgn(x) == 0) return "0";
  if (mpz_cmp_ui(x, 1) == 0) return "1";
  mpz_value minus_one;
  mpz_sub_ui(minus_one, n, 1);
  return mpz_cmp(x, minus_one) == 0 ? "2^p - 2" : nullptr;
}

// The reason for a folded claim that is no unit modulo n: the first middle
// sharing a factor with n, with the factor where it is short enough to print.
std::string shared_factor(const uint8_t* res, size_t rb, int power, mpz_srcptr n) {
  mpz_value m, g;
  const int32_t p = static_cast<int32_t>(mpz_sizeinbase(n, 2));
  for (int i = 1; i <= power; ++i) {
    import_residue(m, res + static_cast<size_t>(i) * rb, p);
    mpz_gcd(g, m, n);
    if (mpz_cmp_ui(g.get(), 1) == 0) continue;
    std::string text = "middle " + std::to_string(i) + " shares ";
    if (mpz_sizeinbase(g, 10) <= 40) {
      std::string digits(mpz_sizeinbase(g, 10) + 2, '\0');
      mpz_get_str(digits.data(), 10, g);
      digits.resize(std::strlen(digits.c_str()));
      text += "the factor " + digits;
    } else {
      text += "a factor";
    }
    return text + " with 2^p - 1 (every honest residue is prime to it)";
  }
  return "the folded claim shares a factor with 2^p - 1 (every honest residue is prime to it)";
}

// The engine that verifies proofs of p: e, else the exact one.
const engine& verify_engine(const engine& e, int32_t p) { return e.applicable(p) ? e : *find_engine("exact"); }

}  // namespace

int64_t proof_top(int32_t p, int power) {
  MERSENNE_REQUIRE(p >= 3 && power >= 1 && power <= kMaxProofPower);
  const int64_t unit = int64_t{1} << power;
  return (p / unit + 1) * unit;
}

int64_t proof_top_1024(int32_t p, int power) {
  const int64_t top = (int64_t{p} / 1024 + 1) * 1024;
  return top % (int64_t{1} << power) == 0 ? top : proof_top(p, power);
}


bool make_proof(const engine& e, int32_t p, int power, const engine_options& opt, const proof_residues& kept,
                mpz_srcptr x_top, std::vector<uint8_t>* bytes, std::string* why) {
  MERSENNE_REQUIRE(power >= 1 && power <= kMaxProofPower);
  const int64_t step = proof_top(p, power) >> power;
  modular_arith arith(e, p, opt);
  std::vector<uint8_t> top_bytes;
  append_residue(top_bytes, x_top, p);
  hash_chain chain(p, proof_layout::consensus, top_bytes.data());
  std::vector<uint64_t> r;
  std::vector<std::unique_ptr<mpz_value>> middles;
  bool ok = true;
  // Middle i is the product over j < 2^(i-1) of x at (2j + 1) top / 2^i raised
  // to the product of the r_k whose bit of j (the first bit for k = 1) is 0:
  // over a range of j, the lower half's product raised to its r times the upper half's.
  auto product = [&](auto& self, mpz_ptr out, int i, int64_t lo, int64_t count) -> void {
    if (!ok) return;
    if (count == 1) {
      const int64_t at = ((2 * lo + 1) << (power - i)) * step;
      ok = kept.load(at, out, why);
      return;
    }
    int levels = 0;
    while ((int64_t{1} << levels) < count) ++levels;
    mpz_value low, high;
    self(self, low, i, lo, count / 2);
    self(self, high, i, lo + count / 2, count / 2);
    if (ok) arith.pow_mul(out, low, r[static_cast<size_t>(i - levels - 1)], high);
  };
  for (int i = 1; i <= power && ok; ++i) {
    middles.push_back(std::make_unique<mpz_value>());
    product(product, *middles.back(), i, 0, int64_t{1} << (i - 1));
    if (!ok) break;
    std::vector<uint8_t> bytes;
    append_residue(bytes, *middles.back(), p);
    r.push_back(chain.next(bytes.data()));
  }
  if (!ok) return false;
  std::vector<mpz_srcptr> views;
  for (const auto& m : middles) views.push_back(m->get());
  *bytes = encode_proof(p, x_top, views);
  return true;
}

proof_verdict verify_proof(const engine& e, const uint8_t* data, size_t size, const engine_options& opt) {
  proof_verdict v;
  proof_head head;
  if (!parse_header(data, size, &head, &v.why)) return v;
  v.p = head.p;
  v.power = head.power;
  v.layout = head.layout;
  const bool older = head.layout == proof_layout::older;
  const size_t want = proof_size(head), rb = residue_size(v.p);
  if (size != want) {
    v.why = size < want ? "truncated (" + std::to_string(size) + " bytes, a proof of " + mersenne_name(v.p) +
                              " of power " + std::to_string(v.power) + " has " + std::to_string(want) + ")"
                        : "too long (" + std::to_string(size) + " bytes, a proof of " + mersenne_name(v.p) +
                              " of power " + std::to_string(v.power) + " has " + std::to_string(want) + ")";
    return v;
  }
  const int32_t p = v.p;
  const uint8_t* res = data + head.length;
  mpz_value top, a, b, m, x_p, t, n;
  mersenne_number(n, p);
  for (int i = 0; i < proof_residue_count(head); ++i) {
    const std::string name = residue_name(i, v.power);
    if (!import_residue(t, res + static_cast<size_t>(i) * rb, p)) {
      v.why = name + " is out of range (not below 2^p - 1)";
      return v;
    }
    // x_top, x_p and the first middle are 3^(2^j), never 0 or +-1; a later
    // middle, a product of such powers, is never 0 either.
    const char* value = trivial_value(t, n);
    if (value != nullptr && (i <= 1 || i == v.power + 1 || mpz_sgn(t.get()) == 0)) {
      v.why = name + " is " + value + ", which no run can produce";
      return v;
    }
  }
  if (older) {
    import_residue(x_p, res + static_cast<size_t>(v.power + 1) * rb, p);
    // Every x_i past x_0 is a square: x_p's sign cannot have been flipped.
    if (mpz_jacobi(x_p, n) != 1) {
      v.why = "x_p is not a square modulo 2^p - 1, so it is no 3^(2^p)";
      return v;
    }
  }
  try {
    modular_arith arith(verify_engine(e, p), p, opt);
    import_residue(top, res, p);
    mpz_set_ui(a, 3);
    mpz_set(b, top);
    hash_chain chain(p, head.layout, res);
    for (int i = 1; i <= v.power; ++i) {
      const uint8_t* mb = res + static_cast<size_t>(i) * rb;
      import_residue(m, mb, p);
      const uint64_t r = chain.next(mb);
      arith.pow_mul(a, a, r, m);  // A' = A^r M
      arith.pow_mul(b, m, r, b);  // B' = M^r B
    }
    // A middle that is 0 modulo a factor of 2^p - 1 makes that factor's part
    // of both sides 0, and the comparison below would pass whatever they claim.
    mpz_gcd(t, a, n);
    if (mpz_cmp_ui(t.get(), 1) != 0) {
      v.why = shared_factor(res, rb, v.power, n);
      v.squarings = arith.squarings();
      return v;
    }
    // The older layout ends at proof_top; the search's at it or, where that
    // is later, at the multiple of 1024: A is squared on from one to the
    // other. Modulo a small 2^p - 1 a claim can hold at both ends, and
    // middles that pass can be searched for: there x_top is recomputed too.
    const int64_t first = proof_top(p, v.power), last = older ? first : proof_top_1024(p, v.power);
    std::vector<int64_t> ends = {first};
    if (last != first) ends.push_back(last);
    int64_t at = 0;
    bool folded = false, held = false;
    for (const int64_t end : ends) {
      arith.square_times(a, a, (end - at) >> v.power);
      at = end;
      if (mpz_cmp(a, b) != 0) continue;
      folded = true;
      if (!older && p < kDirectCheckBits) {
        fermat_power(t, end, n);
        if (mpz_cmp(t, top) != 0) continue;
      }
      held = true;
      v.top = end;
      v.end = first == last ? proof_end::both : end == first ? proof_end::power_multiple : proof_end::multiple_of_1024;
      break;
    }
    if (!held) {
      v.why = folded ? "x_top is not 3^(2^top) (recomputed directly for p below " + std::to_string(kDirectCheckBits) + ")"
                     : "the folded claim does not hold (a residue or middle is wrong)";
      v.squarings = arith.squarings();
      return v;
    }
    if (older) {
      arith.square_times(t, x_p, v.top - p);
      if (mpz_cmp(t, top) != 0) {
        v.squarings = arith.squarings();
        v.why = "x_p does not lead to x_top";
        return v;
      }
    } else if (p < kDirectCheckBits) {
      // 9^(2^(top - p)) = x_top also where 3^(2^p) / 9 is a root of unity of
      // order up to 2^(top - p), which a small composite 2^p - 1 can have.
      fermat_power(t, p, n);
      mpz_value nine;
      mpz_set_ui(nine, 9);
      mpz_mod(nine, nine, n);
      v.prime = mpz_cmp(t, nine) == 0;
    } else {
      // A probable prime has 3^(2^p) = 9, so x_top = 9^(2^(top - p)).
      mpz_set_ui(t, 9);
      arith.square_times(t, t, v.top - p);
      v.prime = mpz_cmp(t, top) == 0;
    }
    v.squarings = arith.squarings();
  } catch (const engine_failure& x) {
    v.why = std::string("could not be checked: ") + x.what();
    return v;
  } catch (const std::bad_alloc&) {
    v.why = "could not be checked: not enough memory";
    return v;
  }
  // Modulo a small 2^p - 1 middles that pass can be searched for, and x_p is
  // known from x_top only up to a root of unity: there x_p is recomputed.
  if (older && p < kDirectCheckBits) {
    fermat_power(t, p, n);
    if (mpz_cmp(t, x_p) != 0) {
      v.why = "x_p is not 3^(2^p) (recomputed directly for p below " + std::to_string(kDirectCheckBits) + ")";
      return v;
    }
  }
  if (older) {
    fermat_residue(t, x_p, v.p);
    v.prime = mpz_cmp_ui(t.get(), 1) == 0;
    v.res64 = low64(t);
  }
  v.valid = true;
  return v;
}

proof_verdict verify_proof_file(const engine& e, const std::string& path, const engine_options& opt) {
  proof_verdict v;
  // The header says how long the file must be; nothing longer is read.
  std::string head;
  bool missing = false;
  uint64_t file_size = 0;
  if (!read_file_start(path, kLongestHeader, &head, &file_size, &v.why)) return v;
  proof_head parsed;
  if (!parse_header(reinterpret_cast<const uint8_t*>(head.data()), head.size(), &parsed, &v.why)) return v;
  v.p = parsed.p;
  v.power = parsed.power;
  v.layout = parsed.layout;
  const size_t want = proof_size(parsed);
  if (file_size > want) {
    v.why = "too long (" + std::to_string(file_size) + " bytes, a proof of " + mersenne_name(v.p) + " of power " +
            std::to_string(v.power) + " has " + std::to_string(want) + ")";
    return v;
  }
  std::string bytes;
  if (!read_whole_file(path, want, &bytes, &missing, &v.why)) {
    v.why = "cannot be read: " + v.why;
    return v;
  }
  return verify_proof(e, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), opt);
}
