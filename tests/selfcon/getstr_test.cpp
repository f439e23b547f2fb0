// The stages of the self-consistent analysis where the golden cases do not
// reach: the rank reductions against the full decomposition, the limits of
// rules 1 to 4 at their exact edges and the helix window's cases.  The
// trial and second-stage solutions, relaxation, failures and listings are
// pinned by the MORVAN3 golden cases (the printed ones list every trial).
#include "selfcon/getstr.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/svd.hpp"

namespace {

using cdsec::kMaxPointsSC;
using cdsec::Rule12Limits;
using cdsec::SecondStageData;
using cdsec::SolutionList;
using cdsec::SolutionTable;
using cdsec::Vector;

const std::array<std::string_view, 6> kLabels = {"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
std::span<const std::string_view> labels(int ns = 6) { return {kLabels.data(), static_cast<std::size_t>(ns)}; }

void add_solution(SolutionTable& t, int nbas, int nsv, std::vector<float> f) {
  const int n = ++t.count;
  t.nbas[static_cast<std::size_t>(n)] = nbas;
  t.nsv[static_cast<std::size_t>(n)] = nsv;
  for (std::size_t j = 0; j < f.size(); ++j) t.frac(n, static_cast<int>(j) + 1) = f[j];
}

// The positions a list holds.
std::vector<int> positions(const SolutionList& l) { return {l.pos.begin() + 1, l.pos.begin() + 1 + l.count}; }

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

// ---------------------------------------------------------------- rules 1 and 2

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
  EXPECT_EQ(positions(acc), (std::vector<int>{1, 2, 5}));
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

TEST(Rule4, EdgesOfTheWindowPass) {
  auto c = std::make_unique<Rule4Case>(std::vector<float>{0.375f, 0.4375f, 0.5f});
  float hmin = 0.375f, hmax = 0.4375f;
  SolutionList kept;
  Vector<6> sums;
  Vector<kMaxPointsSC> spectrum_sum;
  std::ostringstream out;
  ASSERT_TRUE(cdsec::select_rule4(c->t, c->s2, c->second, 6, 1, 1, 0.40f, hmin, hmax, 1, kept, sums, spectrum_sum, out));
  EXPECT_EQ(positions(kept), (std::vector<int>{1, 2}));
}

}  // namespace
