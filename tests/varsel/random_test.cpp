// The variable-selection program's random search: factorials and the trial
// budget in single precision, the generator, the seed, and the drawing of
// combinations against an independent scan for repeats.
#include "varsel/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "frame/platform.hpp"
#include "tests/varsel/script.hpp"

namespace {

using cdsec::CombinationHistory;
using cdsec::FCTRL;
using cdsec::KestraRandom;
using cdsec::Matrix;
using cdsec::RNDM;
using cdsec_test::Script;
using cdsec::trial_budget;
using cdsec::Vector;

TEST(Fctrl, WorkedValuesInSinglePrecision) {
  // The empty product for n <= 0; exact up to 13!; 14! = 87178291200 is not
  // a float and the routine holds the rounded value, each later factorial
  // built on the rounded one before it.
  const std::pair<int, float> cases[] = {{-7, 1.0f}, {-1, 1.0f}, {0, 1.0f}, {1, 1.0f}, {5, 120.0f}, {8, 40320.0f},
                                         {13, 6227020800.0f}, {14, 87178289152.0f}, {15, 1307674279936.0f}};
  for (auto [n, want] : cases) EXPECT_EQ(FCTRL(n), want) << n;
}

TEST(TrialBudget, CombinationsOfEightCapTheBudget) {
  // Below 8 proteins no combination exists; from 14 to 19 the float
  // factorials make the count one less than the binomial coefficient
  // (3003, 6435, ... 75582).
  for (int n = 0; n < 8; ++n) EXPECT_EQ(trial_budget(n, 100000), 0) << n;
  const int expected[] = {1, 9, 45, 165, 495, 1287, 3002, 6434, 12869, 24309, 43757, 75581};
  for (int n = 8; n <= 19; ++n) EXPECT_EQ(trial_budget(n, 100000), expected[n - 8]) << n;
  // 125970 combinations of 20 exceed the budget, which therefore stays.
  EXPECT_EQ(trial_budget(20, 100000), 100000);
  EXPECT_EQ(trial_budget(20, 200000), 125970);
  for (int n = 21; n <= 50; ++n) EXPECT_EQ(trial_budget(n, 100000), 100000) << n;
  // It only ever lowers the budget.
  const std::pair<int, int> lowered[] = {{14, 50}, {14, 3002}, {8, 0}, {30, 7}};
  for (auto [n, budget] : lowered) EXPECT_EQ(trial_budget(n, budget), budget);
}

TEST(KestraRandom, TopTwentyFourBitsOfTheTwister) {
  // The C++ standard fixes the 10000th output of a default-seeded mt19937.
  // (That a given seed starts its own sequence, the KESTRA golden cases run
  // with KESTRA_SEED show.)
  KestraRandom r;
  r.seed(5489u);
  float u = 0;
  for (int i = 0; i < 10000; ++i) u = r.uniform();
  EXPECT_EQ(u, static_cast<float>(4123659995u >> 8) * 0x1p-24f);
}

TEST(Seed, TimeOfDayIsHundredthsSinceLocalMidnight) {
  // Read between two readings of the clock, the seed lies between them.
  using namespace std::chrono;
  auto hundredths_now = [] {
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    const std::tm tm = cdsec::os::local_time(t);
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    return static_cast<long>(((tm.tm_hour * 60 + tm.tm_min) * 60 + tm.tm_sec) * 100 + ms / 10);
  };
  for (int attempt = 0; attempt < 3; ++attempt) {
    const long before = hundredths_now();
    const long s = static_cast<long>(cdsec::time_of_day_seed());
    const long after = hundredths_now();
    if (after < before) continue;  // midnight passed in between
    EXPECT_GE(s, before);
    EXPECT_LE(s, after);
    EXPECT_LE(after, 8639999L);
    return;
  }
  FAIL() << "the clock went back three times";
}

TEST(Seed, FixedSeedFromTheEnvironmentValue) {
  std::string why;
  for (const char* unset : {static_cast<const char*>(nullptr), "", "   "})
    EXPECT_FALSE(cdsec::fixed_seed_from(unset, &why).has_value());
  EXPECT_TRUE(why.empty());
  for (auto [text, seed] : {std::pair{"12345", 12345u}, std::pair{" 42 ", 42u}, std::pair{"-1", 4294967295u},
                            std::pair{"4294967295", 4294967295u}})
    EXPECT_EQ(cdsec::fixed_seed_from(text, &why), std::optional<std::uint32_t>(seed)) << text;
  EXPECT_TRUE(why.empty());
  // Beyond 32 bits a seed would wrap onto another one's run.
  for (auto [text, says] : {std::pair{"4294967296", "does not fit in 32 bits"},
                            std::pair{"-2147483649", "does not fit in 32 bits"},
                            std::pair{"99999999999", "does not fit in 32 bits"}, std::pair{"abc", "abc"},
                            std::pair{"1.5", "1.5"}}) {
    why.clear();
    EXPECT_FALSE(cdsec::fixed_seed_from(text, &why).has_value()) << text;
    EXPECT_NE(why.find(says), std::string::npos) << why;
  }
}

// Reference sets whose protein i is recognisable in every column and row it
// is copied to, and one trial's arrays.
struct References {
  Matrix<100, 51> cd;
  Matrix<51, 6> ss;
  explicit References(int n) {
    for (int i = 1; i <= n; ++i) {
      for (int w = 1; w <= 100; ++w) cd(w, i) = static_cast<float>(1000 * i + w);
      for (int j = 1; j <= 6; ++j) ss(i, j) = static_cast<float>(10 * i + j);
    }
  }
};

struct Trial {
  Matrix<100, 51> a;
  Matrix<51, 6> f;
  Vector<51, int> drawn;
};

// Trials of 20 points and 6 classes over n proteins, drawn by a script.
struct ScriptedSearch {
  int n;
  References refs{n};
  std::unique_ptr<CombinationHistory> history = std::make_unique<CombinationHistory>();
  Trial t;
  Script rng;
  ScriptedSearch(int n_, std::initializer_list<int> proteins) : n(n_), rng(proteins, n_) {}
  void trial(int icomb) {
    RNDM(n, 8, 20, 6, refs.cd.view(), refs.ss.view(), icomb, rng, *history, t.drawn.view(), t.a.view(), t.f.view());
  }
};

TEST(Rndm, ARepeatedNumberCostsOneDrawForThatPlace) {
  ScriptedSearch s(10, {3, 3, 1, 7, 2, 2, 2, 9, 5, 4, 10});
  s.trial(1);
  EXPECT_EQ(s.rng.used(), 11u);
  const int sorted[] = {1, 2, 3, 4, 5, 7, 9, 10};
  const int drawing[] = {3, 1, 7, 2, 9, 5, 4, 10};
  for (int i = 1; i <= 8; ++i) {
    EXPECT_EQ(s.t.drawn(i), sorted[i - 1]);
    EXPECT_EQ(s.history->row(1, i), sorted[i - 1]);
    // Matrices keep the drawing order.
    const int p = drawing[i - 1];
    EXPECT_EQ(s.t.a(1, i), s.refs.cd(1, p));
    EXPECT_EQ(s.t.a(20, i), s.refs.cd(20, p));
    EXPECT_EQ(s.t.f(i, 1), s.refs.ss(p, 1));
    EXPECT_EQ(s.t.f(i, 6), s.refs.ss(p, 6));
  }
  // Only nwave points are copied.
  EXPECT_EQ(s.t.a(21, 1), 0.0f);
}

TEST(Rndm, ANewJobForgetsThePreviousJobsCombinations) {
  ScriptedSearch s(12, {1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10, 11, 12,    // job 1
                        5, 6, 7, 8, 9, 10, 11, 12, 1, 2, 3, 4, 5, 6, 7, 8});  // job 2: the same two
  s.trial(1);
  s.trial(2);
  s.history->clear();
  s.trial(1);
  s.trial(2);
  EXPECT_EQ(s.rng.used(), 32u);  // no redraw in the second job
  EXPECT_EQ(s.history->row(2, 1), 1);
  EXPECT_EQ(s.history->row(1, 1), 5);
}

// The repeat check as first written: a scan of every earlier row.
struct LinearRndm {
  std::vector<std::array<int, 8>> rows;
  std::array<int, 8> draw(int n, cdsec::UniformSource& rng) {
    for (;;) {
      std::array<int, 8> p{};
      for (int i = 0; i < 8; ++i) {
        bool rep;
        do {
          float r = rng.uniform();
          p[static_cast<std::size_t>(i)] = static_cast<int>(static_cast<double>(n) * r) + 1;
          rep = std::find(p.begin(), p.begin() + i, p[static_cast<std::size_t>(i)]) != p.begin() + i;
        } while (rep);
      }
      std::sort(p.begin(), p.end());
      bool seen = false;
      for (const auto& row : rows) seen = seen || row == p;
      if (seen) continue;
      rows.push_back(p);
      return p;
    }
  }
};

TEST(Rndm, HashedRepeatCheckAcceptsTheSameSequenceAsTheScan) {
  // Fourteen proteins: the search of 3002 trials takes all but one of the
  // 3003 combinations, so the late trials are dominated by repeated
  // combinations, each drawn again in full.
  const int n = 14;
  References refs(n);
  auto history = std::make_unique<CombinationHistory>();
  Trial t;
  for (std::uint32_t seed : {1u, 2024u}) {
    KestraRandom a, b;
    a.seed(seed);
    b.seed(seed);
    LinearRndm lin;
    history->clear();
    const int budget = trial_budget(n, 100000);
    for (int icomb = 1; icomb <= budget; ++icomb) {
      RNDM(n, 8, 2, 6, refs.cd.view(), refs.ss.view(), icomb, a, *history, t.drawn.view(), t.a.view(), t.f.view());
      const auto want = lin.draw(n, b);
      for (int i = 1; i <= 8; ++i) ASSERT_EQ(t.drawn(i), want[static_cast<std::size_t>(i - 1)]) << icomb;
    }
    // Both generators have consumed the same draws.
    EXPECT_EQ(a.uniform(), b.uniform());
    std::set<std::array<int, 8>> distinct(lin.rows.begin(), lin.rows.end());
    EXPECT_EQ(distinct.size(), 3002u);
  }
}

TEST(CombinationHistory, HoldsAFullBudgetOfCombinations) {
  auto history = std::make_unique<CombinationHistory>();
  std::mt19937 g(5u);
  std::set<std::array<int, 8>> stored;
  std::vector<std::array<int, 8>> order;
  while (stored.size() < static_cast<std::size_t>(cdsec::kMaxTrials)) {
    std::array<int, 8> c{};
    std::vector<int> pool(50);
    for (int i = 0; i < 50; ++i) pool[static_cast<std::size_t>(i)] = i + 1;
    std::shuffle(pool.begin(), pool.end(), g);
    std::copy_n(pool.begin(), 8, c.begin());
    std::sort(c.begin(), c.end());
    if (!stored.insert(c).second) continue;
    order.push_back(c);
    history->store(static_cast<int>(order.size()), c.data());
  }
  for (std::size_t t = 0; t < order.size(); t += 997) {
    EXPECT_TRUE(history->contains(order[t].data()));
    EXPECT_EQ(history->row(static_cast<int>(t + 1), 8), order[t][7]);
  }
  EXPECT_TRUE(history->contains(order.back().data()));
  int absent = 0;
  for (int k = 0; k < 2000; ++k) {
    std::array<int, 8> c{};
    for (int i = 0; i < 8; ++i) c[static_cast<std::size_t>(i)] = 1 + i + 5 * (k % 5) + (k / 5 % 3);
    if (!stored.count(c)) {
      ++absent;
      EXPECT_FALSE(history->contains(c.data()));
    }
  }
  EXPECT_GT(absent, 0);
  history->clear();
  EXPECT_FALSE(history->contains(order.front().data()));
}

}  // namespace
