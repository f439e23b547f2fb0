// The reference-set catalogue, the CDDATA/SSDATA readers and both loadings,
// on small sets written in the data files' layouts.  The listing in BASIS,
// the offset of a range starting at 240 nm and a sample that is one of the
// references are pinned by the MORVAN3 golden cases (range_clipping,
// set5_then_set1, sample_is_reference), files that end early by
// truncated_reference of both programs and MORVAN3's ssdata_ends_early and
// cddata_one_line, an unreadable value by unreadable_cd_value, names that
// differ between the files by names_differ; the variable-selection loading
// by KESTRA's sixty_proteins and sample_is_reference; scale factors by
// MORVAN3's scale_factors, values without decimal points by implied_decimals.
#include "frame/refsets.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <unistd.h>

#include "frame/layout.hpp"
#include "frame/package.hpp"
#include "frame/summary.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::ReadError;
using cdsec::RefSetInfo;
using cdsec::VecView;

namespace {

// ---------------------------------------------------------------- test data

// A protein as the tests write it: CD in hundredths (F6.2 fields), fractions
// in thousandths (F8.3 fields), so that every value is exact in the file.
struct TestProtein {
  std::string name;
  std::string scale_field = "";  // columns 6-11 verbatim ("" leaves them blank)
  std::array<int, 83> cd{};
  std::array<int, 6> ss{};
};

float cd_value(int hundredths) { return static_cast<float>(hundredths) / 100.0f; }
float ss_value(int thousandths) { return static_cast<float>(thousandths) / 1000.0f; }

// Protein k of a family: distinct, smooth-ish spectra in -10.00 .. 9.99.
TestProtein make_protein(int k, std::string name = {}) {
  TestProtein p;
  p.name = name.empty() ? "P" + std::string(k < 10 ? "00" : k < 100 ? "0" : "") + std::to_string(k) : name;
  for (int i = 0; i < 83; ++i) p.cd[static_cast<std::size_t>(i)] = (k * 37 + i * 11 + k * i) % 2000 - 1000;
  for (int j = 0; j < 6; ++j) p.ss[static_cast<std::size_t>(j)] = (k * 13 + j * 101) % 400;
  return p;
}

void write_set(const fs::path& dir, std::string_view suffix, const std::vector<TestProtein>& prots, int nfrac = 6) {
  std::ofstream cd(dir / ("CDDATA." + std::string(suffix)), std::ios::binary);
  std::ofstream ss(dir / ("SSDATA." + std::string(suffix)), std::ios::binary);
  cdsec::put(cd, R"(["  Reference spectra for the tests, 260 to 178 nm"])");
  cdsec::put(cd, R"(["  delta epsilon, 15 values per line"])");
  for (const auto& p : prots) {
    cdsec::put(cd, R"([1X, A4, A])", p.name, p.scale_field);
    std::array<float, 83> v{};
    for (std::size_t i = 0; i < 83; ++i) v[i] = cd_value(p.cd[i]);
    cdsec::put(cd, R"([(15F6.2)])", std::span<const float>(v));
    cdsec::put(ss, R"([1X, A4])", p.name);
    std::array<float, 6> f{};
    for (std::size_t j = 0; j < 6; ++j) f[j] = ss_value(p.ss[j]);
    cdsec::put(ss, R"([6F8.3])", std::span<const float>(f.data(), static_cast<std::size_t>(nfrac)));
  }
}

std::vector<TestProtein> family(int n, int from = 1) {
  std::vector<TestProtein> v;
  for (int k = from; k < from + n; ++k) v.push_back(make_protein(k));
  return v;
}

// A scratch directory that is also the working directory while it lives,
// with CDSEC_REFDIR unset.
class RefDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::current_path(scratch_.path());
    if (const char* v = std::getenv("CDSEC_REFDIR")) saved_refdir_ = v, had_refdir_ = true;
    ::unsetenv("CDSEC_REFDIR");
  }
  void TearDown() override {
    fs::current_path(old_cwd_);
    if (had_refdir_) ::setenv("CDSEC_REFDIR", saved_refdir_.c_str(), 1);
  }
  const fs::path& dir() const { return scratch_.path(); }

  // The sample: protein k's values at points k0+1 .. k0+nw, or a spectrum of
  // its own when k is 0.
  void set_sample(const TestProtein* like, int k0, int nw) {
    nw_ = nw;
    for (int i = 1; i <= nw; ++i)
      sample_(i) = like ? cd_value(like->cd[static_cast<std::size_t>(k0 + i - 1)]) : 0.5f * static_cast<float>(i);
  }
  void selbas(int ibasis, float first, int ns = 6) {
    cdsec::SELBAS("TEST", sample_, nw_, ns, first, ibasis, ws_, basis_, report_);
  }

  cdsec::Vector<83> sample_;
  int nw_ = 0;
  cdsec::WorkingSet ws_;
  std::ostringstream basis_, report_;

 private:
  cdsec_test::ScratchDir scratch_{"refsets"};
  fs::path old_cwd_ = fs::current_path();
  std::string saved_refdir_;
  bool had_refdir_ = false;
};


template <class F>
ReadError read_error_of(F&& f) {
  try {
    f();
  } catch (const ReadError& e) {
    return e;
  }
  ADD_FAILURE() << "no ReadError";
  return ReadError(ReadError::Kind::kBadValue, "(none)", 0, "no error");
}

// ---------------------------------------------------------------- catalogue

// Sets 2 and 5 have one helix class; the others split it in two.
TEST(Catalogue, HelixFraction) {
  for (int ib = 1; ib <= 8; ++ib) EXPECT_EQ(cdsec::helix_fraction(0.25f, 0.125f, ib), ib == 2 || ib == 5 ? 0.25f : 0.375f) << ib;
}

TEST(Catalogue, RowsOfAllEightSets) {
  struct Row {
    const char* suffix;
    int ns;
    float lo, hi;
    int seg;
    const char* code;
  };
  const Row want[8] = {
      {"29", 6, 260, 178, 1, " 29 "}, {"23", 6, 260, 178, 0, " 22 "}, {"37", 6, 240, 185, 1, " 37 "},
      {"43", 6, 240, 190, 1, " 43 "}, {"P2", 5, 240, 185, 0, " 37 "}, {"42", 6, 240, 185, 1, " 42 "},
      {"48", 6, 240, 190, 1, " 48 "}, {"CA", 6, 240, 190, 1, " CA "},
  };
  for (int ib = 1; ib <= 8; ++ib) {
    const RefSetInfo* s = cdsec::find_ref_set(ib);
    ASSERT_NE(s, nullptr) << ib;
    const Row& r = want[ib - 1];
    EXPECT_EQ(s->ibasis, ib);
    EXPECT_EQ(s->suffix, r.suffix) << ib;
    EXPECT_EQ(s->ns, r.ns) << ib;
    EXPECT_EQ(s->long_limit, r.lo) << ib;
    EXPECT_EQ(s->short_limit, r.hi) << ib;
    EXPECT_EQ(s->segment_flag, r.seg) << ib;
    EXPECT_EQ(s->summary_code, r.code) << ib;
  }
  const std::array<std::string_view, 6> split{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
  for (int ib : {1, 3, 4, 6, 7, 8}) EXPECT_EQ(cdsec::find_ref_set(ib)->labels, split) << ib;
  EXPECT_EQ(cdsec::find_ref_set(2)->labels,
            (std::array<std::string_view, 6>{"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"}));
  EXPECT_EQ(cdsec::find_ref_set(5)->labels,
            (std::array<std::string_view, 6>{"AHel", "BSht", "Turn", "PP2 ", "Unrd", "Unrd"}));
  EXPECT_EQ(cdsec::find_ref_set(0), nullptr);
  EXPECT_EQ(cdsec::find_ref_set(9), nullptr);
  EXPECT_EQ(cdsec::find_ref_set(-1), nullptr);
}

// ---------------------------------------------------------------- finding the files

// The order of the places (working directory, CDSEC_REFDIR, installed
// data, source tree) is checked through the program in package_test.
TEST_F(RefDirTest, AMissingFileNamesEveryPlaceTried) {
  ::setenv("CDSEC_REFDIR", (dir() / "refs").c_str(), 1);
  ReadError e = read_error_of([] { cdsec::locate_ref_file("SSDATA.48"); });
  EXPECT_EQ(e.kind(), ReadError::Kind::kCannotOpen);
  const std::string m = e.what();
  EXPECT_NE(m.find("SSDATA.48"), std::string::npos) << m;
  EXPECT_NE(m.find("working directory"), std::string::npos) << m;
  EXPECT_NE(m.find((dir() / "refs").string()), std::string::npos) << m;
  EXPECT_NE(m.find(cdsec::configured_data_dir()), std::string::npos) << m;

  ::unsetenv("CDSEC_REFDIR");
  const std::string m2 = read_error_of([] { cdsec::locate_ref_file("SSDATA.48"); }).what();
  EXPECT_NE(m2.find("CDSEC_REFDIR (not set)"), std::string::npos) << m2;
}

// ---------------------------------------------------------------- SELBAS

TEST_F(RefDirTest, SelbasLoadsInFileOrderWithDistances) {
  auto prots = family(3);
  prots[1].scale_field = " 2.000";
  write_set(dir(), "29", prots);
  // 12 points from 200 nm: database points 61..72 (K0 = 60).
  set_sample(nullptr, 0, 12);
  selbas(1, 200.0f);
  ASSERT_EQ(ws_.np, 4);
  EXPECT_EQ(ws_.names[0], "TEST");
  EXPECT_EQ(ws_.dist(1), 0.0f);
  for (int p = 2; p <= 4; ++p) {
    const auto& tp = prots[static_cast<std::size_t>(p - 2)];
    const float scale = p == 3 ? 2.0f : 1.0f;
    EXPECT_EQ(ws_.names[static_cast<std::size_t>(p - 1)], tp.name);
    cdsec::Vector<83> col;
    for (int i = 1; i <= 12; ++i) {
      col(i) = cd_value(tp.cd[static_cast<std::size_t>(59 + i)]) * scale;
      EXPECT_EQ(ws_.cd(i, p), col(i)) << p << "," << i;
    }
    EXPECT_EQ(ws_.dist(p), cdsec::RMS(sample_, col, 12)) << p;
    for (int j = 1; j <= 6; ++j) EXPECT_EQ(ws_.ss(p, j), ss_value(tp.ss[static_cast<std::size_t>(j - 1)]));
  }
  for (int i = 1; i <= 12; ++i) EXPECT_EQ(ws_.cd(i, 1), sample_(i));
  EXPECT_EQ(report_.str(), "");
}

TEST_F(RefDirTest, SelbasRefusesWhatItCannotHold) {
  write_set(dir(), "29", family(1));
  set_sample(nullptr, 0, 10);
  try {
    selbas(9, 260.0f);
    ADD_FAILURE() << "IBasis 9 accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("9"), std::string::npos) << e.what();
  }
  // 10 points from 180 nm would run past 178 nm.
  EXPECT_THROW(selbas(1, 180.0f), std::invalid_argument);
  EXPECT_THROW(selbas(1, 261.0f), std::invalid_argument);
  // A set whose files are not there.
  EXPECT_THROW(selbas(4, 240.0f), ReadError);
}

}  // namespace
