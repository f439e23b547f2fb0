// What both analysis programs share after the analysis: the distance
// measure, the segment estimate and the summary record of ProtSS.out.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/matrix.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

// Root-mean-square difference of two vectors over n points:
// sqrt(sum_i (a(i) - b(i))^2 / n), the sum taken in increasing i.  (The
// leading dimension that callers pass with b takes no part in the result.)
float RMS(VecView<const float> a, VecView<const float> b, int n);

// Helix and strand segments per 100 residues and their average lengths,
// from a fraction vector whose first four classes are regular helix,
// distorted helix, regular strand, distorted strand.  Each distorted
// segment end contributes a fixed number of residues (two at each end of a
// helix, one at each end of a strand), which is why the distorted fraction
// counts the segments.
struct Segments {
  float helix_segments, strand_segments, helix_length, strand_length;
};
Segments SEGMENT(VecView<const float> fractions, int ns);

// The 8-line summary record appended to ProtSS.out after each analysed
// protein.  The file is opened for appending before the record and closed
// after it, so that records of every job and run, of both programs,
// accumulate in one file.
enum class SummaryProgram { kSelfConsistent, kVariableSelection };
struct SummaryRecord {
  SummaryProgram program;
  std::string_view title;  // 64 (self-consistent) or 50 characters
  int ibasis;
  std::span<const std::string_view> labels;  // ns labels
  std::span<const float> fractions;          // ns fractions
  float rmsd;
};
// Appends to `path` (ProtSS.out in the working directory).  Throws
// std::runtime_error naming the file when it cannot be opened or written.
void append_summary_record(const std::string& path, const SummaryRecord& rec);

// One record as read back from ProtSS.out.
struct SummaryEntry {
  int line = 0;  // line of the file on which the record starts
  SummaryProgram program = SummaryProgram::kSelfConsistent;
  std::string title;     // as written: 64 (self-consistent) or 50 characters
  std::string set_code;  // the 4-character reference-set label, e.g. " 29 "
  int ns = 0;            // structure classes, 1 to 6
  std::array<std::string, 6> labels;  // 4 characters each; the first ns are set
  Vector<6> fractions;                // the first ns are set
  float rmsd = 0.0f;
  // A value that the writer could not print as a number (NaN, an infinity,
  // or a field of asterisks) reads as NaN; such a record holds no result.
  bool all_finite() const;
};

// Reads every record of a ProtSS.out file, in file order.  The records are
// written back to back by both programs; anything else in the file (a
// truncated record, a line of another layout, an unreadable number) throws
// ReadError naming the file and the line.
std::vector<SummaryEntry> read_summary_records(const std::string& path);

// A record that could not be read: where it starts, and the error.
struct SummaryDamage {
  int first_line = 0;  // the record's first line
  ReadError error;     // names the file and the offending line
};
// The same, but a damaged record is passed over instead of ending the read:
// it is added to `damaged` and reading resumes at the next row of 80
// underscores (the start of the next record), so one damaged record costs
// only itself.  A file that cannot be opened still throws.
std::vector<SummaryEntry> read_summary_records(const std::string& path, std::vector<SummaryDamage>& damaged);

}  // namespace cdsec
