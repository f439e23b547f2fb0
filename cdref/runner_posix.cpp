// The runner on POSIX systems: fork and execve.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include "cdref/runner.hpp"

extern char** environ;

namespace cdref {

namespace fs = std::filesystem;

ProcessOutcome run_process(const ProcessSetup& setup, int idle_limit, const std::function<bool()>& watch) {
  // Everything the child needs is prepared before the fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    const std::string_view v = *e;
    bool replaced = false;
    for (const std::string& s : setup.env) replaced = replaced || v.starts_with(s.substr(0, s.find('=') + 1));
    for (const std::string& s : setup.env_removed) replaced = replaced || v.starts_with(s + "=");
    if (!replaced) env_text.emplace_back(v);
  }
  env_text.insert(env_text.end(), setup.env.begin(), setup.env.end());
  std::vector<char*> envp;
  for (std::string& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text = {setup.program.native()};
  arg_text.insert(arg_text.end(), setup.args.begin(), setup.args.end());
  std::vector<char*> argv;
  for (std::string& s : arg_text) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string dir = setup.dir.native(), out_path = setup.out_file.native(), err_path = setup.err_file.native();
  const std::string in_path = setup.in_file.empty() ? "/dev/null" : setup.in_file.native();

  ProcessOutcome o;
  const auto start = std::chrono::steady_clock::now();
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + arg_text[0] + ": " + std::strerror(errno));
  if (pid == 0) {
    const int in = open(in_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }

  auto last_change = std::chrono::steady_clock::now();
  int status = 0;
  // Short runs are common (one job takes milliseconds): look often at first.
  int pause_ms = 2;
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) throw std::runtime_error("waiting for " + arg_text[0] + ": " + std::strerror(errno));
    const auto now = std::chrono::steady_clock::now();
    if (watch && watch()) last_change = now;
    if (idle_limit > 0 && now - last_change > std::chrono::seconds(idle_limit)) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      o.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    pause_ms = std::min(100, pause_ms * 2);
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!o.timed_out && WIFEXITED(status)) {
    o.exited = true;
    o.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    o.signal = WTERMSIG(status);
  }
  return o;
}

namespace platform {
const char kPathListSeparator = ':';
const char* const kProgramSuffix = "";
bool is_runnable(const fs::path& file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec) && access(file.c_str(), X_OK) == 0;
}
}  // namespace platform

bool stderr_is_terminal() { return isatty(2) == 1; }

}  // namespace cdref
