// Files the program wrote, kept under samples/: each decodes to what the run
// that wrote it held, and encodes back to the same bytes, so that a change
// of layout cannot pass unnoticed by the files users and peers already have.
#include <gmp.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "arith/residue.h"
#include "arith/engine_table.h"
#include "formats/proof_file.h"
#include "formats/result_line.h"
#include "formats/state.h"
#include "methods/proof.h"
#include "support/test_support.h"

namespace {

const std::string kSamples = MERSENNE_FORMATS_SAMPLES;

std::vector<uint8_t> sample_bytes(const std::string& name) {
  std::ifstream f(kSamples + "/" + name, std::ios::binary);
  EXPECT_TRUE(f.good()) << name;
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

using testing_support::fermat_after;

// bytes (least significant first) as the residue x 2^shift of x mod 2^p - 1, compared with x.
bool holds_shifted(const std::vector<uint8_t>& bytes, mpz_srcptr x, int32_t p, uint32_t shift) {
  mpz_value got, want, m;
  mpz_import(got, bytes.size(), -1, 1, 0, 0, bytes.data());
  mersenne_number(m, p);
  mpz_mul_2exp(want, x, shift);
  mpz_mod(want, want, m);
  mpz_mod(got, got, m);
  return mpz_cmp(got, want) == 0;
}

TEST(Samples, StatesDecodeToTheirRunAndEncodeToTheSameBytes) {
  std::string why;
  // A Lucas-Lehmer state of M127 after 60 iterations from shift 5.
  const std::vector<uint8_t> ll = sample_bytes("M127.state");
  run_state s;
  mpz_value x;
  ASSERT_TRUE(decode_state(ll.data(), ll.size(), 127, &s, &why)) << why;
  testing_support::lucas_lehmer_after(x, 127, 60);
  EXPECT_TRUE(s.test == test_kind::ll && s.iteration == 60 && s.start_shift == 5 && s.tf_bits == 0 && s.check.empty() &&
              s.kept.empty() && holds_shifted(s.residue, x, 127, s.shift) && encode_state(s) == ll);
  EXPECT_EQ(nlohmann::ordered_json(state_listing{s, 41.6}).dump(),
            R"({"exponent":127,"test":"ll","iteration":60,"iterations":125,"verified":false,"age_seconds":42.0})");

  // A probable-prime state of M127 with a proof of power 2, stopped at
  // iteration p: x_p is kept without shift beside the Gerbicz product.
  const std::vector<uint8_t> prp = sample_bytes("M127.prp.state");
  ASSERT_TRUE(decode_state(prp.data(), prp.size(), 127, &s, &why)) << why;
  fermat_after(x, 127, 127);
  EXPECT_TRUE(s.test == test_kind::prp && s.iteration == 127 && s.start_shift == 9 && s.proof_power == 2 &&
              s.proof_step == 32 && s.block > 0 && s.check.size() == 16 && holds_shifted(s.residue, x, 127, s.shift) &&
              holds_shifted(s.kept, x, 127, 0) && encode_state(s) == prp);

  // Trial factoring of M1000003 stopped inside the level [2^38, 2^39).
  const std::vector<uint8_t> tf = sample_bytes("M1000003.factoring");
  factoring_state f;
  ASSERT_TRUE(decode_factoring(tf.data(), tf.size(), 1000003, &f, &why)) << why;
  EXPECT_TRUE(f.p == 1000003 && f.level == 38 && f.done.count() > 300 && f.done.count() < kFactorClassModulus &&
              encode_factoring(f) == tf);
}

TEST(Samples, ProofAndKeptResidueDecodeAndEncodeToTheSameBytes) {
  // M607's proof of power 2 in the search's layout: x_top = x_608, middle 1 = x_304.
  const std::vector<uint8_t> bytes = sample_bytes("M607.power2.consensus.proof");
  proof_head head;
  std::string why;
  ASSERT_TRUE(parse_header(bytes.data(), bytes.size(), &head, &why)) << why;
  ASSERT_TRUE(head.p == 607 && head.power == 2 && head.layout == proof_layout::consensus &&
              bytes.size() == proof_size(head) && bytes.size() == 52 + 3 * 76);
  const int32_t p = head.p;
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<long>(head.length)), proof_header(607, 2));
  mpz_value residues[4], x;
  for (size_t i = 0; i < 3; ++i)
    ASSERT_TRUE(import_residue(residues[i], bytes.data() + head.length + i * residue_size(p), p)) << "residue " << i;
  for (const auto& [i, k] : {std::pair{0, 608}, {1, 304}}) {
    fermat_after(x, p, k);
    EXPECT_EQ(mpz_cmp(residues[i], x), 0) << "residue " << i;
  }
  EXPECT_EQ(encode_proof(p, residues[0], {residues[1], residues[2]}), bytes);
  EXPECT_EQ(proof_file_name(607, 2), "M607.power2.proof");

  // The same proof in the layout this program wrote before, which it still
  // verifies: x_top = x_608, middle 1 = x_304, x_p = x_607.
  const std::vector<uint8_t> older = sample_bytes("M607.power2.proof");
  ASSERT_TRUE(parse_header(older.data(), older.size(), &head, &why)) << why;
  ASSERT_TRUE(head.p == 607 && head.power == 2 && head.layout == proof_layout::older && older.size() == proof_size(head));
  for (const auto& [i, k] : {std::pair{0, 608}, {1, 304}, {3, 607}}) {
    ASSERT_TRUE(import_residue(residues[i], older.data() + head.length + i * residue_size(p), p)) << "residue " << i;
    fermat_after(x, p, k);
    EXPECT_EQ(mpz_cmp(residues[i], x), 0) << "older residue " << i;
  }
  const proof_verdict v = verify_proof(*find_engine("fast"), older.data(), older.size(), {});
  EXPECT_TRUE(v.valid && v.prime && v.res64 == 1 && v.layout == proof_layout::older && v.top == 608) << v.why;

  // The residue M127's run kept at iteration 32, read and written again.
  const proof_residues kept(kSamples + "/M127.proof-residues", 127);
  ASSERT_TRUE(kept.load(32, x, &why)) << why;
  mpz_value want;
  fermat_after(want, 127, 32);
  EXPECT_EQ(mpz_cmp(x, want), 0);
  EXPECT_FALSE(kept.load(64, x, &why));  // no such file: named, not read
  testing_support::temp_dir t;
  ASSERT_TRUE(proof_residues(t.path, 127).save(32, want, &why)) << why;
  std::ifstream written(t.path + "/32.residue", std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>()),
            sample_bytes("M127.proof-residues/32.residue"));
}

// Lines of every kind the program writes: each comes back as its record and
// goes out again byte for byte.
TEST(Samples, ResultLinesDecodeToTheirRecordAndEncodeToTheSameLine) {
  std::vector<exponent_result> got;
  for (const std::string& line : testing_support::lines_of(testing_support::read_file(kSamples + "/results.jsonl"))) {
    ASSERT_NO_THROW(got.push_back(nlohmann::json::parse(line).get<exponent_result>())) << line;
    EXPECT_EQ(result_json(got.back()), line);
  }
  ASSERT_EQ(got.size(), 17u);
  using k = result_kind;
  for (const auto& [i, p, kind] : {std::tuple{0, 2, k::small_prime}, {1, 33, k::composite_exponent}, {4, 11, k::factored},
                                   {5, 31, k::proven_prime}, {6, 1009, k::no_factor}, {14, 2147483647, k::no_engine}})
    EXPECT_TRUE(got[i].p == p && got[i].kind == kind) << "line " << i + 1;
  EXPECT_TRUE(got[1].divisor == 3 && got[4].tf_factor == "23" && got[15].tf_bits == 12);
  const ll_outcome& proof = got[7].outcome;
  EXPECT_TRUE(got[7].prp && proof.prime && proof.res64 == 1 && proof.proof_power == 2 &&
              proof.proof_file == "./M607.power2.proof");
  EXPECT_TRUE(!got[8].outcome.prime && got[8].outcome.res64 == 0x48D1517009AEF25Cull);
  EXPECT_TRUE(got[11].outcome.fft_length == 224 && got[11].outcome.max_roundoff == 0.005859375);

  // An integer its field cannot hold is refused, not wrapped into a plausible one.
  const std::string line = R"({"exponent":4253,"prime":true,"res64":"0000000000000000","test":"ll","engine":"exact",)"
                           R"("fft_length":0,"max_roundoff":0.0,"seconds":0.019,"verdict":true,"resumed_from":0,)"
                           R"("shift":6,"errors":{"jacobi":0,"roundoff":0,"gerbicz":0},"tf_bits":12})";
  for (const char* at : {"/tf_bits", "/shift", "/errors/jacobi"}) {
    nlohmann::json wrapped = nlohmann::json::parse(line);
    nlohmann::json& field = wrapped[nlohmann::json::json_pointer(at)];
    field = (uint64_t{1} << 32) + field.get<uint64_t>();
    EXPECT_THROW(wrapped.get<exponent_result>(), result_line_error) << at;
  }
}

// P-1 and ECM lines, and a test's line after P-1 found nothing: each comes
// back as its record, goes out again byte for byte and reads as its text.
TEST(Samples, FactoringLinesDecodeToTheirRecordAndEncodeToTheSameLine) {
  const auto lines = testing_support::lines_of(testing_support::read_file(kSamples + "/factoring-results.jsonl"));
  const char* const text[] = {
      "M29 is not prime: factors 233, 1103, 2089 (P-1, B1=100, B2=5000)",
      "M67 is not prime: factor 193707721 (P-1, B1=1000, B2=50000)",
      "M1000003: no factor from P-1 with B1=10000, B2=500000 (chance 1.2%)",
      "M101 is not prime: factor 7432339208719 (ECM, 12 curves, B1=50000)",
      "M1277: no factor from 1 ECM curve with B1=11000",
      "M4423 is prime (fast, FFT 224, 0.0 s)",
  };
  ASSERT_EQ(lines.size(), std::size(text));
  std::vector<exponent_result> got;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_NO_THROW(got.push_back(nlohmann::json::parse(lines[i]).get<exponent_result>())) << lines[i];
    EXPECT_EQ(result_json(got.back()), lines[i]);
    EXPECT_EQ(result_text(got.back()), text[i]);
  }
  using k = result_kind;
  for (const auto& [i, kind, verdict, done] : {std::tuple{0, k::pm1_factor, true, true}, {2, k::pm1_none, false, true},
                                               {3, k::ecm_factor, true, true}, {4, k::ecm_none, false, true}})
    EXPECT_TRUE(got[i].kind == kind && has_verdict(got[i]) == verdict && is_done(got[i]) == done) << "line " << i + 1;
  EXPECT_TRUE(got[0].pm1.factors == (std::vector<std::string>{"233", "1103", "2089"}) && got[0].pm1.chance < 0);
  EXPECT_TRUE(got[1].pm1.b1 == 1000 && got[1].pm1.b2 == 50000 && got[1].pm1.fft_length == 16 && got[1].tf_bits == 20);
  EXPECT_TRUE(got[2].pm1_only && got[2].pm1.chance == 0.0123 && got[2].pm1.factors.empty());
  EXPECT_TRUE(got[3].ecm.curves == 12 && got[3].ecm.b1 == 50000 && got[3].ecm.factors[0] == "7432339208719");
  EXPECT_TRUE(got[5].kind == k::tested && got[5].pm1.ran && got[5].pm1.b2 == 30000 && got[5].pm1.factors.empty());

  // Without an estimate the chance is left out of both forms; a small one keeps 2 digits.
  exponent_result r = got[2];
  r.pm1.chance = -1;
  EXPECT_EQ(result_text(r), "M1000003: no factor from P-1 with B1=10000, B2=500000");
  EXPECT_FALSE(nlohmann::json::parse(result_json(r)).contains("chance"));
  r.pm1.chance = 0.000456;
  EXPECT_EQ(result_text(r), "M1000003: no factor from P-1 with B1=10000, B2=500000 (chance 0.046%)");
  r.pm1.chance = 0.0996;
  EXPECT_EQ(result_text(r), "M1000003: no factor from P-1 with B1=10000, B2=500000 (chance 10%)");
  r = got[5];
  r.pm1.chance = -1;
  EXPECT_EQ(nlohmann::json::parse(result_json(r))["pm1"], nlohmann::json::parse(R"({"B1":1000,"B2":30000})"));
  r.pm1.ran = false;
  EXPECT_EQ(result_json(r), lines[5].substr(0, lines[5].find(",\"pm1\"")) + "}");
}

}  // namespace
