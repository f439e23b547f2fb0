// What the shared code needs from the operating system beyond the standard
// library.  One implementation per system: platform_posix.cpp and
// platform_windows.cpp (the build compiles the one that fits).
#pragma once

#include <ctime>
#include <filesystem>
#include <string>
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

}  // namespace cdsec::os
