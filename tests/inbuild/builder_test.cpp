// The builder's parts: the Job text in the job-file layout and read back by
// the job reader, and INPUT replaced without ever holding half a Job.
// (Reading points from data files: the INBUILD golden cases, among them
// skip_lines_end_at_eof, text_column_after_values and fewer_lines_per_nm.)  (Appending to a new INPUT,
// to an earlier one and after a last line without its newline: the golden
// cases append_no_input, append_existing and summary_own_line.)
#include "inbuild/builder.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <sstream>
#include <vector>

#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::JobReader;
using cdsec::LineReader;
using namespace cdsec::inbuild;

namespace {

// A scratch folder with the reads and writes the tests make in it.
class TempDir : public cdsec_test::ScratchDir {
 public:
  TempDir() : ScratchDir("inbuild") {}
  void write(const std::string& name, const std::string& text) const { cdsec_test::write_file(*this / name, text); }
  std::string read(const std::string& name) const { return cdsec_test::read_file(*this / name); }
  std::vector<std::string> entries() const { return cdsec_test::names_in(path()); }
};

using cdsec_test::lines_of;

JobDraft sample_job(int n, int ibasis) {
  JobDraft j;
  j.ibasis = ibasis;
  j.title = "Lysozyme pH 7, 0.1 mm cell";
  j.longer = 260.0f;
  j.shorter = 260.0f - static_cast<float>(n - 1);
  j.n = n;
  for (int k = 1; k <= n; ++k) j.cd(k) = 0.25f * static_cast<float>(k) - 3.0f;
  return j;
}

// A CD value as the job file holds it: written with F8.3, parsed back.
float as_written(float v) {
  std::string t = cdsec::edit_F(v, 8, 3);
  float back = -1.0e30f;
  EXPECT_TRUE(cdsec::parse_real(t.substr(t.find_first_not_of(' ')), back)) << t;
  return back;
}

std::string blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

// ------------------------------------------------------------ the Job text

TEST(InbuildJobText, TitleIsCutOrPaddedTo40Characters) {
  JobDraft j = sample_job(1, 1);
  j.title = std::string(40, 'x') + "TAIL";
  std::ostringstream out;
  write_job(out, j);
  EXPECT_EQ(lines_of(out.str())[5], std::string(40, 'x'));
  j.title.clear();
  std::ostringstream empty;
  write_job(empty, j);
  EXPECT_EQ(lines_of(empty.str())[5], blanks(40));
}

// What the analysis programs read from the text is the Job that was built,
// to the precision written (3 decimals for CD values, 4 for wavelengths).
TEST(InbuildJobText, ReadBackByTheJobReaderAsTheSameJob) {
  TempDir dir;
  JobDraft a = sample_job(83, 1);
  for (int k = 1; k <= 83; ++k) a.cd(k) = 0.001234f * static_cast<float>(k * k) - 4.0f;
  a.longer = 260.0f;
  a.shorter = 178.0f;
  JobDraft b = sample_job(100, 7);
  b.title = "second job";
  std::ostringstream ta, tb;
  write_job(ta, a);
  write_job(tb, b);
  ASSERT_EQ(append_file(dir / "INPUT", ta.str()), "");
  ASSERT_EQ(append_file(dir / "INPUT", tb.str()), "");

  LineReader in;
  in.open((dir / "INPUT").string(), "INPUT");
  JobReader job(in);
  for (const JobDraft* want : {&a, &b}) {
    ASSERT_TRUE(job.begin());
    int iprint = -1, ibasis = -1;
    job.read_print_basis(iprint, ibasis);
    EXPECT_EQ(iprint, 0);
    EXPECT_EQ(ibasis, want->ibasis);
    std::string title = want->title;
    title.resize(64, ' ');
    EXPECT_EQ(job.read_title(64), title);
    float first = 0, last = 0, factor = 0;
    job.read_range(first, last, factor);
    EXPECT_EQ(first, want->longer);
    EXPECT_EQ(last, want->shorter);
    EXPECT_EQ(factor, 1.0f);
    const long long n = JobReader::point_count(first, last);
    ASSERT_EQ(n, want->n);
    cdsec::Vector<100> cd;
    job.read_cd(static_cast<int>(n), 100, cd.view());
    for (int k = 1; k <= want->n; ++k) {
      const float written = as_written(want->cd(k));
      EXPECT_EQ(cd(k), written) << "point " << k;
      EXPECT_NEAR(cd(k), want->cd(k), 0.0005f) << "point " << k;
    }
    job.skip_after_cd();
    int iguess = -1;
    cdsec::Vector<6> guess;
    guess.fill(9.0f);
    job.read_guess(6, iguess, guess.view());
    EXPECT_EQ(iguess, 0);  // closest reference protein as the initial guess
    for (int j = 1; j <= 6; ++j) EXPECT_EQ(guess(j), 0.0f);
  }
  EXPECT_FALSE(job.begin());  // the second job ends the file
}

// ------------------------------------------------------------ values per nm

TEST(InbuildRange, LinesPerNmIsTheIntegerPart) {
  const std::pair<float, int> cases[] = {{1.0f, 1},   {5.0f, 5},          {2.7f, 2},         {0.5f, 0},
                                         {-3.5f, -3}, {1.0e12f, INT_MAX}, {-1.0e12f, INT_MIN}};
  for (auto [per_nm, lines] : cases) EXPECT_EQ(lines_per_nm(per_nm), lines) << per_nm;
}

// ------------------------------------------------------------ INPUT on disk

TEST(InbuildInputFile, ReplaceLeavesOnlyTheNewTextAndNoTemporaryFile) {
  TempDir dir;
  dir.write("INPUT", "old job\nold job line 2\n");
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir / "INPUT", mode);
  EXPECT_EQ(replace_file(dir / "INPUT", "new\n"), "");
  EXPECT_EQ(dir.read("INPUT"), "new\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"INPUT"});
#ifndef _WIN32
  EXPECT_EQ(fs::status(dir / "INPUT").permissions(), mode) << "the mode is kept";
#endif
  EXPECT_EQ(replace_file(dir / "NEW", "created\n"), "");
  EXPECT_EQ(dir.read("NEW"), "created\n");
}

TEST(InbuildInputFile, FailuresSayWhyAndTouchNothing) {
  TempDir dir;
  std::string err = replace_file(dir / "missing" / "INPUT", "x\n");
  EXPECT_NE(err.find("cannot create a temporary file in"), std::string::npos) << err;
  err = append_file(dir / "missing" / "INPUT", "x\n");
  EXPECT_EQ(err.rfind("cannot open INPUT for appending: ", 0), 0u) << err;
  fs::create_directory(dir / "INPUT");  // INPUT is a directory: neither can write it
  EXPECT_NE(append_file(dir / "INPUT", "x\n"), "");
  EXPECT_NE(replace_file(dir / "INPUT", "x\n"), "");
  EXPECT_TRUE(fs::is_directory(dir / "INPUT"));
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"INPUT"});  // the temporary file is gone
}

}  // namespace
