// The console dialogue of the INPUT builder: questions, answers and echoes,
// from the banner to the Job echoed after it has been written.
#pragma once

#include <filesystem>
#include <iosfwd>

namespace cdsec::inbuild {

// Runs one dialogue: questions on `out`, answers from `in`, INPUT and the
// data file named by the user in `dir`.  Returns 0 when a Job was written,
// 1 when the run stopped (end of the answers, a data file that cannot be
// read, INPUT that cannot be written); INPUT is then left as it was.
int run(std::istream& in, std::ostream& out, const std::filesystem::path& dir);

}  // namespace cdsec::inbuild
