#include "varsel/trials.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "frame/layout.hpp"
#include "frame/summary.hpp"
#include "frame/svd.hpp"

namespace cdsec {

bool solution_is_valid(float fsum, float recon_rms, VecView<const float> x, int nsstr, float rms_limit,
                       float fraction_limit) {
  if (!(fsum >= 0.952f) || !(fsum <= 1.05f) || !(recon_rms <= rms_limit)) return false;
  for (int j = 1; j <= nsstr; ++j)
    if (!(x(j) >= fraction_limit)) return false;
  return true;
}

namespace {

// The projections s_k = sum_w U(w, k) b(w), k = 1..nk, each summed in point
// order from 0.0; the nk sums share one pass so that their additions overlap.
void projections(MatrixView<const float> u, const float* b, int nwave, int nk, float* out) {
  constexpr int kMax = 8;
  for (int k0 = 0; k0 < nk; k0 += kMax) {
    const int c = std::min(kMax, nk - k0);
    const float* col[kMax];
    float s[kMax];
    for (int k = 0; k < c; ++k) {
      col[k] = u.column(k0 + k + 1).data();
      s[k] = 0.0f;
    }
    if (c == kNsv) {
      for (int w = 0; w < nwave; ++w) {
        const float bw = b[w];
#pragma GCC unroll 5
        for (int k = 0; k < kNsv; ++k) s[k] = s[k] + col[k][w] * bw;
      }
    } else {
      for (int w = 0; w < nwave; ++w)
        for (int k = 0; k < c; ++k) s[k] = s[k] + col[k][w] * b[w];
    }
    for (int k = 0; k < c; ++k) out[k0 + k] = s[k];
  }
}

// The shared procedure, once columns and rows 1..q of the workspace hold the
// proteins used: the sample becomes column and row q + 1, the spectra are
// decomposed, the sample is written through the first nsv triplets in the
// decomposition's own order, and twenty rounds give its fractions in ws.x.
// The projections of the sample on those triplets' left vectors are kept in
// ws.proj for the reconstruction.
SolveStatus solve(int q, int nwave, int nsstr, int nsv, VecView<const float> b, TrialWorkspace& ws) {
  SolveStatus st;
  const int n = q + 1;
  std::copy_n(b.data(), nwave, ws.a.column(n).data());
  for (int j = 1; j <= 6; ++j) ws.f(n, j) = kStartingGuess[j - 1];

  st.ierr = SVD(nwave, n, ws.a.view(), ws.w.view(), true, ws.u.view(), true, ws.v.view(), ws.rv1.view(),
                kSvdIterations);

  // With fewer columns than triplets wanted there is no k-th value: it
  // counts as zero.
  const int nk = std::min(nsv, n);
  projections(ws.u.view(), b.data(), nwave, nk, ws.proj.data());
  for (int i = 1; i <= n; ++i) ws.y(i) = 0.0f;
  for (int k = 1; k <= nsv; ++k) {
    if (k > n || ws.w(k) == 0.0f) {
      st.abandoned = true;
      return st;
    }
    const float s = ws.proj(k) / ws.w(k);
    const float* vk = ws.v.column(k).data();
    for (int i = 1; i <= n; ++i) ws.y(i) = ws.y(i) + s * vk[i - 1];
  }

  // Each round sums column j of F against y in row order, and only the last
  // row (the sample's, the previous round's x_j) changes from round to
  // round: the partial sum over rows 1..q is the same every round, so it is
  // formed once and each round adds the sample's term to it.
  const float yn = ws.y(n);
  for (int j = 1; j <= nsstr; ++j) {
    const float* fj = ws.f.column(j).data();
    float p = 0.0f;
    for (int i = 0; i < q; ++i) p = p + fj[i] * ws.y(i + 1);
    float xj = ws.f(n, j);
    for (int round = 1; round <= kRounds; ++round) xj = p + xj * yn;
    ws.x(j) = xj;
    ws.f(n, j) = xj;
  }
  return st;
}

void write_status(const SolveStatus& st, std::ostream& report) {
  if (st.ierr != 0) put(report, R"(["  TROUBLE,  IERR=", I4])", st.ierr);
  if (st.abandoned) put(report, R"(["Trouble! A singular value equals 0.0, run protein again"])");
}

// ReconCD(w) = sum_k U(w, k) proj(k), k = 1..nsv in order: the points are
// independent, four go side by side.
void reconstruct(MatrixView<const float> u, const float* proj, int nwave, int nsv, float* out) {
  typedef float v4 __attribute__((vector_size(16)));
  int w = 0;
  for (; w + 4 <= nwave; w += 4) {
    v4 r = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int k = 0; k < nsv; ++k) {
      v4 uk;
      std::memcpy(&uk, u.column(k + 1).data() + w, sizeof uk);
      const v4 pk = {proj[k], proj[k], proj[k], proj[k]};
      r = r + uk * pk;
    }
    std::memcpy(out + w, &r, sizeof r);
  }
  for (; w < nwave; ++w) {
    float r = 0.0f;
    for (int k = 0; k < nsv; ++k) r = r + u(w + 1, k + 1) * proj[k];
    out[w] = r;
  }
}

}  // namespace

bool BVPRO3(int nbascd, int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            VecView<float> out, int nsv, VecView<const float> sample, TrialWorkspace& ws, std::ostream& report) {
  for (int i = 1; i <= nbascd; ++i) {
    std::copy_n(refcd.column(i).data(), nwave, ws.a.column(i).data());
    for (int j = 1; j <= nsstr; ++j) ws.f(i, j) = refss(i, j);
  }
  const SolveStatus st = solve(nbascd, nwave, nsstr, nsv, sample, ws);
  write_status(st, report);
  if (st.abandoned) return false;
  for (int j = 1; j <= nsstr; ++j) out(j) = ws.x(j);
  return true;
}

TrialOutcome evaluate_trial(int nwave, int nsstr, float rms_limit, float fraction_limit, int nsv,
                            VecView<const float> sample, int nsel, TrialWorkspace& ws) {
  TrialOutcome t;
  t.status = solve(nsel, nwave, nsstr, nsv, sample, ws);
  if (t.status.abandoned) return t;

  float fsum = 0.0f;
  for (int j = 1; j <= nsstr; ++j)
    if (ws.x(j) >= 0.0f) fsum = fsum + ws.x(j);
  t.fsum = fsum;

  // The sample projected on the first nsv left singular vectors; the
  // projections are those of the solution, formed once.
  reconstruct(ws.u.view(), ws.proj.data(), nwave, nsv, ws.recon.data());
  t.recon_rms = RMS(ws.recon.view(), sample, nwave);

  t.valid = solution_is_valid(fsum, t.recon_rms, ws.x.view(), nsstr, rms_limit, fraction_limit);
  if (!t.valid) return t;

  // CalcCD: weights z on the nine proteins whose fraction rows combine to
  // the solution, applied to the rank-nsv approximation of the spectra.
  const int n = nsel + 1;
  SVD(n, nsstr, ws.f.view(), ws.w2.view(), true, ws.u2.view(), true, ws.v2.view(), ws.rv1.view(), kSvdIterations);
  SVSOLT(n, nsstr, ws.w2.view(), ws.u2.view(), ws.v2.view(), ws.x.view(), ws.z.view());
  SVREC(nsv, nwave, n, ws.w.view(), ws.u.view(), ws.v.view(), ws.ar.view());
  for (int w = 1; w <= nwave; ++w) {
    float c = 0.0f;
    for (int i = 1; i <= n; ++i) c = c + ws.ar(w, i) * ws.z(i);
    ws.calc(w) = c;
  }
  return t;
}

void record_trial(const TrialOutcome& t, const float* x, const float* recon, const float* calc, const int* sorted,
                  int nsel, int nwave, int nsstr, SolutionStore& store, int& isucs, int icomb, int iprint,
                  std::ostream& report) {
  write_status(t.status, report);
  if (!t.valid) return;
  isucs = isucs + 1;
  store.trial[static_cast<std::size_t>(isucs)] = icomb;
  for (int j = 1; j <= nsstr; ++j) store.fractions(isucs, j) = x[j - 1];
  std::copy_n(recon, nwave, store.recon_cd.column(isucs).data());
  std::copy_n(calc, nwave, store.calc_cd.column(isucs).data());
  if (iprint != 0) {
    put(report, R"([I7, I6, 20I4])", icomb, isucs, std::span<const int>(sorted, static_cast<std::size_t>(nsel)));
    put(report, R"([I7, I6, 6F7.3, 1X, F7.3, 1X, 2F7.3])", icomb, isucs,
        std::span<const float>(x, static_cast<std::size_t>(nsstr)), t.fsum, t.recon_rms);
  }
}

void BVPRO4(int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            SolutionStore& store, float rms_limit, float fraction_limit, int nsv, VecView<const float> sample,
            int nbascd, int nsel, int& isucs, int icomb, int iprint, UniformSource& rng,
            CombinationHistory& history, TrialWorkspace& ws, std::ostream& report) {
  RNDM(nbascd, nsel, nwave, nsstr, refcd, refss, icomb, rng, history, ws.drawn.view(), ws.a.view(), ws.f.view());
  const TrialOutcome t = evaluate_trial(nwave, nsstr, rms_limit, fraction_limit, nsv, sample, nsel, ws);
  record_trial(t, ws.x.data(), ws.recon.data(), ws.calc.data(), ws.drawn.data(), nsel, nwave, nsstr, store, isucs,
               icomb, iprint, report);
}

}  // namespace cdsec
