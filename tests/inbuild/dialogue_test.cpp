// The whole dialogue driven with answer texts in a scratch directory: the
// INPUT it writes is read back by the job reader as the Job that was asked
// for, and a run that stops early (end of the answers, a short or unreadable
// data file, a missing file) never creates or changes INPUT.
#include "inbuild/dialogue.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/layout.hpp"

namespace fs = std::filesystem;

namespace {

class Scratch {
 public:
  Scratch() {
    path_ = fs::temp_directory_path() / ("cdsec_inbuild_dlg_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~Scratch() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path_ / name, std::ios::binary) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool has(const std::string& name) const { return fs::exists(path_ / name); }

 private:
  fs::path path_;
  static inline int counter_ = 0;
};

struct Outcome {
  int status;
  std::string console;
};

Outcome dialogue(const Scratch& dir, const std::string& answers) {
  std::istringstream in(answers);
  std::ostringstream out;
  int status = cdsec::inbuild::run(in, out, dir.path());
  return {status, out.str()};
}

// A smooth synthetic spectrum in delta-epsilon units: a negative band near
// 220 nm and a positive one near 192 nm.
float spectrum(int nm) {
  const float x1 = (static_cast<float>(nm) - 220.0f) / 12.0f;
  const float x2 = (static_cast<float>(nm) - 192.0f) / 6.0f;
  return -9.0f * std::exp(-x1 * x1) + 14.0f * std::exp(-x2 * x2);
}

// Data from `from` to `to` nm in the file's own order, 1 line per nm.
std::string data_file(int from, int to, float scale = 1.0f) {
  std::string text;
  const int step = from > to ? -1 : 1;
  for (int nm = from;; nm += step) {
    text += cdsec::format("[F6.1, F12.4]", static_cast<float>(nm), spectrum(nm) * scale);
    if (nm == to) break;
  }
  return text;
}

const std::string kAnswers = "0\nsynthetic helix\n1\n178\n260\n0\ncd.dat\n0\n";

std::string tail_line(const std::string& console) {
  std::string t = console.substr(0, console.find_last_not_of('\n') + 1);
  return t.substr(t.rfind('\n') + 1);
}

// The values as the data file holds them (4 decimals), divided as the
// builder divides, then as INPUT holds them (3 decimals).
float expected_value(int nm, float scale, float divisor) {
  std::string t = cdsec::edit_F(spectrum(nm) * scale, 12, 4);
  float in_file = 0, written = 0;
  EXPECT_TRUE(cdsec::parse_real(t.substr(t.find_first_not_of(' ')), in_file));
  t = cdsec::edit_F(in_file / divisor, 8, 3);
  EXPECT_TRUE(cdsec::parse_real(t.substr(t.find_first_not_of(' ')), written));
  return written;
}

TEST(InbuildDialogue, WrittenJobIsReadBackAsTheJobAskedFor) {
  for (bool molar : {false, true}) {
    SCOPED_TRACE(molar ? "molar ellipticity" : "delta epsilon");
    Scratch dir;
    const float scale = molar ? 3300.0f : 1.0f;
    dir.write("cd.dat", data_file(178, 260, scale));  // rising: written reversed
    const std::string answers = molar ? "0\nsynthetic helix\n1\n178\n260\n1\ncd.dat\n0\n" : kAnswers;
    Outcome r = dialogue(dir, answers);
    ASSERT_EQ(r.status, 0) << r.console;

    cdsec::LineReader in;
    in.open((dir.path() / "INPUT").string(), "INPUT");
    cdsec::JobReader job(in);
    ASSERT_TRUE(job.begin());
    int iprint = -1, ibasis = -1;
    job.read_print_basis(iprint, ibasis);
    EXPECT_EQ(ibasis, 1);  // the suggestion for data down to 178 nm
    EXPECT_EQ(job.read_title(50), "synthetic helix" + std::string(35, ' '));
    float first = 0, last = 0, factor = 0;
    job.read_range(first, last, factor);
    EXPECT_EQ(first, 260.0f);
    EXPECT_EQ(last, 178.0f);
    cdsec::Vector<100> cd;
    job.read_cd(83, 100, cd.view());
    for (int k = 1; k <= 83; ++k) EXPECT_EQ(cd(k), expected_value(261 - k, scale, molar ? 3300.0f : 1.0f)) << k;
    job.skip_after_cd();
    job.skip_guess();
    EXPECT_FALSE(job.begin());
  }
}

// The answers cut after each of their lines: every cut stops with a message
// naming the open question, and INPUT is untouched.
TEST(InbuildDialogue, EndOfAnswersAtEveryQuestionStopsCleanly) {
  const std::vector<std::string> answers = {"0", "t", "1", "260", "178", "0", "cd.dat", "0"};
  const std::vector<std::string> waiting = {"0 (new INPUT) or 1 (append)",
                                            "the TITLE",
                                            "the number of CD values per nm",
                                            "the INITIAL wavelength",
                                            "the FINAL wavelength",
                                            "1 (molar ellipticity) or 0 (delta(e))",
                                            "the name of the CD data file",
                                            "the number of the reference set"};
  for (std::size_t cut = 0; cut < answers.size(); ++cut) {
    SCOPED_TRACE("answers cut after " + std::to_string(cut) + " lines");
    Scratch dir;
    dir.write("cd.dat", data_file(260, 178));
    dir.write("INPUT", "kept\n");
    std::string text;
    for (std::size_t i = 0; i < cut; ++i) text += answers[i] + "\n";
    if (cut != 1) text += "   \n\n";  // blank lines are no number (but a title)
    Outcome r = dialogue(dir, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tail_line(r.console), "  END OF INPUT while waiting for " + waiting[cut] + "; INPUT not changed");
    EXPECT_EQ(dir.read("INPUT"), "kept\n");
  }
}

// A write-protected INPUT is refused in both modes before any question is
// asked, and stays as it was (a replacement would have renamed over it).
TEST(InbuildDialogue, WriteProtectedInputIsNeverReplacedOrExtended) {
  for (const char* choice : {"0", "1"}) {
    SCOPED_TRACE(std::string("choice ") + choice);
    Scratch dir;
    dir.write("cd.dat", data_file(260, 178));
    dir.write("INPUT", "kept\n");
    ::chmod((dir.path() / "INPUT").c_str(), 0444);
    Outcome r = dialogue(dir, std::string(choice) + kAnswers.substr(1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tail_line(r.console), "  INPUT is write-protected; INPUT not changed");
    EXPECT_EQ(dir.read("INPUT"), "kept\n");
    EXPECT_EQ(fs::status(dir.path() / "INPUT").permissions() & fs::perms::all, fs::perms(0444));
  }
}

}  // namespace
