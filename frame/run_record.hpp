// The run record: with CDSEC_DETAILS naming a directory, each analysis
// program writes one JSON file per analysed job into it, holding what the
// reports leave out or print rounded: the exact inputs (with their SHA-256),
// where the reference files came from, every solution averaged into the
// result with their spread, and the spectra at full precision.  The reports
// themselves never change with it.
//
// Layout (version 1), keys in this order:
//   format, format_version, package_version, package_commit (null when not
//   built from a git checkout), program, job, title, ibasis,
//   input {path, sha256}, references [{name, path, origin, sha256}],
//   range_nm {longer, shorter, points}, factor, labels, status, failure,
//   warnings (the notes the program gave on standard error for the job),
//   all_basis {fractions, sum}, fractions, rmsd,
//   solutions [{nbas, ns, fractions} | {trial, fractions}],
//   statistics {count, mean, sd, min, max},
//   spectra {wavelength_nm, experimental, calculated}
// A failed job has status "failed", the failure in words, null fractions,
// rmsd, statistics and calculated spectrum, and no solutions.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/refsets.hpp"

namespace cdsec {

constexpr std::string_view kRunRecordFormat = "cdsec-run-record";
constexpr int kRunRecordVersion = 1;
constexpr std::string_view kDetailsVariable = "CDSEC_DETAILS";

enum class RecordProgram { kMorvan3, kKestra };
std::string_view program_name(RecordProgram p);  // "MORVAN3", "KESTRA"

// A file the job read.  name and origin are used for reference files only;
// an empty sha256 (file unreadable) is written as null.
struct RecordFile {
  std::string name;    // e.g. "CDDATA.43"
  std::string path;    // as opened
  std::string origin;  // "working directory", "CDSEC_REFDIR", "installed" or "source tree"
  std::string sha256;
};

// One solution averaged into the final fractions: its subset size and
// singular vectors (MORVAN3) or its trial number (KESTRA).
struct RecordSolution {
  int nbas = 0, ns = 0;
  long long trial = 0;
  std::vector<float> fractions;
};

struct RunRecord {
  RecordProgram program = RecordProgram::kMorvan3;
  int job = 0;                 // 1-based, every job of INPUT counted
  std::string title;           // as read; trailing blanks are dropped when written
  int ibasis = 0;
  RecordFile input;            // path and sha256
  std::vector<RecordFile> references;  // in reading order
  bool has_range = false;      // false: the job stopped before its range was fitted
  float longer_nm = 0, shorter_nm = 0;
  int points = 0;
  float factor = 1.0f;
  std::vector<std::string> labels;  // trimmed
  std::string failure;              // empty: the job completed
  std::vector<std::string> warnings;  // notes given for the job on standard error
  bool has_all_basis = false;
  std::vector<float> all_basis;
  float all_basis_sum = 0.0f;
  std::vector<float> fractions;     // final fractions (completed jobs)
  float rmsd = 0.0f;
  std::vector<RecordSolution> solutions;
  std::vector<float> wavelength_nm, experimental, calculated;

  bool completed() const { return failure.empty(); }
};

// Per-class statistics over the solutions, in double: mean, sample standard
// deviation (divisor n - 1; 0 for a single solution), smallest and largest.
// The class count is that of the first solution; empty for no solutions.
struct RecordStatistics {
  int count = 0;
  std::vector<double> mean, sd, min, max;
};
RecordStatistics solution_statistics(std::span<const RecordSolution> solutions);

// "<PROGRAM>-<JOB>-<TITLE>.json": JOB with at least four digits, TITLE the
// title without trailing blanks, every character outside [A-Za-z0-9._-]
// replaced by '_', runs of '_' merged, leading '.' and '_' removed, at most
// 48 characters, "untitled" when nothing is left.
std::string run_record_file_name(RecordProgram program, int job, std::string_view title);

// The record as JSON text (ends with a newline).
std::string run_record_json(const RunRecord& r);

// Fillers shared by both programs.
std::string_view origin_name(RefFileLocation::From from);
RecordFile describe_input(const std::string& path);                // path and digest
RecordFile describe_reference(const RefFileLocation& where);       // name, path, origin, digest
void set_labels(RunRecord& r, std::span<const std::string_view> labels);
// The two files of the set, those whose path is known.
void add_references(RunRecord& r, const RefFileLocation& cd, const RefFileLocation& ss);
// The range after the fit to the set, and the factor applied.
void set_range(RunRecord& r, float longer, float shorter, int points, float factor);
void set_all_basis(RunRecord& r, std::span<const float> fractions, float sum);
void set_final(RunRecord& r, std::span<const float> fractions, float rmsd);
void add_subset_solution(RunRecord& r, int nbas, int ns, std::span<const float> fractions);
void add_trial_solution(RunRecord& r, long long trial, std::span<const float> fractions);
// Wavelengths first, first - 1, ... with the experimental values, and the
// calculated ones (pass an empty span when there are none).
void set_spectra(RunRecord& r, float first, std::span<const float> experimental, std::span<const float> calculated);

// The value of CDSEC_DETAILS checked: unset or empty means no records; a
// directory that does not exist, is not a directory or cannot be written
// gives an error naming the variable and the path.
struct DetailsDirectory {
  bool enabled = false;
  std::filesystem::path dir;
  std::string error;  // non-empty: refuse to run
};
DetailsDirectory details_directory(const char* value);
DetailsDirectory details_directory_from_env();

// Writes the record to dir/run_record_file_name(...), replacing a record of
// that name atomically; a symbolic link of that name is replaced, never
// written through.  A failure is reported on `warn` as a warning and returns
// false; it never stops the analysis.
bool write_run_record(const std::filesystem::path& dir, const RunRecord& r, std::ostream& warn);

// One run's records: the checked directory and the input digest (taken once
// per run).  A program checks refused() before it opens any report file.
class RunRecorder {
 public:
  RunRecorder(RecordProgram program, std::string input_path, const DetailsDirectory& details);
  RunRecorder(RecordProgram program, std::string input_path)
      : RunRecorder(program, std::move(input_path), details_directory_from_env()) {}

  bool enabled() const { return details_.enabled; }
  bool refused() const { return !details_.error.empty(); }
  const std::string& refusal() const { return details_.error; }

  // A record of job `job` with the program and the input filled in.
  RunRecord begin(int job);
  // Writes `r` when enabled (warning on std::cerr when it cannot).
  void write(const RunRecord& r) const;

 private:
  RecordProgram program_;
  std::string input_path_;
  DetailsDirectory details_;
  std::optional<RecordFile> input_;
};

}  // namespace cdsec
