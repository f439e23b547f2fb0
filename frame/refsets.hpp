// Reference sets: proteins of known structure with their CD spectra.
//
// A set is a pair of fixed-column files, CDDATA.<suffix> (spectra, 83 values
// from 260 down to 178 nm per protein) and SSDATA.<suffix> (fractions per
// structure class), chosen per job by IBasis 1..8 from the catalogue below.
// Both analysis programs load a set once per job and keep only the sample's
// wavelengths of each reference spectrum; a reference protein whose spectrum
// equals the sample's exactly is the sample itself and is left out, so a
// reference protein analysed as a sample is never compared with itself.
#pragma once

#include <array>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/job.hpp"
#include "frame/matrix.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

constexpr int kRefPoints = 83;      // 260 .. 178 nm in every CDDATA file
constexpr float kRefLongNm = 260.0f;

// One row of the catalogue.
struct RefSetInfo {
  int ibasis;                              // 1..8
  std::string_view suffix;                 // "29", "23", "37", "43", "P2", "42", "48", "CA"
  int ns;                                  // structure classes: 6, or 5 for set 5
  std::array<std::string_view, 6> labels;  // 4 characters each (set 5 keeps "Unrd" in slot 6)
  float long_limit, short_limit;           // valid wavelength range of the set's spectra, nm
  int segment_flag;                        // 1: regular/distorted split, segments can be estimated
  std::string_view summary_code;           // reference-set label of the summary record, e.g. " 29 "
};

// The catalogue row of IBasis, or nullptr outside 1..8.
const RefSetInfo* find_ref_set(int ibasis);
// The summary-record code of IBasis; four blanks outside 1..8.
std::string_view summary_code(int ibasis);
// The helix fraction from the first two structure fractions: sets 2 and 5
// have a single helix class, the others split helix into regular and
// distorted (the same sum in single precision in both programs).
float helix_fraction(float first, float second, int ibasis);

// The report texts written before a set is loaded: two blank lines, the
// "Reference PROTEIN Set Selected" line, the file line, the structures line,
// and for sets with segment_flag 1 the helix-and-strand note.
void write_set_texts(std::ostream& report, const RefSetInfo& set);

// Where a reference file is looked for, in this order:
//   1. the working directory;
//   2. the directory named by CDSEC_REFDIR, when set and not empty;
//   3. the data that came with the running program: <its directory>/../share/cdsec
//      when installed (under any prefix), the source tree's data/ when run
//      straight from its build tree;
//   4. the data directory configured at build time (<prefix>/share/cdsec).
// A place that does not hold the file is passed over; a file of that name
// that is not a regular file is refused (not passed over for one elsewhere).
struct RefFileLocation {
  enum class From { kWorkingDir, kRefDirVariable, kInstalled, kSourceTree };
  std::string path;
  From from = From::kWorkingDir;
};
struct RefSearchPlace {
  RefFileLocation::From from;
  std::string dir;          // empty for the working directory and for CDSEC_REFDIR unset
  std::string description;  // e.g. "/opt/cdsec/share/cdsec (installed with the program)"
};
// The places of the current process in search order (CDSEC_REFDIR unset
// included, as a place without a directory).
std::vector<RefSearchPlace> ref_search_places();
// The first place holding `file_name`.  Throws ReadError (kCannotOpen)
// naming every place tried.
RefFileLocation locate_ref_file(std::string_view file_name);

// One protein as stored in a set's two files.
struct RefProtein {
  std::string name;       // CDDATA name line, columns 2-5
  float scale = 0;        // columns 6-11, three implied decimals; 0: none (read only when asked)
  std::string ss_name;    // SSDATA name line, columns 2-5
  Vector<kRefPoints> cd;  // 260 .. 178 nm, as read (not scaled)
  Vector<6> ss;           // fractions read (the other entries 0)
};

struct RefSetCacheSlot;

// Reads a set's two files in step, protein by protein.
class RefSetReader {
 public:
  RefSetReader() = default;
  RefSetReader(const RefSetReader&) = delete;
  RefSetReader& operator=(const RefSetReader&) = delete;
  ~RefSetReader();

  // Locates and opens CDDATA.<suffix> and SSDATA.<suffix> and skips the two
  // header lines of CDDATA.
  void open(const RefSetInfo& set);
  // The same, for a caller that reads every protein with these want_scale
  // and nfrac: a set read to its end without error is kept for the next
  // job, and served again as long as both paths name the same unchanged
  // files (device, inode, size and modification time; a file modified
  // shortly before it was read is compared byte for byte as well, since a
  // change within the file system's clock tick leaves the time as it was).
  // A set with any error is never kept: it is read from the files again, so
  // its messages are those of open and next.  The process keeps one set; a
  // reader opened this way holds it until close or destruction, so a thread
  // must not open a second one meanwhile.
  void open_cached(const RefSetInfo& set, bool want_scale, int nfrac);
  // Next protein: false when CDDATA ends at a name line.  want_scale: parse
  // the scale factor (the self-consistent program applies it, the
  // variable-selection program ignores the whole name line).  nfrac:
  // fraction fields to read (8 columns, three implied decimals).  A file that
  // ends inside a protein, or whose partner file ends first, throws; so does
  // a CD value beyond kMaxAbsCd in magnitude (after the scale factor, when
  // it is read) and a fraction outside -1..2.
  bool next(RefProtein& p, bool want_scale, int nfrac);
  // After next has returned false: a note when SSDATA goes on after the
  // protein where CDDATA ended (the set is then read as the smaller one),
  // else empty.
  const std::string& end_note() const { return end_note_; }
  void close();
  const RefFileLocation& cd_file() const { return cd_loc_; }
  const RefFileLocation& ss_file() const { return ss_loc_; }

 private:
  bool next_from_files(RefProtein& p, bool want_scale, int nfrac);
  bool fill(RefSetCacheSlot& slot, bool want_scale, int nfrac);

  LineReader cd_, ss_;
  RefFileLocation cd_loc_, ss_loc_;
  int read_count_ = 0;
  std::string end_note_;
  RefSetCacheSlot* replay_ = nullptr;  // the kept set being served, or none
  int replay_pos_ = 0;
  bool holds_cache_ = false;
};

// How often open_cached has parsed a set's files and how often it served a
// kept set, since the process started.
struct RefCacheCounts {
  long parsed = 0;
  long reused = 0;
};
RefCacheCounts ref_cache_counts();

// ---------------------------------------------------------------- self-consistent program

constexpr int kMaxWorkingSet = 51;  // the sample and at most 50 reference proteins (MxPR)
constexpr int kMaxPointsSC = 83;

// Working set: position 1 is the sample, then the reference proteins.
struct WorkingSet {
  int np = 0;
  std::array<std::string, kMaxWorkingSet> names;  // 4 characters each
  Matrix<kMaxPointsSC, kMaxWorkingSet> cd;        // column p: protein p at the sample's NW wavelengths
  Matrix<kMaxWorkingSet, 6> ss;                   // row p: protein p's fractions (row 1 set later)
  Vector<kMaxWorkingSet> dist;                    // RMS distance to the sample; dist(1) = 0
  // The two files the set was read from (empty paths until they are found).
  RefFileLocation cd_file, ss_file;
  std::vector<std::string> notes;  // what the loading found doubtful (end_note)
};

// Thrown after the overflow line has been written to the report: more than
// 50 reference proteins differ from the sample.  The program stops.
struct WorkingSetOverflow : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// SELBAS: loads set `ibasis` for a sample of nw points starting at `first`
// nm, in file order, writes the listing to `basis` and the name-mismatch /
// overflow lines to `report`.
void SELBAS(std::string_view sample_name, VecView<const float> sample, int nw, int ns, float first, int ibasis,
            WorkingSet& ws, std::ostream& basis, std::ostream& report);

// ---------------------------------------------------------------- variable-selection program

constexpr int kMaxRefsVS = 50;
constexpr int kMaxPointsVS = 100;

// The reference proteins alone (no sample, no names), at most the first 50
// of the files.
struct VsReferenceSet {
  int nbascd = 0;
  Matrix<kMaxPointsVS, kMaxRefsVS + 1> cd;  // column i: protein i at the sample's NW wavelengths
  Matrix<kMaxRefsVS + 1, 6> ss;             // row i: protein i's fractions, classes 1..ns
  RefFileLocation cd_file, ss_file;         // where the set was read from (empty paths until found)
  std::vector<std::string> notes;           // end_note, and proteins beyond the first 50
};

void load_vs_references(const RefSetInfo& set, VecView<const float> sample, int nw, float first,
                        VsReferenceSet& refs);

}  // namespace cdsec
