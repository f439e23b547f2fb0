// Writing a file so that it never holds half of what was meant: INPUT is
// extended or replaced only with complete jobs, whatever fails on the way.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace cdsec {

// replace_file writes a temporary file beside the target and renames it over
// the old one, so that the file holds either its old content or the new one
// (permissions are kept).  A symbolic link is followed (it keeps pointing at
// the replaced file) or, with kReplaceLink, replaced itself: a file written
// into a directory that others can write must not go wherever a planted
// link points.  The temporary is named "<name>.incomplete-XXXXXX", so that
// one left by a killed run says what it is.  append_file adds the text in one write at the end (after a newline
// when the last line has none) and cuts the file back to its old length if
// the write fails.  Both create a missing file and return "" on success,
// otherwise the reason.
enum class LinkHandling { kFollowLink, kReplaceLink };
std::string replace_file(const std::filesystem::path& path, std::string_view text,
                         LinkHandling links = LinkHandling::kFollowLink);
std::string append_file(const std::filesystem::path& path, std::string_view text);

// An advisory lock on a program's report, held until destruction (or the
// end of the process): two runs of one program in one directory would mix
// their reports byte by byte.  acquire creates the file when it is missing
// but never truncates it; it returns "" when the lock is held, otherwise
// the reason (`busy` tells whether another process holds it).
class ReportLock {
 public:
  ReportLock() = default;
  ReportLock(const ReportLock&) = delete;
  ReportLock& operator=(const ReportLock&) = delete;
  ~ReportLock();
  std::string acquire(const std::filesystem::path& path, bool& busy);

 private:
  std::intptr_t fd_ = -1;  // a file descriptor, or a HANDLE on Windows
};

// Whether everything written to a report stream has reached its file:
// flushes it (and closes it when `closing`) and returns "" or the reason,
// naming the file (a full disk leaves it cut short).
std::string write_problem(std::ofstream& stream, std::string_view name, bool closing);

}  // namespace cdsec
