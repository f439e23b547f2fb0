// The runner on Windows: CreateProcessW.  Arguments and environment are
// UTF-8 here and handed over as UTF-16; the command line is quoted so that
// the C runtime's parser of the started program gives back each argument
// exactly (spaces, quotes, backslashes before quotes).
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>

#include "cdref/runner.hpp"
#include "frame/platform.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::os::last_error;
using cdsec::os::path_to_utf8;

namespace {

std::wstring widen(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// One argument as the C runtime reads it back: left bare when it has no
// blank or quote; otherwise in quotes, a quote as \", and backslashes doubled
// where they come before a quote (theirs or the closing one).
void append_argument(std::wstring& line, const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(2 * backslashes, L'\\');
  line += L'"';
}

// The environment block: this process's variables without the replaced and
// removed names, then the given ones; names compare without case.
std::wstring environment_block(const ProcessSetup& setup) {
  std::vector<std::wstring> dropped;
  for (const std::string& s : setup.env) dropped.push_back(widen(s.substr(0, s.find('='))));
  for (const std::string& s : setup.env_removed) dropped.push_back(widen(s));
  std::wstring block;
  wchar_t* inherited = GetEnvironmentStringsW();
  for (const wchar_t* e = inherited; e && *e; e += wcslen(e) + 1) {
    const std::wstring_view v = e;
    // Names of drive directories ("=C:=C:\...") start with '='.
    const std::size_t eq = v.find(L'=', 1);
    const std::wstring_view name = v.substr(0, eq);
    const bool drop = std::any_of(dropped.begin(), dropped.end(), [&](const std::wstring& d) {
      return CompareStringOrdinal(d.data(), static_cast<int>(d.size()), name.data(), static_cast<int>(name.size()),
                                  TRUE) == CSTR_EQUAL;
    });
    if (!drop) block.append(v).push_back(L'\0');
  }
  if (inherited) FreeEnvironmentStringsW(inherited);
  for (const std::string& s : setup.env) block.append(widen(s)).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() {
    if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }

 private:
  HANDLE h_;
};

HANDLE inheritable_file(const fs::path& path, bool write) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  // Shared for reading and writing: the runner reads the console output
  // while the program writes it.
  return CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa, write ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ProcessOutcome run_process(const ProcessSetup& setup, int idle_limit, const std::function<bool()>& watch) {
  const std::string shown = path_to_utf8(setup.program);
  std::wstring line;
  // The program's own name: quoted whole (a file name holds no quote).
  line += L'"';
  line += setup.program.wstring();
  line += L'"';
  for (const std::string& a : setup.args) {
    line += L' ';
    append_argument(line, widen(a));
  }
  std::wstring env = environment_block(setup);

  Handle in(inheritable_file(setup.in_file.empty() ? fs::path(L"NUL") : setup.in_file, false));
  if (!in.ok()) throw std::runtime_error("cannot open " + path_to_utf8(setup.in_file) + ": " + last_error());
  Handle out(inheritable_file(setup.out_file, true));
  if (!out.ok()) throw std::runtime_error("cannot create " + path_to_utf8(setup.out_file) + ": " + last_error());
  Handle err(inheritable_file(setup.err_file, true));
  if (!err.ok()) throw std::runtime_error("cannot create " + path_to_utf8(setup.err_file) + ": " + last_error());

  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in.get();
  si.hStdOutput = out.get();
  si.hStdError = err.get();
  PROCESS_INFORMATION pi{};
  std::cout.flush();
  std::cerr.flush();
  const auto start = std::chrono::steady_clock::now();
  const std::wstring app = setup.program.wstring(), dir = setup.dir.wstring();
  if (!CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                      dir.empty() ? nullptr : dir.c_str(), &si, &pi))
    throw std::runtime_error("cannot start " + shown + ": " + last_error());
  Handle process(pi.hProcess), thread(pi.hThread);

  ProcessOutcome o;
  auto last_change = std::chrono::steady_clock::now();
  // Short runs are common (one job takes milliseconds): look often at first.
  DWORD pause_ms = 2;
  for (;;) {
    const DWORD w = WaitForSingleObject(process.get(), pause_ms);
    if (w == WAIT_OBJECT_0) break;
    if (w != WAIT_TIMEOUT) throw std::runtime_error("waiting for " + shown + ": " + last_error());
    const auto now = std::chrono::steady_clock::now();
    if (watch && watch()) last_change = now;
    if (idle_limit > 0 && now - last_change > std::chrono::seconds(idle_limit)) {
      TerminateProcess(process.get(), 1);
      WaitForSingleObject(process.get(), INFINITE);
      o.timed_out = true;
      break;
    }
    pause_ms = std::min<DWORD>(100, pause_ms * 2);
  }
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  DWORD code = 0;
  if (!o.timed_out && GetExitCodeProcess(process.get(), &code)) {
    o.exited = true;
    o.exit_code = static_cast<int>(code);
  }
  return o;
}

namespace platform {
const char kPathListSeparator = ';';
const char* const kProgramSuffix = ".exe";
bool is_runnable(const fs::path& file) {
  std::error_code ec;
  return fs::is_regular_file(file, ec);
}
}  // namespace platform

bool stderr_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

}  // namespace cdref
