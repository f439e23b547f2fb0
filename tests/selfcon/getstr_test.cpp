// The stages of the self-consistent analysis: the passes of rules 1 and 2
// with their relaxation, the passes of rule 3, the helix window and the
// passes of rule 4, and whole analyses of synthetic working sets (failure
// with too few proteins, the final table replacing the second-stage one,
// the summary record, and the trial solutions against a direct
// recomputation).
#include "selfcon/getstr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/summary.hpp"
#include "frame/svd.hpp"

namespace {

using cdsec::GetstrOutcome;
using cdsec::kMaxPointsSC;
using cdsec::Rule12Limits;
using cdsec::SecondStageData;
using cdsec::SolutionList;
using cdsec::SolutionTable;
using cdsec::Vector;

const std::array<std::string_view, 6> kLabels = {"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
std::span<const std::string_view> labels(int ns = 6) { return {kLabels.data(), static_cast<std::size_t>(ns)}; }

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

float sum_of6(const Vector<6>& f) {
  float s = 0.0f;
  for (int j = 1; j <= 6; ++j) s = s + f(j);
  return s;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream s(text);
  for (std::string l; std::getline(s, l);) out.push_back(l);
  return out;
}

void add_solution(SolutionTable& t, int nbas, int nsv, std::vector<float> f) {
  const int n = ++t.count;
  t.nbas[static_cast<std::size_t>(n)] = nbas;
  t.nsv[static_cast<std::size_t>(n)] = nsv;
  for (std::size_t j = 0; j < f.size(); ++j) t.frac(n, static_cast<int>(j) + 1) = f[j];
}

// ---------------------------------------------------------------- rank reductions

TEST(RankReductions, EqualSvrecBitForBitForEveryRankAndSubset) {
  // Random spectra-like matrices of several shapes, sorted decompositions,
  // every rank 1..8 and every column count 1..p.
  std::uint32_t state = 12345u;
  auto uniform = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) * (1.0f / 16777216.0f) - 0.5f;
  };
  for (const auto& [m, p] : {std::pair{83, 51}, std::pair{61, 12}, std::pair{40, 9}}) {
    auto a = std::make_unique<cdsec::Matrix<kMaxPointsSC, cdsec::kMaxWorkingSet>>();
    for (int j = 1; j <= p; ++j)
      for (int i = 1; i <= m; ++i) (*a)(i, j) = 10.0f * uniform() + (j % 3 == 0 ? 0.0f : uniform() * 1e-3f);
    auto w = std::make_unique<cdsec::GetstrWork>();
    cdsec::SVD(m, p, *a, w->w, true, w->u, true, w->v, w->rv1, 30);
    cdsec::EIGEN(p, m, w->w, w->u, w->v);
    cdsec::rank_reductions(cdsec::kMaxTrialVectors, m, p, w->w, w->u, w->v, w->rank);
    auto b = std::make_unique<cdsec::Matrix<kMaxPointsSC, cdsec::kMaxWorkingSet>>();
    int differing = 0;
    for (int k = 1; k <= cdsec::kMaxTrialVectors; ++k)
      for (int nbas = 1; nbas <= p; ++nbas) {
        cdsec::SVREC(k, m, nbas, w->w, w->u, w->v, *b);
        for (int q = 1; q <= nbas; ++q)
          for (int i = 1; i <= m; ++i) {
            const float x = w->rank[static_cast<std::size_t>(k - 1)](i, q), y = (*b)(i, q);
            if (std::memcmp(&x, &y, sizeof x) != 0) ++differing;
          }
      }
    EXPECT_EQ(differing, 0) << m << " x " << p;
    // Rank 8 of a full-rank matrix is not the matrix itself, rank p is close.
    cdsec::rank_reductions(p < 8 ? p : 8, m, p, w->w, w->u, w->v, w->rank);
    if (p <= 8) {
      for (int i = 1; i <= m; ++i) EXPECT_NEAR(w->rank[static_cast<std::size_t>(p - 1)](i, p), (*a)(i, p), 1e-4f);
    }
  }
}

TEST(RankReductions, FewerRanksLeaveTheRestAlone) {
  auto w = std::make_unique<cdsec::GetstrWork>();
  for (int j = 1; j <= 6; ++j)
    for (int i = 1; i <= 20; ++i) w->u(i, j) = static_cast<float>(i * j % 7) - 3.0f;
  for (int j = 1; j <= 6; ++j) {
    w->w(j) = static_cast<float>(7 - j);
    for (int q = 1; q <= 6; ++q) w->v(q, j) = q == j ? 1.0f : 0.0f;
  }
  w->rank[2](1, 1) = 99.0f;
  cdsec::rank_reductions(2, 20, 6, w->w, w->u, w->v, w->rank);
  EXPECT_EQ(w->rank[2](1, 1), 99.0f);
  // V = I: column q of rank k is U's column q times W(q) when q <= k, else 0.
  for (int q = 1; q <= 6; ++q)
    for (int i = 1; i <= 20; ++i) {
      EXPECT_EQ(w->rank[0](i, q), q == 1 ? w->u(i, 1) * 6.0f : 0.0f);
      EXPECT_EQ(w->rank[1](i, q), q <= 2 ? w->u(i, q) * w->w(q) : 0.0f);
    }
}

// ---------------------------------------------------------------- rules 1 and 2

TEST(Rules12, RelaxesUntilASolutionPasses) {
  SolutionTable t;
  add_solution(t, 6, 1, {0.5f, 0.2f, 0.1f, 0.1f, 0.1f, 0.1f});     // sum 1.1: passes at 0.11
  add_solution(t, 6, 2, {0.5f, 0.2f, 0.1f, 0.1f, 0.1f, -0.2f});    // never: a fraction far below
  add_solution(t, 6, 3, {0.5f, 0.2f, 0.1f, 0.1f, 0.2f, 0.1f});     // sum 1.2: never
  Rule12Limits lim{0.05f, -0.03f, 1};
  SolutionList acc;
  Vector<6> sums;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rules12(t, 6, lim, acc, sums, true, labels(), out));
  EXPECT_FLOAT_EQ(lim.sumlim, 0.11f);
  EXPECT_FLOAT_EQ(lim.fracmin, -0.06f);
  ASSERT_EQ(acc.count, 1);
  EXPECT_EQ(acc.pos[1], 1);
  EXPECT_FLOAT_EQ(sums(1), 0.5f);
  EXPECT_FLOAT_EQ(sums(6), 0.1f);
  const std::string r = out.str();
  EXPECT_EQ(count_of(r, "  TotSOL >  1"), 4);
  EXPECT_NE(r.find("\n  TotSOL >  1\n  Limits: ABS(Sum-1.0) <  0.050; Each Fraction > -0.030\n"
                   "NSol NBas Ns  H(r)   H(d)   S(r)   S(d)   Trn    Unrd   SUM \n"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("   1   6  1  0.500  0.200  0.100  0.100  0.100  0.100  1.100\n"), std::string::npos) << r;
}

TEST(Rules12, GivesUpAfterTheFifthEmptyPass) {
  SolutionTable t;
  add_solution(t, 7, 4, {0.6f, 0.3f, 0.2f, 0.1f, 0.1f, 0.0f});  // sum 1.3
  Rule12Limits lim{0.05f, -0.03f, 1};
  SolutionList acc;
  Vector<6> sums;
  std::ostringstream out;
  EXPECT_FALSE(cdsec::select_rules12(t, 6, lim, acc, sums, true, labels(), out));
  EXPECT_EQ(acc.count, 0);
  // (0.05, -0.03) ... (0.13, -0.07) are tried; the limits end at (0.15, -0.08).
  EXPECT_EQ(count_of(out.str(), "TotSOL"), 5);
  EXPECT_NE(out.str().find("Limits: ABS(Sum-1.0) <  0.130; Each Fraction > -0.070"), std::string::npos);
  EXPECT_NEAR(lim.sumlim, 0.15f, 1e-6f);
  EXPECT_NEAR(lim.fracmin, -0.08f, 1e-6f);
  EXPECT_GE(lim.sumlim, 0.14f);
  // Without printing the passes are silent.
  Rule12Limits lim2{0.05f, -0.03f, 1};
  std::ostringstream quiet;
  EXPECT_FALSE(cdsec::select_rules12(t, 6, lim2, acc, sums, false, labels(), quiet));
  EXPECT_EQ(quiet.str(), "");
}

TEST(Rules12, LimitsThemselvesPass) {
  // Limits chosen so that the sums are exact in single precision.
  SolutionTable t;
  add_solution(t, 6, 1, {0.5f, 0.5625f, 0.0f, 0.0f, 0.0f});          // sum 1.0625 = 1 + SumLim
  add_solution(t, 6, 2, {0.5f, 0.5f, -0.03125f, 0.03125f, 0.0f});    // a fraction equal to FracMin
  add_solution(t, 6, 3, {0.5f, 0.5626f, 0.0f, 0.0f, 0.0f});  // just over
  add_solution(t, 6, 3, {0.5f, 0.5f, -0.03126f, 0.03125f, 0.0f});  // just below
  add_solution(t, 6, 3, {0.5f, 0.4375f, 0.0f, 0.0f, 0.0f});          // sum 0.9375 = 1 - SumLim
  Rule12Limits lim{0.0625f, -0.03125f, 1};
  SolutionList acc;
  Vector<6> sums;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rules12(t, 5, lim, acc, sums, false, labels(5), out));
  ASSERT_EQ(acc.count, 3);
  EXPECT_EQ(acc.pos[1], 1);
  EXPECT_EQ(acc.pos[2], 2);
  EXPECT_EQ(acc.pos[3], 5);
  EXPECT_FLOAT_EQ(lim.sumlim, 0.0625f);  // not relaxed
}

// ---------------------------------------------------------------- rule 3

struct Rule3Case {
  SolutionTable t;
  SecondStageData s2;
  SolutionList first;
  Rule3Case(std::vector<float> smallest) {
    for (std::size_t k = 0; k < smallest.size(); ++k) {
      add_solution(t, 8, 2, {0.3f, 0.1f, 0.2f, 0.1f, 0.1f, 0.2f});
      const int n = t.count;
      s2.rms_small(n) = smallest[k];
      s2.rms_exp(n) = smallest[k];
      s2.rms_rec(n) = smallest[k] + 1.0f;
      for (int i = 1; i <= 3; ++i) s2.calc(i, n) = static_cast<float>(n * i);
      first.pos[static_cast<std::size_t>(++first.count)] = n;
    }
  }
};

TEST(Rule3, RaisesTheLimitByATenthUntilOnePasses) {
  auto c = std::make_unique<Rule3Case>(std::vector<float>{0.9f, 0.5f, 0.52f});
  float lim = 0.25f;
  SolutionList passed;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule3(c->t, c->s2, c->first, 6, 3, lim, 1, passed, sums, spectrum_sum, true, labels(), out));
  EXPECT_NEAR(lim, 0.55f, 1e-6f);
  ASSERT_EQ(passed.count, 2);
  EXPECT_EQ(passed.pos[1], 2);
  EXPECT_EQ(passed.pos[2], 3);
  EXPECT_FLOAT_EQ(spectrum_sum(1), 2.0f + 3.0f);
  EXPECT_FLOAT_EQ(spectrum_sum(3), 6.0f + 9.0f);
  EXPECT_EQ(spectrum_sum(4), 0.0f);
  EXPECT_FLOAT_EQ(sums(1), 0.6f);
  const std::string r = out.str();
  EXPECT_EQ(count_of(r, " TotSOL >  1; Limits: RmsLim  <"), 4);
  EXPECT_NE(r.find("\n TotSOL >  1; Limits: RmsLim  <  0.350\n   I NSol Bas NS   H(r)   H(d)   S(r)   S(d)   Trn "
                   "   Unrd   SUM    RRcn   RExp\n"),
            std::string::npos)
      << r;
  // count so far, position, NBas, Ns, fractions, sum, RMS to experiment, RMS to reconstruction
  EXPECT_NE(r.find("   1   2   8  2  0.300  0.100  0.200  0.100  0.100  0.200  1.000  0.500  1.500\n"), std::string::npos)
      << r;
}

TEST(Rule3, ListingLinesDoNotDependOnPrinting) {
  auto c = std::make_unique<Rule3Case>(std::vector<float>{0.3f, 0.1f});
  float lim = 0.25f;
  SolutionList passed;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule3(c->t, c->s2, c->first, 6, 3, lim, 1, passed, sums, spectrum_sum, false, labels(), out));
  EXPECT_EQ(out.str(), "   1   2   8  2  0.300  0.100  0.200  0.100  0.100  0.200  1.000  0.100  1.100\n");
  EXPECT_FLOAT_EQ(lim, 0.25f);
}

TEST(Rule3, ALimitEqualToTheSmallerRmsPasses) {
  auto c = std::make_unique<Rule3Case>(std::vector<float>{0.25f});
  float lim = 0.25f;
  SolutionList passed;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  EXPECT_TRUE(cdsec::select_rule3(c->t, c->s2, c->first, 6, 3, lim, 1, passed, sums, spectrum_sum, false, labels(), out));
  EXPECT_EQ(passed.count, 1);
}

TEST(Rule3, FailsPastPointSixAndAtAnEmptyPassAtPointSix) {
  auto c = std::make_unique<Rule3Case>(std::vector<float>{0.61f, 0.7f});
  float lim = 0.25f;
  SolutionList passed;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  EXPECT_FALSE(cdsec::select_rule3(c->t, c->s2, c->first, 6, 3, lim, 1, passed, sums, spectrum_sum, true, labels(), out));
  EXPECT_NEAR(lim, 0.65f, 1e-6f);
  EXPECT_EQ(count_of(out.str(), "TotSOL"), 4);  // 0.25, 0.35, 0.45, 0.55
  // A limit that lands on 0.6 exactly gets one pass there, then the stage fails.
  float six = 0.6f;
  std::ostringstream out6;
  EXPECT_FALSE(cdsec::select_rule3(c->t, c->s2, c->first, 6, 3, six, 1, passed, sums, spectrum_sum, true, labels(), out6));
  EXPECT_EQ(six, 0.6f);
  EXPECT_EQ(count_of(out6.str(), "TotSOL"), 1);
  // ... unless that pass finds a solution.
  auto d = std::make_unique<Rule3Case>(std::vector<float>{0.6f});
  six = 0.6f;
  EXPECT_TRUE(cdsec::select_rule3(d->t, d->s2, d->first, 6, 3, six, 1, passed, sums, spectrum_sum, false, labels(), out6));
}

// ---------------------------------------------------------------- rule 4

TEST(HelixWindow, CasesByTheAllBasisHelix) {
  struct Case {
    float heldp, centre, hmin, hmax, shown;
  };
  const float lo = 0.40f, hi = 0.56f, last = 0.47f;
  const Case cases[] = {
      {0.65f, last, lo - 0.03f, 1.0f, (lo - 0.03f) - 0.03f},                       // case 1 from 0.65 on
      {0.90f, last, lo - 0.03f, 1.0f, (lo - 0.03f) - 0.03f},
      {std::nextafter(0.65f, 0.0f), (std::nextafter(0.65f, 0.0f) + hi) / 2.0f, 0, 0, 0},  // case 2
      {0.25f, (0.25f + hi) / 2.0f, 0, 0, 0},
      {std::nextafter(0.25f, 0.0f), std::nextafter(0.25f, 0.0f), 0, 0, 0},        // case 3
      {0.15f, 0.15f, 0, 0, 0},
      {std::nextafter(0.15f, 0.0f), (std::nextafter(0.15f, 0.0f) + lo) / 2.0f, 0, 0, 0},  // case 4
      {-0.2f, (-0.2f + lo) / 2.0f, 0, 0, 0},
  };
  for (const Case& c : cases) {
    float hmin = lo, hmax = hi, centre = last;
    const float shown = cdsec::helix_window(c.heldp, hmin, hmax, centre);
    EXPECT_EQ(centre, c.centre) << c.heldp;
    if (c.heldp >= 0.65f) {
      EXPECT_EQ(hmin, c.hmin);
      EXPECT_EQ(hmax, c.hmax);
      EXPECT_EQ(shown, c.shown);
    } else {
      EXPECT_EQ(hmin, c.centre - 0.03f) << c.heldp;
      EXPECT_EQ(hmax, c.centre + 0.03f) << c.heldp;
      EXPECT_EQ(shown, c.centre);
    }
  }
}

TEST(HelixMeasure, FirstClassAloneForSetsTwoAndFive) {
  EXPECT_FLOAT_EQ(cdsec::helix_of(0.3f, 0.2f, 1), 0.5f);
  EXPECT_FLOAT_EQ(cdsec::helix_of(0.3f, 0.2f, 8), 0.5f);
  EXPECT_FLOAT_EQ(cdsec::helix_of(0.3f, 0.2f, 2), 0.3f);
  EXPECT_FLOAT_EQ(cdsec::helix_of(0.3f, 0.2f, 5), 0.3f);
}

struct Rule4Case {
  SolutionTable t;
  SecondStageData s2;
  SolutionList second;
  explicit Rule4Case(std::vector<float> helix) {
    for (float h : helix) {
      add_solution(t, 9, 3, {h, 0.0f, 0.2f, 0.1f, 0.2f, 0.5f - h});
      const int n = t.count;
      s2.rms_small(n) = 0.125f;
      s2.calc(1, n) = h;
      second.pos[static_cast<std::size_t>(++second.count)] = n;
    }
  }
};

TEST(Rule4, WidensTheWindowUntilASolutionFallsInIt) {
  auto c = std::make_unique<Rule4Case>(std::vector<float>{0.52f, 0.60f});
  float hmin = 0.37f, hmax = 0.43f;  // centre 0.40
  SolutionList kept;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule4(c->t, c->s2, c->second, 6, 1, 1, 0.40f, hmin, hmax, 1, kept, sums, spectrum_sum, out));
  EXPECT_EQ(kept.count, 1);
  EXPECT_EQ(kept.pos[1], 1);
  // Three windows: (0.37, 0.43), (0.35, 0.47), (0.33, 0.51) is still short of
  // 0.52; the fourth, (0.31, 0.55), takes the first solution.
  const std::string r = out.str();
  EXPECT_EQ(count_of(r, " HLIMITS: "), 4) << r;
  EXPECT_NE(r.find(" HLIMITS:   0.310 --->  0.550\n\n   1   1   9  3  0.520  0.000  0.200  0.100  0.200 -0.020  1.000  0.125\n"),
            std::string::npos)
      << r;
  EXPECT_FLOAT_EQ(spectrum_sum(1), 0.52f);
  EXPECT_FLOAT_EQ(sums(1), 0.52f);
}

TEST(Rule4, EdgesOfTheWindowPass) {
  auto c = std::make_unique<Rule4Case>(std::vector<float>{0.375f, 0.4375f, 0.5f});
  float hmin = 0.375f, hmax = 0.4375f;
  SolutionList kept;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule4(c->t, c->s2, c->second, 6, 1, 1, 0.40f, hmin, hmax, 1, kept, sums, spectrum_sum, out));
  EXPECT_EQ(kept.count, 2);
  EXPECT_EQ(kept.pos[1], 1);
  EXPECT_EQ(kept.pos[2], 2);
}

TEST(Rule4, FailsOnceTheWindowHasGrownTooWide) {
  // Windows k = 0, 1, ... are shown while the lower edge, 0.03 + 0.02 k below
  // the centre, lies within 0.13 of it.  The edge of k = 5 lies 0.13 below
  // only up to rounding: compared as stored in single precision, it passes
  // for some centres and not for others.
  const struct {
    float centre;
    int windows;
  } cases[] = {{0.10f, 6}, {0.22f, 6}, {0.40f, 5}, {0.51f, 5}};
  for (const auto& k : cases) {
    auto c = std::make_unique<Rule4Case>(std::vector<float>{k.centre + 0.5f});
    float hmin = k.centre - 0.03f, hmax = k.centre + 0.03f;
    SolutionList kept;
    Vector<6> sums;
    Vector<kMaxPointsSC> spectrum_sum;
    std::ostringstream out;
    EXPECT_FALSE(
        cdsec::select_rule4(c->t, c->s2, c->second, 6, 1, 1, k.centre, hmin, hmax, 1, kept, sums, spectrum_sum, out));
    EXPECT_EQ(count_of(out.str(), " HLIMITS: "), k.windows) << k.centre << "\n" << out.str();
    // The limits are left as the refused window has them.
    EXPECT_NEAR(k.centre - hmin, 0.03f + 0.02f * static_cast<float>(k.windows), 1e-5f);
    EXPECT_NEAR(hmax - k.centre, 0.03f + 0.04f * static_cast<float>(k.windows), 1e-5f);
    EXPECT_EQ(kept.count, 0);
  }
}

TEST(Rule4, AWideFirstWindowGoesAheadWithoutItsLine) {
  // Case 1: the window reaches from below the least helical solution to 1.0,
  // further below the centre than the line's limit.
  auto c = std::make_unique<Rule4Case>(std::vector<float>{0.7f, 0.95f});
  float hmin = 0.67f, hmax = 1.0f;
  SolutionList kept;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule4(c->t, c->s2, c->second, 6, 1, 1, 0.95f, hmin, hmax, 1, kept, sums, spectrum_sum, out));
  EXPECT_EQ(kept.count, 2);
  EXPECT_EQ(count_of(out.str(), "HLIMITS"), 0);
  // Nothing in it: the next window is refused at once.
  auto d = std::make_unique<Rule4Case>(std::vector<float>{1.2f});
  hmin = 0.67f;
  hmax = 1.0f;
  std::ostringstream out2;
  EXPECT_FALSE(cdsec::select_rule4(d->t, d->s2, d->second, 6, 1, 1, 1.2f, hmin, hmax, 1, kept, sums, spectrum_sum, out2));
  EXPECT_EQ(out2.str(), "");
}

// ---------------------------------------------------------------- whole analyses

// A deterministic synthetic working set: six basis spectra made of Gaussian
// bands, proteins as mixtures of them with fractions summing to 1, and a
// little noise.
class Synthetic {
 public:
  explicit Synthetic(std::uint32_t seed) : state_(seed) {}
  float uniform() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<float>(state_ >> 8) * (1.0f / 16777216.0f);
  }
  static float basis(int k, int i) {
    const float wl = 260.0f - static_cast<float>(i - 1);
    auto band = [wl](float a, float c, float w) { return a * std::exp(-((wl - c) / w) * ((wl - c) / w)); };
    switch (k) {
      case 1: return band(-11.0f, 222.0f, 10.0f) + band(-10.0f, 208.0f, 6.0f) + band(24.0f, 192.0f, 8.0f);
      case 2: return band(-6.0f, 222.0f, 10.0f) + band(-6.0f, 206.0f, 6.0f) + band(12.0f, 194.0f, 8.0f);
      case 3: return band(-5.0f, 217.0f, 9.0f) + band(8.0f, 196.0f, 7.0f);
      case 4: return band(-3.0f, 214.0f, 9.0f) + band(4.0f, 192.0f, 7.0f);
      case 5: return band(-1.0f, 225.0f, 8.0f) + band(2.0f, 205.0f, 6.0f) + band(-3.0f, 186.0f, 6.0f);
      default: return band(-5.0f, 198.0f, 7.0f) + band(-0.5f, 220.0f, 8.0f);
    }
  }
  void protein(float* frac, float* cd, int nw, float noise) {
    float s = 0.0f;
    for (int k = 0; k < 6; ++k) s += (frac[k] = uniform() + 0.05f);
    for (int k = 0; k < 6; ++k) frac[k] = std::round(frac[k] / s * 1000.0f) / 1000.0f;
    for (int i = 1; i <= nw; ++i) {
      float v = 0.0f;
      for (int k = 1; k <= 6; ++k) v += frac[k - 1] * basis(k, i);
      cd[i - 1] = v + noise * (uniform() - 0.5f);
    }
  }

 private:
  std::uint32_t state_;
};

struct Analysis {
  cdsec::WorkingSet ws;
  Vector<kMaxPointsSC> sample;
  cdsec::GetstrWork work;
  int nw = 83;
  float first = 260.0f, last = 178.0f;

  // np - 1 references ordered by distance as ORDER leaves them, guess = row 2.
  void build(int np, std::uint32_t seed, float sample_scale = 1.0f) {
    Synthetic g(seed);
    float frac[6], cd[83];
    g.protein(frac, cd, nw, 0.05f);
    for (int i = 1; i <= nw; ++i) sample(i) = cd[i - 1] * sample_scale;
    ws.np = np;
    for (int i = 1; i <= nw; ++i) ws.cd(i, 1) = sample(i);
    struct Ref {
      float d;
      float f[6];
      float cd[83];
    };
    std::vector<Ref> refs(static_cast<std::size_t>(np - 1));
    for (Ref& r : refs) {
      g.protein(r.f, r.cd, nw, 0.05f);
      float s = 0.0f;
      for (int i = 1; i <= nw; ++i) s += (r.cd[i - 1] - sample(i)) * (r.cd[i - 1] - sample(i));
      r.d = std::sqrt(s / static_cast<float>(nw));
    }
    std::stable_sort(refs.begin(), refs.end(), [](const Ref& a, const Ref& b) { return a.d < b.d; });
    for (int p = 2; p <= np; ++p) {
      const Ref& r = refs[static_cast<std::size_t>(p - 2)];
      for (int i = 1; i <= nw; ++i) ws.cd(i, p) = r.cd[i - 1];
      for (int j = 1; j <= 6; ++j) ws.ss(p, j) = r.f[j - 1];
      ws.dist(p) = r.d;
    }
    for (int j = 1; j <= 6; ++j) ws.ss(1, j) = ws.ss(2, j);
  }

  cdsec::GetstrInput input(bool print = false) {
    cdsec::GetstrInput in;
    in.np = ws.np;
    in.nw = nw;
    in.ns = 6;
    in.sample = sample;
    in.name = "TEST";
    in.first = first;
    in.last = last;
    in.cd = ws.cd;
    in.ss = ws.ss;
    in.print_keyword = print ? "PRNT" : "    ";
    in.segment_flag = 1;
    in.ibasis = 1;
    in.labels = labels();
    in.title = "Synthetic test protein";
    return in;
  }
};

class WholeAnalysis : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("cdsec_getstr_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir_);
    protss_ = (dir_ / "ProtSS.out").string();
    std::filesystem::remove(protss_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  GetstrOutcome run(Analysis& a, bool print = false) {
    cdsec::GetstrFiles files{report_, calccd_, protss_};
    return cdsec::GETSTR(a.input(print), a.work, files);
  }
  std::string protss() const {
    std::ifstream in(protss_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path dir_;
  std::string protss_;
  std::ostringstream report_;
  std::stringstream calccd_;
};

TEST_F(WholeAnalysis, FewerThanSixProteinsFailAtTheFirstIteration) {
  auto a = std::make_unique<Analysis>();
  a->build(5, 11);
  EXPECT_EQ(run(*a), GetstrOutcome::kFirstStageFailed);
  const std::string r = report_.str();
  EXPECT_NE(r.find("\n\n *** MORVAN FAILED ***\n\n  NO SOLUTIONS are obtained even with 0.85 < SumSS  < 1.15; 15% error\n"
                   "\n  CHECK DATA\n\n    RESULT at ITER:  1 Str:"),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("  PROTEIN:  TEST\n  CD SPECTRA:\n"), std::string::npos);
  EXPECT_EQ(count_of(r, "ITER:"), 1);  // the failure line only
  EXPECT_EQ(calccd_.str(), "");
  EXPECT_FALSE(std::filesystem::exists(protss_));
  // The spectrum is listed 10 values to a line: 9 lines for 83 points.
  const auto l = lines_of(r.substr(r.find("  CD SPECTRA:\n") + 14));
  ASSERT_EQ(l.size(), 9u);
  EXPECT_EQ(l[8].size(), 24u);
}

TEST_F(WholeAnalysis, CompletedAnalysisReplacesTheSecondStageTable) {
  auto a = std::make_unique<Analysis>();
  a->build(20, 5);
  calccd_ << "earlier job\n";
  ASSERT_EQ(run(*a), GetstrOutcome::kCompleted);
  const std::string r = report_.str();
  ASSERT_NE(r.find(" Final Solution: Aver. of"), std::string::npos) << r;
  const auto l = lines_of(calccd_.str());
  ASSERT_EQ(l.size(), 1u + 1u + 83u);
  EXPECT_EQ(l[0], "earlier job");
  EXPECT_EQ(l[1], "    WL(nm)   Expt_CD   Calc_CD");
  EXPECT_EQ(l[2].substr(0, 20), "    260.00" + cdsec::format("[F10.2]", a->sample(1)).substr(0, 10));
  EXPECT_EQ(l[84].substr(0, 10), "    178.00");
  // The table holds the final average: its RMS against the sample is the
  // one the final line reports.
  const std::string rms = cdsec::format("[F7.3]", cdsec::RMS(a->sample, a->work.avg, 83));
  EXPECT_NE(r.find(" RMSD between Expt. & Calc. CD=" + rms.substr(0, 7)), std::string::npos) << rms;
  for (int i = 1; i <= 83; ++i)
    EXPECT_EQ(l[static_cast<std::size_t>(i + 1)].substr(20), cdsec::format("[F10.2]", a->work.avg(i)).substr(0, 10));
  // One summary record of 8 lines.
  const auto rec = lines_of(protss());
  ASSERT_EQ(rec.size(), 8u);
  EXPECT_EQ(rec[2], " SAMPLE:  Synthetic test protein" + std::string(64 - 22, ' '));
  EXPECT_EQ(rec[4], " Protein Set: 29 Reference Set");
  // Both comparison blocks and both segment blocks.
  EXPECT_EQ(count_of(r, "COMPARISON OF EXPT. AND CALC. CD"), 2);
  EXPECT_EQ(count_of(r, "Based on the SOLUTION the Number of SEGMENTS"), 2);
  EXPECT_EQ(count_of(r, "LEGEND:"), 2);
}

TEST_F(WholeAnalysis, KeepsWhatTheReportPrintsForTheRunRecord) {
  auto a = std::make_unique<Analysis>();
  a->build(20, 5);
  ASSERT_EQ(run(*a), GetstrOutcome::kCompleted);
  const std::string r = report_.str();
  const cdsec::GetstrWork& w = a->work;
  // The all-basis line: five blanks, six fractions and their sum.
  ASSERT_TRUE(w.all_basis_made);
  const std::string all = cdsec::format("[5X, 7F7.3]", w.all_basis.first(6), w.all_basis_sum);
  EXPECT_NE(r.find(" and 5 SVD vectors\n This corresponds to Dravik and Pellam Method\n\n"), std::string::npos) << r;
  EXPECT_NE(r.find(all), std::string::npos) << all;
  // The final line and the rule-4 list it averages.
  const std::string fin = cdsec::format("[1X, A4, 9F7.3]", std::string_view("TEST"), w.final_fractions.first(6),
                                        sum_of6(w.final_fractions), w.final_rms);
  EXPECT_NE(r.find(" PROT   H(r)   H(d)   S(r)   S(d)   Trn    Unrd   SUM    RRcn\n" + fin), std::string::npos)
      << fin << "\n" << r;
  ASSERT_GT(w.fourth.count, 0);
  EXPECT_NE(r.find(" Final Solution: Aver. of" + cdsec::format("[I3]", w.fourth.count).substr(0, 3) + " Solns\n"), std::string::npos);
  for (int j = 1; j <= 6; ++j) {
    float s = 0.0f;
    for (int m = 1; m <= w.fourth.count; ++m) s = s + w.table.frac(w.fourth.pos[static_cast<std::size_t>(m)], j);
    EXPECT_EQ(w.final_fractions(j), s / static_cast<float>(w.fourth.count)) << j;
  }
  // Each kept solution passed rules 3 and 4: it is in the second-stage list.
  for (int m = 1; m <= w.fourth.count; ++m) {
    bool found = false;
    for (int k = 1; k <= w.second.count; ++k)
      found = found || w.second.pos[static_cast<std::size_t>(k)] == w.fourth.pos[static_cast<std::size_t>(m)];
    EXPECT_TRUE(found) << m;
  }
}

TEST_F(WholeAnalysis, NoFinalFieldsWhenTheAnalysisFails) {
  auto a = std::make_unique<Analysis>();
  a->build(20, 5);
  ASSERT_EQ(run(*a), GetstrOutcome::kCompleted);
  // The same work area again, for a sample that fails at the first stage.
  auto b = std::make_unique<Analysis>();
  b->build(20, 5, -1.0f);
  std::swap(b->work.fourth, a->work.fourth);
  b->work.final_rms = 1.0f;
  EXPECT_EQ(cdsec::GETSTR(b->input(), b->work, cdsec::GetstrFiles{report_, calccd_, protss_}),
            GetstrOutcome::kFirstStageFailed);
  EXPECT_EQ(b->work.fourth.count, 0);
  EXPECT_EQ(b->work.final_rms, 0.0f);
  EXPECT_TRUE(b->work.all_basis_made);
}

TEST_F(WholeAnalysis, TrialSolutionsMatchADirectRecomputation) {
  auto a = std::make_unique<Analysis>();
  a->build(24, 9);
  run(*a, true);
  // Recompute the last iteration's table as the method states it: for each
  // subset its own sorted decomposition, then the truncated solution
  // combined with the structure rows (row 1 holds the guess it used).
  auto svd = std::make_unique<cdsec::GetstrWork>();
  const SolutionTable& t = a->work.table;
  int n = 0;
  for (int nb = 6; nb <= 24; ++nb) {
    cdsec::SVD(83, nb, a->ws.cd, svd->w, true, svd->u, true, svd->v, svd->rv1, 30);
    cdsec::EIGEN(nb, 83, svd->w, svd->u, svd->v);
    for (int nv = 1; nv <= 8 && nv < nb - 2; ++nv) {
      ++n;
      ASSERT_LE(n, t.count);
      EXPECT_EQ(t.nbas[static_cast<std::size_t>(n)], nb);
      EXPECT_EQ(t.nsv[static_cast<std::size_t>(n)], nv);
      cdsec::SVSOL(nv, 83, nb, svd->w, svd->u, svd->v, a->sample, svd->weights);
      for (int j = 1; j <= 6; ++j) {
        float f = 0.0f;
        for (int p = 1; p <= nb; ++p) f = f + a->ws.ss(p, j) * svd->weights(p);
        EXPECT_EQ(t.frac(n, j), f) << "solution " << n << " class " << j;
      }
    }
  }
  EXPECT_EQ(n, t.count);
  EXPECT_EQ(n, 3 + 4 + 5 + 6 + 7 + 8 * 14);
  // The decomposition the second stage used is that of the whole set.
  cdsec::SVD(83, 24, a->ws.cd, svd->w, true, svd->u, true, svd->v, svd->rv1, 30);
  cdsec::EIGEN(24, 83, svd->w, svd->u, svd->v);
  for (int k = 1; k <= 24; ++k) EXPECT_EQ(a->work.w(k), svd->w(k));
}

TEST_F(WholeAnalysis, SecondStageSpectraMatchADirectRecomputation) {
  // Each solution's reconstruction and calculated spectrum, made as the
  // method states them: SVREC of its own rank and subset from the whole
  // set's decomposition, and the decomposition of its own structure rows.
  for (const auto& [np, seed] : {std::pair{24, 9}, std::pair{51, 4}, std::pair{9, 2}}) {
    auto a = std::make_unique<Analysis>();
    a->build(np, static_cast<std::uint32_t>(seed));
    report_.str("");
    ASSERT_NE(run(*a), GetstrOutcome::kFirstStageFailed) << np;
    const cdsec::GetstrWork& w = a->work;
    ASSERT_GT(w.first.count, 0);
    auto d = std::make_unique<cdsec::GetstrWork>();
    cdsec::SVD(83, np, a->ws.cd, d->w, true, d->u, true, d->v, d->rv1, 30);
    cdsec::EIGEN(np, 83, d->w, d->u, d->v);
    auto b = std::make_unique<cdsec::Matrix<kMaxPointsSC, cdsec::kMaxWorkingSet>>();
    cdsec::StructureSvd sd;
    Vector<6> f;
    Vector<kMaxPointsSC> r, c;
    for (int k = 1; k <= w.first.count; ++k) {
      const int n = w.first.pos[static_cast<std::size_t>(k)];
      const int nbas = w.table.nbas[static_cast<std::size_t>(n)];
      const int nsv = w.table.nsv[static_cast<std::size_t>(n)];
      cdsec::SVREC(nsv, 83, nbas, d->w, d->u, d->v, *b);
      cdsec::SVD(nbas, 6, a->ws.ss, sd.w, true, sd.u, true, sd.v, d->rv1, 30);
      for (int j = 1; j <= 6; ++j) f(j) = w.table.frac(n, j);
      cdsec::SVSOLT(nbas, 6, sd.w, sd.u, sd.v, f, d->y);
      for (int i = 1; i <= 83; ++i) {
        r(i) = (*b)(i, 1);
        float s = 0.0f;
        for (int p = 1; p <= nbas; ++p) s = s + (*b)(i, p) * d->y(p);
        c(i) = s;
        ASSERT_EQ(w.stage2.calc(i, n), c(i)) << "np " << np << " solution " << n << " point " << i;
      }
      EXPECT_EQ(w.stage2.rms_rec(n), cdsec::RMS(r, c, 83)) << n;
      EXPECT_EQ(w.stage2.rms_exp(n), cdsec::RMS(a->sample, r, 83)) << n;
    }
  }
}

TEST_F(WholeAnalysis, InvertedOrWeakSpectraFindNoSolution) {
  // Fitted by the references, a spectrum of the wrong sign or a tenth of the
  // usual size gives fractions that sum far from 1 in every trial.
  for (float scale : {-1.0f, 0.1f}) {
    auto a = std::make_unique<Analysis>();
    a->build(20, 5, scale);
    report_.str("");
    EXPECT_EQ(run(*a), GetstrOutcome::kFirstStageFailed) << scale;
    EXPECT_NE(report_.str().find(" *** MORVAN FAILED ***"), std::string::npos);
  }
}

TEST_F(WholeAnalysis, PrintingAddsTheIterationListings) {
  auto a = std::make_unique<Analysis>();
  a->build(14, 3);
  run(*a, false);
  const std::string quiet = report_.str();
  report_.str("");
  auto b = std::make_unique<Analysis>();
  b->build(14, 3);
  run(*b, true);
  const std::string loud = report_.str();
  EXPECT_EQ(count_of(quiet, " ITERATION:"), 0);
  EXPECT_GT(count_of(loud, " ITERATION:"), 0);
  EXPECT_EQ(count_of(loud, " ITERATION:"), count_of(loud, "\n ITER:"));
  // The same analysis either way: the iterations' averages agree.
  const auto averages = [](const std::string& s) {
    std::vector<std::string> out;
    for (const std::string& l : lines_of(s))
      if (l.find("; AVE OF ") != std::string::npos || l.find("RMSD with") != std::string::npos) out.push_back(l);
    return out;
  };
  EXPECT_FALSE(averages(quiet).empty());
  EXPECT_EQ(averages(quiet), averages(loud));
}

}  // namespace
