// Whole-file replacement, appending and the report lock on Windows:
// wide-character calls, a temporary beside the target moved over it in one
// step, data flushed to the disk before it counts as written.  A link is
// replaced like a file whatever the LinkHandling (links are rare there and
// need privileges to make).
#include <windows.h>

#include <random>

#include "frame/platform.hpp"
#include "frame/safe_file.hpp"

namespace cdsec {

namespace fs = std::filesystem;

namespace {

std::string reason(const std::string& what) { return what + ": " + os::last_error(); }

std::string write_all(HANDLE h, std::string_view text, const std::string& name) {
  while (!text.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, text.data(), chunk, &written, nullptr)) return reason("cannot write " + name);
    text.remove_prefix(written);
  }
  return {};
}

}  // namespace

std::string replace_file(const fs::path& path, std::string_view text, LinkHandling) {
  const std::string name = os::path_to_utf8(path.filename());
  fs::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  std::mt19937 draw(std::random_device{}());
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  fs::path tmp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    std::string suffix = ".incomplete-XXXXXX";
    for (std::size_t i = suffix.size() - 6; i < suffix.size(); ++i) suffix[i] = kLetters[draw() % (sizeof kLetters - 1)];
    tmp = dir / path.filename();
    tmp += os::path_from_utf8(suffix);
    h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) return reason("cannot create a temporary file in " + os::path_to_utf8(dir));
  std::string err = write_all(h, text, name);
  if (err.empty() && !FlushFileBuffers(h)) err = reason("cannot write " + name);
  if (!CloseHandle(h) && err.empty()) err = reason("cannot write " + name);
  if (err.empty() && !MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    err = reason("cannot replace " + name);
  if (!err.empty()) DeleteFileW(tmp.c_str());
  return err;
}

std::string append_file(const fs::path& path, std::string_view text) {
  const std::string name = os::path_to_utf8(path.filename());
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return reason("cannot open " + name + " for appending");
  LARGE_INTEGER size;
  if (!GetFileSizeEx(h, &size)) {
    std::string err = reason("cannot read the size of " + name);
    CloseHandle(h);
    return err;
  }
  std::string all;
  if (size.QuadPart > 0) {  // the new Job starts on a line of its own
    char last = '\n';
    DWORD got = 0;
    LARGE_INTEGER at;
    at.QuadPart = size.QuadPart - 1;
    if (SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && ReadFile(h, &last, 1, &got, nullptr) && got == 1 &&
        last != '\n')
      all += '\n';
  }
  all += text;
  std::string err;
  if (!SetFilePointerEx(h, size, nullptr, FILE_BEGIN)) err = reason("cannot write " + name);
  if (err.empty()) err = write_all(h, all, name);
  if (err.empty() && !FlushFileBuffers(h)) err = reason("cannot write " + name);
  if (!err.empty() && !(SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h)))
    err += "; it may now end with part of the text appended";
  if (!CloseHandle(h) && err.empty()) err = reason("cannot write " + name);
  return err;
}

ReportLock::~ReportLock() {
  if (fd_ != -1) CloseHandle(reinterpret_cast<HANDLE>(fd_));
}

std::string ReportLock::acquire(const fs::path& path, bool& busy) {
  busy = false;
  const std::string name = os::path_to_utf8(path.filename());
  if (fd_ == -1) {
    // Shared for reading, writing and deleting: the program writes the
    // report through a handle of its own.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return reason("cannot open " + name + " for writing");
    fd_ = reinterpret_cast<std::intptr_t>(h);
  }
  // Windows locks forbid other handles to read or write the bytes locked, so
  // the lock is on one byte far beyond any report's end, which only other
  // runs ask for.
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  if (LockFileEx(reinterpret_cast<HANDLE>(fd_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at))
    return {};
  if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) {
    busy = true;
    return name + " is being written by another run in this directory";
  }
  return reason("cannot lock " + name);
}

}  // namespace cdsec
