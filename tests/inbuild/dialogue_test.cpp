// The whole dialogue driven with answer texts in a scratch directory: a run
// that finds INPUT write-protected never changes it.  The INPUT written, and
// the answers ending at every question (answers_end_choice ... _set and
// stdin_ends), are pinned by the INBUILD golden cases; the INPUT is read back
// by the job reader in the builder's test.
#include "inbuild/dialogue.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>

#include "frame/layout.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;

namespace {

// A scratch folder with the reads and writes the tests make in it.
class Scratch : public cdsec_test::ScratchDir {
 public:
  Scratch() : ScratchDir("inbuild-dialogue") {}
  void write(const std::string& name, const std::string& text) const { cdsec_test::write_file(*this / name, text); }
  std::string read(const std::string& name) const { return cdsec_test::read_file(*this / name); }
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

// A write-protected INPUT is refused in both modes before any question is
// asked, and stays as it was (a replacement would have renamed over it).
TEST(InbuildDialogue, WriteProtectedInputIsNeverReplacedOrExtended) {
  for (const char* choice : {"0", "1"}) {
    SCOPED_TRACE(std::string("choice ") + choice);
    Scratch dir;
    dir.write("cd.dat", data_file(260, 178));
    dir.write("INPUT", "kept\n");
    const fs::perms read_only = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(dir / "INPUT", read_only);
    Outcome r = dialogue(dir, std::string(choice) + kAnswers.substr(1));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tail_line(r.console), "  INPUT is write-protected; INPUT not changed");
    EXPECT_EQ(dir.read("INPUT"), "kept\n");
#ifndef _WIN32
    EXPECT_EQ(fs::status(dir / "INPUT").permissions(), read_only);
#endif
    fs::permissions(dir / "INPUT", fs::perms::owner_write, fs::perm_options::add);
  }
}

}  // namespace
