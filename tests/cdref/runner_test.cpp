// The process runner against a program that echoes what it was given: the
// same table on Linux and, through Wine, on Windows, where each argument
// must survive the command line's quoting and the UTF-16 conversion.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cdref/runner.hpp"

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> env;
  int idle_limit;
  int exit_code;  // -1: stopped by the time limit
};

TEST(Runner, ArgumentsEnvironmentExitCodesAndTheTimeLimit) {
  const fs::path scratch = cdref::make_temp_dir("cdsec-runner");
  // The program and its working directory both in folders whose names have
  // spaces and letters beyond ASCII.
  // (UTF-8 literals: a plain string becomes a path through the C library's
  // narrow encoding on Windows.)
  const fs::path bin = scratch / fs::path(u8"bin dir ü"), work = scratch / fs::path(u8"wörk dir");
  fs::create_directories(bin);
  fs::create_directories(work);
  const fs::path echo = bin / ("echo args" + fs::path(CDSEC_ECHO_ARGS).extension().string());
  fs::copy_file(fs::absolute(CDSEC_ECHO_ARGS), echo);
  fs::permissions(echo, fs::perms::owner_all, fs::perm_options::add);

  const std::vector<Case> cases = {
      {"plain words", {"one", "two"}, {}, 0, 0},
      {"blanks and empty", {"two words", "", " lead", "tab\there", "trail "}, {}, 0, 0},
      {"quotes", {"say \"hi\"", "\"", "\"\"", "a\"b c"}, {}, 0, 0},
      {"backslashes", {"C:\\dir\\", "\\\\server\\share", "end\\\\", "q\\\"x", "\\ sp\\"}, {}, 0, 0},
      {"beyond ASCII", {"ünïcødé", "αβγ δ", "日本語", "Ψ\"ü\\"}, {"ECHO_VALUE=a value; with=signs"}, 0, 0},
      {"exit status 3", {"x"}, {"ECHO_EXIT=3"}, 0, 3},
      {"exit status 200", {}, {"ECHO_EXIT=200"}, 0, 200},
      {"stalled and stopped", {"slow"}, {"ECHO_SLEEP=60"}, 1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cdref::ProcessSetup setup;
    setup.program = echo;
    setup.args = c.args;
    setup.dir = work;
    setup.env = c.env;
    setup.env_removed = {"ECHO_SLEEP", "ECHO_EXIT"};
    setup.out_file = work / "out.txt";
    setup.err_file = work / "err.txt";
    const cdref::ProcessOutcome o = cdref::run_process(setup, c.idle_limit, [] { return false; });
    if (c.exit_code < 0) {
      EXPECT_TRUE(o.timed_out);
      EXPECT_FALSE(o.exited);
      EXPECT_LT(o.seconds, 30.0);
      continue;
    }
    ASSERT_TRUE(o.exited);
    EXPECT_FALSE(o.timed_out);
    EXPECT_EQ(o.exit_code, c.exit_code);
    std::string want;
    for (const std::string& a : c.args) want += "[" + a + "]\n";
    want += "dir wörk dir\n";
    // The test sets ECHO_VALUE in its own environment, which is inherited.
    const char* inherited = std::getenv("ECHO_VALUE");
    std::string value = inherited ? inherited : "unset";
    for (const std::string& e : c.env)
      if (e.starts_with("ECHO_VALUE=")) value = e.substr(11);
    want += "ECHO_VALUE " + value + "\n";
    EXPECT_EQ(read(setup.out_file), want);
    EXPECT_EQ(read(setup.err_file), "stdin 0 bytes\n");
  }

  // Standard input from a file, and a variable of this process removed.
  cdref::ProcessSetup setup;
  setup.program = echo;
  setup.dir = work;
  setup.in_file = work / "in.txt";
  std::ofstream(setup.in_file, std::ios::binary) << "12345";
  setup.out_file = work / "out.txt";
  setup.err_file = work / "err.txt";
  setup.env_removed = {"ECHO_VALUE"};
  const cdref::ProcessOutcome o = cdref::run_process(setup, 0, nullptr);
  EXPECT_TRUE(o.exited);
  EXPECT_EQ(read(setup.err_file), "stdin 5 bytes\n");
  EXPECT_EQ(read(setup.out_file), "dir wörk dir\nECHO_VALUE unset\n");

  std::error_code ec;
  fs::remove_all(scratch, ec);
}

}  // namespace
