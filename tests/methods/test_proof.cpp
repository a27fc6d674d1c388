// The probable-prime test against GMP, the Gerbicz check against injected
// faults wherever they fall, a stopped run resumed from its state and the
// memory guard; proofs against an independent reading of the search's proof
// format (GMP and OpenSSL only, none of our proof code): ours pass it, its
// proofs pass ours, under either rule for top. Damaged, forged and
// older-layout proofs, a proof that fails its own check, and what a killed run leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "arith/engine_table.h"
#include "arith/residue.h"
#include "base/digest.h"
#include "base/numbers.h"
#include "formats/state.h"
#include "methods/proof.h"
#include "methods/prp.h"
#include "support/test_support.h"

namespace {

using testing_support::temp_dir;
using bytes_t = std::vector<uint8_t>;

// x^(2^k) mod n.
void square_k(mpz_ptr out, mpz_srcptr x, int64_t k, mpz_srcptr n) {
  mpz_value e;
  mpz_setbit(e, static_cast<mp_bitcnt_t>(k));
  mpz_powm(out, x, e, n);
}

// x as `size` bytes, least significant first.
bytes_t le_bytes(mpz_srcptr x, size_t size) {
  bytes_t out(size, 0);
  mpz_export(out.data(), nullptr, -1, 1, 0, 0, x);
  return out;
}

// hash = SHA3-256(hash, data), or SHA3-256(data) when hash is empty.
void sha3_into(bytes_t& hash, const bytes_t& data) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bytes_t out(32);
  EVP_DigestInit_ex(ctx, EVP_sha3_256(), nullptr);
  EVP_DigestUpdate(ctx, hash.data(), hash.size());
  EVP_DigestUpdate(ctx, data.data(), data.size());
  EVP_DigestFinal_ex(ctx, out.data(), nullptr);
  EVP_MD_CTX_free(ctx);
  hash = out;
}

std::string header_of(int32_t p, int power) {
  return "PRP PROOF\nVERSION=1\nHASHSIZE=64\nPOWER=" + std::to_string(power) + "\nNUMBER=M" + std::to_string(p) + "\n";
}

size_t words_bytes(int32_t p) { return (static_cast<size_t>(p) + 31) / 32 * 4; }

// The first hash: p as 8 bytes, then B as ceil(p/32) 32-bit words.
bytes_t first_hash(int32_t p, mpz_srcptr b) {
  bytes_t hash, data = le_bytes(b, words_bytes(p));
  for (int i = 7; i >= 0; --i) data.insert(data.begin(), static_cast<uint8_t>(static_cast<uint64_t>(p) >> (8 * i)));
  sha3_into(hash, data);
  return hash;
}

// One fold of the claim x^(2^L) = y by its middle mu: the hash takes mu, h is
// its first 8 bytes, and the claim becomes x^h mu, mu^h y.
void fold(int32_t p, bytes_t& hash, mpz_srcptr mu, mpz_ptr x, mpz_ptr y, mpz_srcptr n) {
  mpz_value h, t;
  sha3_into(hash, le_bytes(mu, words_bytes(p)));
  mpz_import(h, 8, -1, 1, 0, 0, hash.data());
  mpz_powm(x, x, h, n), mpz_mul(x, x, mu), mpz_mod(x, x, n);
  mpz_powm(t, mu, h, n), mpz_mul(y, t, y), mpz_mod(y, y, n);
}

// What the independent verifier found: valid, and then prime and top.
struct reading {
  bool valid = false, prime = false;
  int64_t top = 0;
};

// Verifies file bytes as the published description says.
reading independent_verify(const bytes_t& file) {
  int power = 0, p = 0;
  const std::string text(file.begin(), file.end());
  if (std::sscanf(text.c_str(), "PRP PROOF\nVERSION=1\nHASHSIZE=64\nPOWER=%d\nNUMBER=M%d\n", &power, &p) != 2 ||
      power < 1 || p < 3)
    return {};
  const std::string header = header_of(p, power);
  const size_t rb = (static_cast<size_t>(p) - 1) / 8 + 1;
  if (text.compare(0, header.size(), header) != 0 || file.size() != header.size() + (power + 1) * rb) return {};
  mpz_value n, b, a, m, y, t;
  mersenne_number(n, p);
  auto residue = [&](mpz_ptr x, size_t i) { mpz_import(x, rb, -1, 1, 0, 0, file.data() + header.size() + i * rb); };
  residue(b, 0);
  bytes_t hash = first_hash(p, b);
  mpz_set(y, b);
  mpz_set_ui(a, 3);
  for (size_t i = 1; i <= static_cast<size_t>(power); ++i) residue(m, i), fold(p, hash, m, a, y, n);
  const int64_t unit = int64_t{1} << power;
  for (int64_t top : {(p / unit + 1) * unit, (int64_t{p} / 1024 + 1) * 1024}) {
    if (top % unit != 0) continue;
    square_k(t, a, top / unit, n);
    if (mpz_cmp(t, y) != 0) continue;
    mpz_set_ui(t, 9);
    square_k(t, t, top - p, n);
    return {true, mpz_cmp(t, b) == 0, top};
  }
  return {};
}

// A proof of power for p ending at top, made from residues computed with
// mpz_powm: the middle of each claim x^(2^L) = y is x^(2^(L/2)).
bytes_t independent_proof(int32_t p, int power, int64_t top) {
  const size_t rb = (static_cast<size_t>(p) - 1) / 8 + 1;
  mpz_value n, x, y, mu;
  mersenne_number(n, p);
  mpz_set_ui(x, 3);
  square_k(y, x, top, n);
  const std::string header = header_of(p, power);
  bytes_t file(header.begin(), header.end()), b = le_bytes(y, rb), hash = first_hash(p, y);
  file.insert(file.end(), b.begin(), b.end());
  for (int64_t l = top; l > top >> power; l /= 2) {
    square_k(mu, x, l / 2, n);
    const bytes_t mb = le_bytes(mu, rb);
    file.insert(file.end(), mb.begin(), mb.end());
    fold(p, hash, mu, x, y, n);
  }
  return file;
}

ll_outcome prp(const char* name, int32_t p, const engine_options& opt = {}) {
  return run_probable_prime(*find_engine(name), p, opt);
}

bytes_t read_bytes(const std::string& path) {
  const std::string text = testing_support::read_file(path);
  return {text.begin(), text.end()};
}

proof_verdict verify(const bytes_t& b) { return verify_proof(*find_engine("fast"), b.data(), b.size(), {}); }

// Low 64 bits of 3^(2^p - 2) mod 2^p - 1, by GMP: 1 for a probable prime.
uint64_t gmp_res64(int32_t p) {
  mpz_value n, e, r;
  mersenne_number(n, p);
  mpz_sub_ui(e, n, 1);
  mpz_set_ui(r, 3);
  mpz_powm(r, r, e, n);
  return low64(r);
}

// Options for a proof of power written to a folder of its own.
engine_options proof_options(const temp_dir& t, int power) {
  engine_options opt;
  opt.proof_power = power;
  opt.proof_dir = t.path;
  return opt;
}

// Known Mersenne prime exponents first: probable primes; the primes to 2000
// and a sample beyond them give GMP's residue.
TEST(Prp, FastAndExactMatchGmpOnKnownPrimesEveryPrimeTo2000AndASampleBeyond) {
  std::vector<int32_t> ps = {2203, 2281, 3217, 4253, 4423, 9689, 9941, 11213};
  const size_t known = ps.size();
  for (int32_t p = 3; p <= 2000; ++p)
    if (is_prime(p)) ps.push_back(p);
  std::mt19937_64 rng(testing_support::test_seed());
  for (int k = 0; k < 4; ++k) {
    int32_t p = 2000 + static_cast<int32_t>(rng() % 18000);
    while (!is_prime(p)) ++p;
    ps.push_back(p);
  }
  for (size_t i = 0; i < ps.size(); ++i)
    for (const char* e : {"fast", "exact"}) {
      const uint64_t want = gmp_res64(ps[i]);
      const ll_outcome o = prp(e, ps[i]);
      ASSERT_TRUE(o.verdict) << e << " p=" << ps[i] << ": " << o.note << o.error;
      EXPECT_TRUE(o.res64 == want && o.prime == (want == 1) && (i >= known || o.prime) && o.gerbicz_errors == 0)
          << e << " p=" << ps[i];
    }
}

// A bit flipped after any iteration, the last block and the proof's tail
// included, is caught, rolled back and recomputed.
TEST(Prp, InjectedFaultsAreAlwaysCaught) {
  temp_dir t;
  for (const char* e : {"fast", "exact"}) {
    // p = 127: B = 3, checks every 9 iterations, the end at 129; with a proof of power 2, at 129 too.
    engine_options opt;
    opt.proof_dir = t.path;
    for (int power : {0, 2})
      for (int64_t at = 1; at <= 129; ++at) {
        opt.inject_faults = {at}, opt.proof_power = power;
        const ll_outcome o = prp(e, 127, opt);
        EXPECT_TRUE(o.verdict && o.prime && o.gerbicz_errors == 1) << e << " fault at " << at << " power " << power;
      }
    // p = 4423: B = 21, the end at 4431; faults in the first, a middle and the last block.
    opt.inject_faults = {1, 2000, 4409, 4423, 4431}, opt.proof_power = 0;
    const ll_outcome o = prp(e, 4423, opt);
    EXPECT_TRUE(o.verdict && o.prime && o.gerbicz_errors >= 3) << e << " " << o.gerbicz_errors;
  }
}

// Stopped again and again, each run saving its state: the resumed runs reach
// the same residue and a valid proof, and a damaged state file is passed over.
TEST(Prp, StoppedRunsResumeToTheSameResultAndProof) {
  temp_dir t;
  std::string why;
  const auto states = state_dir::open(t.path + "/states", &why);
  ASSERT_NE(states, nullptr) << why;
  std::atomic<bool> stop{true};
  engine_options opt;
  opt.states = states.get(), opt.stop = &stop, opt.proof_power = 4, opt.proof_dir = t.path, opt.inject_faults = {700};
  int64_t last = 0;
  for (int k = 0; k < 3; ++k) {
    const ll_outcome o = prp("fast", 4423, opt);
    ASSERT_TRUE(o.interrupted && o.saved_at > last) << k;
    last = o.saved_at;
  }
  std::ofstream(t.path + "/states/M4423.prp.state.bak", std::ios::trunc) << "damaged";
  stop = false;
  const ll_outcome o = prp("fast", 4423, opt);
  EXPECT_TRUE(o.verdict && o.prime && o.resumed_from == last && o.gerbicz_errors == 1) << o.note << o.error;
  const proof_verdict v = verify_proof_file(*find_engine("fast"), o.proof_file, {});
  EXPECT_TRUE(v.valid && v.prime && !std::filesystem::exists(states->proof_residue_dir(4423))) << v.why;
}

// Under an address-space cap too small for the fast engine at M150000001,
// the probable-prime test (two steppers) and the verification of a proof
// whose header and size claim that exponent are refused with the memory
// they need, never aborted: statuses 3 and 5. The proof is sparse: x_top and
// the middle 3, x_p 9, every other byte 0.
TEST(Prp, TooLittleMemoryIsRefusedForTheTestAndForVerify) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the cap leaves";
#else
  temp_dir t;
  const std::string proof = t.path + "/M150000001.power1.proof";
  const std::string header = "PRP PROOF\nVERSION 1\nHASHSIZE 64\nPOWER 1\nNUMBER M150000001\n";
  const long rb = (150000001 + 7) / 8, h = static_cast<long>(header.size());
  {
    std::ofstream f(proof, std::ios::binary);
    f << header;
    for (const auto& [at, byte] : {std::pair{h, '\3'}, {h + rb, '\3'}, {h + 2 * rb, '\11'}}) f.seekp(at).put(byte);
  }
  std::filesystem::resize_file(proof, static_cast<uintmax_t>(h + 3 * rb));
  for (const auto& [command, status] : {std::pair<std::string, int>{"$M --test=prp --tf-bits 0 150000001",
                                                                    kExitNoVerdict},
                                        {"$M --verify " + proof, kExitProofInvalid}}) {
    const auto r = testing_support::run_shell("ulimit -v 300000; " + command);
    EXPECT_TRUE(r.status == status && r.out.find("engine needs about") != std::string::npos &&
                std::count(r.out.begin(), r.out.end(), '\n') == 1)
        << command << ": " << r.status << " " << r.out << r.err;
  }
#endif
}

// A proof for each p and power, all in one folder: its size is the header
// and power + 1 residues, the independent verifier accepts it with the
// test's verdict, and ours does with few squarings; nothing but the proofs is left.
void round_trip(std::initializer_list<std::pair<int32_t, int>> cases) {
  temp_dir t;
  for (auto [p, power] : cases) {
    const ll_outcome o = prp("fast", p, proof_options(t, power));
    ASSERT_TRUE(o.verdict && o.proof_power == power) << p << " " << o.error;
    const bytes_t file = read_bytes(o.proof_file);
    EXPECT_EQ(file.size(), header_of(p, power).size() + (power + 1) * ((static_cast<size_t>(p) + 7) / 8)) << p;
    // 3^(2^11) / 9 has order 4 modulo 2^11 - 1, so M11's x_16 is 9^(2^5) though
    // it is composite: the description's rule alone cannot tell (ours recomputes).
    const reading r = independent_verify(file);
    EXPECT_TRUE(r.valid && (r.prime == o.prime || p == 11) && r.top == proof_top(p, power)) << p << "^" << power;
    const proof_verdict v = verify(file);
    EXPECT_TRUE(v.valid && v.p == p && v.power == power && v.prime == o.prime && v.top == r.top) << v.why;
    EXPECT_LT(v.squarings, 2 * 64 * power + (proof_top(p, power) >> power) + (int64_t{1} << power) +
                               (proof_top_1024(p, power) - p));
    std::filesystem::remove(o.proof_file);
  }
  EXPECT_TRUE(std::filesystem::is_empty(t.path));
}
TEST(Proof, OursPassAnIndependentVerifier) { round_trip({{3, 4}, {11, 3}, {127, 6}, {131, 2}, {4423, 5}, {4421, 8}}); }
TEST(LongProof, OursPassAnIndependentVerifierAtTheLargestPower) { round_trip({{9941, 12}}); }

// The size the published description gives for M216091 at power 9.
TEST(LongProof, M216091AtPower9Is270175BytesAndVerifies) {
  temp_dir t;
  const ll_outcome o = prp("fast", 216091, proof_options(t, 9));
  ASSERT_TRUE(o.verdict && o.prime) << o.error;
  const bytes_t file = read_bytes(o.proof_file);
  const proof_verdict v = verify(file);
  EXPECT_TRUE(file.size() == 270175u && independent_verify(file).prime && v.valid && v.prime) << file.size() << v.why;
}

// Proofs of the independent code under either rule for top verify, and say
// which; through mersenne --verify too.
TEST(Proof, IndependentProofsVerifyUnderEitherRuleForTop) {
  for (auto [p, power] : {std::pair{11, 2}, {607, 3}, {2203, 10}, {4421, 4}, {4423, 6}})
    for (bool k1024 : {false, true}) {
      const int64_t top = k1024 ? proof_top_1024(p, power) : proof_top(p, power);
      const proof_verdict v = verify(independent_proof(p, power, top));
      const proof_end want = proof_top(p, power) == proof_top_1024(p, power) ? proof_end::both
                             : k1024                                          ? proof_end::multiple_of_1024
                                                                              : proof_end::power_multiple;
      EXPECT_TRUE(v.valid && v.prime == (gmp_res64(p) == 1) && v.top == top && v.end == want) << p << " " << v.why;
    }
  temp_dir t;
  const bytes_t b = independent_proof(607, 3, 1024);
  ASSERT_TRUE(testing_support::write_file(t.path + "/M607.proof", std::string(b.begin(), b.end())));
  const auto r = testing_support::run_mersenne("--verify " + t.path + "/M607.proof", "");
  EXPECT_TRUE(r.status == kExitOk &&
              r.out.find("M607: proof valid, probable prime, top 1024, the least multiple of 1024 above p (") == 0)
      << r.out;
}

// A flipped bit in every byte of a proof, truncations and an extension fail with a reason.
TEST(Proof, EveryFlippedBitTruncationAndExtensionIsRefused) {
  temp_dir t;
  ASSERT_TRUE(prp("exact", 2203, proof_options(t, 2)).verdict);
  const bytes_t good = read_bytes(t.path + "/M2203.power2.proof");
  ASSERT_TRUE(verify(good).valid);
  auto refused = [](const bytes_t& bad) {
    const proof_verdict v = verify(bad);
    return !v.valid && !v.why.empty();
  };
  // One bit of each byte, each of the eight bit positions in turn.
  for (size_t i = 0; i < good.size(); ++i) {
    bytes_t bad = good;
    bad[i] ^= static_cast<uint8_t>(1 << (i % 8));
    EXPECT_TRUE(refused(bad)) << "byte " << i << " bit " << i % 8;
  }
  for (size_t n = 0; n < good.size(); n += 13)
    EXPECT_TRUE(refused(bytes_t(good.begin(), good.begin() + static_cast<long>(n)))) << n;
  bytes_t longer = good;
  longer.push_back(0);
  EXPECT_TRUE(refused(longer));
}

// Forged proofs, kept under proofs/ in the older layout, that pass a
// comparison of the folded claim alone: middles 0, 1 or -1 (their powers
// collapse both sides), a middle 0 modulo one factor of a composite 2^p - 1
// (that factor's part goes unchecked), x_p negated or replaced by 9 (x_top
// fixes x_p only up to a root of unity), copied middles, residues under
// another exponent. Each is refused with its reason, directly and by
// mersenne --verify with status 5; so is each (but those of x_p, which the
// search's layout does not hold) with its header and residues in that layout.
TEST(Proof, ForgedProofsAreRefusedInEitherLayout) {
  const std::pair<const char*, const char*> cases[] = {
      {"M11-zero-middles", "middle 1 is 0"},         {"M11-one-middles", "middle 1 is 1"},
      {"M11-minus-one-middles", "middle 1 is 2^p - 2"}, {"M127-all-zero", "x_top is 0"},
      {"M131-zero-middles", "middle 1 is 0"},        {"M11-zero-mod-89", "middle 1 shares the factor 89"},
      {"M131-zero-mod-263", "middle 1 shares the factor 263"}, {"M607-negated-x_p", "x_p is not a square"},
      {"M11-nine-for-x_p", "x_p is not 3^(2^p)"},    {"M607-copied-middles", "the folded claim does not hold"},
      {"M13-residues-of-M11", ""},
  };
  std::string files;
  for (auto [name, why] : cases) {
    const std::string path = std::string(MERSENNE_TEST_PROOFS) + "/" + name + ".proof";
    const proof_verdict v = verify_proof_file(*find_engine("fast"), path, {});
    EXPECT_TRUE(!v.valid && v.layout == proof_layout::older && v.why.find(why) != std::string::npos)
        << name << ": " << v.why;
    files += " " + path;
    if (std::string(why).find("x_p") != std::string::npos) continue;
    // The same claim in the search's layout: its header, x_top and the middles.
    const bytes_t old = read_bytes(path);
    proof_head head;
    std::string reason;
    ASSERT_TRUE(parse_header(old.data(), old.size(), &head, &reason)) << name;
    const std::string header = proof_header(head.p, head.power);
    bytes_t now(header.begin(), header.end());
    now.insert(now.end(), old.begin() + static_cast<long>(head.length),
               old.end() - static_cast<long>(residue_size(head.p)));
    const proof_verdict w = verify(now);
    EXPECT_TRUE(!w.valid && w.layout == proof_layout::consensus && w.why.find(why) != std::string::npos)
        << name << " in the search's layout: " << w.why;
  }
  const auto r = testing_support::run_mersenne("--verify" + files, "");
  EXPECT_EQ(r.status, kExitProofInvalid) << r.out;
  size_t refused = 0;
  for (size_t at = 0; (at = r.out.find(": proof invalid: ", at)) != std::string::npos; ++at) ++refused;
  EXPECT_EQ(refused, std::size(cases)) << r.out;
}

// A kept residue whose value is wrong under a valid checksum: the test keeps
// its verdict, but the proof fails its check and is neither written nor named.
TEST(Proof, AProofThatFailsItsCheckIsNotReported) {
  temp_dir t;
  std::string why;
  const auto states = state_dir::open(t.path + "/states", &why);
  ASSERT_NE(states, nullptr) << why;
  std::atomic<bool> stop{true};
  engine_options opt = proof_options(t, 2);  // p = 131: residues kept at 33, 66, 99 and 132
  opt.states = states.get(), opt.stop = &stop;
  ll_outcome o;
  for (int k = 0; k < 100 && o.saved_at < 40; ++k) {
    o = prp("exact", 131, opt);
    ASSERT_TRUE(o.interrupted && o.saved_at > 0) << k << o.error;
  }
  const proof_residues kept(states->proof_residue_dir(131), 131);
  mpz_value x;
  ASSERT_TRUE(kept.load(33, x, &why)) << why;
  mpz_add_ui(x, x, 1);
  ASSERT_TRUE(kept.save(33, x, &why)) << why;
  stop = false;
  o = prp("exact", 131, opt);
  EXPECT_TRUE(o.verdict && o.res64 == gmp_res64(131) && o.proof_file.empty() && o.proof_power == 0) << o.error;
  EXPECT_NE(o.note.find("no proof"), std::string::npos) << o.note;
  for (const auto& entry : std::filesystem::directory_iterator(t.path))
    EXPECT_EQ(entry.path().filename(), "states") << entry.path();
}

// What a killed run left beside its proof (a half-written proof, a residue
// folder of a run without checkpoints) goes when the next run of that
// exponent starts there, if its writer is gone; files of a live writer, of
// one holding a lock on them (from another machine sharing the folder) and
// of another exponent stay.
TEST(Proof, LeftoversOfAKilledRunAreRemoved) {
  temp_dir t;
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const std::string dead = std::to_string(child), live = std::to_string(getppid());
  const std::vector<std::string> gone = {"M131.power2.proof.tmp." + dead, "M131.proof.tmp." + dead,
                                         ".M131.proof-residues." + dead + ".Ab12Cd"};
  const std::vector<std::string> kept = {"M131.power2.proof.tmp." + live, ".M131.proof-residues." + live + ".Ef34Gh",
                                         "M131.power3.proof.tmp." + dead, "M1319.power2.proof.tmp." + dead,
                                         ".M131.proof-residues.Ij56Kl"};
  for (const auto& list : {gone, kept})
    for (const std::string& name : list) {
      const std::string path = t.path + "/" + name;
      if (name[0] == '.' && std::filesystem::create_directory(path)) std::ofstream(path + "/33.residue") << "residue";
      if (name[0] != '.') std::ofstream(path) << "half";
    }
  const int held = open((t.path + "/" + kept[2]).c_str(), O_RDONLY);
  ASSERT_TRUE(held >= 0 && flock(held, LOCK_EX) == 0);
  const ll_outcome o = prp("fast", 131, proof_options(t, 2));
  close(held);
  ASSERT_TRUE(o.verdict) << o.error;
  for (const std::string& name : gone) EXPECT_FALSE(std::filesystem::exists(t.path + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(t.path + "/" + name)) << name;
}

// The fingerprint result lines give a proof: OpenSSL's MD5, in lowercase hex.
TEST(Proof, Md5IsTheKnownDigest) { EXPECT_EQ(md5_hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72"); }

}  // namespace
