// The helix window of the variable-selection program: its cases by the
// all-basis helix and the selection and averaging inside it.  An empty
// window (failure line, zero fractions): the golden case empty_window.
#include "varsel/helix_window.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/scratch_dir.hpp"

namespace {

using cdsec::HelixWindow;
using cdsec::place_helix_window;
using cdsec_test::lines_of;

HelixWindow window(float h0, std::vector<float> h) {
  return place_helix_window(h0, h, cdsec::helix_nrange(static_cast<int>(h.size())));
}

TEST(HelixWindow, Nrange) {
  for (auto [n, want] : {std::pair{400, 20}, std::pair{99, 4}, std::pair{100, 5}, std::pair{5, 4}, std::pair{119, 5}})
    EXPECT_EQ(cdsec::helix_nrange(n), want) << n;
}

TEST(HelixWindow, CasesByTheAllBasisHelix) {
  struct Case {
    const char* what;
    float h0;
    std::vector<float> helices;
    float hmin, hmax, tolerance;
  };
  const std::vector<float> nine = {0.9f, 0.9f, 0.9f, 0.9f, 0.9f};
  const Case cases[] = {
      // Low helix: centred between H0 and the lowest helix (at most 1, and
      // on H0 / 2 when a helix is negative).
      {"low", 0.10f, {0.05f, 0.08f, 0.10f, 0.12f, 0.20f}, 0.045f, 0.105f, 1e-6f},
      {"low, helices above one", 0.10f, {1.2f, 1.5f, 1.1f, 1.3f, 1.4f}, 0.55f - 0.03f, 0.55f + 0.03f, 1e-6f},
      {"low, a negative helix", 0.12f, {0.05f, -0.02f, 0.10f, 0.12f, 0.20f}, 0.03f, 0.09f, 1e-6f},
      // Middle range, both ends included: centred on H0.
      {"middle, low end", 0.15f, nine, 0.12f, 0.18f, 0},
      {"middle", 0.20f, nine, 0.17f, 0.23f, 0},
      {"middle, high end", 0.25f, nine, 0.22f, 0.28f, 0},
      // High helix: T lowered from the top in thousandths (in single
      // precision, 160 steps to 0.340) until four helices are at or above
      // it; equal helices enter the count together (five where four are
      // needed: T stops at 0.4).
      {"high", 0.40f, {0.3005f, 0.3205f, 0.3405f, 0.3605f, 0.3805f, 0.5000f}, 0.340f, 0.400f, 1e-5f},
      {"high, equal helices", 0.70f, {0.5f, 0.4f, 0.4f, 0.4f, 0.4f, 0.3f}, 0.37f, 1.0f, 1e-3f},
      // Very high: up to 1.
      {"very high", 0.80f, {0.70f, 0.72f, 0.74f, 0.76f, 1.02f}, 0.69f, 1.0f, 1.5e-3f},
  };
  for (const Case& c : cases) {
    const HelixWindow w = window(c.h0, c.helices);
    if (c.tolerance == 0) {
      EXPECT_EQ(w.hmin, c.h0 - 0.03f) << c.what;
      EXPECT_EQ(w.hmax, c.h0 + 0.03f) << c.what;
    }
    EXPECT_NEAR(w.hmin, c.hmin, c.tolerance + 1e-6f) << c.what;
    EXPECT_NEAR(w.hmax, c.hmax, c.tolerance + 1e-6f) << c.what;
  }
  // Just outside the middle range on either side the other rules apply.
  EXPECT_NE(window(std::nextafter(0.15f, 0.0f), nine).hmin, std::nextafter(0.15f, 0.0f) - 0.03f);
  EXPECT_NE(window(std::nextafter(0.25f, 1.0f), nine).hmin, std::nextafter(0.25f, 1.0f) - 0.03f);
  // Exactly as computed: the centre and the 0.03 either side in single precision.
  const HelixWindow low = window(0.10f, {0.05f, 0.08f, 0.10f, 0.12f, 0.20f});
  EXPECT_EQ(low.hmin, (0.10f + 0.05f) / 2.0f - 0.03f);
  EXPECT_EQ(low.hmax, (0.10f + 0.05f) / 2.0f + 0.03f);
  EXPECT_LE(window(0.80f, {0.70f, 0.72f, 0.74f, 0.76f, 1.02f}).hmin, 0.72f - 0.03f);
}

// A store of valid solutions with given helices (set 2: class 1 alone) and
// recognisable spectra.
struct Store {
  std::unique_ptr<cdsec::SolutionStore> s = std::make_unique<cdsec::SolutionStore>();
  cdsec::Vector<100> sample, avg_calc, avg_recon;
  cdsec::Vector<6> fractions;
  std::array<std::string_view, 6> labels{"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"};
  int nv = 0;
  explicit Store(const std::vector<float>& helices) {
    for (float h : helices) {
      ++nv;
      s->fractions(nv, 1) = h;
      for (int j = 2; j <= 6; ++j) s->fractions(nv, j) = 0.01f * static_cast<float>(j + nv);
      for (int w = 1; w <= 3; ++w) {
        s->calc_cd(w, nv) = static_cast<float>(nv * w);
        s->recon_cd(w, nv) = static_cast<float>(-nv * w);
      }
    }
    for (int w = 1; w <= 3; ++w) sample(w) = 1.0f;
    for (int j = 1; j <= 6; ++j) fractions(j) = 0.7f;  // the all-basis estimate before
  }
  cdsec::SelectionResult run(float h0, std::ostringstream& out) {
    return cdsec::select_and_average(nv, h0, 2, 6, 3, *s, sample.view(), labels, fractions.view(), avg_calc.view(),
                                     avg_recon.view(), out);
  }
};

TEST(SelectAndAverage, SelectsInsideTheWindowAndAverages) {
  Store st({0.05f, 0.08f, 0.10f, 0.12f, 0.20f});
  std::ostringstream out;
  const cdsec::SelectionResult r = st.run(0.10f, out);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.selected, 3);
  EXPECT_EQ(st.fractions(1), (0.05f + 0.08f + 0.10f) / 3.0f);
  EXPECT_EQ(st.fractions(2), (0.01f * 3.0f + 0.01f * 4.0f + 0.01f * 5.0f) / 3.0f);
  // CalcCD of solutions 1..3 at point w is k * w: the average is 2w.
  for (int w = 1; w <= 3; ++w) {
    EXPECT_EQ(st.avg_calc(w), 2.0f * static_cast<float>(w));
    EXPECT_EQ(st.avg_recon(w), -2.0f * static_cast<float>(w));
  }
  EXPECT_FLOAT_EQ(r.rms, std::sqrt((1.0f + 9.0f + 25.0f) / 3.0f));
  const auto l = lines_of(out.str());
  ASSERT_EQ(l.size(), 9u);
  // The headings (pinned by the KESTRA golden cases), then the window
  // (0.045000002 and 0.105000004 in single precision) and the selected ones.
  EXPECT_EQ(l[5], "  Hmin:  0.05;  Hmax:  0.11");
  EXPECT_EQ(l[6], "       1     1  0.05  0.03  0.04  0.05  0.06  0.07");
  EXPECT_EQ(l[8], "       3     3  0.10  0.05  0.06  0.07  0.08  0.09");
}

TEST(SelectAndAverage, SecondColumnSkipsUnselectedPositionsAndBoundsAreIncluded) {
  const float lo = 0.20f - 0.03f, hi = 0.20f + 0.03f;
  Store st({0.5f, lo, 0.9f, hi, std::nextafter(hi, 1.0f), std::nextafter(lo, 0.0f)});
  std::ostringstream out;
  const cdsec::SelectionResult r = st.run(0.20f, out);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.selected, 2);
  const auto l = lines_of(out.str());
  ASSERT_EQ(l.size(), 8u);
  EXPECT_EQ(l[6].substr(0, 14), "       1     2");
  EXPECT_EQ(l[7].substr(0, 14), "       2     4");
}

TEST(SelectAndAverage, HelixAboveOneIsNotSelectedInTheTopWindow) {
  Store st({0.70f, 0.72f, 0.74f, 0.76f, 1.02f});
  std::ostringstream out;
  const cdsec::SelectionResult r = st.run(0.80f, out);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.selected, 4);
  EXPECT_EQ(lines_of(out.str()).size(), 10u);
}

}  // namespace
