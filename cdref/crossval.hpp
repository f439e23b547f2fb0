// Cross-validation of a reference set: each of its proteins is analysed as a
// sample by both analysis programs, and the fractions they find are compared
// with the known ones.
//
// Both programs leave a reference protein out of the basis when its spectrum
// equals the sample's exactly over the sample's wavelengths, so writing a
// protein's spectrum into a job exactly as the program would read it from
// the set is all it takes to analyse it with itself left out.  "Exactly as
// read" differs between the programs when a CDDATA name line carries a scale
// factor: the self-consistent program multiplies the stored values by it,
// the variable-selection program ignores it.  So each program gets its own
// INPUT: MORVAN3's jobs carry the stored values with the protein's scale
// factor as the job's factor (the program then forms the same single-
// precision products as its loader), KESTRA's jobs the stored values with
// factor 1.  Values that the job layout (three decimals) cannot reproduce
// exactly are refused before anything is run.  After the runs, the number of
// reference proteins each program reports for each job is compared with the
// number expected (the set minus the sample, and minus any other protein
// with the very same spectrum), so a sample that was not left out is caught.
//
// Proteins of other sets can be analysed against the set as well (samples):
// they are not in it, so nothing is left out.  This carries a set that holds
// at most 50 proteins over a larger pool (leave-one-out within the set, the
// rest of the pool analysed against it) and shows how a set fares on
// proteins of another origin.
#pragma once

#include <array>
#include <filesystem>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "frame/matrix.hpp"
#include "frame/refsets.hpp"
#include "cdref/runner.hpp"

namespace cdref {

// A set named on the command line: a catalogue number K (its files found as
// the programs find them from the current directory) or the path of its
// CDDATA.<suffix> or SSDATA.<suffix> file.  Both files lie in `dir`.
struct SetFiles {
  const cdsec::RefSetInfo* info = nullptr;
  std::filesystem::path dir, cd_path, ss_path;
  std::string describe() const;  // "set 3 (CDDATA.37, SSDATA.37 in DIR)"
};
// Throws std::runtime_error with the reason.
SetFiles resolve_set(const std::string& arg);

// Helix and strand totals of a fraction vector of set `ibasis`: the classes
// that are helix (regular and distorted, or alpha and 3-10 for set 2, alpha
// alone for set 5) and strand (regular and distorted, or the one sheet
// class of sets 2 and 5).
float helix_total(int ibasis, std::span<const float> f);
float strand_total(int ibasis, std::span<const float> f);

// Agreement of predicted with known values over n proteins: root-mean-square
// difference, Pearson correlation (undefined when either side does not
// vary), mean signed error (predicted minus known).
struct ClassStats {
  int n = 0;
  float rms = 0, r = 0, mse = 0;
  bool has_r = false;
};
ClassStats class_stats(std::span<const float> predicted, std::span<const float> known);

enum class Program { kMorvan3 = 0, kKestra = 1 };
const char* program_name(Program p);

// What became of one job in one program.
enum class Status {
  kOk,
  kNotRun,            // the program ended (or was stopped) before the job
  kNoRecord,          // MORVAN3 wrote no summary record (reason from its report)
  kTooFewSolutions,   // KESTRA: fewer than five valid combinations
  kEmptyHelixWindow,  // KESTRA: no valid solution inside the helix window
  kNotFinite,         // the record holds a value that is not a number
  kBasisMismatch,     // the program's basis was not what leaving the sample out gives
};
const char* status_text(Status s);

struct JobResult {
  Status status = Status::kNotRun;
  std::string detail;       // the failure as the program's report words it
  int basis = -1;           // reference proteins the program loaded, -1 if unknown
  int ns = 0;               // classes of the record
  cdsec::Vector<6> pred;    // the record's fractions (also on the failure paths that write one)
  float helix = 0, strand = 0, rmsd = 0;
};

// One protein analysed as a sample.
struct Case {
  int job = 0;            // position in INPUT, from 1
  std::string name;       // as in CDDATA
  bool own = true;        // a protein of the set itself, left out of the basis
  std::string origin;     // the set file it comes from
  int ibasis = 0;         // the set its known fractions belong to
  int ns = 0;
  cdsec::Vector<6> known;
  float known_helix = 0, known_strand = 0;
  cdsec::Vector<cdsec::kRefPoints> cd;  // as stored, not scaled
  float scale = 0;                      // the CDDATA scale factor, 0 for none
  std::array<int, 2> expected_basis{};  // per program
  std::array<JobResult, 2> result;      // per program
};

// The title of job j: the only link between a record and its job, since
// MORVAN3 writes no record for a failed job.
std::string job_title(int job, const std::string& name);
// The job number of a title written by job_title, or 0.
int job_of_title(const std::string& title);

// Reads what program `p` left in `dir` (ProtSS.out, and MORVAN3.OUT with
// BASIS or Kestra.out) and fills result[p] of every case: the record's
// fractions, the basis size and failure reports of the program's report,
// the statuses.  `ref_ibasis` is the set the jobs were analysed with.
// Throws cdsec::ReadError when a file is not what the program writes.
void collect_results(Program p, const std::filesystem::path& dir, int ref_ibasis, std::span<Case> cases);

struct CrossvalOptions {
  std::vector<std::string> sets;      // the sets cross-validated, one after another
  std::vector<std::string> samples;   // sets whose proteins are analysed against each of them
  bool samples_only = false;          // do not analyse the set's own proteins
  int range_first = 0, range_last = 0;  // > 0: the jobs' wavelengths, inside every set's valid range
  std::array<bool, 2> run{true, true};  // MORVAN3, KESTRA
  std::array<std::string, 2> exe;     // program paths; "" = found automatically
  std::string csv, svg, stats;        // output files ("" = none)
  std::string scratch;                // "" = a new directory under the temp dir
  bool keep = false;                  // keep the scratch directory
  std::string seed = "1";             // KESTRA_SEED
  int worst = 3;                      // largest errors listed per class
  int job_timeout = 120;              // seconds a program may go without finishing a job
};

// Finds a program: `given` when not empty; else next to the running cdref
// (installed layout), else in the build tree (../selfcon, ../varsel from
// cdref's directory), else on PATH.  Throws std::runtime_error naming the
// places tried.
std::filesystem::path find_program(Program p, const std::string& given);

// Runs the whole cross-validation: report to `out`, progress lines to
// `progress`.  Returns the exit status (0: done, even when jobs failed; 1:
// a set could not be used or a program could not be run).
int run_crossval(const CrossvalOptions& opt, std::ostream& out, std::ostream& progress);


// The outputs, from cases of one or more sets (tagged by the set they were
// analysed with).  Exposed for the tests.
struct SetRun {
  SetFiles set;
  std::vector<Case> cases;
};
void write_report(std::ostream& out, const SetRun& run, const std::array<bool, 2>& ran, int worst);
std::string csv_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran);
std::string stats_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran);
std::string svg_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran);

}  // namespace cdref
