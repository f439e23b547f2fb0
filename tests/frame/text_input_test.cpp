// Free-format and fixed-column reading: what the writers of the package
// produce is read back exactly; everything else is refused with the file,
// line and text named.
#include "frame/text_input.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <span>
#include <tuple>

#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::FixedLine;
using cdsec::LineReader;
using cdsec::ReadError;

namespace {

// One file in a scratch folder of its own.
class TempFile {
 public:
  explicit TempFile(const std::string& text) { std::ofstream(dir_ / "data", std::ios::binary) << text; }
  std::string path() const { return (dir_ / "data").string(); }

 private:
  cdsec_test::ScratchDir dir_{"text-input"};
};

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const ReadError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(FreeFormat, ValuesSpanLinesAndTheRestOfTheLastLineIsDropped) {
  TempFile f("  1.0 2.5,3\n\n-4.25e1 .5 3. 99 98\n7\n");
  LineReader in;
  in.open(f.path(), "INPUT");
  std::array<float, 6> v{};
  cdsec::read_free(in, v, "CD values");
  EXPECT_EQ(v, (std::array<float, 6>{1.0f, 2.5f, 3.0f, -42.5f, 0.5f, 3.0f}));
  // "99 98" were discarded with the rest of line 3; the next read starts on line 4.
  std::array<float, 1> w{};
  cdsec::read_free(in, w, "values");
  EXPECT_EQ(w[0], 7.0f);
  EXPECT_EQ(in.line_no(), 4);
}

TEST(FreeFormat, IntegersAndFortranExponents) {
  TempFile f("   0   5   0   0   1\n 1.5D-3 , -2E+2\n");
  LineReader in;
  in.open(f.path(), "INPUT");
  std::array<int, 2> iv{};
  cdsec::read_free(in, iv, "print and set numbers");
  EXPECT_EQ(iv, (std::array<int, 2>{0, 5}));
  std::array<float, 2> fv{};
  cdsec::read_free(in, fv, "values");
  EXPECT_FLOAT_EQ(fv[0], 0.0015f);
  EXPECT_EQ(fv[1], -200.0f);
}

TEST(FreeFormat, ErrorsNameFileLineColumnsAndText) {
  // Text, values wanted (negative: integers), message.
  const std::tuple<const char*, int, const char*> cases[] = {
      {"1.0 2.0\n3.0 0.12.5 4\n", 4,
       "INPUT, line 2, columns 5-10: expected a number among the values, found \"0.12.5\""},
      {"1.0 2.0\n3.0\n", 5, "INPUT, line 2: the file ends after 3 of 5 values"},
      {"1.0,,2.0\n", 3, "INPUT, line 1, column 5: an empty value between commas where values are expected"},
      {"1 2.0\n", -2, "INPUT, line 1, columns 3-5: expected an integer among the values, found \"2.0\""},
  };
  for (const auto& [text, wanted_, message] : cases) {
    const int wanted = wanted_;  // a copy the lambda below can capture
    TempFile f(text);
    LineReader in;
    in.open(f.path(), "INPUT");
    std::array<float, 5> v{};
    std::array<int, 2> iv{};
    EXPECT_EQ(message_of([&] {
                if (wanted < 0)
                  cdsec::read_free(in, std::span<int>(iv), "values");
                else
                  cdsec::read_free(in, std::span<float>(v.data(), static_cast<std::size_t>(wanted)), "values");
              }),
              message);
  }
  for (const char* bad : {"nan", "inf", "1e99", "+", "e5", "1.5e", "0x10"}) {
    TempFile f(std::string(bad) + "\n");
    LineReader in;
    in.open(f.path(), "X");
    std::array<float, 1> v{};
    EXPECT_THROW(cdsec::read_free(in, v, "values"), ReadError) << bad;
  }
  EXPECT_EQ(message_of([] {
              LineReader in;
              in.open("/nonexistent/dir/CDDATA.29", "CDDATA.29");
            }),
            "CDDATA.29: cannot be opened for reading");
}

TEST(FreeFormat, ParseFreeRealsStopsAtTheFirstNonNumber) {
  std::array<float, 2> v{};
  std::string bad;
  EXPECT_EQ(cdsec::parse_free_reals("260.0  -1.25  399.8", v, &bad), 2);  // extra column ignored
  EXPECT_EQ(v[1], -1.25f);
  EXPECT_EQ(cdsec::parse_free_reals("XYDATA", v, &bad), 0);
  EXPECT_EQ(bad, "XYDATA");
  EXPECT_EQ(cdsec::parse_free_reals("", v, &bad), 0);
}

TEST(FixedColumns, ImpliedDecimalsBlanksAndShortLines) {
  // The initial-guess line: IGuess in 1-4, fractions in 8-column fields.
  const std::string guess = std::string("   1") + "   0.250" + "   0.100" + "     350" + "   0.2  " + "    .015" + "1.5E-1";
  FixedLine g(guess, "INPUT", 40);
  EXPECT_EQ(g.I(1, 4), 1);
  EXPECT_EQ(g.F(5, 8, 3), 0.25f);
  EXPECT_EQ(g.F(13, 8, 3), 0.1f);
  EXPECT_EQ(g.F(21, 8, 3), 0.35f);  // no point: three implied decimals
  EXPECT_EQ(g.F(29, 8, 3), 0.2f);
  EXPECT_EQ(g.F(37, 8, 3), 0.015f);
  EXPECT_EQ(g.F(45, 8, 3), 0.15f);  // line ends inside the field: padded
  EXPECT_EQ(g.F(53, 8, 3), 0.0f);   // beyond the line: blank, so zero
  // The line written for IGuess 0: "0" in column 9.
  FixedLine z("        0                                          ", "INPUT", 41);
  EXPECT_EQ(z.I(1, 4), 0);
  EXPECT_EQ(z.F(5, 8, 3), 0.0f);
  // CD values, 6 columns with two implied decimals; blanks inside ignored.
  FixedLine cd("  -123  1 50 -0.5   250", "CDDATA.29", 3);
  EXPECT_EQ(cd.F(1, 6, 2), -1.23f);
  EXPECT_EQ(cd.F(7, 6, 2), 1.5f);
  EXPECT_EQ(cd.F(13, 6, 2), -0.5f);
  EXPECT_EQ(cd.F(19, 6, 2), 2.5f);
  EXPECT_EQ(cd.A(1, 4), "  -1");
  // A field wider than the reader's stack buffer (64) takes the string path.
  const std::string wide = std::string(60, ' ') + "1 2 5" + std::string(15, ' ') + "7";
  EXPECT_EQ(FixedLine(wide, "CDDATA.29", 4).F(1, 81, 3), 1.257f);
  EXPECT_EQ(FixedLine(" LYSO", "SSDATA.29", 1).A(2, 4), "LYSO");
  EXPECT_EQ(FixedLine(" LY", "SSDATA.29", 1).A(2, 4), "LY  ");
}

TEST(FixedColumns, BadFieldsNameTheColumns) {
  FixedLine l(" LYSO 1.2.3", "CDDATA.29", 17);
  EXPECT_EQ(message_of([&] { (void)l.F(6, 6, 3); }),
            "CDDATA.29, line 17, columns 6-11: expected a number, found \" 1.2.3\"");
  FixedLine i("  x1", "INPUT", 3);
  EXPECT_EQ(message_of([&] { (void)i.I(1, 4); }), "INPUT, line 3, columns 1-4: expected an integer, found \"  x1\"");
}

TEST(LineReader, CountsLinesAndDropsCarriageReturns) {
  TempFile f("a\r\nb\nc");
  LineReader in;
  in.open(f.path(), "F");
  std::string l;
  ASSERT_TRUE(in.next(l));
  EXPECT_EQ(l, "a");
  ASSERT_TRUE(in.skip());
  ASSERT_TRUE(in.next(l));
  EXPECT_EQ(l, "c");
  EXPECT_EQ(in.line_no(), 3);
  EXPECT_FALSE(in.next(l));
  EXPECT_EQ(message_of([&] { in.require(l, "the title"); }), "F, line 4: the file ends where the title should follow");
}

}  // namespace
