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
//
// What the dialogue settles beyond its fixed texts:
//   * a number that is not one (or not whole, or outside what INPUT can
//     hold) is asked for again; a blank answer line is passed over;
//   * equal wavelengths, more than 100 points, or a range that would read
//     back as another number of points are refused and the range asked again;
//   * of the data file name the first 12 characters are used (blanks around
//     them dropped); a longer answer is noted on the console, and a name
//     that does not open stops the run naming it;
//   * INPUT is written only when the whole Job is known, so every stop
//     leaves it as it was (and creates none).
int run(std::istream& in, std::ostream& out, const std::filesystem::path& dir);

}  // namespace cdsec::inbuild
