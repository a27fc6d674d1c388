// The probable-prime test against GMP, the Gerbicz check against injected
// faults wherever they fall, proofs made, verified, damaged and fuzzed, and
// a stopped run resumed from its state.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "arith/engine_table.h"
#include "base/numbers.h"
#include "methods/proof.h"
#include "methods/prp.h"
#include "arith/residue.h"
#include "formats/state.h"
#include "support/test_support.h"

namespace {

using testing_support::temp_dir;

// Low 64 bits of 3^(2^p - 2) mod 2^p - 1, by GMP.
uint64_t oracle_res64(int32_t p) {
  mpz_value n, e, r, three;
  mpz_setbit(n, static_cast<mp_bitcnt_t>(p));
  mpz_sub_ui(n, n, 1);
  mpz_sub_ui(e, n, 1);
  mpz_set_ui(three, 3);
  mpz_powm(r, three, e, n);
  return low64(r);
}

ll_outcome prp(const char* name, int32_t p, const engine_options& opt = {}) {
  return run_probable_prime(*find_engine(name), p, opt);
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  const std::string text = testing_support::read_file(path);
  return {text.begin(), text.end()};
}

// Options for a run that keeps its states in dir/states and its proof of the given power in dir.
struct stoppable_run {
  temp_dir t;
  std::string why;
  std::unique_ptr<state_dir> states = state_dir::open(t.path + "/states", &why);
  std::atomic<bool> stop{true};
  engine_options opt;
  explicit stoppable_run(int power) {
    opt.states = states.get();
    opt.stop = &stop;
    opt.proof_power = power;
    opt.proof_dir = t.path;
  }
};

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
  for (size_t i = 0; i < ps.size(); ++i) {
    const int32_t p = ps[i];
    const uint64_t want = oracle_res64(p);
    for (const char* e : {"fast", "exact"}) {
      const ll_outcome o = prp(e, p);
      ASSERT_TRUE(o.verdict) << e << " p=" << p << ": " << o.note << o.error;
      EXPECT_TRUE(o.res64 == want && o.prime == (want == 1) && (i >= known || o.prime) && o.gerbicz_errors == 0)
          << e << " p=" << p;
    }
  }
}
TEST(LongPrp, KnownMersennePrimesTo44497) {
  for (int32_t p : {19937, 21701, 23209, 44497}) {
    const ll_outcome o = prp("fast", p);
    EXPECT_TRUE(o.verdict && o.prime && o.res64 == 1) << p << " " << o.note;
  }
}

// A bit flipped after any iteration, the last block and the proof's tail
// included, is caught, rolled back and recomputed.
TEST(Prp, InjectedFaultsAreAlwaysCaught) {
  for (const char* e : {"fast", "exact"}) {
    // p = 127: B = 3, checks every 9 iterations, the end at 129; with a proof of power 2, at 129 too.
    for (int power : {0, 2})
      for (int64_t at = 1; at <= 129; ++at) {
        engine_options opt;
        opt.inject_faults = {at};
        temp_dir t;
        opt.proof_power = power;
        opt.proof_dir = t.path;
        const ll_outcome o = prp(e, 127, opt);
        EXPECT_TRUE(o.verdict && o.prime && o.gerbicz_errors == 1) << e << " fault at " << at << " power " << power;
      }
    // p = 4423: B = 21, the end at 4431; faults in the first, a middle and the last block.
    engine_options opt;
    opt.inject_faults = {1, 2000, 4409, 4423, 4431};
    const ll_outcome o = prp(e, 4423, opt);
    EXPECT_TRUE(o.verdict && o.prime && o.gerbicz_errors >= 3) << e << " " << o.gerbicz_errors;
  }
}

// A proof for each p and power, all in one folder, verifies to the test's
// own result (proofs of one exponent at two powers keep their own files),
// and nothing but the proofs is left.
void round_trip(std::initializer_list<std::pair<int32_t, int>> cases) {
  temp_dir t;
  std::vector<std::string> files;
  for (auto [p, power] : cases) {
    engine_options opt;
    opt.proof_power = power;
    opt.proof_dir = t.path;
    const ll_outcome o = prp("fast", p, opt);
    ASSERT_TRUE(o.verdict && o.proof_power == power) << p << " " << o.error;
    files.push_back(o.proof_file);
    for (size_t i = 0; i < files.size(); ++i) {
      const auto [q, qpower] = *(cases.begin() + i);
      const proof_verdict v = verify_proof_file(*find_engine("fast"), files[i], {});
      EXPECT_TRUE(v.valid && v.p == q && v.power == qpower) << q << "^" << qpower << " after " << p << ": " << v.why;
      if (q == p && qpower == power) {
        EXPECT_TRUE(v.prime == o.prime && v.res64 == o.res64) << p << "^" << power;
        EXPECT_LT(v.squarings, 2 * 64 * power + (proof_top(p, power) >> power) + (int64_t{1} << power));
      }
    }
  }
  for (const std::string& f : files) std::filesystem::remove(f);
  EXPECT_TRUE(std::filesystem::is_empty(t.path));
}
TEST(Proof, RoundTripsForSeveralExponentsAndPowers) {
  round_trip({{3, 1}, {3, 4}, {5, 2}, {11, 3}, {127, 1}, {127, 6}, {131, 2}, {607, 3}, {4423, 5}, {4421, 8}});
}
TEST(LongProof, RoundTripsAtTheLargestPower) { round_trip({{9941, 12}}); }

// Every damaged byte (header, x_top, each middle, x_p) and every truncation
// or extension fails with a reason; mutated files never crash the parser.
TEST(Proof, DamageAndMutationsAreRefusedWithAReason) {
  temp_dir t;
  engine_options opt;
  opt.proof_power = 3;
  opt.proof_dir = t.path;
  ASSERT_TRUE(prp("exact", 607, opt).verdict);
  const std::vector<uint8_t> good = read_bytes(t.path + "/M607.power3.proof");
  ASSERT_TRUE(verify_proof(*find_engine("fast"), good.data(), good.size(), {}).valid);
  const size_t rb = 76, header = good.size() - 5 * rb;
  auto refused = [](const std::vector<uint8_t>& bad) {
    const proof_verdict v = verify_proof(*find_engine("fast"), bad.data(), bad.size(), {});
    return !v.valid && !v.why.empty();
  };
  for (size_t i = 0; i < good.size(); i += (i < header ? 1 : 7))
    for (uint8_t mask : {0x01, 0x80, 0xFF}) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= mask;
      EXPECT_TRUE(refused(bad)) << "byte " << i << " ^ " << int{mask};
    }
  for (size_t n = 0; n < good.size(); n += 13)
    EXPECT_TRUE(refused(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(n)))) << n;
  std::vector<uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_TRUE(refused(longer));
  std::mt19937_64 rng(testing_support::test_seed());
  for (int k = 0; k < 300; ++k) {
    std::vector<uint8_t> bad = good;
    for (int m = 1 + static_cast<int>(rng() % 4); m > 0; --m) {
      const size_t at = rng() % bad.size();
      switch (rng() % 3) {
        case 0: bad[at] = static_cast<uint8_t>(rng()); break;
        case 1: bad.erase(bad.begin() + static_cast<long>(at)); break;
        default: bad.insert(bad.begin() + static_cast<long>(at), static_cast<uint8_t>(rng())); break;
      }
    }
    if (bad != good) {
      EXPECT_TRUE(refused(bad)) << "mutation " << k;
    }
  }
}

// Forged proofs, kept under proofs/, that pass a comparison of the folded
// claim alone: middles 0, 1 or -1 (their powers collapse both sides), a
// middle 0 modulo one factor of a composite 2^p - 1 (that factor's part goes
// unchecked), x_p negated or replaced by 9 (x_top fixes x_p only up to a root
// of unity), copied middles, residues under another exponent. Each is refused
// with its reason, directly and by mersenne --verify with status 5.
TEST(Proof, ForgedProofsAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"M11-zero-middles", "middle 1 is 0"},
      {"M11-one-middles", "middle 1 is 1"},
      {"M11-minus-one-middles", "middle 1 is 2^p - 2"},
      {"M127-all-zero", "x_top is 0"},
      {"M131-zero-middles", "middle 1 is 0"},
      {"M11-zero-mod-89", "middle 1 shares the factor 89"},
      {"M131-zero-mod-263", "middle 1 shares the factor 263"},
      {"M607-negated-x_p", "x_p is not a square"},
      {"M11-nine-for-x_p", "x_p is not 3^(2^p)"},
      {"M607-copied-middles", "the folded claim does not hold"},
      {"M13-residues-of-M11", ""},
  };
  std::string files;
  for (auto [name, why] : cases) {
    const std::string path = std::string(MERSENNE_TEST_PROOFS) + "/" + name + ".proof";
    const proof_verdict v = verify_proof_file(*find_engine("fast"), path, {});
    EXPECT_TRUE(!v.valid && !v.why.empty() && v.why.find(why) != std::string::npos) << name << ": " << v.why;
    files += " " + path;
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
  stoppable_run run(2);  // p = 131: residues kept at 33, 66, 99 and 132
  auto& [t, why, states, stop, opt] = run;
  ASSERT_NE(states, nullptr) << why;
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
  EXPECT_TRUE(o.verdict && o.res64 == oracle_res64(131) && o.proof_file.empty() && o.proof_power == 0) << o.error;
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
      if (name[0] == '.') {
        std::filesystem::create_directory(t.path + "/" + name);
        std::ofstream(t.path + "/" + name + "/33.residue") << "residue";
      } else {
        std::ofstream(t.path + "/" + name) << "half";
      }
    }
  const int held = open((t.path + "/" + kept[2]).c_str(), O_RDONLY);
  ASSERT_TRUE(held >= 0 && flock(held, LOCK_EX) == 0);
  engine_options opt;
  opt.proof_power = 2;
  opt.proof_dir = t.path;
  const ll_outcome o = prp("fast", 131, opt);
  close(held);
  ASSERT_TRUE(o.verdict) << o.error;
  for (const std::string& name : gone) EXPECT_FALSE(std::filesystem::exists(t.path + "/" + name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(std::filesystem::exists(t.path + "/" + name)) << name;
}

// Stopped again and again, each run saving its state: the resumed runs reach
// the same residue and a valid proof, and a damaged state file is passed over.
TEST(Prp, StoppedRunsResumeToTheSameResultAndProof) {
  stoppable_run run(4);
  auto& [t, why, states, stop, opt] = run;
  ASSERT_NE(states, nullptr) << why;
  opt.inject_faults = {700};
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
  EXPECT_TRUE(v.valid && v.prime) << v.why;
  EXPECT_FALSE(std::filesystem::exists(states->proof_residue_dir(4423)));
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
  const std::pair<std::string, int> cases[] = {
      {"$M --test=prp --tf-bits 0 150000001", kExitNoVerdict},
      {"$M --verify " + proof, kExitProofInvalid},
  };
  for (const auto& [command, status] : cases) {
    const auto r = testing_support::run_shell("ulimit -v 300000; " + command);
    EXPECT_EQ(r.status, status) << command << ": " << r.out << r.err;
    EXPECT_NE(r.out.find("engine needs about"), std::string::npos) << command << ": " << r.out << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
#endif
}

}  // namespace
