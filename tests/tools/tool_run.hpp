// Helpers for tests that run the package's command-line tools: a scratch
// directory removed afterwards, a command run with its output captured, and
// whole-file reads.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace cdsec_test {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag) {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("cdsec-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const fs::path& p, const std::string& text) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << text;
}

// Quotes a word for /bin/sh.
inline std::string sh_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) {
    if (c == '\'')
      q += "'\\''";
    else
      q += c;
  }
  return q + "'";
}

struct RunResult {
  int status = -1;  // exit status, -1 when the command did not exit normally
  std::string out, err;
};

// Runs `command` (a shell command line) with stdout and stderr captured in
// files of `scratch`.
inline RunResult run(const std::string& command, const ScratchDir& scratch) {
  static std::atomic<int> counter{0};
  int k = counter++;
  fs::path out = scratch / ("run" + std::to_string(k) + ".out"), err = scratch / ("run" + std::to_string(k) + ".err");
  std::string line = command + " > " + sh_quote(out.string()) + " 2> " + sh_quote(err.string()) + " < /dev/null";
  int rc = std::system(line.c_str());
  RunResult r;
  r.status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  fs::remove(out);
  fs::remove(err);
  return r;
}

}  // namespace cdsec_test
