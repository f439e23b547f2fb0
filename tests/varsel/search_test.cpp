// The combination search on several threads against the plain loop: the
// same valid trials in the same order, the same store contents to the bit,
// the same report and history, whether the search stops early (also in the
// middle of a hand-over batch) or spends its budget, and when one search
// object serves several jobs in turn.  And the reading of CDSEC_THREADS.
#include "varsel/search.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

namespace {

using cdsec::Matrix;
using cdsec::Vector;

// Twenty reference proteins, each a mixture of five class spectra with its
// own fractions plus a protein-specific wiggle of its own size, so that
// some combinations reproduce the sample within the RMS limit and others
// do not.
struct NoisySet {
  static constexpr int kN = 20, kW = 45, kS = 6;
  Matrix<100, 51> cd;
  Matrix<51, 6> ss;
  Vector<100> sample;

  explicit NoisySet(int variant) {
    float basis[kS][kW];
    for (int k = 0; k < kS; ++k)
      for (int w = 0; w < kW; ++w)
        basis[k][w] = 4.0f * std::sin(0.05f * static_cast<float>((k + 2) * (w + 1 + variant))) +
                      0.2f * static_cast<float>(k);
    for (int i = 1; i <= kN; ++i) {
      float f[kS], sum = 0.0f;
      for (int k = 0; k < kS; ++k) {
        f[k] = 1.0f + static_cast<float>((i * 5 + k * 7 + variant) % 13);
        sum += f[k];
      }
      for (int k = 0; k < kS; ++k) ss(i, k + 1) = f[k] / sum;
      const float wiggle = 0.05f * static_cast<float>(i % 7);
      for (int w = 0; w < kW; ++w) {
        float v = 0.0f;
        for (int k = 0; k < kS; ++k) v += ss(i, k + 1) * basis[k][w];
        cd(w + 1, i) = v + wiggle * std::cos(0.9f * static_cast<float>(w * i));
      }
    }
    const float t[kS] = {0.30f, 0.10f, 0.20f, 0.10f, 0.10f, 0.20f};
    for (int w = 0; w < kW; ++w) {
      float v = 0.0f;
      for (int k = 0; k < kS; ++k) v += t[k] * basis[k][w];
      sample(w + 1) = v;
    }
  }
};

struct SearchRun {
  int isucs = 0;
  std::string report;
  std::unique_ptr<cdsec::SolutionStore> store = std::make_unique<cdsec::SolutionStore>();
  std::unique_ptr<cdsec::CombinationHistory> history = std::make_unique<cdsec::CombinationHistory>();
};

void search(cdsec::TrialSearch& s, const NoisySet& set, float rms_limit, int icombf, int ncomb, int iprint,
            std::uint32_t seed, cdsec::TrialWorkspace& ws, SearchRun& r) {
  cdsec::SearchJob job;
  job.nwave = NoisySet::kW;
  job.nsstr = 6;
  job.nbascd = NoisySet::kN;
  job.rms_limit = rms_limit;
  job.fraction_limit = -0.03f;
  job.refcd = set.cd.view();
  job.refss = set.ss.view();
  job.sample = set.sample.view();
  cdsec::KestraRandom rng;
  rng.seed(seed);
  r.history->clear();
  std::ostringstream report;
  r.isucs = s.run(job, icombf, ncomb, iprint, rng, *r.history, *r.store, ws, report);
  r.report = report.str();
}

void expect_same(const SearchRun& a, const SearchRun& b, int nwave, int rows_to_compare) {
  ASSERT_EQ(a.isucs, b.isucs);
  EXPECT_EQ(a.report, b.report);
  for (int s = 1; s <= a.isucs; ++s) {
    for (int j = 1; j <= 6; ++j) EXPECT_EQ(a.store->fractions(s, j), b.store->fractions(s, j)) << s;
    EXPECT_EQ(std::memcmp(a.store->recon_cd.column(s).data(), b.store->recon_cd.column(s).data(),
                          sizeof(float) * nwave), 0) << "ReconCD of solution " << s;
    EXPECT_EQ(std::memcmp(a.store->calc_cd.column(s).data(), b.store->calc_cd.column(s).data(),
                          sizeof(float) * nwave), 0) << "CalcCD of solution " << s;
  }
  for (int t = 1; t <= rows_to_compare; ++t)
    for (int j = 1; j <= cdsec::kNsel; ++j) ASSERT_EQ(a.history->row(t, j), b.history->row(t, j)) << t;
}

TEST(TrialSearch, ThreadsGiveTheSequentialSearch) {
  const NoisySet set(0);
  auto ws = std::make_unique<cdsec::TrialWorkspace>();
  cdsec::TrialSearch one(1);
  cdsec::TrialSearch two(2);
  cdsec::TrialSearch four(4);
  ASSERT_EQ(one.threads(), 1);
  struct Case {
    int icombf, ncomb, iprint;
  };
  // Budgets below, at and across the hand-over batch size; stops after a
  // few valid trials (inside a batch) and after many.
  const Case cases[] = {{1, 400, 1},  {7, 400, 1},  {16, 400, 0}, {17, 400, 1},  {300, 400, 1},
                        {600, 400, 0}, {600, 5, 1}, {600, 37, 1}, {600, 1, 0}, {2000, 120, 0}};
  const float limit = 0.08f;
  for (const Case& c : cases) {
    for (std::uint32_t seed : {1u, 99u, 12345u}) {
      SCOPED_TRACE(testing::Message() << "icombf " << c.icombf << " ncomb " << c.ncomb << " seed " << seed);
      SearchRun seq, par2, par4;
      search(one, set, limit, c.icombf, c.ncomb, c.iprint, seed, *ws, seq);
      search(two, set, limit, c.icombf, c.ncomb, c.iprint, seed, *ws, par2);
      search(four, set, limit, c.icombf, c.ncomb, c.iprint, seed, *ws, par4);
      const int rows = seq.isucs < c.ncomb ? c.icombf : 0;
      expect_same(seq, par2, NoisySet::kW, rows);
      expect_same(seq, par4, NoisySet::kW, rows);
      // Two lines per valid trial with IPrint, none without.
      const long lines = std::count(seq.report.begin(), seq.report.end(), '\n');
      EXPECT_EQ(lines, c.iprint != 0 ? 2L * seq.isucs : 0L);
      // Without both valid and invalid trials the comparison would prove little.
      if (c.icombf == 600 && c.ncomb == 400) {
        EXPECT_GT(seq.isucs, 20);
        EXPECT_LT(seq.isucs, 580);
      }
    }
  }
}

TEST(TrialSearch, OneSearchObjectServesJobAfterJob) {
  // Different sets, limits and stopping points in turn on the same workers:
  // nothing of one search may reach the next.
  const NoisySet a(0), b(3);
  auto ws = std::make_unique<cdsec::TrialWorkspace>();
  cdsec::TrialSearch one(1);
  cdsec::TrialSearch three(3);
  for (int round = 0; round < 3; ++round) {
    for (const NoisySet* set : {&a, &b}) {
      const int ncomb = set == &a ? 9 : 400;
      SearchRun seq, par;
      search(one, *set, 0.1f, 400, ncomb, 1, 7u + static_cast<std::uint32_t>(round), *ws, seq);
      search(three, *set, 0.1f, 400, ncomb, 1, 7u + static_cast<std::uint32_t>(round), *ws, par);
      expect_same(seq, par, NoisySet::kW, seq.isucs < ncomb ? 400 : 0);
    }
  }
}

TEST(ThreadCountFromEnvironment, PositiveWholeNumbersUpToTheLimitElseRefusedWithTheValueNamed) {
  std::string why;
  const auto all = cdsec::thread_count_from(nullptr, &why);  // unset: all cores
  ASSERT_TRUE(all.has_value());
  EXPECT_GE(*all, 1);
  EXPECT_LE(*all, cdsec::kMaxThreads);
  EXPECT_EQ(why, "");
  for (auto [text, n] : {std::pair{"1", 1}, std::pair{"3", 3}, std::pair{"007", 7}, std::pair{"256", 256}}) {
    EXPECT_EQ(cdsec::thread_count_from(text, &why), std::optional<int>(n)) << text;
    EXPECT_EQ(why, "");
  }
  for (const char* text : {"", "0", "000", "-2", "+2", " 2", "2 ", "abc", "2x", "1.5", "257", "4294967297",
                           "99999999999999999999999999"}) {
    EXPECT_FALSE(cdsec::thread_count_from(text, &why).has_value()) << text;
    EXPECT_EQ(why, std::string("CDSEC_THREADS=\"") + text +
                       "\" is not a number of threads (a whole number from 1 to 256); nothing was run");
  }
}

}  // namespace
