// The stages of the self-consistent analysis where the golden cases do not
// reach: the rank reductions against the full decomposition, the limits of
// rules 1 to 4 at their exact edges, the helix window's cases, and the trial
// and second-stage solutions of a synthetic working set against a direct
// recomputation.  Relaxation, failures and listings are pinned by the
// MORVAN3 golden cases.
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

#include "../scratch_dir.hpp"

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
    protss_ = (dir_ / "ProtSS.out").string();
    std::filesystem::remove(protss_);
  }

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

  cdsec_test::ScratchDir scratch_{"getstr"};
  const std::filesystem::path& dir_ = scratch_.path();
  std::string protss_;
  std::ostringstream report_;
  std::stringstream calccd_;
};

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

}  // namespace
