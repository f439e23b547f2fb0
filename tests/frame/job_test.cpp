// The job file INPUT as the analysis programs read it, in the self-consistent
// program's order of reads.  Whole jobs, appended jobs and the
// variable-selection program's reads are pinned by the golden cases
// (set5_then_set1 of both programs); here: line layouts, guess-line fields,
// and the line every error names.
#include "frame/job.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <vector>

#include "frame/layout.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::JobReader;
using cdsec::LineReader;
using cdsec::ReadError;

namespace {

std::string pad(std::string s, std::size_t n = 51) {
  s.resize(std::max(s.size(), n), ' ');
  return s;
}

const std::string kGuessInbuild = pad("        0");

struct JobText {
  int iprint = 0, ibasis = 1;
  std::string title = "Test protein";
  float first = 240.0f, last = 231.0f, factor = 1.0f;
  std::vector<int> cd_thousandths;  // the CD values, exact in F8.3
  int per_line = 10;                // values per CD line
  std::string guess = kGuessInbuild;
};

float value_of(int thousandths) { return static_cast<float>(thousandths) / 1000.0f; }

// One job laid out as the builder writes it.
void write_job(std::ostream& o, const JobText& j) {
  cdsec::put(o, "[A]", pad("#"));
  cdsec::put(o, "[A]", pad("# PRINT   Basis_1    Basis_2     Basis_3    SEGMENT"));
  cdsec::put(o, R"([3X, I4, 6X, I4, 7X, I4, 8X, I4, 7X, I4])", j.iprint, j.ibasis, 0, 0, 1);
  cdsec::put(o, "[A]", pad("#"));
  cdsec::put(o, "[A]", pad("# 1 Title Line"));
  cdsec::put(o, "[A]", j.title);
  cdsec::put(o, "[A]", pad("#"));
  cdsec::put(o, "[A]", pad("#     WL_Begin     WL_End       Factor"));
  cdsec::put(o, "[3F12.4]", j.first, j.last, j.factor);
  cdsec::put(o, "[A]", pad("#"));
  cdsec::put(o, "[A]", "# CDDATA (Long->Short Wavelength; 260 - 178 LIMITS ");
  std::vector<float> v;
  for (int t : j.cd_thousandths) v.push_back(value_of(t));
  const std::string layout = "[(" + std::to_string(j.per_line) + "F8.3)]";
  if (!v.empty()) cdsec::put(o, layout, std::span<const float>(v));
  cdsec::put(o, "[A]", pad("#"));
  cdsec::put(o, "[A]", pad("#  IGuess  Str1   Str2   Str3   Str4   Str5    Str6"));
  cdsec::put(o, "[A]", j.guess);
}

std::vector<int> ramp(int n, int from = -5000, int step = 137) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back(from + step * i);
  return v;
}

// What one program makes of one job.
struct Read {
  int iprint = -1, ibasis = -1;
  std::string title;
  float first = 0, last = 0, factor = 0;
  int n = 0;
  cdsec::Vector<100> cd;
  int iguess = -1;
  cdsec::Vector<6> guess;
};

class JobFileTest : public ::testing::Test {
 protected:
  // Writes `text` as INPUT and reads its first job; `more_` says whether
  // another job begins after it.
  Read read_text(const std::string& text, int ns = 6) {
    cdsec_test::write_file(path_, text);
    in_.close();
    in_.open(path_.string(), "INPUT");
    JobReader jr(in_);
    EXPECT_TRUE(jr.begin());
    Read r;
    r.guess.fill(-9.0f);  // fractions not read stay so
    jr.read_print_basis(r.iprint, r.ibasis);
    r.title = jr.read_title(64);
    jr.read_range(r.first, r.last, r.factor);
    r.n = static_cast<int>(JobReader::point_count(r.first, r.last));
    jr.read_cd(r.n, 83, r.cd);
    jr.skip_after_cd();
    jr.read_guess(ns, r.iguess, r.guess);
    more_ = jr.begin();
    return r;
  }
  Read read_job(const JobText& j, int ns = 6) {
    std::ostringstream o;
    write_job(o, j);
    return read_text(o.str(), ns);
  }

  cdsec_test::ScratchDir dir_{"job"};
  fs::path path_ = dir_ / "INPUT";
  LineReader in_;
  bool more_ = false;
};

// The job of ten values with its line `n` replaced by `text` (which may hold
// several lines; none: the line is left out), cut there when `cut`.
std::string job_with_line(int n, const char* text, bool cut = false) {
  JobText j;
  j.cd_thousandths = ramp(10);
  std::ostringstream o;
  write_job(o, j);
  const std::string full = o.str();
  std::size_t at = 0;
  for (int k = 1; k < n; ++k) at = full.find('\n', at) + 1;
  if (!text) return full.substr(0, at);
  return full.substr(0, at) + text + "\n" + (cut ? "" : full.substr(full.find('\n', at) + 1));
}

// ---------------------------------------------------------------- CD values

TEST_F(JobFileTest, CdValuesOverLinesOfAnyLengthReadAlike) {
  std::vector<Read> got;
  for (int per_line : {10, 1, 3, 7, 83}) {
    JobText j;
    j.first = 260.0f;
    j.last = 178.0f;
    j.cd_thousandths = ramp(83, -20000, 491);
    j.per_line = per_line;
    j.guess = "   2";
    got.push_back(read_job(j));
    EXPECT_EQ(got.back().iguess, 2) << per_line << " per line";
  }
  for (std::size_t k = 1; k < got.size(); ++k)
    for (int i = 1; i <= 83; ++i) ASSERT_EQ(got[k].cd(i), got[0].cd(i)) << k << "," << i;
  EXPECT_EQ(got[0].cd(83), value_of(-20000 + 491 * 82));
}

TEST_F(JobFileTest, CommasBlankLinesAndACountEndingMidLine) {
  // Five values from 200 to 196 nm, written by hand after the CD heading.
  // With seven on the line the two extra must not be taken for the lines
  // that follow, so the guess line is still found.
  const struct {
    const char* values;
    float want[5];
  } cases[] = {{"1.5, -2\n\n  .25,3.\n4E-1\n", {1.5f, -2.0f, 0.25f, 3.0f, 0.4f}},
               {"  -5.000  -4.863  -4.726  -4.589  -4.452  -4.315  -4.178\n", {-5.0f, -4.863f, -4.726f, -4.589f, -4.452f}}};
  for (const auto& c : cases) {
    JobText j;
    j.first = 200.0f;
    j.last = 196.0f;
    j.guess = "   3   0.300";
    std::ostringstream o;
    write_job(o, j);  // with no values; they are put in below
    std::string text = o.str();
    const std::string marker = "LIMITS \n";
    text.insert(text.find(marker) + marker.size(), c.values);
    const Read r = read_text(text);
    ASSERT_EQ(r.n, 5);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(r.cd(i), c.want[i - 1]) << i;
    EXPECT_EQ(r.cd(6), 0.0f) << "nothing past the count is stored";
    EXPECT_EQ(r.iguess, 3);
    EXPECT_EQ(r.guess(1), 0.3f);
    EXPECT_FALSE(more_);
  }
}

// ---------------------------------------------------------------- single lines

TEST_F(JobFileTest, InitialGuessLineFieldsAsWrittenOrImplied) {
  const struct {
    const char* line;
    int ns;
    int iguess;
    std::array<float, 6> want;
  } cases[] = {
      // decimal points: taken as written
      {"   1   0.300   0.100   0.200   0.100   0.150   0.150", 6, 1, {0.3f, 0.1f, 0.2f, 0.1f, 0.15f, 0.15f}},
      // no decimal point: three implied decimals
      {"   1     300     100     200      50     150     200", 6, 1, {0.3f, 0.1f, 0.2f, 0.05f, 0.15f, 0.2f}},
      // the builder's line: "0" in column 9 is IGuess 0 and a first fraction of 0
      {"        0                                          ", 6, 0, {0, 0, 0, 0, 0, 0}},
      // set 5: five fields only; whatever stands in the sixth is not read
      {"   1   0.250   0.300   0.150   0.050   0.250  garbage", 5, 1, {0.25f, 0.3f, 0.15f, 0.05f, 0.25f, -9.0f}},
      // fields touch: IGuess ends in column 4, the first fraction starts in 5
      {"   10.300000  0.1000", 6, 1, {0.3f, 0.1f, 0, 0, 0, 0}},
      // a blank line: IGuess 0
      {"", 6, 0, {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const Read r = read_text(job_with_line(15, c.line), c.ns);
    EXPECT_EQ(r.iguess, c.iguess) << c.line;
    for (int k = 1; k <= 6; ++k) EXPECT_EQ(r.guess(k), c.want[static_cast<std::size_t>(k - 1)]) << c.line << " #" << k;
  }
  // Commas, and values after the second ignored, on the print/set line; an
  // empty title line is all blanks.
  const Read r = read_text(job_with_line(3, "1,7, 9 junk"));
  EXPECT_EQ(r.iprint, 1);
  EXPECT_EQ(r.ibasis, 7);
  EXPECT_EQ(read_text(job_with_line(6, "")).title, std::string(64, ' '));
}

// ---------------------------------------------------------------- ends and errors

TEST_F(JobFileTest, RefusedAndCutJobsNameLineValueAndKind) {
  using K = ReadError::Kind;
  const struct {
    int n;
    const char* text;  // none: the file ends before line n
    bool cut;
    K kind;
    int line;
    std::string says;
  } cases[] = {
      {2, nullptr, true, K::kEndOfFile, 2, "INPUT"},
      {3, nullptr, true, K::kEndOfFile, 3, "INPUT"},
      {6, nullptr, true, K::kEndOfFile, 6, "INPUT"},
      {9, nullptr, true, K::kEndOfFile, 9, "INPUT"},
      {12, nullptr, true, K::kEndOfFile, 11, "INPUT"},  // inside the values: the last line read
      {13, nullptr, true, K::kEndOfFile, 13, "INPUT"},
      {14, nullptr, true, K::kEndOfFile, 14, "INPUT"},
      {15, nullptr, true, K::kEndOfFile, 15, "INPUT"},
      {3, "   0   2.0", false, K::kBadValue, 3, "\"2.0\""},
      {9, "    178.0000    260.0000      1.0000", false, K::kTooMany, 9, "longer"},
      {12, "   1.000   2.000\n   3.000", true, K::kEndOfFile, 13, "INPUT"},  // 10 wanted
      {12, "   1.000   2.000\n   3.000   4.0.0", true, K::kBadValue, 13, "\"4.0.0\""},
      {15, "   1   0.300   0.1o0", false, K::kBadValue, 15, "INPUT, line 15, columns 13-20"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "line " << c.n << ": " << (c.text ? c.text : "(end)"));
    try {
      read_text(job_with_line(c.n, c.text, c.cut));
      ADD_FAILURE() << "no ReadError";
    } catch (const ReadError& e) {
      EXPECT_EQ(e.kind(), c.kind);
      EXPECT_EQ(e.path(), "INPUT");
      EXPECT_EQ(e.line(), c.line);
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
      if (c.kind == K::kTooMany) {
        EXPECT_EQ(in_.line_no(), 9) << "nothing read past the range";
      }
      if (c.n == 15 && c.text) {
        EXPECT_EQ(std::string(e.what()).rfind(c.says, 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).find("0.1o0"), std::string::npos) << e.what();
      }
    }
  }
}

// ---------------------------------------------------------------- range and capacity

TEST(JobRange, PointCount) {
  EXPECT_EQ(JobReader::point_count(260.0f, 178.0f), 83);
  EXPECT_EQ(JobReader::point_count(240.0f, 190.0f), 51);
  EXPECT_EQ(JobReader::point_count(240.5f, 200.0f), 41);  // trunc(40.5) + 1
  EXPECT_EQ(JobReader::point_count(200.0f, 200.0f), 1);
  EXPECT_EQ(JobReader::point_count(178.0f, 260.0f), -1);
  EXPECT_EQ(JobReader::point_count(std::numeric_limits<float>::quiet_NaN(), 200.0f), -1);
  EXPECT_EQ(JobReader::point_count(3.0e38f, -3.0e38f), -1);
}

// ---------------------------------------------------------------- checks of a job's writers

TEST(JobWriting, RangeChecksAtTheirLimits) {
  using cdsec::RangeCheck;
  struct Case {
    float initial, final_wl;
    int points;
    RangeCheck check;
  } cases[] = {
      {260.0f, 178.0f, 83, RangeCheck::kOk},
      {178.0f, 260.0f, 83, RangeCheck::kOk},         // either order
      {260.5f, 178.0f, 83, RangeCheck::kOk},         // trunc, as the readers count
      {200.0f, 200.0f, 1, RangeCheck::kEqual},
      {260.0f, 161.0f, 100, RangeCheck::kOk},
      {260.0f, 160.0f, 101, RangeCheck::kTooMany},
      {160.0f, 260.0f, 101, RangeCheck::kTooMany},
      {1.0e30f, -1.0e30f, -1, RangeCheck::kTooMany},
      {259.99996f, 178.0f, 82, RangeCheck::kUnwritable},       // written as 260.0000: 83 points
      {1.0e8f, 1.0e8f - 16.0f, 17, RangeCheck::kUnwritable},   // too wide for F12.4
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.initial) + " to " + std::to_string(c.final_wl));
    EXPECT_EQ(cdsec::range_point_count(c.initial, c.final_wl), c.points);
    EXPECT_EQ(cdsec::check_job_range(c.initial, c.final_wl), c.check);
  }
}

TEST(JobWriting, SuggestedSetAndValuesThatFitTheLayout) {
  const std::pair<float, int> sets[] = {{178.0f, 1}, {181.99f, 1}, {182.0f, 3}, {189.99f, 3}, {190.0f, 4}, {240.0f, 4}};
  for (auto [nm, set] : sets) EXPECT_EQ(cdsec::suggest_set(nm), set) << nm;
  EXPECT_EQ(cdsec::first_unwritable(std::array<float, 3>{9999.999f, -999.999f, 0.0f}), 0);
  EXPECT_EQ(cdsec::first_unwritable(std::array<float, 3>{1.0f, 10000.0f, 1.0f}), 2);
  EXPECT_EQ(cdsec::first_unwritable(std::array<float, 1>{-1000.0f}), 1);
}

// A file the user has write-protected is refused by every writer, whoever
// runs it: replacing it renames over it, which the protection does not stop.
TEST(JobWriting, WriteProtectedOrOddJobFilesAreRefused) {
  cdsec_test::ScratchDir dir("job");
  fs::create_directories(dir / "folder");
  std::ofstream(dir / "INPUT") << "a job\n";
  EXPECT_EQ(cdsec::job_file_refusal(dir / "INPUT"), "");
  EXPECT_EQ(cdsec::job_file_refusal(dir / "missing"), "");
  fs::permissions(dir / "INPUT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(cdsec::job_file_refusal(dir / "INPUT"), "is write-protected");
  EXPECT_EQ(cdsec::job_file_refusal(dir / "folder"), "is a directory");
#ifndef _WIN32
  EXPECT_EQ(cdsec::job_file_refusal("/dev/null"), "is not a regular file");
#endif
  fs::permissions(dir / "INPUT", fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace
