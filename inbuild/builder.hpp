// The parts of the INPUT builder that do not talk to the user: reading one
// point per nanometre from an instrument data file, the text of one Job, and
// putting that text into INPUT without ever leaving half a Job behind.  The
// checks of a Job's range and values belong to every job writer
// (frame/job.hpp).
#pragma once

#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "frame/job.hpp"
#include "frame/matrix.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdsec::inbuild {

// One Job as it is written: set, title, range (long end first) and the CD
// values in delta-epsilon units from the long to the short wavelength.
struct JobDraft {
  int ibasis = 0;
  std::string title;  // the first 40 characters are written, blank-padded
  float longer = 0.0f, shorter = 0.0f;
  int n = 0;
  Vector<kMaxJobPoints> cd;
};

// The integer part of the values per nm, the number of data-file lines per
// nanometre (saturating, so that an absurd answer cannot overflow).
int lines_per_nm(float values_per_nm);

// Reading the points of a range, N = cd.size() of them.  Lines before the
// first point are an instrument header and are skipped; the first point is
// the first line made of numbers only (two at least), or one that starts
// with the initial wavelength and a CD value.  After it every point is a
// line with a wavelength and a CD value (further columns ignored, blank
// lines passed over, as free format does), and (per_nm - 1) lines follow
// it unread.  Point k must lie
// at the initial wavelength moved (k - 1) nm towards the final one, to
// within half the step between lines: a file that starts elsewhere, runs
// the other way or has another number of lines per nm stops the reading
// (kWrongWavelength) instead of shifting the spectrum.  Each point is
// echoed on `console` as it is read, and the CD value divided by `divisor`.
struct PointsRead {
  enum class Status { kOk, kEndOfFile, kBadPoint, kNoDataLine, kWrongWavelength };
  Status status = Status::kOk;
  int points = 0;        // points read (and found where expected)
  int header_lines = 0;  // lines skipped before the first point
  std::string detail;    // for a failure: file, line and what was found
};
PointsRead read_points(LineReader& in, float initial, float final_wl, int per_nm, float divisor, std::span<float> cd,
                       std::span<int> line_of, std::ostream& console);

// The lines of one Job in the layout of the job file.
void write_job(std::ostream& out, const JobDraft& job);

// INPUT is put on disk with cdsec::replace_file / cdsec::append_file
// (frame/safe_file.hpp), so that it never holds half a Job.
using cdsec::append_file;
using cdsec::replace_file;

}  // namespace cdsec::inbuild
