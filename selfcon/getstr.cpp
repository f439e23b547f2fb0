#include "selfcon/getstr.hpp"

#include <cmath>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "frame/summary.hpp"
#include "frame/svd.hpp"
#include "selfcon/plot.hpp"

namespace cdsec {

namespace {

constexpr int kSvdIterations = 30;
constexpr float kConverged = 0.005f;  // RMS change of the guess that ends the first stage
constexpr float kSumLimStop = 0.14f;  // rule 1 is not relaxed beyond this
constexpr float kRmsLimStop = 0.6f;   // nor rule 3 beyond this
constexpr float kHelixStep = 0.03f;   // half-width of the first helix window
constexpr float kWindowReach = 0.13f; // widest distance of the window's lower edge from its centre
constexpr std::string_view kSum = "SUM ", kRRcn = "RRcn", kRExp = "RExp";

// Column headings: the class labels followed by the extra columns.
struct Headings {
  std::array<std::string_view, 9> text{};
  int n = 0;
  Headings(std::span<const std::string_view> labels, std::initializer_list<std::string_view> extra) {
    for (std::string_view l : labels) text[static_cast<std::size_t>(n++)] = l;
    for (std::string_view e : extra) text[static_cast<std::size_t>(n++)] = e;
  }
  std::span<const std::string_view> span() const { return {text.data(), static_cast<std::size_t>(n)}; }
};

std::span<const float> row_span(const Matrix<kMaxSolutions, 6>& m, int n, int ns, Vector<6>& buf) {
  for (int j = 1; j <= ns; ++j) buf(j) = m(n, j);
  return buf.first(ns);
}

float sum_of(std::span<const float> f) {
  float s = 0.0f;
  for (float x : f) s = s + x;
  return s;
}

void rule(std::ostream& out) { put(out, R"([/, 80("_"), /])"); }

void segment_block(std::ostream& out, VecView<const float> fractions) {
  const Segments s = SEGMENT(fractions, 6);
  put(out,
      R"([/, 5X, "+", 50("-"), "+", /, 5X, "|  Based on the SOLUTION", " the Number of SEGMENTS of |", /, 5X, "|   HELICES (Per 100", " Residues) are:", F10.3, 5X, " |", /, 5X, "|   STRANDS (Per 100", " Residues) are:", F10.3, 5X, " |", /, 5X, "+", 50("-"), "+"])",
      s.helix_segments, s.strand_segments);
  put(out,
      R"([/, /, "  For YOUR PROTEIN multiply No. of SEGMENTS by", /, "  (Number of Residues) / 100", /, "  e.g., If Number of", " Residues = 153,  Use a FACTOR of 1.53", /, /, "  Average Length of Segments Remains as Estimated"])");
  put(out,
      R"([/, 5X, "+", 50("-"), "+", /, 5X, "|  Based on the SOLUTION", " Obtained                  |", /, 5X, "|   The AVERAGE LENGTH of HELICES :", F10.3, 5X, " |", /, 5X, "|   The AVERAGE LENGTH of STRANDS :", F10.3, 5X, " |", /, 5X, "+", 50("-"), "+"])",
      s.helix_length, s.strand_length);
}

void calccd_table(std::ostream& out, const GetstrInput& in, VecView<const float> calc) {
  for (int i = 1; i <= in.nw; ++i)
    put(out, R"([3F10.2])", in.first - static_cast<float>(i - 1), in.sample(i), calc(i));
}

}  // namespace

void rank_reductions(int kmax, int m, int p, VecView<const float> w, MatrixView<const float> u,
                     MatrixView<const float> v, std::span<Matrix<kMaxPointsSC, kMaxWorkingSet>> rank) {
  for (int k = 1; k <= kmax; ++k) {
    Matrix<kMaxPointsSC, kMaxWorkingSet>& b = rank[static_cast<std::size_t>(k - 1)];
    const float wk = w(k);
    for (int q = 1; q <= p; ++q) {
      const float vq = v(q, k);
      if (k == 1) {
        for (int i = 1; i <= m; ++i) b(i, q) = 0.0f + u(i, k) * vq * wk;
      } else {
        const Matrix<kMaxPointsSC, kMaxWorkingSet>& a = rank[static_cast<std::size_t>(k - 2)];
        for (int i = 1; i <= m; ++i) b(i, q) = a(i, q) + u(i, k) * vq * wk;
      }
    }
  }
}

// ---------------------------------------------------------------- rules 1 and 2

bool select_rules12(const SolutionTable& table, int ns, Rule12Limits& lim, SolutionList& accepted, Vector<6>& sums,
                    bool print, std::span<const std::string_view> labels, std::ostream& report) {
  const Headings head(labels, {kSum});
  Vector<6> f;
  for (;;) {
    if (!(lim.sumlim < kSumLimStop)) return false;
    if (print) {
      put(report, R"([/, "  TotSOL >", I3, /, "  Limits: ABS(Sum-1.0) <", F7.3, "; Each Fraction >", F7.3])",
          lim.minsol, lim.sumlim, lim.fracmin);
      put(report, R"(["NSol NBas Ns", 2X, A4, 6(3X, A4)])", head.span());
    }
    accepted.count = 0;
    sums.fill(0.0f);
    for (int n = 1; n <= table.count; ++n) {
      bool low = false;
      for (int j = 1; j <= ns; ++j)
        if (table.frac(n, j) < lim.fracmin) low = true;
      if (low) continue;
      const std::span<const float> fr = row_span(table.frac, n, ns, f);
      const float sum = sum_of(fr);
      if (!(std::fabs(sum - 1.0f) <= lim.sumlim)) continue;
      accepted.pos[static_cast<std::size_t>(++accepted.count)] = n;
      for (int j = 1; j <= ns; ++j) sums(j) = sums(j) + f(j);
      if (print)
        put(report, R"([2I4, I3, 7F7.3])", n, table.nbas[static_cast<std::size_t>(n)],
            table.nsv[static_cast<std::size_t>(n)], fr, sum);
    }
    if (accepted.count >= lim.minsol) return true;
    if (lim.sumlim < kSumLimStop) {
      lim.sumlim = lim.sumlim + 0.02f;
      lim.fracmin = lim.fracmin - 0.01f;
    }
  }
}

// ---------------------------------------------------------------- rule 3

bool select_rule3(const SolutionTable& table, const SecondStageData& s2, const SolutionList& first, int ns, int nw,
                  float& rmslim, int minsol, SolutionList& passed, Vector<6>& sums, Vector<kMaxPointsSC>& spectrum,
                  bool print, std::span<const std::string_view> labels, std::ostream& report) {
  const Headings head(labels, {kSum, kRRcn, kRExp});
  Vector<6> f;
  for (;;) {
    passed.count = 0;
    sums.fill(0.0f);
    spectrum.fill(0.0f);
    if (!(rmslim <= kRmsLimStop)) return false;
    if (print) {
      put(report, R"([/, " TotSOL >", I3, "; Limits: RmsLim  <", F7.3])", minsol, rmslim);
      put(report, R"(["   I NSol Bas NS", 9(3X, A4)])", head.span());
    }
    for (int k = 1; k <= first.count; ++k) {
      const int n = first.pos[static_cast<std::size_t>(k)];
      const std::span<const float> fr = row_span(table.frac, n, ns, f);
      const float sum = sum_of(fr);
      if (!(s2.rms_small(n) <= rmslim)) continue;
      passed.pos[static_cast<std::size_t>(++passed.count)] = n;
      for (int j = 1; j <= ns; ++j) sums(j) = sums(j) + f(j);
      for (int i = 1; i <= nw; ++i) spectrum(i) = spectrum(i) + s2.calc(i, n);
      put(report, R"([3I4, I3, 10F7.3])", passed.count, n, table.nbas[static_cast<std::size_t>(n)],
          table.nsv[static_cast<std::size_t>(n)], fr, sum, s2.rms_exp(n), s2.rms_rec(n));
    }
    if (passed.count >= minsol) return true;
    // A limit that has reached 0.6 exactly is not raised again: the stage
    // fails instead of repeating the same empty pass.
    if (!(rmslim < kRmsLimStop)) return false;
    rmslim = rmslim + 0.1f;
  }
}

// ---------------------------------------------------------------- rule 4

float helix_window(float heldp, float& hmin, float& hmax, float& centre) {
  if (heldp >= 0.65f) {
    // A mostly helical protein: keep everything from just below the least
    // helical second-stage solution upwards.
    hmin = hmin - kHelixStep;
    hmax = 1.0f;
    return hmin - kHelixStep;
  }
  if (heldp >= 0.25f)
    centre = (heldp + hmax) / 2.0f;
  else if (heldp >= 0.15f)
    centre = heldp;
  else
    centre = (heldp + hmin) / 2.0f;
  hmin = centre - kHelixStep;
  hmax = centre + kHelixStep;
  return centre;
}

bool select_rule4(const SolutionTable& table, const SecondStageData& s2, const SolutionList& second, int ns,
                  int nw, int ibasis, float centre, float& hmin, float& hmax, int minsol, SolutionList& kept,
                  Vector<6>& sums, Vector<kMaxPointsSC>& spectrum, std::ostream& report) {
  Vector<6> f;
  int previous = second.count;
  for (;;) {
    if (std::fabs(centre - hmin) <= kWindowReach)
      put(report, R"([" HLIMITS: ", F7.3, " --->", F7.3, /])", hmin, hmax);
    else if (previous == 0)
      return false;
    kept.count = 0;
    sums.fill(0.0f);
    spectrum.fill(0.0f);
    for (int m = 1; m <= second.count; ++m) {
      const int n = second.pos[static_cast<std::size_t>(m)];
      const float h = helix_fraction(table.frac(n, 1), table.frac(n, 2), ibasis);
      if (!(hmin <= h && h <= hmax)) continue;
      kept.pos[static_cast<std::size_t>(++kept.count)] = n;
      const std::span<const float> fr = row_span(table.frac, n, ns, f);
      for (int j = 1; j <= ns; ++j) sums(j) = sums(j) + f(j);
      for (int i = 1; i <= nw; ++i) spectrum(i) = spectrum(i) + s2.calc(i, n);
      put(report, R"([3I4, I3, 9F7.3])", kept.count, m, table.nbas[static_cast<std::size_t>(n)],
          table.nsv[static_cast<std::size_t>(n)], fr, sum_of(fr), s2.rms_small(n));
    }
    if (kept.count >= minsol) return true;
    previous = kept.count;
    const float lower = hmin;
    hmin = hmin - 0.02f;
    hmax = hmax + 0.02f;
    hmax = hmax + 0.02f;
    // A lower limit that the step no longer moves (so far from zero that
    // single precision cannot hold the difference; an absurd all-basis helix
    // puts the centre there) would keep the window test passing for ever,
    // and one that is not a number at all can never admit a solution: the
    // widest window has been tried.
    if (hmin == lower || !std::isfinite(hmin)) return false;
  }
}

// ---------------------------------------------------------------- the analysis

namespace {

// The stages share these values within one call.
struct Run {
  const GetstrInput& in;
  GetstrWork& wk;
  std::ostream& out;
  bool print;
  Vector<6> fraction, guess, sums;
  float heldp = 0.0f;
  Rule12Limits lim{};
  float rmslim = 0.0f;
  int iter = 0;

  Run(const GetstrInput& i, GetstrWork& w, std::ostream& o)
      : in(i), wk(w), out(o), print(i.print_keyword == "PRNT") {}

  // SVD of the first nb columns of the CD matrix, sorted by EIGEN.
  void decompose(int nb, VecView<float> w, MatrixView<float> u, MatrixView<float> v) {
    SVD(in.nw, nb, in.cd, w, true, u, true, v, wk.rv1, kSvdIterations);
    EIGEN(nb, in.nw, w, u, v);
  }

  void trials();
  void all_basis_estimate();
  bool first_stage();
  void second_stage_spectra();
  bool second_stage();
  bool rule4();
};

// The (NB, NV) trials: the sample and its NB - 1 closest references,
// NV singular vectors while NV < NB - 2.  Their protein weights, and the
// decomposition of the whole set, are all the CD matrix contributes to the
// analysis.
void Run::trials() {
  const int np = in.np;
  SolutionTable& tab = wk.table;
  tab.count = 0;
  decompose(np, wk.w, wk.u, wk.v);
  for (int nb = 6; nb <= np; ++nb) {
    const bool all = nb == np;
    if (!all) decompose(nb, wk.sub_w, wk.sub_u, wk.sub_v);
    const Vector<kMaxWorkingSet>& w = all ? wk.w : wk.sub_w;
    const Matrix<kMaxPointsSC, kMaxWorkingSet>& u = all ? wk.u : wk.sub_u;
    const Matrix<kMaxWorkingSet, kMaxWorkingSet>& v = all ? wk.v : wk.sub_v;
    for (int nv = 1; nv <= kMaxTrialVectors && nv < nb - 2; ++nv) {
      const int n = ++tab.count;
      tab.nbas[static_cast<std::size_t>(n)] = nb;
      tab.nsv[static_cast<std::size_t>(n)] = nv;
      VecView<float> wt(&wk.trial_weights(1, n), kMaxWorkingSet);
      SVSOL(nv, in.nw, nb, w, u, v, in.sample, wt);
    }
  }
}

void Run::all_basis_estimate() {
  const int np = in.np, ns = in.ns;
  // Five singular vectors; a set of fewer proteins has only that many.
  SVSOL(np < 5 ? np : 5, in.nw, np, wk.w, wk.u, wk.v, in.sample, wk.weights);
  // The sample's own row takes part in the sum: repeating the combination
  // lets its (clipped) fractions settle.
  float sum = 0.0f;
  for (int pass = 1; pass <= 10; ++pass) {
    for (int j = 1; j <= ns; ++j) {
      float f = 0.0f;
      for (int p = 1; p <= np; ++p) f = f + in.ss(p, j) * wk.weights(p);
      fraction(j) = f;
    }
    sum = sum_of(fraction.first(ns));
    for (int j = 1; j <= ns; ++j) in.ss(1, j) = fraction(j) < 0.0f ? 0.0f : fraction(j);
  }
  wk.all_basis = fraction;
  wk.all_basis_sum = sum;
  wk.all_basis_made = true;
  put(out,
      R"([/, " Solution Corresponding to All proteins in the Basis", " and 5 SVD vectors", /, " This corresponds to Dravik", " and Pellam Method", /, /, 5X, 7(3X, A4)])",
      Headings(in.labels, {kSum}).span());
  put(out, R"([5X, 7F7.3])", fraction.first(ns), sum);
  heldp = helix_fraction(fraction(1), fraction(2), in.ibasis);
  put(out, R"([/, " Helix From D & P Method:", F8.3, /])", heldp);
  rule(out);
}

bool Run::first_stage() {
  const int np = in.np, ns = in.ns;
  SolutionTable& tab = wk.table;
  for (int j = 1; j <= ns; ++j) guess(j) = np >= 2 ? in.ss(2, j) : 0.0f;
  float rmsd = 1.0f;
  put(out,
      R"([/, " FIRST STAGE:", /, " Solutions With FIRST TWO Selection Rules:", /, " This is for the First", I3, " Iterations only", /, " Constraints relaxed to get a MIN # of Solns", /, /])",
      in.iteration_bound - 1);

  Vector<6> previous;
  wk.first.count = 0;
  for (iter = 1; iter <= in.iteration_bound - 1; ++iter) {
    if (rmsd < kConverged) {
      put(out, R"([/, " SOLN. CONVERGED:", I3, " ITERATIONS", /])", iter - 1);
      put(out, R"([/, " MinSol:", I3, "  SUM <", F7.3])", lim.minsol, lim.sumlim);
      put(out, R"([/, "  Solution at the END of FIRST STAGE:", /, /, 3X, 7(3X, A4)])",
          Headings(in.labels, {kSum}).span());
      put(out, R"([3X, 7F7.3])", guess.first(ns), sum_of(guess.first(ns)));
      return true;
    }
    if (print) put(out, R"([/, " ITERATION:", I4, /])", iter);
    for (int j = 1; j <= ns; ++j) in.ss(1, j) = guess(j);
    lim = {in.sum_tolerance, in.min_fraction, 1};
    rmslim = in.rms_limit;

    for (int n = 1; n <= tab.count; ++n) {
      const int nb = tab.nbas[static_cast<std::size_t>(n)];
      for (int j = 1; j <= ns; ++j) {
        float f = 0.0f;
        for (int p = 1; p <= nb; ++p) f = f + in.ss(p, j) * wk.trial_weights(p, n);
        tab.frac(n, j) = f;
      }
    }

    const int previous_count = wk.first.count;
    wk.first.count = 0;
    if (!select_rules12(tab, ns, lim, wk.first, sums, print, in.labels, out)) {
      if (iter == 1) {
        put(out,
            R"([/, /, " *** MORVAN FAILED ***", /, /, "  NO SOLUTIONS are obtained even with 0.85 < SumSS ", " < 1.15; 15% error", /, /, "  CHECK DATA", /, /, "    RESULT at ITER:", I3, " Str:", 7F8.3])",
            iter, guess.first(ns));
        std::span<const float> spectrum(in.sample.data(), static_cast<std::size_t>(in.nw));
        put(out,
            R"([/, /, "  CD Spectra should be in the range:", /, "   -10.0 to +20.0 Delta(Epsilon) Units.", /, /, "  PROTEIN:", 2X, A4, /, "  CD SPECTRA:", /, (10F8.3)])",
            in.name, spectrum);
        return false;
      }
      put(out,
          R"([/, /, " *** MORVAN PARTIALLY COMPLETED ***", /, /, " Convergence Of Successive Solutions Was Not Achieved", /, /, " No Solutions were Obtained AT ITERATION:", I3])",
          iter);
      // The previous iteration's positions, with this iteration's solutions
      // at them (the same subsets and vector counts).
      wk.first.count = previous_count;
      put(out,
          R"([/, /, I4, " Solutions From Iteration:", I3, " is Used to", " CONTINUE to SECOND STAGE.", /, "   For Details Use PRTN ", " Option to print Intermediate results"])",
          wk.first.count, iter - 1);
      return true;
    }

    for (int j = 1; j <= ns; ++j) {
      previous(j) = in.ss(1, j);
      guess(j) = sums(j) / static_cast<float>(wk.first.count);
    }
    const float sum = sum_of(guess.first(ns));
    rmsd = RMS(guess, previous, ns);
    put(out, R"([/, " ITER:", I2, "; AVE OF ", I3, " SOLN:", 6F7.3])", iter, wk.first.count, guess.first(ns));
    put(out, R"([" SUM of SECNDRY STRUCTURE:", F7.3])", sum);
    put(out, R"([" RMSD with Previous Guess:", F8.4])", rmsd);
  }
  return true;  // iteration bound reached; iter is the bound
}

void Run::second_stage_spectra() {
  const int nw = in.nw, ns = in.ns;
  SecondStageData& s2 = wk.stage2;
  Vector<6> f;
  int kmax = 0;
  for (int k = 1; k <= wk.first.count; ++k) {
    const int nsv = wk.table.nsv[static_cast<std::size_t>(wk.first.pos[static_cast<std::size_t>(k)])];
    if (nsv > kmax) kmax = nsv;
  }
  rank_reductions(kmax, nw, in.np, wk.w, wk.u, wk.v, wk.rank);
  wk.ranks_made = kmax;
  wk.structure_made.fill(false);
  for (int k = 1; k <= wk.first.count; ++k) {
    const int n = wk.first.pos[static_cast<std::size_t>(k)];
    const int nbas = wk.table.nbas[static_cast<std::size_t>(n)];
    const int nsv = wk.table.nsv[static_cast<std::size_t>(n)];
    // The working set's spectra reduced to the solution's rank; column 1 is
    // the sample spectrum as that rank can express it.
    const Matrix<kMaxPointsSC, kMaxWorkingSet>& b = wk.rank[static_cast<std::size_t>(nsv - 1)];
    for (int i = 1; i <= nw; ++i) wk.r(i) = b(i, 1);
    // The smallest protein weights whose combination of the structure rows
    // gives the solution's fractions...
    StructureSvd& sd = wk.structure[static_cast<std::size_t>(nbas)];
    if (!wk.structure_made[static_cast<std::size_t>(nbas)]) {
      SVD(nbas, ns, in.ss, sd.w, true, sd.u, true, sd.v, wk.rv1, kSvdIterations);
      wk.structure_made[static_cast<std::size_t>(nbas)] = true;
    }
    for (int j = 1; j <= ns; ++j) f(j) = wk.table.frac(n, j);
    SVSOLT(nbas, ns, sd.w, sd.u, sd.v, f, wk.y);
    // ...and the same combination of the reduced spectra, each point's sum
    // taken over p in order (p outermost, so that the points go side by side).
    float* c = &s2.calc(1, n);
    for (int i = 0; i < nw; ++i) c[i] = 0.0f;
    for (int p = 1; p <= nbas; ++p) {
      const float yp = wk.y(p);
      const float* bp = &b(1, p);
      for (int i = 0; i < nw; ++i) c[i] = c[i] + bp[i] * yp;
    }
    VecView<const float> calc(&s2.calc(1, n), kMaxPointsSC);
    s2.rms_rec(n) = RMS(wk.r, calc, nw);
    s2.rms_exp(n) = RMS(in.sample, wk.r, nw);
    s2.rms_small(n) = s2.rms_exp(n) < s2.rms_rec(n) ? s2.rms_exp(n) : s2.rms_rec(n);
  }
}

bool Run::second_stage() {
  const int nw = in.nw, ns = in.ns;
  put(out,
      R"([/, /, " First Part Completed.  The results roughly", " correspond", /, " to MORVAN and MORVAN1 with only 2 selection rules"])");
  rule(out);
  put(out, R"(["  SECOND STAGE:", /, "  SOLUTIONS THAT SATISLY ", "THREE SELECTION RULES:", /, /])");

  second_stage_spectra();
  put(out, R"(["   I NSol Bas NS", 9(3X, A4)])", Headings(in.labels, {kSum, kRRcn, kRExp}).span());

  if (!select_rule3(wk.table, wk.stage2, wk.first, ns, nw, rmslim, lim.minsol, wk.second, sums, wk.avg, print,
                    in.labels, out)) {
    put(out, R"([" MORVAN FAILED AT SECOND STAGE: ", /, "  NO SOLUTIONS OBTAINED WITH RmsCD <", F7.3, /, "  ITER=", I3, "  STR:", 7F8.3])",
        rmslim, iter, guess.first(ns));
    return false;
  }

  const int count = wk.second.count;
  for (int j = 1; j <= ns; ++j) guess(j) = sums(j) / static_cast<float>(count);
  const float sum = sum_of(guess.first(ns));
  for (int i = 1; i <= nw; ++i) wk.avg(i) = wk.avg(i) / static_cast<float>(count);
  const float rms = RMS(in.sample, wk.avg, nw);

  put(out,
      R"([/, "  TotSOL >", I3, /, "  Limits: ABS(Sum-1.0) <", F7.3, "; Each Fraction >", F7.3, /, "  RmsCD(Exp,Cal) <", F7.3])",
      lim.minsol, lim.sumlim, lim.fracmin, rmslim);
  put(out,
      R"([/, "  SOLUTION AT SECOND STAGE (MORVAN2):", /, "  Average Solution From", I4, "  Solutions:", /, /, 8(3X, A4)])",
      count, Headings(in.labels, {kSum, kRRcn}).span());
  put(out, R"([8F7.3])", guess.first(ns), sum, rms);
  put(out, R"([/, " Second Part Completed.  The results roughly ", /, " correspond MORVAN2 with three selection rules"])");
  if (in.segment_flag != 0) segment_block(out, guess);

  rule(out);
  put(out, R"([/, /, "  COMPARISON OF EXPT. AND CALC. CD", " SPECTRA (Ave. of ", I3, " Solns) OF: ", A4, /, /])", count,
      in.name);
  PLOT(out, in.sample, wk.avg, in.first, in.last);
  rule(out);
  return true;
}

}  // namespace

GetstrOutcome GETSTR(const GetstrInput& in, GetstrWork& work, const GetstrFiles& files) {
  Run run(in, work, files.report);
  std::ostream& out = files.report;
  work.avg.fill(0.0f);
  work.fourth.count = 0;
  work.all_basis.fill(0.0f);
  work.all_basis_sum = 0.0f;
  work.all_basis_made = false;
  work.final_fractions.fill(0.0f);
  work.final_rms = 0.0f;

  work.ranks_made = 0;
  run.trials();
  run.all_basis_estimate();
  if (!run.first_stage()) return GetstrOutcome::kFirstStageFailed;
  if (!run.second_stage()) return GetstrOutcome::kSecondStageFailed;

  // The second-stage table; the final one replaces its lines in place (all
  // lines have the same width), so a stop after this point leaves it whole.
  put(files.calccd, R"(["    WL(nm)   Expt_CD   Calc_CD"])");
  const std::streampos table_start = files.calccd.tellp();
  calccd_table(files.calccd, in, work.avg);
  files.calccd.flush();

  // Rule 4: the helix window.
  put(out,
      R"([/, " Now the FOURTH SELECTION RULE is applied to the", /, " Solutions That SATISFY the first THREE rules.", /, " The HELIX FRACTION should be with in HLIMITS"])");
  float hmin = 1.0f, hmax = 0.0f, centre = 0.0f;
  for (int m = 1; m <= work.second.count; ++m) {
    const int n = work.second.pos[static_cast<std::size_t>(m)];
    const float h = helix_fraction(work.table.frac(n, 1), work.table.frac(n, 2), in.ibasis);
    if (h < hmin) hmin = h;
    if (h > hmax) hmax = h;
    centre = h;
  }
  put(out, R"([/, " Hmin", F7.3, " Hmax", F7.3, " HelDP", F7.3])", hmin, hmax, run.heldp);
  put(out, R"([" HELIX:", F7.3, /])", helix_window(run.heldp, hmin, hmax, centre));

  if (!select_rule4(work.table, work.stage2, work.second, in.ns, in.nw, in.ibasis, centre, hmin, hmax,
                    run.lim.minsol, work.fourth, run.sums, work.avg, out)) {
    work.fourth.count = 0;
    put(out,
        R"([/, /, "  Program CRASHED -- No SOLUTIONS were Obtained", /, " even with HLIMITS of:", F7.3, "-", F7.3, /, "  The SOLUTION ", " from previous Step should be used"])",
        hmin, hmax);
    return GetstrOutcome::kRule4Failed;
  }

  const int ns = in.ns, nw = in.nw, count = work.fourth.count;
  Vector<6>& fraction = run.fraction;
  fraction.fill(0.0f);
  for (int j = 1; j <= ns; ++j) fraction(j) = run.sums(j) / static_cast<float>(count);
  const float sum = sum_of(fraction.first(ns));
  for (int i = 1; i <= nw; ++i) work.avg(i) = work.avg(i) / static_cast<float>(count);
  const float rms = RMS(in.sample, work.avg, nw);
  work.final_fractions = fraction;
  work.final_rms = rms;

  put(out, R"([/, " Final Solution: Aver. of", I3, " Solns", /, " PROT", 8(3X, A4)])", count,
      Headings(in.labels, {kSum, kRRcn}).span());
  put(out, R"([1X, A4, 9F7.3])", in.name, fraction.first(ns), sum, rms);
  put(out, R"([/, " RMSD between Expt. & Calc. CD=", F7.3, /])", rms);
  if (in.segment_flag != 0) segment_block(out, fraction);
  rule(out);
  put(out, R"([/, /, "  COMPARISON OF EXPT. AND CALC. CD", " SPECTRA (Average of", I3, " Solutions) OF: ", A4, /, /])",
      count, in.name);
  PLOT(out, in.sample, work.avg, in.first, in.last);
  out.flush();

  files.calccd.seekp(table_start);
  calccd_table(files.calccd, in, work.avg);
  files.calccd.flush();

  const SummaryRecord rec{SummaryProgram::kSelfConsistent, in.title, in.ibasis, in.labels, fraction.first(ns), rms};
  append_summary_record(files.protss, rec);
  return GetstrOutcome::kCompleted;
}

}  // namespace cdsec
