// The two-pass iteration held to GMP, with every kernel table and with its
// slow twin over FFTW: steps at every length it can serve, the largest
// carries across blocks and from the last block to the first, and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "arith/fast/fast.h"
#include "arith/fast/lengths.h"
#include "arith/fast/plans.h"
#include "arith/fast/squarer.h"
#include "arith/fast/team.h"
#include "arith/fast/transforms.h"
#include "arith/fast/two_pass.h"
#include "arith/residue.h"
#include "base/tuning.h"
#include "support/test_support.h"

namespace {

using testing_support::random_residue;

// s -> s^2 - c 2^j mod 2^p - 1.
void oracle_step(mpz_ptr s, uint32_t c, int32_t j, int32_t p) {
  mpz_value t, tmp;
  mpz_mul(s, s, s);
  mpz_set_ui(t, c);
  mpz_mul_2exp(t, t, static_cast<mp_bitcnt_t>(j));
  mpz_sub(s, s, t);
  mersenne_reduce(s, p, tmp);
}

// The length's bound and a random exponent between it and the bound of the length below.
std::vector<int32_t> exponents_at(int index, std::mt19937_64& rng) {
  const int64_t n = fast_length(index), top = fast_max_exponent(n);
  const int64_t low = std::max<int64_t>(index == 0 ? n : fast_max_exponent(fast_length(index - 1)) + 1, n * 12);
  return {static_cast<int32_t>(top), static_cast<int32_t>(low + static_cast<int64_t>(rng() % (top - low + 1)))};
}

// Every table length in [from, to] that splits: three steps of random
// subtractions from a random residue with every kernel table, the FFTW twin
// and (up to 1M) the one-transform squarer, equal to GMP after each, rounding
// below the retry at 0.4 (as at the bounds in test_fast). Threads are held
// to GMP by the tests below. Above 8M (a GMP squaring takes seconds there)
// only the bound, one step.
void sweep(int64_t from, int64_t to) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  std::vector<const fast_kernels::table*> tables = usable_kernels();
  tables.push_back(&fftw_kernels());
  tables.push_back(nullptr);  // the one-transform squarer
  mpz_value s, got;
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    if (n < from || n > to || two_pass_shape_for(n).n == 0) continue;
    std::vector<int32_t> exponents = exponents_at(i, rng);
    const bool large = n > (int64_t{1} << 23);
    if (large) exponents.resize(1);
    for (int32_t p : exponents) {
      ASSERT_TRUE(two_pass_serves(p, n)) << p << " at " << n;
      random_residue(s, p, rng);
      struct step {
        uint32_t c;
        int32_t j;
        mpz_value want;
      };
      std::vector<step> steps(large ? 1 : 3);
      for (size_t k = 0; k < steps.size(); ++k) {
        steps[k].c = k == 0 ? 2 : static_cast<uint32_t>(rng() % 4);
        steps[k].j = k == 0 ? 0 : static_cast<int32_t>(rng() % static_cast<uint64_t>(p));
        mpz_set(steps[k].want, k == 0 ? s.get() : steps[k - 1].want.get());
        oracle_step(steps[k].want, steps[k].c, steps[k].j, p);
      }
      for (const fast_kernels::table* t : tables) {
        if (t == nullptr && n > (int64_t{1} << 20)) continue;
        SCOPED_TRACE(testing::Message() << (t != nullptr ? t->name : "one-transform") << " p=" << p << " n=" << n);
        std::unique_ptr<stepper> sq;
        if (t != nullptr)
          sq = std::make_unique<two_pass_squarer>(p, n, 1, t);
        else
          sq = std::make_unique<fast_squarer>(p, n);
        sq->load(s);
        for (size_t k = 0; k < steps.size(); ++k) {
          EXPECT_LT(sq->square(steps[k].c, steps[k].j, 1.0), 0.4);
          sq->store(got);
          ASSERT_EQ(mpz_cmp(got, steps[k].want), 0) << "step " << k;
        }
        if (t != nullptr) {
          EXPECT_TRUE(static_cast<two_pass_squarer&>(*sq).buffers_intact());
        }
      }
    }
  }
}

TEST(TwoPass, AgreesWithItsTwinsAtEveryLength) { sweep(1024, int64_t{1} << 20); }
TEST(LongTwoPass, AgreesWithItsTwinsAtEveryLength) { sweep((int64_t{1} << 20) + 1, int64_t{1} << 23); }
// Above 8M: each odd part once, at the octave from 16M.
TEST(LongTwoPass, AgreesWithItsTwinsAtEveryOddPartAbove8M) {
  for (int64_t k = 8; k <= 15; ++k) sweep(k << 21, k << 21);
}

// The carry tells a wrapped word and a long one from the word's unweight
// and two thresholds, not from its weight indices: at every length that
// splits, for the largest exponent there and for every row, the columns on
// both sides of each place where the class changes (the sum of the indices
// reaching n, and the index mod n reaching q) get the class the indices
// give; at two short lengths, every word.
TEST(TwoPass, UnweightsClassifyTheWordsNearestEachThreshold) {
  const auto check = [](int32_t p, int64_t n, bool every_word) {
    const two_pass_shape sh = two_pass_shape_for(n);
    const size_t n1 = static_cast<size_t>(sh.n1), n2 = static_cast<size_t>(sh.n2);
    std::vector<double> cr(n1), cw(n1), cu(n1), rr(n2), rw(n2), ru(n2);
    double wrap_at = 0, long_above = 0;
    two_pass_word_constants(p, sh, {cr.data(), cw.data(), cu.data(), rr.data(), rw.data(), ru.data()}, &wrap_at,
                            &long_above);
    const int64_t q = p % n;
    int wrong = 0;
    const auto word = [&](size_t j1, size_t j2) {
      const int64_t sum = static_cast<int64_t>(cr[j1]) + static_cast<int64_t>(rr[j2]);
      const bool wraps = sum >= n, is_long = sum % n < q;
      const double u = ru[j2] * cu[j1];
      const bool says_wraps = u <= wrap_at, says_long = (says_wraps ? u + u : u) > long_above;
      if ((wraps != says_wraps || is_long != says_long) && ++wrong <= 5)
        ADD_FAILURE() << "p=" << p << " n=" << n << " word (" << j1 << ", " << j2 << ") indices " << cr[j1] << " + "
                      << rr[j2] << ": wraps " << wraps << " long " << is_long << ", the unweight says " << says_wraps
                      << " " << says_long;
    };
    std::vector<std::pair<double, size_t>> by_index(n1);
    for (size_t j1 = 0; j1 < n1; ++j1) by_index[j1] = {cr[j1], j1};
    std::sort(by_index.begin(), by_index.end());
    for (size_t j2 = 0; j2 < n2; ++j2) {
      if (every_word) {
        for (size_t j1 = 0; j1 < n1; ++j1) word(j1, j2);
        continue;
      }
      const double r2 = rr[j2];
      for (double edge : {static_cast<double>(n) - r2, static_cast<double>(q) - r2, static_cast<double>(n + q) - r2}) {
        const auto at = std::lower_bound(by_index.begin(), by_index.end(), std::make_pair(edge, size_t{0}));
        if (at != by_index.end()) word(at->second, j2);
        if (at != by_index.begin()) word((at - 1)->second, j2);
      }
    }
    return wrong;
  };
  int lengths = 0;
  for (int i = 0; i < fast_length_count(); ++i) {
    const int64_t n = fast_length(i);
    if (two_pass_shape_for(n).n == 0 || !two_pass_serves(static_cast<int32_t>(fast_max_exponent(n)), n)) continue;
    ++lengths;
    if (check(static_cast<int32_t>(fast_max_exponent(n)), n, false) != 0) return;
  }
  EXPECT_GT(lengths, 100);
  EXPECT_EQ(check(4096 * 14 - 3, 4096, true), 0);
  EXPECT_EQ(check(12288 * 12 + 7, 12288, true), 0);
}

// Every digit at the top (or bottom) of its range makes every product word
// of one sign and the largest carries there are, across every block edge
// and from the top word to word 0; words of 12 to 14 bits keep the products
// exact. One, two and three threads move the edges between fix-ups, and
// steps moving between all threads and one keep the residue (threads take
// whole segments, so the digits do not depend on how many there are).
TEST(TwoPass, LargestCarriesCrossBlocksAndWrap) {
  fast_set_measured_plans(false);
  mpz_value s, want, got;
  for (int64_t n : {1024, 4096, 12288}) {
    for (int32_t p : {static_cast<int32_t>(n * 12 + 7), static_cast<int32_t>(n * 14 - 3)}) {
      for (int sign : {1, -1}) {
        std::vector<double> d(static_cast<size_t>(n));
        for (int64_t j = 0; j < n; ++j) {
          const int b = static_cast<int>(fast_word_offset(p, n, j + 1) - fast_word_offset(p, n, j));
          d[static_cast<size_t>(j)] = sign > 0 ? std::ldexp(1.0, b - 1) - 1 : -std::ldexp(1.0, b - 1);
        }
        fast_join(d.data(), p, n, s);
        for (int threads : {1, 2, 3}) {
          two_pass_squarer sq(p, n, threads);
          sq.load(s);
          mpz_set(want, s);
          for (int k = 0; k < 3; ++k) {
            sq.fix_members(k == 1 ? 1 : sq.threads());
            EXPECT_LT(sq.square(k, 0, 1.0), 0.25) << "p=" << p << " n=" << n;
            oracle_step(want, static_cast<uint32_t>(k), 0, p);
          }
          sq.store(got);
          EXPECT_EQ(mpz_cmp(got, want), 0) << "p=" << p << " n=" << n << " sign " << sign << " threads " << threads;
        }
      }
    }
  }
}

// One thread and three give the same arithmetic, not only the same
// residue: every step's rounding distance is equal to the last bit, at
// lengths where the rows and columns take the passes in cache-sized spans,
// on every table.
TEST(TwoPass, ThreadsDoTheSameArithmetic) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  mpz_value s, one, three;
  for (int64_t n : {int64_t{3} << 16, int64_t{1} << 18}) {
    const int32_t p = static_cast<int32_t>(fast_max_exponent(n));
    random_residue(s, p, rng);
    for (const fast_kernels::table* t : usable_kernels()) {
      SCOPED_TRACE(testing::Message() << t->name << " n=" << n);
      two_pass_squarer a(p, n, 1, t), b(p, n, 3, t);
      b.fix_members(b.threads());
      a.load(s);
      b.load(s);
      for (int k = 0; k < 3; ++k) {
        const uint32_t c = static_cast<uint32_t>(rng() % 4);
        const int32_t j = static_cast<int32_t>(rng() % static_cast<uint64_t>(p));
        EXPECT_EQ(a.square(c, j, 1.0), b.square(c, j, 1.0)) << "step " << k;
      }
      a.store(one);
      b.store(three);
      EXPECT_EQ(mpz_cmp(one, three), 0);
    }
  }
}

// The team's choice between its helpers and one thread, fed seconds: it
// probes on every member and then on one, runs the faster until
// kTeamRunSeconds have gone, and probes again; a tie goes to one thread.
TEST(TeamChooser, KeepsTheHelpersOnlyWhereTheyAreClearlyFaster) {
  const auto run = [](team_chooser& c, double all, double one, double seconds) {
    for (double spent = 0; spent < seconds;) {
      const double t = c.members() > 1 ? all : one;
      c.took(t);
      spent += t;
    }
  };
  const double probe = tuning::kTeamProbeSeconds, stay = tuning::kTeamRunSeconds;
  team_chooser faster(2);
  EXPECT_EQ(faster.members(), 2);
  run(faster, 0.001, 0.002, 3 * probe);
  EXPECT_TRUE(faster.all_pays());
  EXPECT_EQ(faster.members(), 2);

  // Beside a busy process the helpers lose: one thread until the next probe.
  team_chooser busy(2);
  run(busy, 0.004, 0.002, 3 * probe);
  EXPECT_FALSE(busy.all_pays());
  EXPECT_EQ(busy.members(), 1);
  run(busy, 0.004, 0.002, stay * 0.9);
  EXPECT_EQ(busy.members(), 1);
  // The busy process gone: the next probe takes the helpers back.
  run(busy, 0.001, 0.002, stay * 0.2 + 3 * probe);
  EXPECT_TRUE(busy.all_pays());
  EXPECT_EQ(busy.members(), 2);

  // Within kTeamMustWin of one thread is a tie, and a tie runs on one.
  team_chooser tie(2);
  run(tie, 0.002 * (tuning::kTeamMustWin + 1) / 2, 0.002, 3 * probe);
  EXPECT_FALSE(tie.all_pays());

  team_chooser alone(1);
  run(alone, 0.001, 0.001, 3 * probe);
  EXPECT_EQ(alone.members(), 1);
}

// The runs a split hands out cover every item once, in order, whatever the
// seconds fed to it; a member twice as fast ends with about twice the items,
// and a member that seems stalled keeps its least share, so it is measured
// again; seconds that say nothing leave the split as it was.
TEST(PassSplit, FollowsTheMembersRatesAndCoversEveryItem) {
  const auto covers = [](const pass_split& s, int64_t count) {
    int64_t at = 0;
    for (int m = 0; m < s.members(); ++m) {
      const auto [lo, hi] = s.range(m);
      if (lo != at || hi < lo || (count >= s.members() && hi == lo)) return false;
      at = hi;
    }
    return at == count;
  };
  pass_split even(513, 2);
  EXPECT_EQ(even.range(0), (std::pair<int64_t, int64_t>{0, 257}));
  EXPECT_TRUE(covers(even, 513));

  // Member 1 at half the speed of member 0: seconds in proportion to items over rate.
  pass_split s(513, 2);
  for (int k = 0; k < 60; ++k) {
    const double t[2] = {static_cast<double>(s.range(0).second - s.range(0).first),
                         2.0 * static_cast<double>(s.range(1).second - s.range(1).first)};
    s.took(t);
    ASSERT_TRUE(covers(s, 513));
  }
  EXPECT_NEAR(static_cast<double>(s.range(0).second), 513.0 * 2 / 3, 3);

  // A member that seems stalled keeps an eighth of the items (a quarter of an even share of two).
  for (int k = 0; k < 60; ++k) {
    const double t[2] = {1e-3, 1e3};
    s.took(t);
  }
  EXPECT_NEAR(static_cast<double>(s.range(1).second - s.range(1).first), 513.0 / 8, 2);
  const auto before = s.range(0);
  for (double bad : {0.0, -1.0, std::nan(""), HUGE_VAL}) {
    const double t[2] = {bad, 1.0};
    s.took(t);
    EXPECT_EQ(s.range(0), before) << bad;
  }

  // Fewer items than members, three members over eight segments, one member.
  for (auto [count, members] : {std::pair<int64_t, int>{1, 2}, {2, 3}, {8, 3}, {8, 1}, {0, 2}}) {
    pass_split f(count, members);
    for (int k = 0; k < 20; ++k) {
      std::vector<double> t(static_cast<size_t>(members));
      for (int m = 0; m < members; ++m) t[static_cast<size_t>(m)] = (m + 1) * 1e-3;
      f.took(t.data());
      int64_t at = 0;
      for (int m = 0; m < members; ++m) {
        EXPECT_EQ(f.range(m).first, at) << count << " over " << members;
        EXPECT_GE(f.range(m).second, at);
        at = f.range(m).second;
      }
      EXPECT_EQ(at, count);
    }
  }
}

// However unevenly the team's rows and segments are split (here as a member
// seemingly far slower than the others would have them), two and three
// threads do the same arithmetic as one: every step's rounding distance and
// the residue are equal.
TEST(TwoPass, UnevenSplitsDoTheSameArithmetic) {
  std::mt19937_64 rng(testing_support::test_seed());
  fast_set_measured_plans(false);
  mpz_value s, one, many;
  for (int64_t n : {int64_t{1} << 16, int64_t{1} << 19}) {
    const int32_t p = static_cast<int32_t>(fast_max_exponent(n));
    random_residue(s, p, rng);
    two_pass_squarer a(p, n, 1);
    a.load(s);
    std::vector<double> distances;
    for (int k = 0; k < 4; ++k) distances.push_back(a.square(2, 0, 1.0));
    a.store(one);
    for (int threads : {2, 3}) {
      for (int slow = 0; slow < threads; ++slow) {
        SCOPED_TRACE(testing::Message() << "n=" << n << " threads " << threads << " slow member " << slow);
        two_pass_squarer b(p, n, threads);
        if (b.threads() != threads) GTEST_SKIP() << "no thread to be had";
        b.fix_members(b.threads());
        b.load(s);
        for (int k = 0; k < 4; ++k) {
          std::vector<double> t(static_cast<size_t>(threads), 1e-3);
          t[static_cast<size_t>(slow)] = 1.0;
          for (int i = 0; i < 10; ++i) b.took_seconds(t.data(), t.data());
          EXPECT_EQ(b.square(2, 0, 1.0), distances[static_cast<size_t>(k)]) << "step " << k;
        }
        b.store(many);
        EXPECT_EQ(mpz_cmp(one, many), 0);
      }
    }
  }
}

}  // namespace
