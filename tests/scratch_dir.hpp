// A temporary folder of a test's own, removed when the test ends, and the
// file helpers the tests share (all portable).  The folder's name is drawn at
// random and the folder must be new, so that the test programs ctest runs in
// parallel, and the suites of two build trees, never share one.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace cdsec_test {

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    std::random_device entropy;
    do {
      path_ = std::filesystem::temp_directory_path() / ("cdsec-" + tag + "-" + std::to_string(entropy()));
    } while (!std::filesystem::create_directory(path_));
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Whole-file reads and writes, a directory's names and a text's lines.
inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::filesystem::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// The names in a directory, sorted.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> v;
  for (const auto& e : std::filesystem::directory_iterator(dir)) v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

// A text's lines, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

// Lines joined, each ended by a newline.
inline std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// How often `what` occurs in `text`, overlaps counted.
inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The reviewed text `got` is compared with: the file `expected`, or, when
// CDSEC_UPDATE_EXPECTED is set in the environment, `got` itself, written
// there for review with git diff.  Use as
// EXPECT_EQ(reviewed(path, got), got).
inline std::string reviewed(const std::filesystem::path& expected, const std::string& got) {
  if (std::getenv("CDSEC_UPDATE_EXPECTED")) {
    std::filesystem::create_directories(expected.parent_path());
    write_file(expected, got);
  }
  return read_file(expected);
}

}  // namespace cdsec_test
