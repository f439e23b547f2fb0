#include "varsel/helix_window.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <vector>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"

namespace cdsec {

int helix_nrange(int nv) { return nv / 20 > 4 ? nv / 20 : 4; }

HelixWindow place_helix_window(float h0, std::span<const float> helices, int nrange) {
  if (h0 < 0.15f) {
    // Helix-poor: centre between H0 and the lowest helix found (not below 0).
    float m = 1.0f;
    for (float h : helices)
      if (h < m) m = h;
    if (m <= 0.0f) m = 0.0f;
    float c = (h0 + m) / 2.0f;
    return {c - 0.03f, c + 0.03f};
  }
  if (h0 <= 0.25f) return {h0 - 0.03f, h0 + 0.03f};
  // Helix-rich: t comes down from the highest helix until nrange solutions
  // lie at or above it.
  float t = 0.0f;
  for (float h : helices)
    if (h > t) t = h;
  auto count_from = [&](float from) {
    int c = 0;
    for (float h : helices)
      if (h >= from) ++c;
    return c;
  };
  // Below the lowest helix every solution counts, so the descent ends there
  // at the latest (a bound that matters only for a caller asking for more
  // solutions than it passes).
  float lowest = t;
  for (float h : helices)
    if (h < lowest) lowest = h;
  while (count_from(t) < nrange && t >= lowest) {
    const float lower = t - 0.001f;
    if (lower == t) {
      // So far from zero the step no longer moves t: take the helix at which
      // the descent would stop, the nrange-th highest (or the lowest).
      std::vector<float> sorted;
      for (float h : helices)
        if (!std::isnan(h)) sorted.push_back(h);
      std::sort(sorted.begin(), sorted.end(), std::greater<float>());
      const std::size_t k = static_cast<std::size_t>(nrange < 1 ? 1 : nrange);
      t = k <= sorted.size() ? sorted[k - 1] : lowest;
      break;
    }
    t = lower;
  }
  if (h0 < 0.65f) {
    float c = (h0 + t) / 2.0f;
    return {c - 0.03f, c + 0.03f};
  }
  return {t - 0.03f, 1.0f};
}

SelectionResult select_and_average(int nv, float h0, int ibasis, int nsstr, int nwave, const SolutionStore& store,
                                   VecView<const float> sample, std::span<const std::string_view> labels,
                                   VecView<float> fractions, VecView<float> avg_calc, VecView<float> avg_recon,
                                   std::ostream& report) {
  put(report, R"([/, 80("_"), /, /, "  Valid Solutions (combinations):", /, " Number  SComb", 6(2X, A4)])",
      labels.first(static_cast<std::size_t>(nsstr)));
  for (int j = 1; j <= 6; ++j) fractions(j) = 0.0f;

  std::array<float, kNcomb> helices{};
  Vector<6> row;
  auto load_row = [&](int k) {
    for (int j = 1; j <= nsstr; ++j) row(j) = store.fractions(k, j);
  };
  for (int k = 1; k <= nv; ++k) {
    load_row(k);
    helices[static_cast<std::size_t>(k - 1)] = helix_fraction(row(1), row(2), ibasis);
  }
  const std::span<const float> h(helices.data(), static_cast<std::size_t>(nv));
  const HelixWindow win = place_helix_window(h0, h, helix_nrange(nv));
  put(report, R"([1X, " Hmin:", F6.2, ";  Hmax:", F6.2])", win.hmin, win.hmax);

  SelectionResult result{false, 0, 0.0f};
  int n = 0;
  for (int k = 1; k <= nv; ++k) {
    const float hk = h[static_cast<std::size_t>(k - 1)];
    if (!(win.hmin <= hk && hk <= win.hmax)) continue;
    for (int j = 1; j <= nsstr; ++j) fractions(j) = fractions(j) + store.fractions(k, j);
    for (int w = 1; w <= nwave; ++w) {
      avg_calc(w) = avg_calc(w) + store.calc_cd(w, k);
      avg_recon(w) = avg_recon(w) + store.recon_cd(w, k);
    }
    n = n + 1;
    result.picked[static_cast<std::size_t>(n)] = k;
    load_row(k);
    put(report, R"([2X, 2I6, 6F6.2, 1X, F6.2, 1X, 2F7.3])", n, k, row.first(nsstr));
  }
  if (n == 0) {
    put(report, R"([" Random selection failed to give good helix, try again"])");
    return result;
  }

  const float fn = static_cast<float>(n);
  for (int j = 1; j <= nsstr; ++j) fractions(j) = fractions(j) / fn;
  float sum = 0.0f;
  for (int w = 1; w <= nwave; ++w) {
    avg_calc(w) = avg_calc(w) / fn;
    const float d = avg_calc(w) - sample(w);
    sum = sum + d * d;
    avg_recon(w) = avg_recon(w) / fn;
  }
  result.ok = true;
  result.selected = n;
  result.rms = std::sqrt(sum / static_cast<float>(nwave));
  return result;
}

}  // namespace cdsec
