// The start of a KESTRA job: reading it from INPUT, choosing and loading the
// reference set, and the first section of the job's report.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/matrix.hpp"
#include "frame/refsets.hpp"
#include "varsel/trials.hpp"

namespace cdsec {

// A job that cannot be analysed at all (no such reference set, a range that
// misses the set's wavelengths): the program stops in order.
struct KestraStop : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What the initialisation delivers for one job.
struct KestraJob {
  int iprint = 0;
  int ibasis = 0;
  const RefSetInfo* set = nullptr;  // catalogue row: labels, SegmentFlag, limits
  int nsstr = 6;
  std::string title;                // 50 characters
  float first = 0, last = 0;        // fitted range, nm (point w at first - (w - 1))
  float factor = 0;
  int sample_offset = 0;            // points dropped at the long end
  int nwave = 0;
  Vector<kMaxPoints> raw;           // the values as read
  Vector<kMaxPoints> sample;        // fitted and scaled, points 1..nwave
  VsReferenceSet refs;              // NbasCD = refs.nbascd
  std::vector<std::string> notes;   // doubts about the job's values and set, for standard error
};

// CDINIT: reads the next job of `input` and writes the job's first section
// of Kestra.out.  False at the end of INPUT (no more jobs).  Throws
// ReadError for unreadable input or reference files and KestraStop for a
// job that names no reference set or whose range misses the set's.
bool CDINIT(JobReader& input, std::ostream& report, KestraJob& job);

// The wavelength range fitted to a reference set's valid range.
struct RangeFit {
  bool clipped;
  float first, last;
  int sample_offset;
  int nw;
};
RangeFit fit_range(float first, float last, float long_limit, float short_limit);

// CD values a job's own range holds: trunc(first - last) + 1 (0 when the
// range runs the wrong way, capped far above any capacity).
int job_point_count(float first, float last);

}  // namespace cdsec
