// RMS, the segment estimate and the ProtSS.out summary record.
#include "frame/summary.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "tests/scratch_dir.hpp"

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
  // Symmetric in its two vectors; no points give no distance.
  EXPECT_EQ(RMS(view(b), view(a), 4), 1.5f);
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

TEST(SummaryRecord, CodesByReferenceSet) {
  const char* want[] = {"    ", " 29 ", " 22 ", " 37 ", " 43 ", " 37 ", " 42 ", " 48 ", " CA ", "    "};
  for (int ib = 0; ib <= 9; ++ib) EXPECT_EQ(cdsec::summary_code(ib), want[ib]) << ib;
  EXPECT_EQ(cdsec::summary_code(-3), "    ");
}

TEST(SummaryRecord, FailuresAreReportedNotSwallowed) {
  const std::array<std::string_view, 1> labels{"H(r)"};
  const std::array<float, 1> fr{0.5f};
  const SummaryRecord rec{SummaryProgram::kSelfConsistent, "t", 1, labels, fr, 0.0f};
  cdsec_test::ScratchDir dir("summary");
  const auto missing = (dir / "no-such-dir" / "ProtSS.out").string();
  try {
    cdsec::append_summary_record(missing, rec);
    ADD_FAILURE() << "no error for a file in a missing directory";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  }
  // A device that accepts the open but no data: the write must fail loudly.
#ifndef _WIN32
  if (fs::exists("/dev/full")) {
    try {
      cdsec::append_summary_record("/dev/full", rec);
      ADD_FAILURE() << "no error when the record cannot be written";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("/dev/full"), std::string::npos) << e.what();
    }
  }
#endif
}

}  // namespace
