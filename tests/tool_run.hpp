// Helpers for tests that run the package's command-line tools: a scratch
// directory removed afterwards, a command run with its output captured, and
// whole-file reads.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "scratch_dir.hpp"

namespace cdsec_test {

namespace fs = std::filesystem;

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

// The reviewed text `got` is compared with: the file `expected`, or, when
// CDSEC_UPDATE_EXPECTED is set in the environment, `got` itself, written
// there for review with git diff.  Use as
// EXPECT_EQ(reviewed(path, got), got).
inline std::string reviewed(const fs::path& expected, const std::string& got) {
  if (std::getenv("CDSEC_UPDATE_EXPECTED")) {
    fs::create_directories(expected.parent_path());
    write_file(expected, got);
  }
  return read_file(expected);
}

// Empty when `file` is well-formed XML by Python's parser, else its message.
inline std::string xml_error(const fs::path& file, const ScratchDir& scratch) {
  const RunResult r =
      run("python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' " + sh_quote(file.string()), scratch);
  return r.status == 0 ? std::string() : "not well-formed XML: " + r.err;
}

// A copy of a program of the build tree in `dir`, which is made if need be:
// run from there it finds no reference sets but those it is given (the
// build tree's programs fall back on the source tree's data/).
inline std::string detached_copy(const std::string& build_binary, const fs::path& dir) {
  fs::create_directories(dir);
  const fs::path copy = dir / fs::path(build_binary).filename();
  fs::copy_file(build_binary, copy, fs::copy_options::overwrite_existing);
  return copy.string();
}

// Runs a reviewed golden case again in `work` (its in/ files copied there,
// its stdin fed, `env` words added to the environment, CDSEC_REFDIR unset,
// the program run from a copy in work/.bin, away from the build tree's
// reference sets, as the golden runner does, `work` written @RUN@ in what
// the program printed) and returns the names of the
// expected outputs that came out differently, "console", "stderr" and
// "status" included.  Empty: all as reviewed.
inline std::vector<std::string> rerun_golden_case(const fs::path& case_dir, const std::string& build_binary,
                                                  const std::string& env, const ScratchDir& work) {
  for (const auto& f : fs::directory_iterator(case_dir / "in"))
    fs::copy_file(f.path(), work / f.path().filename().string());
  const std::string binary = detached_copy(build_binary, work / ".bin");
  const fs::path console = work / ".console", errors = work / ".stderr";
  const std::string in = fs::exists(case_dir / "stdin") ? (case_dir / "stdin").string() : "/dev/null";
  const std::string cmd = "cd " + sh_quote(work.str()) + " && env -u CDSEC_REFDIR " + env + " " + sh_quote(binary) +
                          " < " + sh_quote(in) + " > " + sh_quote(console.string()) + " 2> " +
                          sh_quote(errors.string());
  const int rc = std::system(cmd.c_str());
  const int status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  std::vector<std::string> differing;
  int want_status = 0;
  for (const auto& f : fs::directory_iterator(case_dir / "expected")) {
    const std::string n = f.path().filename().string();
    const std::string want = read_file(f.path());
    if (n == "status")
      want_status = std::stoi(want);
    else if (n == "console" || n == "stderr") {
      // The program's copy lies in work/.bin: its data directory, which the
      // golden runner writes @RUN@/share/cdsec, is work/share/cdsec here.
      std::string got = read_file(n == "console" ? console : errors);
      for (auto p = got.find(work.str()); p != std::string::npos; p = got.find(work.str(), p))
        got.replace(p, work.str().size(), "@RUN@");
      if (got != want) differing.push_back(n);
    } else if (read_file(work / n) != want) {
      differing.push_back(n);
    }
  }
  if (status != want_status) differing.push_back("status");
  fs::remove(console);
  fs::remove(errors);
  return differing;
}

}  // namespace cdsec_test
