// Writing a file so that it never holds half of what was meant: INPUT is
// extended or replaced only with complete jobs, whatever fails on the way.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace cdsec {

// replace_file writes a temporary file beside the target and renames it over
// the old one, so that the file holds either its old content or the new one
// (a symbolic link keeps pointing at the replaced file; permissions are
// kept).  append_file adds the text in one write at the end (after a newline
// when the last line has none) and cuts the file back to its old length if
// the write fails.  Both create a missing file and return "" on success,
// otherwise the reason.
std::string replace_file(const std::filesystem::path& path, std::string_view text);
std::string append_file(const std::filesystem::path& path, std::string_view text);

}  // namespace cdsec
