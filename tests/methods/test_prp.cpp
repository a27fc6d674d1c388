// The probable-prime test against GMP, the Gerbicz check against injected
// faults wherever they fall, and a stopped run resumed from its state (proofs:
// test_proof.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "arith/engine_table.h"
#include "arith/residue.h"
#include "base/numbers.h"
#include "formats/state.h"
#include "methods/proof.h"
#include "methods/prp.h"
#include "support/test_support.h"

namespace {

using testing_support::temp_dir;

// Low 64 bits of 3^(2^p - 2) mod 2^p - 1, by GMP.
uint64_t oracle_res64(int32_t p) {
  mpz_value n, e, r;
  mpz_setbit(n, static_cast<mp_bitcnt_t>(p));
  mpz_sub_ui(n, n, 1);
  mpz_sub_ui(e, n, 1);
  mpz_set_ui(r, 3);
  mpz_powm(r, r, e, n);
  return low64(r);
}

ll_outcome prp(const char* name, int32_t p, const engine_options& opt = {}) {
  return run_probable_prime(*find_engine(name), p, opt);
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
      const uint64_t want = oracle_res64(ps[i]);
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

}  // namespace
