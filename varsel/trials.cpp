#include "varsel/trials.hpp"

#include <algorithm>
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

// The shared procedure, once columns and rows 1..q of the workspace hold the
// proteins used: the sample becomes column and row q + 1, the spectra are
// decomposed, the sample is written through the first nsv triplets in the
// decomposition's own order, and twenty rounds give its fractions in ws.x.
// The projections of the sample on those triplets' left vectors are kept in
// ws.proj for the reconstruction.  False when a zero singular value abandons
// the procedure.
bool solve(int q, int nwave, int nsstr, int nsv, VecView<const float> b, TrialWorkspace& ws, std::ostream& report) {
  const int n = q + 1;
  std::copy_n(b.data(), nwave, ws.a.column(n).data());
  for (int j = 1; j <= 6; ++j) ws.f(n, j) = kStartingGuess[j - 1];

  int ierr = SVD(nwave, n, ws.a.view(), ws.w.view(), true, ws.u.view(), true, ws.v.view(), ws.rv1.view(),
                 kSvdIterations);
  if (ierr != 0) put(report, R"(["  TROUBLE,  IERR=", I4])", ierr);

  for (int i = 1; i <= n; ++i) ws.y(i) = 0.0f;
  for (int k = 1; k <= nsv; ++k) {
    // With fewer columns than triplets wanted there is no k-th value: it
    // counts as zero.
    if (k > n) {
      put(report, R"(["Trouble! A singular value equals 0.0, run protein again"])");
      return false;
    }
    const float* uk = ws.u.column(k).data();
    float s = 0.0f;
    for (int w = 0; w < nwave; ++w) s = s + uk[w] * b.data()[w];
    ws.proj(k) = s;
    if (ws.w(k) == 0.0f) {
      put(report, R"(["Trouble! A singular value equals 0.0, run protein again"])");
      return false;
    }
    s = s / ws.w(k);
    const float* vk = ws.v.column(k).data();
    for (int i = 1; i <= n; ++i) ws.y(i) = ws.y(i) + s * vk[i - 1];
  }

  for (int round = 1; round <= kRounds; ++round) {
    for (int j = 1; j <= nsstr; ++j) {
      float xj = 0.0f;
      for (int i = 1; i <= n; ++i) xj = xj + ws.f(i, j) * ws.y(i);
      ws.x(j) = xj;
      ws.f(n, j) = xj;
    }
  }
  return true;
}

}  // namespace

bool BVPRO3(int nbascd, int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            VecView<float> out, int nsv, VecView<const float> sample, TrialWorkspace& ws, std::ostream& report) {
  for (int i = 1; i <= nbascd; ++i) {
    std::copy_n(refcd.column(i).data(), nwave, ws.a.column(i).data());
    for (int j = 1; j <= nsstr; ++j) ws.f(i, j) = refss(i, j);
  }
  if (!solve(nbascd, nwave, nsstr, nsv, sample, ws, report)) return false;
  for (int j = 1; j <= nsstr; ++j) out(j) = ws.x(j);
  return true;
}

void BVPRO4(int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            SolutionStore& store, float rms_limit, float fraction_limit, int nsv, VecView<const float> sample,
            int nbascd, int nsel, int& isucs, int icomb, int iprint, UniformSource& rng,
            CombinationHistory& history, TrialWorkspace& ws, std::ostream& report) {
  RNDM(nbascd, nsel, nwave, nsstr, refcd, refss, icomb, rng, history, ws.drawn.view(), ws.a.view(), ws.f.view());
  if (!solve(nsel, nwave, nsstr, nsv, sample, ws, report)) return;

  float fsum = 0.0f;
  for (int j = 1; j <= nsstr; ++j)
    if (ws.x(j) >= 0.0f) fsum = fsum + ws.x(j);

  // The sample projected on the first nsv left singular vectors; the
  // projections are those of the solution, formed once.
  for (int w = 1; w <= nwave; ++w) {
    float r = 0.0f;
    for (int k = 1; k <= nsv; ++k) r = r + ws.u(w, k) * ws.proj(k);
    ws.recon(w) = r;
  }
  const float recon_rms = RMS(ws.recon.view(), sample, nwave);

  if (!solution_is_valid(fsum, recon_rms, ws.x.view(), nsstr, rms_limit, fraction_limit)) return;

  isucs = isucs + 1;
  for (int j = 1; j <= nsstr; ++j) store.fractions(isucs, j) = ws.x(j);
  std::copy_n(ws.recon.data(), nwave, store.recon_cd.column(isucs).data());

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
  std::copy_n(ws.calc.data(), nwave, store.calc_cd.column(isucs).data());

  if (iprint != 0) {
    put(report, R"([I7, I6, 20I4])", icomb, isucs, std::span<const int>(ws.drawn.data(), static_cast<std::size_t>(nsel)));
    put(report, R"([I7, I6, 6F7.3, 1X, F7.3, 1X, 2F7.3])", icomb, isucs, ws.x.first(nsstr), fsum, recon_rms);
  }
}

}  // namespace cdsec
