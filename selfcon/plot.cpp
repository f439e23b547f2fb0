#include "selfcon/plot.hpp"

#include <cmath>
#include <string_view>

#include "frame/layout.hpp"

namespace cdsec {

float YMAX(VecView<const float> a, VecView<const float> b, int n, int declared) {
  (void)declared;
  float y = 0.0f;
  for (int i = 1; i <= n; ++i) {
    if (a(i) > y) y = a(i);
    if (b(i) > y) y = b(i);
  }
  return y;
}

float YMIN(VecView<const float> a, VecView<const float> b, int n, int declared) {
  (void)declared;
  float y = 0.0f;
  for (int i = 1; i <= n; ++i) {
    if (a(i) < y) y = a(i);
    if (b(i) < y) y = b(i);
  }
  return y;
}

bool nint_on_grid(float x, int& out) {
  // Anything beyond a million rows or columns is off the grid anyway; the
  // bound keeps the conversion to an integer defined.
  if (!(std::fabs(x) < 1.0e6f)) return false;
  out = static_cast<int>(std::lround(x));
  return true;
}

void plot_frame(PlotGrid& grid) {
  for (auto& row : grid) row.fill(' ');
  for (auto& row : grid) {
    row[0] = '|';
    row[kPlotCols - 1] = '|';
  }
  for (int c = 1; c <= kPlotCols; ++c) {
    grid[0][c - 1] = '-';
    grid[10][c - 1] = '-';
    grid[20][c - 1] = c % 6 == 0 ? '+' : '-';
  }
  grid[0][0] = grid[0][kPlotCols - 1] = '+';
  grid[10][0] = grid[10][kPlotCols - 1] = '+';
  grid[20][0] = '+';
}

namespace {

void mark(PlotGrid& grid, int row, int col, char c) {
  if (row >= 1 && row <= kPlotRows && col >= 1 && col <= kPlotCols) grid[row - 1][col - 1] = c;
}

// Row of a CD value: 11 - NINT(value / FacY); false when off any grid.
bool row_of(float value, float facy, int& row) {
  int k;
  if (!nint_on_grid(value / facy, k)) return false;
  row = 11 - k;
  return true;
}

}  // namespace

float plot_marks(VecView<const float> expt, VecView<const float> calc, float wl1, float wl2, PlotGrid& grid) {
  int n = 0;
  if (!nint_on_grid(wl1 - wl2, n)) n = -1;
  n += 1;
  // The arrays are declared with their capacity; never read past it.
  if (n > expt.size()) n = expt.size();
  if (n > calc.size()) n = calc.size();

  plot_frame(grid);
  const float yx = YMAX(calc, expt, n, calc.size());
  const float yn = YMIN(calc, expt, n, calc.size());
  const float ym = (yx > std::fabs(yn) ? yx : std::fabs(yn)) + 0.5f;
  const float facx = (wl1 - wl2) / 60.0f;
  const float facy = ym / 10.0f;

  for (int i = 1; i <= n; ++i) {
    int j;
    if (!nint_on_grid(static_cast<float>(i - 1) / facx, j)) continue;
    j += 1;
    int row;
    if (row_of(calc(i), facy, row)) mark(grid, row, j, '*');
    if (row_of(expt(i), facy, row)) mark(grid, row, j, 'o');
    if (row_of(expt(i) - calc(i), facy, row)) mark(grid, row, j, '.');
  }
  return ym;
}

void PLOT(std::ostream& out, VecView<const float> expt, VecView<const float> calc, float wl1, float wl2) {
  PlotGrid grid;
  const float ym = plot_marks(expt, calc, wl1, wl2, grid);

  put(out, R"(["          LEGEND: **** Calc. CD; oooo Expt. CD;", " .... Diff. CD"])");
  // Each line prints column 60 first: the long wavelengths at the right.
  std::array<char, kPlotCols> line;
  auto printed = [&](int r) {
    for (int c = 1; c <= kPlotCols; ++c) line[c - 1] = grid[r - 1][kPlotCols - c];
    return std::string_view(line.data(), line.size());
  };
  put(out, R"([F7.0, A])", ym, printed(1));
  for (int r = 2; r <= kPlotRows - 1; ++r) put(out, R"([7X, A])", printed(r));
  put(out, R"([F7.0, A])", -ym, printed(kPlotRows));
  put(out, R"([7X, F4.0, "  Wavelength at Intervals of:", F4.1, " nm ", 14X, F7.0])", wl2, (wl1 - wl2) / 10.0f,
      wl1);
  put(out, R"([/])");
}

}  // namespace cdsec
