// RMS, the segment estimate and the ProtSS.out summary record.
#include "frame/summary.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"

namespace fs = std::filesystem;
using cdsec::RMS;
using cdsec::SEGMENT;
using cdsec::SummaryProgram;
using cdsec::SummaryRecord;
using cdsec::VecView;

namespace {

template <std::size_t N>
VecView<const float> view(const std::array<float, N>& a) {
  return {a.data(), static_cast<int>(N)};
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("cdsec_summary_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& n) const { return path_ / n; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------- RMS

TEST(Rms, RootMeanSquareOverTheFirstNPoints) {
  const std::array<float, 4> a{3.0f, 1.0f, -2.0f, 5.0f};
  const std::array<float, 6> b{0.0f, 1.0f, -2.0f, 5.0f, 1.0e6f, -1.0e6f};
  // Only (3-0)^2 = 9 differs: sqrt(9 / 4) = 1.5 exactly.  The values of b
  // beyond n (a longer declared array) take no part.
  EXPECT_EQ(RMS(view(a), view(b), 4), 1.5f);
  // Over the first point alone the distance is the whole difference.
  EXPECT_EQ(RMS(view(a), view(b), 1), 3.0f);
  EXPECT_EQ(RMS(view(a), view(a), 4), 0.0f);
  // Symmetric in its two vectors.
  EXPECT_EQ(RMS(view(b), view(a), 4), 1.5f);
}

TEST(Rms, SumsInSinglePrecisionInIncreasingOrder) {
  // d(1)^2 = 1e8 first, then 64 terms of 1: in float each 1 is lost against
  // 1e8 (half its spacing is 4), so the sum stays exactly 1e8.  Summed in
  // the other order, or in double, it would be 100000064.
  std::array<float, 65> a{};
  std::array<float, 65> b{};
  a[0] = 1.0e4f;
  for (std::size_t i = 1; i < a.size(); ++i) a[i] = 1.0f;
  const float want = std::sqrt(1.0e8f / 65.0f);
  const float other = std::sqrt(100000064.0f / 65.0f);
  ASSERT_NE(want, other);  // the case can tell the orders apart
  EXPECT_EQ(RMS(view(a), view(b), 65), want);
}

TEST(Rms, NoPointsGiveNoDistance) {
  const std::array<float, 2> a{1.0f, 2.0f};
  const std::array<float, 2> b{0.0f, 0.0f};
  EXPECT_EQ(RMS(view(a), view(b), 0), 0.0f);
}

// ---------------------------------------------------------------- SEGMENT

TEST(Segment, DistortedHelixCountsTheSegments) {
  // Regular helix 0.20, distorted helix 0.08: 0.08*100/4 = 2 segments of
  // (0.20+0.08)*100/2 = 14 residues.
  const std::array<float, 6> f{0.20f, 0.08f, 0.15f, 0.06f, 0.21f, 0.30f};
  const auto s = SEGMENT(view(f), 6);
  EXPECT_EQ(cdsec::edit_F(s.helix_segments, 10, 3), "     2.000");
  EXPECT_EQ(cdsec::edit_F(s.helix_length, 10, 3), "    14.000");
  // Strand: 0.06*100/2 = 3 segments of (0.15+0.06)*100/3 = 7 residues.
  EXPECT_EQ(cdsec::edit_F(s.strand_segments, 10, 3), "     3.000");
  EXPECT_EQ(cdsec::edit_F(s.strand_length, 10, 3), "     7.000");
  EXPECT_NEAR(s.helix_segments, 2.0f, 1e-6f);
  EXPECT_NEAR(s.helix_length, 14.0f, 1e-5f);
}

TEST(Segment, NegativeOrZeroDistortedFractionGivesNoSegmentsAndNoDivision) {
  const std::array<float, 6> f{0.35f, 0.0f, 0.20f, -0.02f, 0.2f, 0.27f};
  const auto s = SEGMENT(view(f), 6);
  EXPECT_EQ(s.strand_segments, 0.0f);
  EXPECT_EQ(s.strand_length, 0.0f);
  EXPECT_FALSE(std::signbit(s.strand_segments));  // prints 0.000, not -0.000
  EXPECT_EQ(cdsec::edit_F(s.strand_segments, 10, 3), "     0.000");
  EXPECT_EQ(s.helix_segments, 0.0f);
  EXPECT_EQ(s.helix_length, 0.0f);
}

TEST(Segment, NegativeDistortedHelixIsClearedToo) {
  const std::array<float, 4> f{0.40f, -0.01f, 0.10f, 0.04f};
  const auto s = SEGMENT(view(f), 4);
  EXPECT_EQ(s.helix_segments, 0.0f);
  EXPECT_EQ(s.helix_length, 0.0f);
  EXPECT_EQ(cdsec::edit_F(s.strand_segments, 10, 3), "     2.000");
  EXPECT_EQ(cdsec::edit_F(s.strand_length, 10, 3), "     7.000");
}

// ---------------------------------------------------------------- summary record

const std::string kRule(80, '_');

std::string padded(std::string s, std::size_t n) {
  s.resize(n, ' ');
  return s;
}

TEST(SummaryRecord, SelfConsistentRecordIsByteExact) {
  TempDir dir;
  const std::string title = padded("Hen egg-white lysozyme, pH 7, 25 C", 64);
  const std::array<std::string_view, 6> labels{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
  const std::array<float, 6> fr{0.301f, 0.152f, 0.120f, 0.081f, 0.143f, 0.203f};
  cdsec::append_summary_record((dir / "ProtSS.out").string(),
                               {SummaryProgram::kSelfConsistent, title, 1, labels, fr, 0.1234f});
  const std::string want = kRule + "\n" + "\n" + " SAMPLE:  " + title + "\n" +
                           " PROGRAM:     MORVAN3\n"
                           " Protein Set: 29 Reference Set\n"
                           " Structure:    H(r)    H(d)    S(r)    S(d)    Trn     Unrd\n"
                           " Fractions:   0.301   0.152   0.120   0.081   0.143   0.203\n"
                           " RMSD(Exp-Calc):     0.123\n";
  EXPECT_EQ(slurp(dir / "ProtSS.out"), want);
}

TEST(SummaryRecord, VariableSelectionRecordHasA50CharacterTitle) {
  TempDir dir;
  // An 80-character title is cut to its first 50; a short one is padded on
  // the right, never right-aligned.
  const std::string long_title = "Myoglobin from horse heart, 0.1 mg/ml, 1 mm cell, phosphate buffer 10 mM.";
  const std::array<std::string_view, 6> labels{"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"};
  const std::array<float, 6> fr{0.712f, 0.061f, 0.0f, 0.1f, 0.05f, 0.077f};
  const auto path = (dir / "ProtSS.out").string();
  cdsec::append_summary_record(path, {SummaryProgram::kVariableSelection, long_title, 2, labels, fr, 1.05f});
  cdsec::append_summary_record(path, {SummaryProgram::kVariableSelection, "Short", 2, labels, fr, -0.0004f});
  const std::string body = " PROGRAM:     KESTRA \n"
                           " Protein Set: 22 Reference Set\n"
                           " Structure:    AHel    3/10    BSht    Turn    PP2     Unrd\n"
                           " Fractions:   0.712   0.061   0.000   0.100   0.050   0.077\n";
  const std::string want = kRule + "\n\n SAMPLE:  " + long_title.substr(0, 50) + "\n" + body +
                           " RMSD(Exp-Calc):     1.050\n" + kRule + "\n\n SAMPLE:  " + padded("Short", 50) + "\n" +
                           body + " RMSD(Exp-Calc):    -0.000\n";
  EXPECT_EQ(slurp(path), want);
}

TEST(SummaryRecord, FiveClassesStillGiveEightLinesAndSet5IsLabelledLikeSet3) {
  TempDir dir;
  const auto path = (dir / "ProtSS.out").string();
  const std::array<std::string_view, 5> labels{"AHel", "BSht", "Turn", "PP2 ", "Unrd"};
  const std::array<float, 5> fr{0.25f, 0.30f, 0.15f, 0.05f, 0.25f};
  cdsec::append_summary_record(path, {SummaryProgram::kSelfConsistent, padded("X", 64), 5, labels, fr, 0.5f});
  const std::string text = slurp(path);
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[4], " Protein Set: 37 Reference Set");
  EXPECT_EQ(lines[5], " Structure:    AHel    BSht    Turn    PP2     Unrd");
  EXPECT_EQ(lines[6], " Fractions:   0.250   0.300   0.150   0.050   0.250");
  EXPECT_EQ(lines[7], " RMSD(Exp-Calc):     0.500");
}

TEST(SummaryRecord, CodesByReferenceSet) {
  const char* want[] = {"    ", " 29 ", " 22 ", " 37 ", " 43 ", " 37 ", " 42 ", " 48 ", " CA ", "    "};
  for (int ib = 0; ib <= 9; ++ib) EXPECT_EQ(cdsec::summary_code(ib), want[ib]) << ib;
  EXPECT_EQ(cdsec::summary_code(-3), "    ");
}

TEST(SummaryRecord, AppendsAfterEarlierContentOfOtherRuns) {
  TempDir dir;
  const auto path = (dir / "ProtSS.out").string();
  const std::string earlier = "records of an earlier run\n";
  std::ofstream(path, std::ios::binary) << earlier;
  const std::array<std::string_view, 6> labels{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
  const std::array<float, 6> a{0.1f, 0.1f, 0.1f, 0.1f, 0.3f, 0.3f};
  const std::array<float, 6> b{0.2f, 0.1f, 0.1f, 0.1f, 0.2f, 0.3f};
  cdsec::append_summary_record(path, {SummaryProgram::kSelfConsistent, padded("first", 64), 1, labels, a, 0.1f});
  cdsec::append_summary_record(path, {SummaryProgram::kVariableSelection, padded("second", 50), 8, labels, b, 0.2f});
  const std::string text = slurp(path);
  ASSERT_EQ(text.rfind(earlier, 0), 0u) << "earlier content was overwritten";
  std::istringstream in(text.substr(earlier.size()));
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines[2], " SAMPLE:  " + padded("first", 64));
  EXPECT_EQ(lines[3], " PROGRAM:     MORVAN3");
  EXPECT_EQ(lines[8], kRule);
  EXPECT_EQ(lines[11], " PROGRAM:     KESTRA ");
  EXPECT_EQ(lines[12], " Protein Set: CA Reference Set");
  EXPECT_EQ(lines[14], " Fractions:   0.200   0.100   0.100   0.100   0.200   0.300");
}

TEST(SummaryRecord, FailuresAreReportedNotSwallowed) {
  const std::array<std::string_view, 1> labels{"H(r)"};
  const std::array<float, 1> fr{0.5f};
  const SummaryRecord rec{SummaryProgram::kSelfConsistent, "t", 1, labels, fr, 0.0f};
  TempDir dir;
  const auto missing = (dir / "no-such-dir" / "ProtSS.out").string();
  try {
    cdsec::append_summary_record(missing, rec);
    ADD_FAILURE() << "no error for a file in a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
  // A device that accepts the open but no data: the write must fail loudly.
  if (fs::exists("/dev/full")) {
    try {
      cdsec::append_summary_record("/dev/full", rec);
      ADD_FAILURE() << "no error when the record cannot be written";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
