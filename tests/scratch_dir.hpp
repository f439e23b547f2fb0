// A temporary folder of a test's own, removed when the test ends.  The name is
// drawn at random and the folder must be new, so that the test programs ctest
// runs in parallel, and the suites of two build trees, never share one.
#pragma once

#include <filesystem>
#include <random>
#include <string>
#include <system_error>

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

}  // namespace cdsec_test
