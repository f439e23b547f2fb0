// F editing against the C library's own rounding: every width and decimal
// count the reports use (and more), over floats of every exponent, the
// values whose decimal expansion ends exactly halfway, and the neighbours
// of the rounding boundaries.  Reports must not change by a digit when the
// editing is made faster, so the comparison is character for character.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/layout.hpp"

namespace {

// F editing done entirely by printf, as the layout writer first did it.
std::string by_printf(float v, int w, int d) {
  std::string s;
  if (std::isnan(v)) {
    s = "NaN";
  } else if (std::isinf(v)) {
    s = v < 0 ? (w >= 9 ? "-Infinity" : "-Inf") : (w >= 8 ? "Infinity" : "Inf");
  } else {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.*f", d, static_cast<double>(v));
    if (n < 0 || n >= static_cast<int>(sizeof buf)) return std::string(static_cast<std::size_t>(w), '*');
    s = buf;
    if (d == 0) s += '.';
    if (std::signbit(v) && s[0] != '-') s.insert(s.begin(), '-');
    if (static_cast<int>(s.size()) > w && d > 0) {
      const std::size_t z = (s[0] == '-') ? 1 : 0;
      if (s.compare(z, 2, "0.") == 0) s.erase(z, 1);
    }
  }
  if (static_cast<int>(s.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

float from_bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}

int mismatches(float v, std::string& first) {
  static const int widths[] = {1, 5, 7, 30};
  int bad = 0;
  for (int d = 0; d <= 11; ++d)
    for (int w : widths) {
      const std::string got = cdsec::edit_F(v, w, d), want = by_printf(v, w, d);
      if (got != want) {
        if (bad++ == 0 && first.empty())
          first = std::to_string(v) + " F" + std::to_string(w) + "." + std::to_string(d) + ": got '" + got +
                  "', want '" + want + "'";
      }
    }
  return bad;
}

TEST(FEditing, MatchesPrintfAcrossAllExponents) {
  std::string first;
  int bad = 0;
  // Every 262147th bit pattern, both signs, and a denser sweep of the
  // magnitudes from 1e-6 to 1e10 that reports show.
  for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 262147)
    bad += mismatches(from_bits(static_cast<std::uint32_t>(b)), first);
  const std::uint32_t lo = 0x358637BDu, hi = 0x501502F9u;  // 1e-6, 1e10
  for (std::uint32_t b = lo; b < hi; b += 24571) {
    bad += mismatches(from_bits(b), first);
    bad += mismatches(from_bits(b | 0x80000000u), first);
  }
  EXPECT_EQ(bad, 0) << first;
}

TEST(FEditing, MatchesPrintfOnHalfwayValues) {
  // k / 2^j is a tie for every decimal count d >= j - 1 that cuts it at its
  // last place but one: 2.5 at d = 0, 0.125 at d = 2, 0.0625 at d = 3, ...
  std::string first;
  int bad = 0;
  for (int j = 0; j <= 14; ++j)
    for (int k = -700; k <= 700; ++k) bad += mismatches(std::ldexp(static_cast<float>(k), -j), first);
  EXPECT_EQ(bad, 0) << first;
}

TEST(FEditing, MatchesPrintfNextToRoundingBoundaries) {
  // The floats on either side of n.5 / 10^d and of powers of ten, where a
  // digit, the field width or the leading zero changes.
  std::string first;
  int bad = 0;
  for (int d = 0; d <= 9; ++d)
    for (int n = -400; n <= 400; ++n) {
      const float c = static_cast<float>((static_cast<double>(n) + 0.5) / std::pow(10.0, d));
      float v = c;
      for (int s = 0; s < 3; ++s) v = std::nextafter(v, -INFINITY);
      for (int s = 0; s < 7; ++s, v = std::nextafter(v, INFINITY)) bad += mismatches(v, first);
    }
  for (int e = -12; e <= 12; ++e) {
    const float c = static_cast<float>(std::pow(10.0, e));
    for (float v : {std::nextafter(c, 0.0f), c, std::nextafter(c, INFINITY)}) {
      bad += mismatches(v, first);
      bad += mismatches(-v, first);
    }
  }
  bad += mismatches(999999999.0f, first) + mismatches(1e9f, first) + mismatches(-0.0f, first);
  EXPECT_EQ(bad, 0) << first;
}

}  // namespace
