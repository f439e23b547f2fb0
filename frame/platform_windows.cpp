// The operating-system part of the shared code on Windows: wide-character
// calls throughout, so that paths with any characters work.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>

#include <string>

#include "frame/platform.hpp"

namespace cdsec::os {

namespace {

// 100-nanosecond ticks since 1601 to nanoseconds since 1970.
long long unix_ns(FILETIME ft) {
  const long long ticks = (static_cast<long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;
}

}  // namespace

bool file_id(const std::filesystem::path& path, FileId& id) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileInformationByHandle(h, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                  GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  if (!ok) return false;
  id.dev = info.dwVolumeSerialNumber;
  id.ino = (static_cast<long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  id.size = (static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  id.mtime_ns = unix_ns(info.ftLastWriteTime);
  return true;
}

long long now_ns() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return unix_ns(ft);
}

std::tm local_time(std::time_t t) {
  std::tm local{};
  localtime_s(&local, &t);
  return local;
}

std::string write_refusal(const std::filesystem::path& path) {
  const DWORD attr = GetFileAttributesW(path.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return {};
    SetLastError(e);
    return "cannot be looked at: " + last_error();
  }
  if (attr & FILE_ATTRIBUTE_DIRECTORY) return "is a directory";
  if (attr & FILE_ATTRIBUTE_DEVICE) return "is not a regular file";
  if (attr & FILE_ATTRIBUTE_READONLY) return "is write-protected";
  return {};
}

void binary_console_output() {
  std::fflush(stdout);
  std::fflush(stderr);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // Messages name files in UTF-8, which a console shows as written only in
  // its UTF-8 code page.  The console's own is given back at the end, for
  // the programs run after this one in it; output to a file or a pipe stays
  // bytes, untouched.
  DWORD mode;
  static UINT console_page = 0;
  if (console_page == 0 && (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
                            GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))) {
    console_page = GetConsoleOutputCP();
    if (console_page != 0 && console_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
      std::atexit([] { SetConsoleOutputCP(console_page); });
  }
}

std::vector<std::string> arguments(int, char**) {
  std::vector<std::string> args;
  int n = 0;
  wchar_t** w = CommandLineToArgvW(GetCommandLineW(), &n);
  for (int i = 1; w && i < n; ++i) {
    const int len = WideCharToMultiByte(CP_UTF8, 0, w[i], -1, nullptr, 0, nullptr, nullptr);
    std::string a(static_cast<std::size_t>(len > 0 ? len - 1 : 0), '\0');
    if (len > 1) WideCharToMultiByte(CP_UTF8, 0, w[i], -1, a.data(), len, nullptr, nullptr);
    args.push_back(std::move(a));
  }
  LocalFree(w);
  return args;
}

std::string last_error() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.' || s.back() == ' ')) s.pop_back();
  return s;
}

std::filesystem::path executable_path() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) {
      buf.resize(n);
      return std::filesystem::path(buf);
    }
    buf.resize(buf.size() * 2);
  }
}

}  // namespace cdsec::os
