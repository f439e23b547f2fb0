// RMS, the segment estimate and the ProtSS.out summary record.
#include "frame/summary.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <filesystem>

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

TEST(Segment, SegmentsOfTheDistortedFractionsOrNoneWhenNotPositive) {
  const struct {
    std::array<float, 6> f;
    int ns;
    float helix_segments, helix_length, strand_segments, strand_length;
  } cases[] = {
      // Helix 0.08*100/4 = 2 segments of (0.20+0.08)*100/2 = 14 residues;
      // strand 0.06*100/2 = 3 segments of (0.15+0.06)*100/3 = 7.
      {{0.20f, 0.08f, 0.15f, 0.06f, 0.21f, 0.30f}, 6, 2, 14, 3, 7},
      // A distorted fraction of zero or below: no segments, no division.
      {{0.35f, 0.0f, 0.20f, -0.02f, 0.2f, 0.27f}, 6, 0, 0, 0, 0},
      {{0.40f, -0.01f, 0.10f, 0.04f}, 4, 0, 0, 2, 7},
  };
  for (const auto& c : cases) {
    const auto s = SEGMENT(VecView<const float>(c.f.data(), c.ns), c.ns);
    const float got[] = {s.helix_segments, s.helix_length, s.strand_segments, s.strand_length};
    const float want[] = {c.helix_segments, c.helix_length, c.strand_segments, c.strand_length};
    for (int k = 0; k < 4; ++k) {
      // As printed; a cleared value exactly 0, never -0 (printed -0.000).
      EXPECT_EQ(cdsec::edit_F(got[k], 10, 3), cdsec::edit_F(want[k], 10, 3)) << c.f[0] << " #" << k;
      if (want[k] == 0.0f) {
        EXPECT_EQ(got[k], 0.0f);
        EXPECT_FALSE(std::signbit(got[k]));
      }
    }
  }
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
