// Text plot of the experimental and the calculated CD spectrum and their
// difference, for the self-consistent program's report.
//
// The grid is 21 rows by 60 columns; row 1 is the top, row 11 the zero line,
// row 21 the bottom.  Column 1 holds the first (longest-wavelength) point and
// is printed last, at the right, so the spectrum reads from the short
// wavelength at the left to the long one at the right.  The vertical scale is
// symmetric about zero and half a CD unit wider than the largest magnitude.
#pragma once

#include <array>
#include <ostream>

#include "frame/matrix.hpp"

namespace cdsec {

constexpr int kPlotRows = 21;
constexpr int kPlotCols = 60;

// grid[r-1][c-1] is row r, column c.
using PlotGrid = std::array<std::array<char, kPlotCols>, kPlotRows>;

// Largest value of a(1..n) and b(1..n), starting from 0 (never below 0).
// `declared` is the arrays' declared length; n must not exceed it.
float YMAX(VecView<const float> a, VecView<const float> b, int n, int declared);
// Smallest value, starting from 0 (never above 0).
float YMIN(VecView<const float> a, VecView<const float> b, int n, int declared);

// Nearest integer, halves away from zero; false when x is not a number or so
// large that it cannot land on the grid.
bool nint_on_grid(float x, int& out);

// The empty frame: borders, the zero line and the ticks of the bottom line.
void plot_frame(PlotGrid& grid);

// Draws the frame and the marks of points 1..n (n = NINT(wl1 - wl2) + 1)
// and returns the half-range YM of the vertical axis.  Marks that fall
// outside the grid are dropped.
float plot_marks(VecView<const float> expt, VecView<const float> calc, float wl1, float wl2, PlotGrid& grid);

// PLOT: writes the legend, the 21 grid lines, the wavelength axis and two
// empty lines.  expt and calc are declared with 83 entries.
void PLOT(std::ostream& out, VecView<const float> expt, VecView<const float> calc, float wl1, float wl2);

}  // namespace cdsec
