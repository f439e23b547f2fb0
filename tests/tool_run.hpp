// Helpers for tests that run the package's command-line tools: a scratch
// directory removed afterwards, a command run with its output captured, and
// whole-file reads.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
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

#ifdef CDSEC_GOLDEN_RUNNER
// Runs a reviewed golden case again through the golden runner, with `env`
// (KEY=VALUE words) added to the case's environment, in the new directory
// `root` (the program's files in root/work, kept).  Empty when every output
// is as reviewed, else what the runner found different.
inline std::string rerun_golden_case(const fs::path& case_dir, const std::string& program,
                                     const std::vector<std::string>& env, const fs::path& root,
                                     const ScratchDir& scratch) {
  std::string cmd = sh_quote(CDSEC_GOLDEN_RUNNER) + " --program " + sh_quote(program) + " --case " +
                    sh_quote(case_dir.string()) + " --work " + sh_quote(root.string());
  for (const std::string& e : env) cmd += " --env " + sh_quote(e);
  const RunResult r = run(cmd, scratch);
  return r.status == 0 ? std::string() : r.err + "(status " + std::to_string(r.status) + ")";
}
#endif

}  // namespace cdsec_test
