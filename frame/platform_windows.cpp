// The operating-system part of the shared code on Windows: wide-character
// calls throughout, so that paths with any characters work.
#include <windows.h>

#include <string>

#include "frame/platform.hpp"

namespace cdsec::os {

namespace {

// 100-nanosecond ticks since 1601 to nanoseconds since 1970.
long long unix_ns(FILETIME ft) {
  const long long ticks = (static_cast<long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - 116444736000000000LL) * 100;
}

std::string message(DWORD code) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n ? std::string(text, n) : "error " + std::to_string(code);
  LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
  return s;
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
    return "cannot be looked at: " + message(e);
  }
  if (attr & FILE_ATTRIBUTE_DIRECTORY) return "is a directory";
  if (attr & FILE_ATTRIBUTE_DEVICE) return "is not a regular file";
  if (attr & FILE_ATTRIBUTE_READONLY) return "is write-protected";
  return {};
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
