// Starting the analysis programs as a user would at the console: in a
// directory of their own, standard input closed (their wait for Enter after
// each job returns at once), the console output kept in files, a few
// environment variables set, and stopped when they stall.
//
// run_process is the platform's part (fork and execve in runner_posix.cpp,
// CreateProcessW in runner_windows.cpp); run_program adds what the programs
// have in common: counting the jobs they finish from their console output.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace cdref {

struct ProcessSetup {
  std::filesystem::path program;         // the executable
  std::vector<std::string> args;         // after the program's own name
  std::filesystem::path dir;             // working directory
  std::vector<std::string> env;          // "NAME=value", replacing any inherited NAME
  std::vector<std::string> env_removed;  // NAMEs not passed on from this process
  std::filesystem::path in_file;         // standard input (empty: the null device)
  std::filesystem::path out_file, err_file;  // standard output and error (created or emptied)
};

struct ProcessOutcome {
  bool exited = false;  // ended by itself; exit_code is its status
  int exit_code = -1, signal = 0;  // signal: POSIX only (a crash on Windows is an exit code)
  bool timed_out = false;  // stopped for making no progress
  double seconds = 0;
};

// Runs the program to its end.  `watch` is called about ten times a second
// while it runs and returns whether it made progress; after `idle_limit`
// seconds without progress (0: no limit) the program is stopped.  Throws
// std::runtime_error when it cannot be started.
ProcessOutcome run_process(const ProcessSetup& setup, int idle_limit, const std::function<bool()>& watch);

// One analysis program over the INPUT in `dir`: console output in
// <console>.out and <console>.err there, `env` as above.  `on_job` is told the
// number of jobs finished whenever it grows (each job ends with the
// programs' " End of Program" message); a program that finishes no job for
// job_timeout seconds is stopped.
struct RunOutcome {
  bool exited = false;
  int exit_code = -1, signal = 0;
  bool timed_out = false;
  int jobs_done = 0;
  double seconds = 0;
  std::string stderr_text;
};
RunOutcome run_program(const std::filesystem::path& exe, const std::filesystem::path& dir,
                       const std::vector<std::string>& env, int job_timeout,
                       const std::function<void(int jobs_done)>& on_job, const std::string& console = "console");

// Finds a program: `given` when not empty; else next to the running cdref
// (installed layout), else in the build tree (../build_dir from cdref's
// directory), else on PATH.  Throws std::runtime_error naming what to give
// (`option` PATH) when it is nowhere.
std::filesystem::path find_executable(const std::string& name, const std::string& build_dir, const std::string& given,
                                      const std::string& option);

// Whether standard error is a terminal (progress lines rewrite themselves).
bool stderr_is_terminal();

// The platform's ways with program files, for find_executable.
namespace platform {
extern const char kPathListSeparator;  // between the directories of PATH
extern const char* const kProgramSuffix;  // of executable files ("" or ".exe")
bool is_runnable(const std::filesystem::path& file);
}  // namespace platform

// A new empty directory under the system's temporary directory, named from
// `stem`.  Throws std::runtime_error.
std::filesystem::path make_temp_dir(const std::string& stem);

// The directory the programs run in: `given` (which must be new or empty)
// when not empty, else a new one under the temporary directory named from
// `stem`, removed again on destruction unless `keep`.  Throws
// std::runtime_error.
class ScratchDir {
 public:
  ScratchDir(const std::string& given, const std::string& stem, bool keep);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  bool remove_ = false;
};

}  // namespace cdref
