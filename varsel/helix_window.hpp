// Selection of the valid solutions by their helix, and their average.
//
// Random combinations scatter the helix fraction widely; the all-basis
// estimate H0 is a robust guide to where the true helix lies.  Only the
// solutions whose helix falls in a window of +/- 0.03 around a centre set by
// H0 (pulled towards the lowest helix found for helix-poor proteins, towards
// the top of the helix distribution for helix-rich ones) are averaged.
#pragma once

#include <array>
#include <iosfwd>
#include <span>
#include <string_view>

#include "frame/matrix.hpp"
#include "varsel/trials.hpp"

namespace cdsec {

// Solutions that must reach the top of the helix range before the window of
// helix-rich proteins is placed: max(4, nv / 20).
int helix_nrange(int nv);

struct HelixWindow {
  float hmin, hmax;
};
// The window for all-basis helix h0 and the helices of the valid solutions.
HelixWindow place_helix_window(float h0, std::span<const float> helices, int nrange);

struct SelectionResult {
  bool ok;       // false: no solution inside the window
  int selected;  // icntf
  float rms;     // RMS difference between the average CalcCD and the sample
  std::array<int, kNcomb + 1> picked{};  // picked[1..selected]: the solutions averaged, in order
};

// Writes the table heading, the window line and one line per selected
// solution to `report`; averages the selected solutions into `fractions`
// (all six entries cleared first), `avg_calc` and `avg_recon` (which the
// caller has zeroed).  On an empty window writes the failure line.
SelectionResult select_and_average(int nv, float h0, int ibasis, int nsstr, int nwave, const SolutionStore& store,
                                   VecView<const float> sample, std::span<const std::string_view> labels,
                                   VecView<float> fractions, VecView<float> avg_calc, VecView<float> avg_recon,
                                   std::ostream& report);

}  // namespace cdsec
