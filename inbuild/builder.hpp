// The parts of the INPUT builder that do not talk to the user: the range and
// its number of points, the suggested reference set, reading one point per
// nanometre from an instrument data file, the text of one Job, and putting
// that text into INPUT without ever leaving half a Job behind.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "frame/matrix.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdsec::inbuild {

// The readers hold at most 100 CD values per Job (the self-consistent
// program fewer), so the builder writes no more.
inline constexpr int kMaxPoints = 100;

// One Job as it is written: set, title, range (long end first) and the CD
// values in delta-epsilon units from the long to the short wavelength.
struct JobDraft {
  int ibasis = 0;
  std::string title;  // the first 40 characters are written, blank-padded
  float longer = 0.0f, shorter = 0.0f;
  int n = 0;
  Vector<kMaxPoints> cd;
};

// The range checks of the dialogue.  kUnwritable: the wavelengths, as
// written with four decimals, would be read back as a different number of
// points (or do not fit their 12 columns at all).
enum class RangeCheck { kOk, kEqual, kTooMany, kUnwritable };

// N = trunc(|initial - final|) + 1, or -1 for a span far beyond any range.
int point_count(float initial, float final_wl);
RangeCheck check_range(float initial, float final_wl);

// Set 1 reaches 178 nm, sets 3 and 6 stop at 185, sets 4 and 7 at 190: the
// suggestion follows the shortest wavelength that was measured.
int suggest_set(float shorter);

// The integer part of the values per nm, the number of data-file lines per
// nanometre (saturating, so that an absurd answer cannot overflow).
int lines_per_nm(float values_per_nm);

// Reading N points.  Lines before the first line that starts with two
// numbers are an instrument header and are skipped; after it every point is
// a line with a wavelength and a CD value (further columns ignored, blank
// lines passed over, as free format does), and (per_nm - 1) lines follow it
// unread.  Each point is echoed on `console` as it is read, and the CD value
// divided by `divisor`.
struct PointsRead {
  enum class Status { kOk, kEndOfFile, kBadPoint, kNoDataLine };
  Status status = Status::kOk;
  int points = 0;        // points read
  int header_lines = 0;  // lines skipped before the first point
  std::string detail;    // for a failure: file, line and what was found
};
PointsRead read_points(LineReader& in, int n, int per_nm, float divisor, std::span<float> cd,
                       std::span<int> line_of, std::ostream& console);

// Index (from 1) of the first value that would not fit the 8 columns of a
// CD value in INPUT, or 0 when all fit.
int first_unwritable(std::span<const float> cd);

// The lines of one Job in the layout of the job file.
void write_job(std::ostream& out, const JobDraft& job);

// INPUT is put on disk with cdsec::replace_file / cdsec::append_file
// (frame/safe_file.hpp), so that it never holds half a Job.
using cdsec::append_file;
using cdsec::replace_file;

}  // namespace cdsec::inbuild
