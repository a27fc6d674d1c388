// Saved states: a file is used only when it is whole and undamaged and
// belongs to the exponent; a save that fails at any system call leaves the
// old files; the lock keeps a second process out.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "arith/engine_table.h"
#include "methods/prp.h"
#include "arith/residue.h"
#include "methods/run.h"
#include "formats/state.h"
#include "support/failing_files.h"
#include "support/test_support.h"

namespace {

run_state sample(int32_t p, int64_t iteration, bool verified) {
  run_state s;
  s.p = p, s.iteration = iteration, s.shift = static_cast<uint32_t>(iteration % p), s.start_shift = 7;
  s.jacobi_errors = 1, s.elapsed = 12.5, s.verified = verified;
  for (size_t i = 0; i < (static_cast<size_t>(p) + 7) / 8; ++i) s.residue.push_back(static_cast<uint8_t>(i * 37 + iteration));
  s.residue.back() &= 0x7F;
  return s;
}

// A Lucas-Lehmer state of p holding s(iteration), as a sound run saves it.
run_state ll_state(int32_t p, int64_t iteration) {
  run_state s;
  s.p = p, s.iteration = iteration;
  s.residue.assign((static_cast<size_t>(p) + 7) / 8, 0);
  mpz_value u;
  testing_support::lucas_lehmer_after(u, p, iteration);
  mpz_export(s.residue.data(), nullptr, -1, 1, 0, 0, u);
  return s;
}

// Every truncation (in steps of step bytes) and a flipped bit in every byte
// of bytes: decode refuses each.
template <class Decode>
void expect_every_damage_refused(const std::vector<uint8_t>& bytes, size_t step, Decode decode) {
  for (size_t n = 0; n < bytes.size(); n += step) EXPECT_FALSE(decode(bytes.data(), n)) << "length " << n;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::vector<uint8_t> bad = bytes;
    bad[i] ^= static_cast<uint8_t>(1u << (i % 8));
    EXPECT_FALSE(decode(bad.data(), bad.size())) << "byte " << i;
  }
}

using testing_support::temp_dir;

// A state folder of its own for each test.
struct StateDir : testing::Test {
  temp_dir t;
  std::string why;
  std::unique_ptr<state_dir> dir = state_dir::open(t.path, &why);
  std::vector<std::string> warnings;
  std::function<void(const std::string&)> warn = [this](const std::string& w) { warnings.push_back(w); };
};

// Every field comes back (the decoded state encodes to the same bytes), of
// a probable-prime state too, before iteration p and after it with x_p kept;
// a kept x_p before p, or none after it, is refused.
TEST(StateFile, RoundTripsAndRejectsEveryDamage) {
  const run_state s = sample(1279, 500, true);
  const std::vector<uint8_t> bytes = encode_state(s);
  run_state back, q = s;
  std::string why;
  ASSERT_TRUE(decode_state(bytes.data(), bytes.size(), 1279, &back, &why)) << why;
  EXPECT_TRUE(back.iteration == 500 && back.verified && back.residue == s.residue && encode_state(back) == bytes);
  expect_every_damage_refused(bytes, 7, [&](const uint8_t* b, size_t n) { return decode_state(b, n, 1279, &back, &why); });
  EXPECT_FALSE(decode_state(bytes.data(), bytes.size(), 1283, &back, &why));
  EXPECT_NE(why.find("exponent 1279"), std::string::npos) << why;
  q.test = test_kind::prp;
  q.block = 11, q.check_shift = 5, q.gerbicz_errors = 2, q.proof_power = 3, q.proof_step = 160;
  q.check = q.residue;
  q.check[0] ^= 1;
  for (int64_t at : {int64_t{500}, int64_t{1280}}) {
    q.iteration = at;
    q.kept = at >= 1279 ? q.residue : std::vector<uint8_t>{};
    const std::vector<uint8_t> b = encode_state(q);
    ASSERT_TRUE(decode_state(b.data(), b.size(), 1279, &back, &why)) << why;
    EXPECT_TRUE(back.test == test_kind::prp && back.kept == q.kept && encode_state(back) == b) << at;
    q.kept = at >= 1279 ? std::vector<uint8_t>{} : q.residue;
    const std::vector<uint8_t> c = encode_state(q);
    EXPECT_FALSE(decode_state(c.data(), c.size(), 1279, &back, &why)) << at;
  }
}

// P-1 states: stage 1 with its check product and base, stage 2 with its
// product; a stage 1 without its base is refused, and a stage 2 state of
// version 5 (before stage 1 kept a check) still decodes.
TEST(StateFile, Pm1StatesRoundTripAndTheEarlierStageTwoStillLoads) {
  run_state q = sample(1279, 500, true), back;
  std::string why;
  q.test = test_kind::pm1;
  q.pm1_stage = 1, q.pm1_b1 = 1000, q.block = 7, q.check_shift = 3, q.pm1_base_shift = 4, q.gerbicz_errors = 1;
  q.check = q.pm1_base = q.residue;
  q.pm1_base[1] ^= 1;
  std::vector<uint8_t> b = encode_state(q);
  ASSERT_TRUE(decode_state(b.data(), b.size(), 1279, &back, &why)) << why;
  EXPECT_TRUE(back.pm1_base == q.pm1_base && back.pm1_base_shift == 4 && back.block == 7 && encode_state(back) == b);
  expect_every_damage_refused(b, 11, [&](const uint8_t* d, size_t n) { return decode_state(d, n, 1279, &back, &why); });
  q.pm1_base.clear();
  b = encode_state(q);
  EXPECT_FALSE(decode_state(b.data(), b.size(), 1279, &back, &why));
  q.pm1_stage = 2, q.block = 0, q.check_shift = q.pm1_base_shift = q.gerbicz_errors = 0, q.pm1_b2 = 50000, q.pm1_done = 9;
  q.pm1_factors = "1045741327";
  b = encode_state(q);
  ASSERT_TRUE(decode_state(b.data(), b.size(), 1279, &back, &why)) << why;
  EXPECT_TRUE(back.pm1_stage == 2 && back.pm1_done == 9 && back.check == q.check && encode_state(back) == b);
  // Version 5: the same without stage 1's check section (24 bytes before the depth).
  b.erase(b.end() - 36 - 24, b.end() - 36);
  b.erase(b.end() - 32, b.end());
  b[16] = 5;
  uint8_t digest[32];
  unsigned len = 0;
  EVP_Digest(b.data(), b.size(), digest, &len, EVP_sha256(), nullptr);
  b.insert(b.end(), digest, digest + 32);
  ASSERT_TRUE(decode_state(b.data(), b.size(), 1279, &back, &why)) << why;
  EXPECT_TRUE(back.pm1_stage == 2 && back.pm1_done == 9 && back.check == q.check && back.pm1_factors == q.pm1_factors);
}

// The file of the format before the factoring depth was kept: version 1 or
// 2, no depth field, its own digest.
std::vector<uint8_t> without_depth(std::vector<uint8_t> bytes) {
  bytes.erase(bytes.end() - 36, bytes.end());
  bytes[16] = static_cast<uint8_t>(bytes[16] - 2);
  uint8_t digest[32];
  unsigned len = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr);
  bytes.insert(bytes.end(), digest, digest + 32);
  return bytes;
}

// The factoring depth comes back from a state of either test; a state
// written before it was kept still loads, with depth 0; a depth past the
// deepest search is refused.
TEST(StateFile, FactoringDepthIsKeptAndOldStatesStillLoad) {
  run_state s = sample(1279, 500, false), back;
  std::string why;
  s.tf_bits = 61;
  for (const test_kind kind : {test_kind::ll, test_kind::prp}) {
    s.test = kind, s.block = 11, s.check = s.residue;
    const std::vector<uint8_t> bytes = encode_state(s);
    ASSERT_TRUE(decode_state(bytes.data(), bytes.size(), 1279, &back, &why)) << why;
    EXPECT_EQ(back.tf_bits, 61);
    const std::vector<uint8_t> old = without_depth(bytes);
    ASSERT_TRUE(decode_state(old.data(), old.size(), 1279, &back, &why)) << why;
    EXPECT_TRUE(back.tf_bits == 0 && back.test == kind && back.residue == s.residue && back.iteration == 500);
  }
  s.tf_bits = kFactorMaxBits + 1;
  const std::vector<uint8_t> deep = encode_state(s);
  EXPECT_FALSE(decode_state(deep.data(), deep.size(), 1279, &back, &why));
}

// The factoring progress: saved and loaded whole; damage, another exponent
// or a stray bit past the classes is named and not used; forget removes it.
TEST_F(StateDir, FactoringProgressRoundTripsAndIsChecked) {
  factoring_state f, back;
  f.p = 1000003, f.level = 47;
  f.done.set(1).set(4619).set(2000);
  ASSERT_TRUE(dir->save_factoring(f, &why)) << why;
  ASSERT_TRUE(dir->load_factoring(1000003, &back, warn));
  EXPECT_TRUE(back.p == 1000003 && back.level == 47 && back.done == f.done && warnings.empty());
  const std::vector<uint8_t> bytes = encode_factoring(f);
  expect_every_damage_refused(bytes, 5, [&](const uint8_t* b, size_t n) { return decode_factoring(b, n, 1000003, &back, &why); });
  EXPECT_FALSE(decode_factoring(bytes.data(), bytes.size(), 1000033, &back, &why));
  std::ofstream(t.path + "/M1000003.factoring") << "damaged";
  EXPECT_FALSE(dir->load_factoring(1000003, &back, warn));
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("M1000003.factoring"), std::string::npos) << warnings[0];
  dir->forget(1000003);
  EXPECT_FALSE(dir->holds(1000003));
}

TEST_F(StateDir, NewestValidFirstDamagedFilesNamedAndSkipped) {
  dir = state_dir::open(t.path + "/a/b", &why);
  ASSERT_NE(dir, nullptr) << why;
  for (int64_t at : {100, 200, 300}) ASSERT_TRUE(dir->save(sample(607, at, at == 100), &why)) << why;
  auto found = dir->load(607, warn);
  ASSERT_EQ(found.size(), 3u);  // newest, backup, verified
  EXPECT_TRUE(found[0].iteration == 300 && found[1].iteration == 200 && found[2].iteration == 100 && found[2].verified);
  // A flipped byte in the newest file: it is named, and the backup comes first.
  std::fstream(t.path + "/a/b/M607.state", std::ios::in | std::ios::out | std::ios::binary).seekp(80).put('\x55');
  found = dir->load(607, warn);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("M607.state: checksum"), std::string::npos) << warnings[0];
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].iteration, 200);
  // A file far longer than any state of p (a stray copy, a damaged file
  // system) is named without being read into memory.
  std::ofstream(t.path + "/a/b/M607.state.new").put('x');
  std::filesystem::resize_file(t.path + "/a/b/M607.state.new", uintmax_t{1} << 26);
  EXPECT_EQ(dir->load(607, warn).size(), 2u);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_NE(warnings[2].find("M607.state.new: cannot be read (larger than"), std::string::npos) << warnings[2];
  dir->forget(607);
  EXPECT_TRUE(dir->load(607, warn).empty() && dir->exponents().empty());
  // Not a directory: refused with a reason.
  std::ofstream(t.path + "/file") << "x";
  EXPECT_TRUE(state_dir::open(t.path + "/file", &why) == nullptr && !why.empty());
}

// A run that factored nothing (--tf-bits 0) and resumed from a state that
// records a depth keeps that depth in the states it saves.
TEST_F(StateDir, ResumedStateKeepsTheRecordedFactoringDepth) {
  const int32_t p = 1277;
  run_state deep = ll_state(p, 0);
  deep.tf_bits = 20;
  ASSERT_TRUE(dir->save(deep, &why)) << why;
  std::atomic<bool> stop{true};
  engine_options opt;
  opt.states = dir.get(), opt.stop = &stop;
  EXPECT_TRUE(run_lucas_lehmer(*find_engine("exact"), p, opt).interrupted);
  const auto saved = dir->load(p, [](const std::string& w) { ADD_FAILURE() << w; });
  // The new one and the one it resumed from; where a timed check happened
  // to fall on that step, the new one is kept as the verified copy too.
  ASSERT_GE(saved.size(), 2u);
  ASSERT_LE(saved.size(), 3u);
  EXPECT_EQ(saved.front().iteration, 1);
  EXPECT_EQ(saved.back().iteration, 0);
  for (const run_state& s : saved) EXPECT_EQ(s.tf_bits, 20) << "iteration " << s.iteration;
}

// A newest state whose residue is 0 (as zeroed memory leaves it) under a
// valid checksum passes the Jacobi check, yet no sound run holds it: it is
// named and the run goes on from the older state, to the right Res64. A
// probable-prime state of zeros (which the Gerbicz check would pass) is
// refused too, and the test starts over to the right verdict.
TEST_F(StateDir, ImpossibleResidueFallsBackToAnOlderState) {
  const int32_t p = 1277;
  run_state good = ll_state(p, 400), zero = good;
  good.verified = true;
  zero.iteration = 900;
  zero.residue.assign(zero.residue.size(), 0);
  for (const auto& [state, suffix] : {std::pair{&good, ".state.bak"}, {&zero, ".state"}}) {
    const std::vector<uint8_t> b = encode_state(*state);
    ASSERT_TRUE(testing_support::write_file(t.path + "/M1277" + suffix, std::string(b.begin(), b.end())));
  }
  engine_options opt;
  opt.states = dir.get(), opt.warn = warn;
  const ll_outcome o = run_lucas_lehmer(*find_engine("exact"), p, opt);
  mpz_value u;
  testing_support::lucas_lehmer_residue(u, p);
  EXPECT_TRUE(o.verdict && !o.prime && o.resumed_from == 400 && o.res64 == mpz_get_ui(u)) << o.note << o.error;
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("M1277.state (the state of M1277 at iteration 900): its residue is 0"), std::string::npos)
      << warnings[0];

  run_state prp;
  prp.test = test_kind::prp, prp.p = 1279, prp.block = gerbicz_block(1279), prp.iteration = 2 * prp.block;
  prp.residue.assign(160, 0);
  prp.check = prp.residue;
  ASSERT_TRUE(dir->save(prp, &why)) << why;
  warnings.clear();
  const ll_outcome q = run_probable_prime(*find_engine("exact"), 1279, opt);
  EXPECT_TRUE(q.verdict && q.prime && q.res64 == 1 && q.resumed_from == 0 && !warnings.empty()) << q.note << q.error;
}

// A save failing or coming short at each of its system calls in turn leaves
// the state saved before it loadable (or the new one whole), and no temporary.
TEST(StateFaults, AFailedSaveLeavesThePreviousStateLoadable) {
  for (const bool verified : {false, true}) {
    int64_t n = 0;
    for (int64_t k = 0; k == 0 || k <= n; ++k) {
      temp_dir dir;
      std::string why;
      const auto states = state_dir::open(dir.path, &why);
      ASSERT_TRUE(states) << why;
      ASSERT_TRUE(states->save(sample(1279, 100, true), &why)) << why;
      bool ok;
      std::string failed;
      {
        testing_support::failing_files faults(k, EIO);
        ok = states->save(sample(1279, 200, verified), &why);
        if (k == 0) n = faults.calls();  // the clean run counts the calls
        failed = faults.failed();
      }
      SCOPED_TRACE("verified " + std::to_string(verified) + ", call " + std::to_string(k) + " (" + failed + ")");
      const std::vector<run_state> found = states->load(1279, [](const std::string&) {}, test_kind::ll);
      ASSERT_FALSE(found.empty());
      EXPECT_TRUE(ok ? found[0].iteration == 200 : why.find(dir.path) != std::string::npos) << why;
      for (const auto& e : std::filesystem::directory_iterator(dir.path))
        EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();
    }
  }
}

}  // namespace
