// What the shared code needs from the operating system beyond the standard
// library.  One implementation per system: platform_posix.cpp and
// platform_windows.cpp (the build compiles the one that fits).
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace cdsec::os {

// What identifies a file's contents without reading it: the file itself
// (device and inode, or volume and file index), its size and the time of its
// last change in nanoseconds since 1970.
struct FileId {
  long long dev = 0, ino = 0, size = -1, mtime_ns = 0;
  bool operator==(const FileId&) const = default;
};
// False when `path` cannot be looked at or is not a regular file.
bool file_id(const std::filesystem::path& path, FileId& id);
// The present time on the clock of file times, in nanoseconds since 1970.
long long now_ns();

// The broken-down local time of `t`.
std::tm local_time(std::time_t t);

// Why `path` could not be written in place: "" when it can or does not exist,
// otherwise the reason ("is a directory", "is write-protected", ...).
std::string write_refusal(const std::filesystem::path& path);

// The text of the system's last error (errno, or GetLastError on Windows).
std::string last_error();

// Standard output and error written byte for byte: lines end in LF on every
// system, as in the report files (Windows would otherwise write CR LF).
void binary_console_output();

// The command-line arguments after the program's name, in UTF-8 (on Windows
// taken from the wide-character command line, whatever the code page).
std::vector<std::string> arguments(int argc, char** argv);

// The running program's own file (empty when the system does not tell).
std::filesystem::path executable_path();

// File names are UTF-8 text in the programs (arguments, environment, job
// files, messages, JSON).  A std::string given to std::filesystem::path as it
// is would be read as the native narrow encoding, which on Windows with
// MinGW's library is one Latin-1 character per byte whatever the code page;
// through char8_t it is read as UTF-8 on every system.  On POSIX systems
// both directions copy the bytes unchanged.
//
// Bytes that are not UTF-8 (a name typed in another code page), which
// Windows cannot take as UTF-8, are taken there one character a byte as
// before: such a file is then not found, and the message says so.
inline std::filesystem::path path_from_utf8(std::string_view utf8) {
  try {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
  } catch (const std::filesystem::filesystem_error&) {
    return std::filesystem::path(std::string(utf8));
  }
}
// The name in UTF-8.  (On Windows a name holding half of a UTF-16 surrogate
// pair, which no text has, throws std::filesystem::filesystem_error.)
inline std::string path_to_utf8(const std::filesystem::path& path) {
  const std::u8string utf8 = path.u8string();
  return std::string(utf8.begin(), utf8.end());
}
// The last part of a UTF-8 path ("a/b/x.txt" gives "x.txt"), and that part
// without its extension ("x"), as UTF-8.
inline std::string file_name_utf8(std::string_view utf8) { return path_to_utf8(path_from_utf8(utf8).filename()); }
inline std::string stem_utf8(std::string_view utf8) { return path_to_utf8(path_from_utf8(utf8).stem()); }

}  // namespace cdsec::os
