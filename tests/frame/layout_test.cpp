// The layout interpreter against what Fortran run-time libraries print for
// the same FORMAT lists (cases checked against a Fortran compiler's output)
// and against the layout examples of the reports.
#include "frame/layout.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using cdsec::edit_A;
using cdsec::edit_F;
using cdsec::edit_I;
using cdsec::format;

namespace {

struct FCase {
  float v;
  int w, d;
  const char* want;
};

TEST(EditF, MatchesFortranFixedPoint) {
  const FCase cases[] = {
      {12.84f, 7, 0, "    13."},     // trailing decimal point
      {-0.0001f, 7, 3, " -0.000"},   // negative rounding to zero keeps its sign
      {-0.0f, 6, 1, "  -0.0"},       // so does a negative zero
      {0.0f, 6, 2, "  0.00"},
      {0.123f, 4, 3, ".123"},        // no room for the optional zero
      {-0.123f, 5, 3, "-.123"},
      {0.123f, 5, 3, "0.123"},
      {0.04f, 3, 1, "0.0"},
      {-0.04f, 4, 1, "-0.0"},
      {-0.04f, 3, 1, "-.0"},
      {0.3f, 2, 0, "0."},
      {0.3f, 1, 0, "*"},             // "." alone is no number: starred
      {0.125f, 5, 2, " 0.12"},       // exact ties go to even
      {0.375f, 5, 2, " 0.38"},
      {-0.125f, 5, 2, "-0.12"},
      {0.5f, 4, 0, "  0."},
      {1.5f, 4, 0, "  2."},
      {2.5f, 4, 0, "  2."},
      {0.0005f, 7, 3, "  0.001"},    // binary value just above the tie
      {0.045f, 6, 2, "  0.05"},
      {0.3999999f, 6, 3, " 0.400"},
      {12345.6f, 7, 3, "*******"},   // too wide: whole field starred
      {1e10f, 12, 4, "************"},
      {-1.0f, 3, 0, "-1."},
      {178.0f, 5, 0, " 178."},
      {178.0f, 4, 0, "178."},
      {8.2f, 4, 1, " 8.2"},
  };
  for (const auto& c : cases) EXPECT_EQ(edit_F(c.v, c.w, c.d), c.want) << c.v << " F" << c.w << "." << c.d;
}

TEST(EditF, NonFiniteValues) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(edit_F(inf, 8, 3), "Infinity");
  EXPECT_EQ(edit_F(inf, 4, 1), " Inf");
  EXPECT_EQ(edit_F(inf, 2, 1), "**");
  EXPECT_EQ(edit_F(-inf, 9, 3), "-Infinity");
  EXPECT_EQ(edit_F(-inf, 8, 3), "    -Inf");
  EXPECT_EQ(edit_F(-inf, 3, 1), "***");
  EXPECT_EQ(edit_F(std::numeric_limits<float>::quiet_NaN(), 6, 2), "   NaN");
  EXPECT_EQ(edit_F(std::numeric_limits<float>::quiet_NaN(), 2, 1), "**");
}

TEST(Layout, GroupRepeatStopsWhenValuesRunOut) {
  const std::array<std::string, 6> l = {"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
  std::span<const std::string> all(l);
  // Trailing blanks of an X at the end of the line are not written.
  EXPECT_EQ(format(R"([" Structure:", 2X, 6(2X, A4, 2X)])", all.first(5)),
            " Structure:    H(r)    H(d)    S(r)    S(d)    Trn \n");
  EXPECT_EQ(format(R"([" Structure:", 2X, 6(2X, A4, 2X)])", all),
            " Structure:    H(r)    H(d)    S(r)    S(d)    Trn     Unrd\n");
  EXPECT_EQ(format(R"([5X, 7(3X, A4)])", all.first(3)), "        H(r)   H(d)   S(r)\n");
  EXPECT_EQ(format(R"(["ab", 5X])"), "ab\n");
}

TEST(Layout, TextBeforeTheNextValueItemIsStillWritten) {
  EXPECT_EQ(format(R"([I4, " mid ", I4, " end"])", 1), "   1 mid \n");
  EXPECT_EQ(format(R"([2I4, "end"])", 1), "   1\n");
  EXPECT_EQ(format(R"([A, "|", A])", "abc"), "abc|\n");
}

TEST(Layout, ReversionStartsANewLineAtTheLastGroup) {
  const std::vector<float> a = {1.5f, 2.25f, 3.0f, 1.5f, 2.25f, 3.0f};
  EXPECT_EQ(format(R"([3F8.3])", a), "   1.500   2.250   3.000\n   1.500   2.250   3.000\n");
  EXPECT_EQ(format(R"(["x", (2F6.1)])", a), "x   1.5   2.2\n   3.0   1.5\n   2.2   3.0\n");
  // Ten to a line, the last line short.
  std::vector<float> v(12, 1.0f);
  EXPECT_EQ(format(R"([(10F8.3)])", v),
            std::string("") + "   1.000   1.000   1.000   1.000   1.000   1.000   1.000   1.000   1.000   1.000\n" +
                "   1.000   1.000\n");
  // Reversion with a leading text and a group in the middle.
  std::vector<float> sp(3, -2.0f);
  EXPECT_EQ(format(R"([/, "  PROTEIN:", 2X, A4, /, "  CD SPECTRA:", /, (2F8.3)])", "TEST", sp),
            "\n  PROTEIN:  TEST\n  CD SPECTRA:\n  -2.000  -2.000\n  -2.000\n");
}

TEST(Layout, QuotesAndBracketsInTexts) {
  EXPECT_EQ(format(R"(['it''s', " (a, b) ", "x"])"), "it's (a, b) x\n");
  EXPECT_EQ(format(R"((1X, " Hmin:", F6.2))", 0.045f), "  Hmin:  0.05\n");
  EXPECT_EQ(format(R"(1X, " Hmin:", F6.2)", 0.045f), "  Hmin:  0.05\n");  // no enclosing brackets
}

TEST(Layout, ClosingGroupWithoutValuesIsWrittenWhenValuesFit) {
  // A box whose last group is a rule: fine while the values fit the layout,
  // refused when they would need a reversion into the rule.
  const char* box = R"([5X, "|", F6.2, " |", /, 5X, "+", 3("-"), "+"])";
  EXPECT_EQ(format(box, 1.5f), "     |  1.50 |\n     +---+\n");
  EXPECT_THROW(format(box, 1.5f, 2.5f), std::logic_error);
}

TEST(Layout, BadLayoutsAndBadValuesAreRefused) {
  EXPECT_THROW(cdsec::Layout("[I4"), std::invalid_argument);
  EXPECT_THROW(cdsec::Layout("[F7]"), std::invalid_argument);
  EXPECT_THROW(cdsec::Layout("[I4 I4]"), std::invalid_argument);
  EXPECT_THROW(cdsec::Layout("[Q4]"), std::invalid_argument);
  EXPECT_THROW(cdsec::Layout(R"(["open])"), std::invalid_argument);
  EXPECT_THROW(format("[I4]", 1.0f), std::logic_error);   // real for an integer item
  EXPECT_THROW(format("[F7.3]", 1), std::logic_error);
  EXPECT_THROW(format(R"(["no values"])", 1), std::logic_error);
}

}  // namespace
