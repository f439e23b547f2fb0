// The text plot where the golden cases do not reach: the symmetric vertical
// scale, where marks land and which overwrite which, and marks that fall off
// the grid.
#include "selfcon/plot.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include "tests/scratch_dir.hpp"

namespace {

using cdsec::kPlotRows;
using cdsec::PlotGrid;
using cdsec::Vector;
using cdsec_test::lines_of;

std::string plot_text(const Vector<83>& e, const Vector<83>& c, float wl1, float wl2) {
  std::ostringstream out;
  cdsec::PLOT(out, e, c, wl1, wl2);
  return out.str();
}

TEST(PlotScale, HalfRangeIsLargestMagnitudePlusHalf) {
  Vector<83> e, c;
  e(1) = 12.34f;
  c(2) = -3.0f;
  PlotGrid g;
  EXPECT_FLOAT_EQ(cdsec::plot_marks(e, c, 260.0f, 178.0f, g), 12.84f);
  const auto l = lines_of(plot_text(e, c, 260.0f, 178.0f));
  ASSERT_GE(l.size(), 2u);
  EXPECT_EQ(l[1].substr(0, 7), "    13.");  // F7.0 of 12.84
  EXPECT_EQ(l[21].substr(0, 7), "   -13.");
  // Only negative values: the scale comes from the magnitude of the minimum.
  Vector<83> e2, c2;
  for (int i = 1; i <= 83; ++i) e2(i) = c2(i) = -4.0f;
  EXPECT_FLOAT_EQ(cdsec::plot_marks(e2, c2, 260.0f, 178.0f, g), 4.5f);
}

TEST(PlotMarks, RowsFollowTheScaleAndLaterMarksWin) {
  Vector<83> e, c;
  // Extreme of 4.5: YM = 5, FacY = 0.5, so 4.5 lands on row 11 - 9 = 2.
  e(1) = 4.5f;
  c(1) = 4.5f;
  PlotGrid g;
  cdsec::plot_marks(e, c, 260.0f, 178.0f, g);
  EXPECT_EQ(g[1][0], 'o');  // "o" is drawn after "*" in the same cell
  EXPECT_EQ(g[10][0], '.');  // difference 0 on the zero line, over the frame
  // An extreme of 2.5 (YM = 3, FacY = 0.3) lands on row 11 - NINT(8.33) = 3.
  Vector<83> e2, c2;
  e2(10) = 2.5f;
  c2(10) = 1.0f;
  cdsec::plot_marks(e2, c2, 260.0f, 178.0f, g);
  const int col = 1 + static_cast<int>(std::lround(9.0f / (82.0f / 60.0f)));
  EXPECT_EQ(g[2][col - 1], 'o');
  EXPECT_EQ(g[11 - 3 - 1][col - 1], '*');   // 1.0 / 0.3 = 3.33 -> row 8
  EXPECT_EQ(g[11 - 5 - 1][col - 1], '.');   // 1.5 / 0.3 = 5 -> row 6
  // An extreme of 9.5 reaches the bottom line.
  Vector<83> e3, c3;
  e3(1) = -9.5f;
  cdsec::plot_marks(e3, c3, 260.0f, 178.0f, g);
  EXPECT_EQ(g[20][0], '.');  // the difference -9.5 drawn last, over "o"
}

TEST(PlotMarks, MarksOffTheGridAreDroppedWithoutSideEffects) {
  Vector<83> e, c;
  // A difference of 10.5 rows or more falls outside rows 1..21.
  e(5) = 5.0f;
  c(5) = -5.0f;  // YM = 5.5, E - C = 10 = 18.2 rows
  e(83) = 1.0f;   // point 83 maps to column 61
  PlotGrid g, frame;
  cdsec::plot_marks(e, c, 260.0f, 178.0f, g);
  cdsec::plot_frame(frame);
  // Points 1..82 each leave marks only in their own column; nothing else moved.
  const int col5 = 1 + static_cast<int>(std::lround(4.0f / (82.0f / 60.0f)));
  EXPECT_EQ(g[1][col5 - 1], 'o');
  EXPECT_EQ(g[19][col5 - 1], '*');  // -5 / 0.55 = -9.09 -> row 20
  for (int r = 1; r <= kPlotRows; ++r)
    if (r != 2 && r != 20 && r != 11) {
      EXPECT_EQ(g[r - 1][col5 - 1], frame[r - 1][col5 - 1]) << r;
    }
  // A value that is not a number leaves no mark, nor does its difference.
  Vector<83> e2, c2;
  e2(1) = std::numeric_limits<float>::quiet_NaN();
  c2(1) = 1.0f;  // YM = 1.5, FacY = 0.15: row 11 - 7 = 4
  cdsec::plot_marks(e2, c2, 260.0f, 178.0f, g);
  cdsec::plot_frame(frame);
  for (int r = 1; r <= kPlotRows; ++r) {
    const char want = r == 4 ? '*' : frame[r - 1][0];
    EXPECT_EQ(g[r - 1][0], want) << r;
  }
}

}  // namespace
