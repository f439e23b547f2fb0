// The job file INPUT: one protein sample per job, read line by line.
//
// A job's lines mean what their position says (most of them are comment lines
// that the builder fills with labels and the readers skip whatever they
// hold):
//    1  comment; the end of the file here ends the run normally
//    2  comment
//    3  IPrint, IBasis (free format; the other values are ignored)
//    4  comment            5  comment          6  title (fixed text)
//    7  comment            8  comment          9  first, last wavelength, factor
//   10  comment           11  comment         12.. N CD values, free format
//   then two comment lines and the initial-guess line (fixed columns).
// N = trunc(first - last) + 1: one value per nanometre, long to short.
//
// The analysis programs read a job in steps, because they write parts of
// their report between the reads (and the self-consistent program reads the
// initial-guess line only after its reference set is loaded).  Each step
// names the lines it consumes; every failure is a ReadError that names the
// line and what was expected there.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/matrix.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

// Limits on what a job may hold.  A CD value beyond kMaxAbsCd delta-epsilon
// units (after the factor) is no measurement and is refused: such values
// drive the solutions out of any range the selection rules can reach.  One
// beyond kPlausibleCd is possible but unlikely (proteins stay within about
// +-20), so it is reported.  Fewer than kMinPoints wavelengths cannot
// determine the fractions (the analyses use up to eight proteins or
// singular vectors per solution) and are refused; fewer than kFewPoints
// (the span 240 to 200 nm) are reported.
constexpr float kMaxAbsCd = 1000.0f;
constexpr float kPlausibleCd = 50.0f;
constexpr int kMinPoints = 8;
constexpr int kFewPoints = 41;

class JobReader {
 public:
  explicit JobReader(LineReader& in) : in_(in) {}

  // Line 1.  False at the end of the file: no more jobs.
  bool begin();
  // Lines 2 and 3: IPrint and IBasis.
  void read_print_basis(int& iprint, int& ibasis);
  // Lines 4 to 6: the first `len` characters of line 6, blank-padded to len.
  std::string read_title(int len);
  // Lines 7 to 9: first (long) and last (short) wavelength, factor.
  void read_range(float& first, float& last, float& factor);
  // Lines 10 and 11 and the n CD values from line 12 on (kEndOfFile or
  // kBadValue while reading them).  A count below 1 or above `capacity` is
  // refused (kTooMany) before anything is read, naming line 9.
  void read_cd(int n, int capacity, VecView<float> raw);
  // The two comment lines after the CD values.
  void skip_after_cd();

  // After read_cd: the CD values times the factor (0 counting as 1), checked.
  // A value that is not finite or lies beyond kMaxAbsCd in magnitude throws
  // ReadError (kBadValue) naming its line; values beyond kPlausibleCd, and
  // values left over on the line of the last one (a decimal comma reads as
  // two values), are added to `notes`.
  void check_cd(std::span<const float> raw, float factor, std::vector<std::string>& notes) const;
  // The number of points the analysis will use (after the fit to the
  // reference set, described by `fitted` when it changed the range): fewer
  // than kMinPoints throws ReadError (kTooMany) naming the range line; fewer
  // than kFewPoints adds a note.
  void require_points(int nw, std::string_view fitted, std::vector<std::string>& notes) const;
  // The initial-guess line: IGuess in columns 1-4, then ns fractions in
  // 8-column fields with three implied decimals.
  void read_guess(int ns, int& iguess, VecView<float> guess);
  // The same line, skipped.
  void skip_guess();

  // N for a job's range, or -1 when it is below 1 or absurdly large.
  static long long point_count(float first, float last);

  int range_line() const { return range_line_; }
  LineReader& source() { return in_; }

 private:
  void skip(std::string_view expected);
  std::string range_text() const;

  LineReader& in_;
  int range_line_ = 0;
  float first_ = 0, last_ = 0;
  std::vector<int> cd_lines_;  // line of each CD value read
  int cd_items_after_ = 0;     // items left on the line of the last value
};

// Writes one job in the layout of the INPUT builder: labelled comment lines
// 51 characters wide, the print/set line (PRINT 0, the set, 0, 0, SEGMENT 1),
// the title (40 characters), the range long end first with factor 1.0, the CD
// values ten to a line from the long to the short wavelength, and the
// initial-guess line with IGuess 0.  A factor other than 1 is written in
// its place on the range line (the reader multiplies every value by it).
void write_job(std::ostream& out, int ibasis, std::string_view title, float longer, float shorter,
               std::span<const float> cd, float factor = 1.0f);

// ------------------------------------------------------------ building a job
//
// What every writer of a job (the INPUT builder, cdref convert) checks
// before it writes, so that the analysis programs read back what was meant.

// The readers hold at most 100 CD values per job (the self-consistent
// program fewer), so no writer writes more.
inline constexpr int kMaxJobPoints = 100;

// N = trunc(|initial - final|) + 1 for a range given in either order, or -1
// for a span far beyond any range.
int range_point_count(float initial, float final_wl);

// kUnwritable: the wavelengths, as written with four decimals, would be read
// back as a different number of points (or do not fit their 12 columns).
enum class RangeCheck { kOk, kEqual, kTooMany, kUnwritable };
RangeCheck check_job_range(float initial, float final_wl);

// Set 1 reaches 178 nm, sets 3 and 6 stop at 185, sets 4 and 7 at 190: the
// suggestion follows the shortest wavelength that was measured.
int suggest_set(float shorter);

// Index (from 1) of the first value that would not fit the 8 columns of a
// CD value in INPUT, or 0 when all fit.
int first_unwritable(std::span<const float> cd);

// "" when the job file may be written: it is missing (and will be created)
// or a regular file that its owner has not write-protected.  Otherwise the
// reason, to follow the file's name ("is write-protected").  A file without any write permission counts as protected even for
// a caller whom the system would let write it: a replacement renames over
// the old file and would otherwise ignore the protection.
std::string job_file_refusal(const std::filesystem::path& path);

}  // namespace cdsec
