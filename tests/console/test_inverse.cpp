// Every way of computing the inverse transform against the straightforward
// loop: identical bits in all three outputs, nothing written outside entries
// 0 .. n-1, over every power-of-two length up to 8192.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "support/test_support.h"
#include "console/transform.h"

// Names the path in failure messages.
void PrintTo(inverse_path path, std::ostream* os) { *os << inverse_path_name(path); }

namespace {

using testing_support::guarded;

// A double of random sign and magnitude spread over many binades, so that the
// sums round differently whenever the order of additions changes.
double random_value(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> mant(-1.0, 1.0);
  std::uniform_int_distribution<int> exp(-8, 40);
  return std::ldexp(mant(rng), exp(rng));
}

struct outputs {
  explicit outputs(int32_t n) : r(n, std::nan("1")), i(n, std::nan("2")), poly(n, std::nan("3")) {}
  guarded<double> r, i, poly;
};

bool same_bits(const guarded<double>& a, const guarded<double>& b) {
  return std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

class InversePath : public ::testing::TestWithParam<inverse_path> {};

TEST_P(InversePath, SameBitsAsLoopForEveryLength) {
  const inverse_path path = GetParam();
  if (!inverse_path_available(path)) GTEST_SKIP() << inverse_path_name(path) << " not on this CPU";
  const uint64_t seed = testing_support::test_seed();
  for (int32_t n = 2; n <= 8192; n *= 2) {
    std::mt19937_64 rng(seed ^ (static_cast<uint64_t>(n) * 0x9E3779B97F4A7C15ull));
    guarded<double> wr(n), wi(n), xr(n), xi(n);
    // Fewer spectra as the loop's n^2 cost grows.
    for (int s = 0; s < (n <= 256 ? 6 : n <= 4096 ? 2 : 1); ++s) {
      SCOPED_TRACE(testing::Message() << inverse_path_name(path) << " n=" << n << " spectrum " << s);
      // The first spectrum of each length uses the program's own root table,
      // the others a random one: the index of every term then matters.
      if (s == 0) get_einheitswurzel(n, wr.data(), wi.data());
      for (int32_t k = 0; k < n; ++k) {
        if (s > 0) { wr[k] = random_value(rng); wi[k] = random_value(rng); }
        xr[k] = random_value(rng), xi[k] = random_value(rng);
      }
      outputs want(n), got(n);
      inverse_dft_vektor_loop(n, wr.data(), wi.data(), xr.data(), xi.data(), want.r.data(),
                              want.i.data(), want.poly.data());
      inverse_dft_vektor_on(path, n, wr.data(), wi.data(), xr.data(), xi.data(), got.r.data(),
                            got.i.data(), got.poly.data());
      EXPECT_TRUE(same_bits(got.r, want.r)) << "inf_dft_r differs";
      EXPECT_TRUE(same_bits(got.i, want.i)) << "inf_dft_i differs";
      EXPECT_TRUE(same_bits(got.poly, want.poly)) << "res_polynom differs";
      EXPECT_TRUE(got.r.intact() && got.i.intact() && got.poly.intact()) << "wrote outside 0..n-1";
      if (HasFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, InversePath, ::testing::Values(inverse_path::scalar, inverse_path::avx2, inverse_path::avx512),
                         [](const auto& info) { return std::string(inverse_path_name(info.param)); });

// The saved choice is used when it was made on this processor; a damaged
// file, or one from another processor, is measured anew and replaced.
TEST(InverseChoice, SavedForThisProcessorAndReplacedWhenItCannotBeTrusted) {
  const testing_support::temp_dir dir;
  const std::string file = dir.path + "/cache/mersenne/inverse-path";
  const inverse_path measured = choose_inverse_path(file);
  EXPECT_TRUE(inverse_path_available(measured));
  EXPECT_NE(measured, inverse_path::loop);
  std::string text = testing_support::read_file(file);
  ASSERT_NE(text.find(inverse_path_name(measured)), std::string::npos) << text;
  // What the file says is what a later run takes, without measuring again.
  const std::string name = std::string("path ") + inverse_path_name(measured) + "\n";
  const std::string head = text.substr(0, text.size() - name.size());
  testing_support::write_file(file, head + "path scalar\n");
  EXPECT_EQ(choose_inverse_path(file), inverse_path::scalar);
  for (const std::string& bad : {head + "path loop\n", head + "path avx9\n", head + "path scalar",
                                 std::string("mersenne inverse path 1\ncpu another one\npath scalar\n"), std::string()}) {
    testing_support::write_file(file, bad);
    EXPECT_TRUE(inverse_path_available(choose_inverse_path(file)));
    EXPECT_EQ(testing_support::read_file(file).rfind(head, 0), 0u) << "not replaced: " << bad;
  }
}

}  // namespace
