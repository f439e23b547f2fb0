// The variable-selection trial: validity limits, the estimate and one trial
// on exact mixtures, and the estimate's failures.
#include "varsel/trials.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

#include "frame/text_input.hpp"
#include "tests/varsel/script.hpp"

namespace {

using cdsec::Matrix;
using cdsec::Vector;
using cdsec_test::Script;

float below(float v) { return std::nextafter(v, -1.0e9f); }
float above(float v) { return std::nextafter(v, 1.0e9f); }

TEST(Validity, LimitsIncludedNaNNeverPasses) {
  // fsum within [0.952, 1.05], RMS at most the limit 0.25, no fraction of
  // the first Nsstr below -0.03.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float fsum, rms;
    int j;  // a fraction set to x (0: none)
    float x;
    int ns;
    bool valid;
  } cases[] = {
      {0.952f, 0.25f, 3, -0.03f, 6, true},  {1.05f, 0.0f, 3, -0.03f, 6, true},
      {below(0.952f), 0.1f, 0, 0, 6, false}, {above(1.05f), 0.1f, 0, 0, 6, false},
      {1.0f, above(0.25f), 0, 0, 6, false},  {1.0f, 0.1f, 5, below(-0.03f), 6, false},
      {1.0f, 0.1f, 6, -0.5f, 6, false},      {1.0f, 0.1f, 6, -0.5f, 5, true},  // five classes: the sixth unread
      {nan, 0.1f, 0, 0, 6, false},           {1.0f, nan, 0, 0, 6, false},
      {1.0f, 0.1f, 2, nan, 6, false},
  };
  for (const Case& c : cases) {
    Vector<6> x;
    for (int j = 1; j <= 6; ++j) x(j) = 0.1f;
    if (c.j) x(c.j) = c.x;
    EXPECT_EQ(cdsec::solution_is_valid(c.fsum, c.rms, x.view(), c.ns, 0.25f, -0.03f), c.valid)
        << c.fsum << " " << c.rms << " " << c.j << " " << c.x << " " << c.ns;
  }
}

// Reference proteins whose spectra are exact mixtures of five class spectra
// with their own fractions: a sample mixed the same way is reproduced, and
// its fractions recovered, by any combination of eight of them.
struct LinearModel {
  static constexpr int kN = 12, kW = 40, kS = 5;
  Matrix<100, 51> cd;
  Matrix<51, 6> ss;
  Vector<100> sample;
  Vector<6> truth;

  LinearModel() {
    float basis[kS][kW];
    for (int k = 0; k < kS; ++k)
      for (int w = 0; w < kW; ++w)
        basis[k][w] = std::sin(0.07f * static_cast<float>((k + 1) * (w + 3))) * static_cast<float>(5 - k) +
                      0.3f * static_cast<float>(k);
    auto mix = [&](const float* f, int col, bool is_sample) {
      for (int w = 0; w < kW; ++w) {
        float v = 0.0f;
        for (int k = 0; k < kS; ++k) v += f[k] * basis[k][w];
        if (is_sample)
          sample(w + 1) = v;
        else
          cd(w + 1, col) = v;
      }
    };
    for (int i = 1; i <= kN; ++i) {
      float f[kS], sum = 0;
      for (int k = 0; k < kS; ++k) {
        f[k] = 1.0f + static_cast<float>((i * 7 + k * 3) % 11);
        sum += f[k];
      }
      for (int k = 0; k < kS; ++k) {
        f[k] /= sum;
        ss(i, k + 1) = f[k];
      }
      mix(f, i, false);
    }
    const float t[kS] = {0.30f, 0.25f, 0.15f, 0.10f, 0.20f};
    for (int k = 0; k < kS; ++k) truth(k + 1) = t[k];
    mix(t, 0, true);
  }
};

struct Fixture {
  LinearModel m;
  std::unique_ptr<cdsec::TrialWorkspace> ws = std::make_unique<cdsec::TrialWorkspace>();
  std::unique_ptr<cdsec::SolutionStore> store = std::make_unique<cdsec::SolutionStore>();
  std::unique_ptr<cdsec::CombinationHistory> history = std::make_unique<cdsec::CombinationHistory>();
};

TEST(Bvpro3, RecoversTheFractionsOfAnExactMixture) {
  Fixture fx;
  Vector<6> out;
  std::ostringstream report;
  ASSERT_TRUE(cdsec::BVPRO3(LinearModel::kN, LinearModel::kW, fx.m.cd.view(), fx.m.ss.view(), 5, out.view(), 5,
                            fx.m.sample.view(), *fx.ws, report));
  for (int j = 1; j <= 5; ++j) EXPECT_NEAR(out(j), fx.m.truth(j), 2e-4) << j;
  EXPECT_EQ(out(6), 0.0f);  // classes beyond Nsstr untouched
  EXPECT_EQ(report.str(), "");
}

TEST(Bvpro4, AValidTrialIsStoredWithItsSpectraAndPrinted) {
  Fixture fx;
  std::ostringstream report;
  Script rng({12, 3, 5, 1, 9, 7, 11, 2}, LinearModel::kN);
  int isucs = 0;
  cdsec::BVPRO4(LinearModel::kW, fx.m.cd.view(), fx.m.ss.view(), 5, *fx.store, 0.25f, -0.03f, 5,
                fx.m.sample.view(), LinearModel::kN, 8, isucs, 1, 1, rng, *fx.history, *fx.ws, report);
  ASSERT_EQ(isucs, 1);
  for (int j = 1; j <= 5; ++j) EXPECT_NEAR(fx.store->fractions(1, j), fx.m.truth(j), 2e-4) << j;
  for (int w = 1; w <= LinearModel::kW; ++w) {
    EXPECT_NEAR(fx.store->recon_cd(w, 1), fx.m.sample(w), 2e-4) << w;
    EXPECT_NEAR(fx.store->calc_cd(w, 1), fx.m.sample(w), 2e-3) << w;
  }
  // The sample's row of the trial matrix: the solution in classes 1..5, the
  // starting guess still in class 6.
  EXPECT_EQ(fx.ws->f(9, 6), 0.21f);
  EXPECT_EQ(fx.ws->f(9, 1), fx.store->fractions(1, 1));

  // Printed: two lines (their layout is pinned by the golden case
  // iprint_set14_budget3002), the first the sorted combination.
  const std::string text = report.str();
  EXPECT_EQ(text.substr(0, text.find('\n')), "      1     1   1   2   3   5   7   9  11  12");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

// A zero singular value in a trial or in the all-basis estimate of a full
// set: the golden case empty_window.  Here the estimate with fewer triplets
// than classes.
TEST(Bvpro3, AbandonedEstimateLeavesTheVectorAsItWas) {
  Fixture fx;
  Vector<6> out;
  for (int j = 1; j <= 6; ++j) out(j) = 0.5f;
  std::ostringstream report;
  // Three proteins and the sample give four triplets where five are used.
  EXPECT_FALSE(cdsec::BVPRO3(3, LinearModel::kW, fx.m.cd.view(), fx.m.ss.view(), 5, out.view(), 5,
                             fx.m.sample.view(), *fx.ws, report));
  EXPECT_EQ(report.str(), "Trouble! A singular value equals 0.0, run protein again\n");
  for (int j = 1; j <= 6; ++j) EXPECT_EQ(out(j), 0.5f);
}

TEST(Bvpro3, NonConvergenceIsReportedAndTheEstimateGoesOn) {
  Fixture fx;
  fx.m.cd(7, 2) = std::numeric_limits<float>::quiet_NaN();
  Vector<6> out;
  std::ostringstream report;
  cdsec::BVPRO3(LinearModel::kN, LinearModel::kW, fx.m.cd.view(), fx.m.ss.view(), 5, out.view(), 5,
                fx.m.sample.view(), *fx.ws, report);
  const std::string text = report.str();
  ASSERT_EQ(text.rfind("  TROUBLE,  IERR=", 0), 0u) << text;
  const int ierr = std::stoi(text.substr(17, 4));
  EXPECT_GE(ierr, 1);
  EXPECT_LE(ierr, LinearModel::kN + 1);
  EXPECT_EQ(text[21], '\n');
}

}  // namespace
