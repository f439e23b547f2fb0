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

ProcessOutcome run_process(const ProcessSpec& spec, int idle_limit, const std::function<bool()>& watch) {
  // Everything the child needs is prepared before the fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    const std::string_view v = *e;
    bool replaced = false;
    for (const std::string& s : spec.env) replaced = replaced || v.starts_with(s.substr(0, s.find('=') + 1));
    if (!replaced) env_text.emplace_back(v);
  }
  env_text.insert(env_text.end(), spec.env.begin(), spec.env.end());
  std::vector<char*> envp;
  for (std::string& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_text = {spec.program.string()};
  arg_text.insert(arg_text.end(), spec.args.begin(), spec.args.end());
  std::vector<char*> argv;
  for (std::string& s : arg_text) argv.push_back(s.data());
  argv.push_back(nullptr);
  const std::string dir = spec.dir.string(), out_path = spec.out_file.string(), err_path = spec.err_file.string();

  ProcessOutcome o;
  const auto start = std::chrono::steady_clock::now();
  std::cout.flush();
  std::cerr.flush();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("cannot start " + arg_text[0] + ": " + std::strerror(errno));
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
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

fs::path make_temp_dir(const std::string& stem) {
  std::string templ = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
  if (!mkdtemp(templ.data()))
    throw std::runtime_error("cannot make a scratch directory " + templ + ": " + std::strerror(errno));
  return templ;
}

fs::path find_executable(const std::string& name, const std::string& build_dir, const std::string& given,
                         const std::string& option) {
  if (!given.empty()) {
    fs::path g = fs::absolute(given);
    if (access(g.c_str(), X_OK) != 0) throw std::runtime_error(given + ": not an executable program");
    return g;
  }
  std::vector<fs::path> tried;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path here = self.parent_path();
    tried.push_back(here / name);
    tried.push_back(here.parent_path() / build_dir / name);
  }
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view d = rest.substr(0, colon);
      if (!d.empty()) tried.push_back(fs::path(d) / name);
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
  }
  for (const fs::path& t : tried)
    if (fs::is_regular_file(t, ec) && access(t.c_str(), X_OK) == 0) return t;
  throw std::runtime_error(name + " not found next to cdref, in the build tree or on PATH; name it with " + option +
                           " PATH");
}

bool stderr_is_terminal() { return isatty(2) == 1; }

}  // namespace cdref
