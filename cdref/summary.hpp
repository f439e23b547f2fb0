// The results of both analysis programs side by side: every record of
// ProtSS.out grouped by sample, each sample's methods (program and
// reference set) with their fractions and RMSD, and what they agree on.
//
// Sets do not share one class list, so the methods are compared in groups
// of classes taken from each set's labels:
//   Helix     H(r) + H(d); AHel + 3/10 (set 2); AHel (set 5)
//   Strand    S(r) + S(d); BSht
//   Turn      Trn; Turn
//   Unordered Unrd, plus PP2 in the sets that list it (2 and 5), so that the
//             group means "neither helix, strand nor turn" in every set
//   PPII      PP2, in sets 2 and 5 only (already counted in Unordered)
// A sample's consensus in a group is the mean over the methods that have
// the group; their spread is the sample standard deviation (divisor n - 1)
// and the range max - min; a range above 0.10 flags the group.
//
// A sample is its whole title as kept (trailing blanks removed).  KESTRA
// keeps 50 characters, MORVAN3 64: a KESTRA title of 50 characters joins the
// one longer MORVAN3 title it begins, and stays a sample of its own (with a
// note) when it begins several.  Of several records of the same program and
// set for one sample (repeated runs), the latest in the file counts: a run
// repeated after a change of INPUT or of a reference file should replace
// the old result, not be averaged with it; the earlier ones are counted and
// shown as replaced.  A record that holds no result (KESTRA's failure
// records: all fractions 0, a value that is not a number, or a run record
// with status "failed") is shown and left out of the consensus.
//
// KESTRA appends its all-basis estimate for a job that fails (fewer than
// five acceptable solutions), in a record that looks like a result.  With
// run records the failure is known and the record left out; without them
// the summary says that such failures cannot be told apart.
//
// With a directory of run records (CDSEC_DETAILS), each method gains its
// own spread: per class and per group, the standard deviation, minimum and
// maximum over the solutions the program averaged.
//
// Series (--series): samples whose titles differ only in a trailing number
// and unit ("lysozyme 20.0 C", "lysozyme 25.1 C", ...) form a series,
// ordered by that number: per class group, each method's value, the
// consensus and the spread at each point, the change from the first point
// to the last and the largest step between neighbours.
#pragma once

#include <array>
#include <optional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "frame/summary.hpp"

namespace cdref {

constexpr int kGroups = 5;
enum Group { kHelix = 0, kStrand, kTurn, kUnordered, kPPII };
const char* group_name(int g);  // "Helix", ...
// The groups a class label (trimmed or 4 characters) adds to: one bit per
// group; 0 for a label of no catalogue set.
unsigned groups_of_label(std::string_view label);

constexpr double kDisagreement = 0.10;

// A run record as read back (the fields used here).
struct RunRecordData {
  std::string file;  // path
  std::string program;
  int job = 0;
  std::string title;
  int ibasis = 0;
  std::vector<std::string> labels;
  bool completed = false;
  std::string failure;
  bool has_all_basis = false;
  std::vector<double> all_basis;  // NaN for null
  double all_basis_sum = 0;
  std::vector<double> fractions;  // completed jobs
  double rmsd = 0;
  std::vector<std::vector<double>> solutions;  // fractions of each
  int count = 0;
  std::vector<double> sd, min, max;  // per class, from "statistics"
  std::vector<double> wavelength_nm, experimental;
  std::vector<double> calculated;  // completed jobs
};
// Reads and validates one run record; throws std::runtime_error naming the
// file and what is wrong with it.
RunRecordData read_run_record(const std::string& path);

struct Spread {
  double sd = 0, min = 0, max = 0;
};

struct MethodDetails {
  std::string file;
  int solutions = 0;
  std::vector<Spread> classes;       // per class of the set
  std::array<std::optional<Spread>, kGroups> groups;
};

struct Method {
  cdsec::SummaryEntry entry;
  int ibasis = 0;
  int replaced = 0;  // earlier records of this program and set for the sample
  std::string no_result;  // why the record holds no result; empty when it does
  std::array<std::optional<float>, kGroups> group;
  std::optional<MethodDetails> details;
  std::string program() const;  // "MORVAN3" or "KESTRA"
  std::string name() const;     // "MORVAN3/1"
};

struct Consensus {
  int n = 0;  // methods with a result in the group
  double mean = 0, sd = 0, min = 0, max = 0;
  bool disagree = false;  // max - min > 0.10
};

struct SampleSummary {
  std::string title;
  std::vector<Method> methods;  // in order of first record
  std::array<Consensus, kGroups> consensus;
};
// Whether any method of the sample has a value in class group `g`.
bool group_present(const SampleSummary& s, int g);

struct SummaryTable {
  std::string source;
  int records = 0;                 // read, damaged ones excluded
  std::vector<std::string> problems;  // damaged records, unusable run records
  std::vector<SampleSummary> samples;
  bool with_details = false;
  std::vector<std::string> notes;  // what the table cannot say
};

// Builds the table from ProtSS.out (and run records in details_dir, when
// not empty).  Throws when the file cannot be opened.
SummaryTable build_summary(const std::string& protss, const std::string& details_dir);

Consensus consensus_of(const std::vector<double>& values);

// The text forms show control characters in titles as '?' (the CSV, JSON
// and SVG forms keep or escape them).
std::string summary_text(const SummaryTable& t);
std::string summary_csv(const SummaryTable& t);
// A number as the CSV writes it (d decimals; "" when not finite): anything
// that shows the table's numbers elsewhere uses it, so they read the same.
std::string csv_num(double v, int d = 4);
std::string summary_json(const SummaryTable& t);
std::string summary_svg(const SummaryTable& t);

// Text for XML: the five special characters escaped, control characters
// and bytes that are not UTF-8 replaced by '?' (a title may hold anything).
std::string xml_text(std::string_view s);

// ---------------------------------------------------------------- series

// A title of a series: the name before the trailing number, the number and
// the unit after it ("lysozyme 25.1 C" -> "lysozyme", 25.1, "C").  False
// when the title does not end in a number (and unit).
bool split_series_title(std::string_view title, std::string& name, double& value, std::string& unit);

struct SeriesGroup {
  std::string name, unit;
  std::vector<std::size_t> samples;  // into SummaryTable::samples, by value
  std::vector<double> values;
  std::vector<std::string> methods;  // Method::name(), in order of first appearance
  // Per class group present: the consensus at each point, and its change.
  struct Change {
    bool present = false;
    int points = 0;                   // with a consensus
    double first_to_last = 0;         // last - first consensus
    double step = 0;                  // the largest step, signed
    std::size_t step_from = 0;        // index of the point before it
  };
  std::array<Change, kGroups> change;
};
std::vector<SeriesGroup> find_series(const SummaryTable& t);
// The method's value in class group k at point i of the series; nullopt
// when it has none (no record, no result, or no such class).
std::optional<double> series_value(const SummaryTable& t, const SeriesGroup& g, std::size_t i,
                                   const std::string& method, int k);

std::string series_text(const SummaryTable& t);
std::string series_csv(const SummaryTable& t);
std::string series_json(const SummaryTable& t);
std::string series_svg(const SummaryTable& t);


struct SummaryOptions {
  std::string protss = "ProtSS.out";
  std::string details;               // run records ("" = none)
  std::string csv, json, svg;        // output files ("" = none)
  bool series = false;               // the series view and its table and plot
};
// Prints the summary to `out` and writes the files asked for; damaged
// records and unwritable files are reported on `err`.  Returns the exit
// status (1 when ProtSS.out cannot be read or a file not written).
int run_summary(const SummaryOptions& o, std::ostream& out, std::ostream& err);

}  // namespace cdref
