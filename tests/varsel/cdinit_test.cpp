#include "varsel/cdinit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/text_input.hpp"
#include "tests/scratch_dir.hpp"

namespace {

namespace fs = std::filesystem;
using cdsec::KestraJob;

// Protein i of a test set has the value i + k/100 at database point k.
std::string cd_value(int i, int k) {
  char b[8];
  std::snprintf(b, sizeof b, "%6d", i * 100 + k);
  return b;
}

void write_set(const fs::path& dir, const std::string& suffix, int proteins, int ns) {
  std::ofstream cd(dir / ("CDDATA." + suffix)), ss(dir / ("SSDATA." + suffix));
  cd << "test set\nheader\n";
  for (int i = 1; i <= proteins; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, " P%03d", i);
    cd << name << "  2000\n";  // a scale factor the program must ignore
    for (int k = 1; k <= 83; ++k) cd << cd_value(i, k) << ((k % 15 == 0 || k == 83) ? "\n" : "");
    ss << name << "\n";
    for (int j = 1; j <= ns; ++j) {
      char f[16];
      std::snprintf(f, sizeof f, "%8d", 100 + 10 * j + i);
      ss << f;
    }
    ss << "\n";
  }
}

std::string job(int iprint, int ibasis, const std::string& title, const std::string& range,
                const std::vector<std::string>& values) {
  std::ostringstream s;
  s << "#\n# PRINT Basis\n   " << iprint << "   " << ibasis << "   0   0   1\n#\n# 1 Title Line\n" << title
    << "\n#\n# WL\n" << range << "\n#\n# CD\n";
  for (std::size_t i = 0; i < values.size(); ++i) s << values[i] << ((i % 10 == 9) ? "\n" : " ");
  s << "\n#\n# IGuess\n       0\n";
  return s.str();
}

// The values of protein p at database points from..to, as INPUT text.
std::vector<std::string> protein_values(int p, int from, int to) {
  std::vector<std::string> v;
  for (int k = from; k <= to; ++k) {
    char b[16];
    std::snprintf(b, sizeof b, "%d.%02d", p + k / 100, k % 100);
    v.push_back(b);
  }
  return v;
}


class Cdinit : public ::testing::Test {
 protected:
  // The scratch folder is the working directory while the test runs, where
  // the sets are found first.
  void SetUp() override { fs::current_path(dir_); }
  void TearDown() override { fs::current_path(old_); }
  void input(const std::string& text) {
    std::ofstream("INPUT") << text;
    in_.open("INPUT");
  }
  bool next() {
    cdsec::JobReader r(in_);
    return cdsec::CDINIT(r, report_, *job_);
  }
  bool report_has(const std::string& line) const {
    const auto l = cdsec_test::lines_of(report_.str());
    return std::find(l.begin(), l.end(), line) != l.end();
  }

  cdsec_test::ScratchDir scratch_{"cdinit"};
  fs::path dir_ = scratch_.path(), old_ = fs::current_path();
  cdsec::LineReader in_;
  std::ostringstream report_;
  std::unique_ptr<KestraJob> job_ = std::make_unique<KestraJob>();
};

TEST_F(Cdinit, RangeInsideTheSetDropsTheSampleItselfAndIgnoresScales) {
  write_set(dir_, "29", 10, 6);
  // 250..200 nm are database points 11..61; the sample is protein 3 there.
  input(job(0, 1, "Protein three", "250 200 0", protein_values(3, 11, 61)));
  ASSERT_TRUE(next());
  EXPECT_EQ(job_->nwave, 51);
  EXPECT_EQ(job_->nsstr, 6);
  EXPECT_EQ(job_->factor, 1.0f);
  EXPECT_EQ(job_->sample_offset, 0);
  EXPECT_EQ(job_->first, 250.0f);
  EXPECT_EQ(job_->title, "Protein three" + std::string(37, ' '));
  ASSERT_EQ(job_->refs.nbascd, 9);
  // Column 3 is protein 4: no scaling, points 11.. of the database.
  EXPECT_EQ(job_->refs.cd(1, 3), 4.11f);
  EXPECT_EQ(job_->refs.cd(51, 3), 4.61f);
  EXPECT_EQ(job_->refs.cd(1, 2), 2.11f);
  EXPECT_EQ(job_->refs.ss(3, 1), 0.114f);
  EXPECT_EQ(job_->refs.ss(3, 6), 0.164f);
  // The report's layout is pinned by the KESTRA golden cases (a clipped
  // range by clipped_range_set3, the short end alone by FitRange below).
  EXPECT_TRUE(report_has("  Proteins:  9;  CD data: 51;  Sec Str:  6"));
  EXPECT_TRUE(report_has(" Beginning wavelength:  250.00; Ending wavelength:  200.00"));
  EXPECT_FALSE(report_has(" The wavelengths are modified to be within the valid range"));
  EXPECT_FALSE(next());  // the end of INPUT
}

TEST(FitRange, Cases) {
  struct Case {
    float first, last, set_long, set_short;
    bool clipped;
    int offset, nw;
  } cases[] = {{260, 178, 240, 185, true, 20, 56},
               {250, 170, 260, 178, true, 0, 73},
               {240, 190, 240, 185, false, 0, 51},
               {241.5f, 184.6f, 240, 185, true, 1, 56}};
  for (const Case& c : cases) {
    const auto r = cdsec::fit_range(c.first, c.last, c.set_long, c.set_short);
    EXPECT_EQ(r.clipped, c.clipped) << c.first << " " << c.last;
    EXPECT_EQ(r.sample_offset, c.offset) << c.first << " " << c.last;
    EXPECT_EQ(r.nw, c.nw) << c.first << " " << c.last;
  }
  EXPECT_EQ(cdsec::job_point_count(200, 200), 1);
  EXPECT_EQ(cdsec::job_point_count(180, 200), 0);
  EXPECT_EQ(cdsec::job_point_count(240.5f, 185), 56);
  EXPECT_EQ(cdsec::job_point_count(1.0e9f, 0), 1000000);
}

}  // namespace
