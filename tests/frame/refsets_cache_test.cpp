// A reference set kept between jobs: served again only while both files are
// the ones it was read from, read again after any change, never kept when
// the reading failed.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;

namespace {

// Protein k's CD value at point i in hundredths, shifted by `bias` so that
// two versions of a set differ in value but not in length.
int cd_hundredths(int k, int i, int bias) { return (k * 37 + i * 11 + k * i + bias) % 900; }

// Writes CDDATA.<suffix> and SSDATA.<suffix> with n proteins; every number
// has the same width whatever the bias, so versions have the same size.
void write_set(const fs::path& dir, const std::string& suffix, int n, int bias, const std::string& bad_value = {}) {
  std::ofstream cd(dir / ("CDDATA." + suffix), std::ios::binary | std::ios::trunc);
  std::ofstream ss(dir / ("SSDATA." + suffix), std::ios::binary | std::ios::trunc);
  cdsec::put(cd, R"(["  header one"])");
  cdsec::put(cd, R"(["  header two"])");
  for (int k = 1; k <= n; ++k) {
    std::string name = k < 10 ? "Q00" : "Q0";
    name += std::to_string(k);
    cdsec::put(cd, R"([1X, A4])", name);
    std::array<float, 83> v{};
    for (int i = 0; i < 83; ++i) v[static_cast<std::size_t>(i)] = static_cast<float>(cd_hundredths(k, i, bias)) / 100.0f;
    std::ostringstream lines;
    cdsec::put(lines, R"([(15F6.2)])", std::span<const float>(v));
    std::string text = lines.str();
    // The bad value replaces protein 2's first field, keeping the width.
    if (k == 2 && !bad_value.empty()) text.replace(0, 6, bad_value);
    cd << text;
    cdsec::put(ss, R"([1X, A4])", name);
    std::array<float, 6> f{0.1f, 0.2f, 0.3f, 0.1f, 0.1f, 0.2f};
    cdsec::put(ss, R"([6F8.3])", std::span<const float>(f));
  }
}

class RefCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::current_path(dir_);
    ::unsetenv("CDSEC_REFDIR");
    for (int i = 1; i <= 83; ++i) sample_(i) = 20.0f + 0.01f * static_cast<float>(i);
  }
  void TearDown() override { fs::current_path(old_cwd_); }
  // One job's loading of set 1; the first CD value of reference protein k.
  void job() {
    basis_.str({});
    report_.str({});
    cdsec::SELBAS("TEST", sample_, 83, 6, 260.0f, 1, ws_, basis_, report_);
  }
  float first_cd(int k) const { return ws_.cd(1, k + 1); }
  std::string error_of_job() {
    try {
      job();
    } catch (const cdsec::ReadError& e) {
      return e.what();
    }
    return "no error";
  }

  cdsec_test::ScratchDir scratch_{"refcache"};
  fs::path dir_ = scratch_.path(), old_cwd_ = fs::current_path();
  cdsec::Vector<83> sample_;
  cdsec::WorkingSet ws_;
  std::ostringstream basis_, report_;
};

float expected(int k, int bias) { return static_cast<float>(cd_hundredths(k, 0, bias)) / 100.0f; }

TEST_F(RefCacheTest, AnUnchangedSetIsServedAgainWithTheSameResults) {
  write_set(dir_, "29", 5, 0);
  const auto before = cdsec::ref_cache_counts();
  job();
  const std::string basis1 = basis_.str();
  job();
  const auto after = cdsec::ref_cache_counts();
  EXPECT_EQ(after.parsed - before.parsed, 1);
  EXPECT_EQ(after.reused - before.reused, 1);
  EXPECT_EQ(basis_.str(), basis1);
  EXPECT_EQ(ws_.np, 6);
  EXPECT_EQ(first_cd(3), expected(3, 0));
  // Provenance is filled for the job that was served from the kept set.
  EXPECT_EQ(ws_.cd_file.path, "CDDATA.29");
  EXPECT_EQ(ws_.ss_file.path, "SSDATA.29");
}

// A set changed without a change of size is read again: rewritten in place
// with another time; rewritten within one tick of the file system's clock
// (same inode, size and time: only the bytes tell); replaced by a rename
// with the same time (only the inode tells).
TEST_F(RefCacheTest, ChangesOfTheSameSizeAreReadAgain) {
  const struct {
    int bias;
    std::chrono::hours first_age, cd_age;
    bool rename;
  } cases[] = {{7, std::chrono::hours(3), std::chrono::hours(2), false},
               {3, std::chrono::hours(0), std::chrono::hours(0), false},
               {11, std::chrono::hours(5), std::chrono::hours(5), true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bias);
    const auto now = fs::file_time_type::clock::now();
    write_set(dir_, "29", 5, 0);
    for (const char* f : {"CDDATA.29", "SSDATA.29"}) fs::last_write_time(dir_ / f, now - c.first_age);
    const auto size0 = fs::file_size(dir_ / "CDDATA.29");
    job();
    ASSERT_EQ(first_cd(2), expected(2, 0));
    const fs::path at = c.rename ? dir_ / "new" : dir_;
    fs::create_directories(at);
    write_set(at, "29", 5, c.bias);
    fs::last_write_time(at / "CDDATA.29", now - c.cd_age);
    fs::last_write_time(at / "SSDATA.29", now - c.first_age);
    if (c.rename) fs::rename(at / "CDDATA.29", dir_ / "CDDATA.29");
    ASSERT_EQ(fs::file_size(dir_ / "CDDATA.29"), size0);
    job();
    EXPECT_EQ(first_cd(2), expected(2, c.bias));
    ASSERT_NE(expected(2, c.bias), expected(2, 0));
  }
}

TEST_F(RefCacheTest, ABadFileStaysReportedAndIsNeverKept) {
  write_set(dir_, "29", 5, 0, "  x.15");
  const std::string first = error_of_job();
  EXPECT_NE(first.find("CDDATA.29, line 11, columns 1-6: expected a number, found \"  x.15\""), std::string::npos)
      << first;
  const std::string partial = basis_.str();
  EXPECT_EQ(error_of_job(), first);
  EXPECT_EQ(basis_.str(), partial);  // the names read before the error, again
  // Mended: loads; broken again in place with the same size: reported again.
  write_set(dir_, "29", 5, 0);
  job();
  EXPECT_EQ(ws_.np, 6);
  write_set(dir_, "29", 5, 0, "  x.15");
  EXPECT_EQ(error_of_job(), first);
}

TEST_F(RefCacheTest, AnotherDirectoryNamesAnotherFile) {
  // The same name found elsewhere is not the kept file.
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  write_set(dir_ / "a", "29", 5, 0);
  write_set(dir_ / "b", "29", 5, 5);
  ::setenv("CDSEC_REFDIR", (dir_ / "a").c_str(), 1);
  job();
  EXPECT_EQ(first_cd(2), expected(2, 0));
  ::setenv("CDSEC_REFDIR", (dir_ / "b").c_str(), 1);
  job();
  ::unsetenv("CDSEC_REFDIR");
  EXPECT_EQ(first_cd(2), expected(2, 5));
  EXPECT_EQ(ws_.cd_file.path, (dir_ / "b" / "CDDATA.29").string());
}

TEST_F(RefCacheTest, TheVariableSelectionLoadingSeesChangesToo) {
  static cdsec::VsReferenceSet refs;
  write_set(dir_, "29", 5, 0);
  const auto& set = *cdsec::find_ref_set(1);
  cdsec::load_vs_references(set, sample_, 83, 260.0f, refs);
  ASSERT_EQ(refs.nbascd, 5);
  EXPECT_EQ(refs.cd(1, 2), expected(2, 0));
  write_set(dir_, "29", 5, 9);
  fs::last_write_time(dir_ / "CDDATA.29", fs::file_time_type::clock::now() - std::chrono::hours(1));
  cdsec::load_vs_references(set, sample_, 83, 260.0f, refs);
  EXPECT_EQ(refs.cd(1, 2), expected(2, 9));
  // A self-consistent job after it reads the set with its own fields.
  job();
  EXPECT_EQ(first_cd(2), expected(2, 9));
}

}  // namespace
