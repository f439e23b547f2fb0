// Is a spectrum's magnitude plausible?  A CD spectrum in the wrong units or
// with a wrong concentration or path length is off by a constant factor,
// and the analysis programs then still report fractions, just wrong ones.
// The job is run again at a ladder of factors (0.04 to 25, five steps per
// decade) and five signals point at the factor the spectrum needs:
//   all-basis (both programs): the sum of the all-basis fractions rises
//     with the magnitude (then falls back towards 1 far above it, as the
//     estimate clips negative fractions); the factor where it rises
//     through 1.
//   fit (both programs): the factor of the lowest RMSD divided by the RMS
//     of the spectrum analysed.
//   acceptable combinations (KESTRA): too weak a spectrum leaves few
//     combinations of reference proteins acceptable; the factor from which
//     their count stays at the largest seen on the ladder.
// On correctly scaled measured proteins each signal has its own typical
// value and spread (bench/scale-check: an all-basis sum that reaches 1 at
// about 1.24, acceptable combinations full from about 0.63, ...).  Each
// suggestion divided by its typical value estimates how far the spectrum
// is off; the estimates are averaged in log factor with weights 1/spread^2,
// and a combined estimate beyond 3 or 1/3 is warned about.  On the
// benchmark, with both programs, no correctly scaled spectrum was warned
// about and every one made 10 times too large or too small was (combined
// estimates of correctly scaled spectra ran from 0.49 to 2.3, of those made
// 10 times too large up to 0.30); an error of 2 was caught in about one
// case in eight, as correctly scaled proteins spread wider than that.  With
// MORVAN3 alone (two signals) the spread is wider and a few correctly
// scaled spectra are warned about.  The typical values, spreads and the band were all
// set on that benchmark, so it does not test them independently.
#pragma once

#include <array>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace cdref {

// A job of an INPUT file as written.
struct InputJob {
  int job = 0;  // from 1
  int ibasis = 0;
  std::string title;
  float first = 0, last = 0, factor = 1;
  std::vector<float> cd;  // as written, before the factor
};
// Every job of an INPUT file; throws cdsec::ReadError naming file and line.
std::vector<InputJob> read_input(const std::string& path);

// The ladder of factors a job is run at by default.
std::vector<double> default_scale_ladder();

struct ScanPoint {
  double factor = 1;  // relative to the job as given
  bool ok = false;    // the program reported a fit at this factor
  double rmsd = 0, normalised = 0;
  std::optional<double> all_basis_sum;  // at this factor
  std::optional<int> valid;             // KESTRA's count of acceptable combinations
};

// The signals, in the order of JobScale::signals.
enum class Signal { kMorvanAllBasis, kMorvanFit, kKestraAllBasis, kKestraFit, kKestraValid };
constexpr int kSignals = 5;
struct SignalSpread {
  const char* name;
  double typical;  // median suggested factor on correctly scaled measured spectra
  double spread;   // their spread in ln factor (10th to 90th percentile / 2.56)
};
const SignalSpread& signal_spread(Signal s);

struct SignalEstimate {
  double suggested = 1;  // the factor the signal points at
  bool beyond = false;   // at the end of the ladder: the factor lies further out
  double estimate = 1;   // suggested / typical: how far the spectrum looks off
  double low = 1, high = 1;  // the 80% range of measured proteins around it
};

struct ProgramScale {
  bool ran = false;
  std::string trouble;                 // why the program gave nothing usable
  bool failed = false;  // its run broke off (time limit, signal, error status): the check is incomplete
  std::vector<ScanPoint> scan;
  std::optional<double> all_basis_sum;  // at the given scale (the ladder point nearest it)
  std::optional<double> all_basis_factor;
  int all_basis_edge = 0;  // -1 / +1: the sum crosses 1 below / above the ladder
  std::optional<double> fit_factor;
  int fit_edge = 0;  // -1 / +1: the best fit lies at the small / large end of the ladder
  double fit_best = 0;  // normalised RMSD there
  std::optional<double> valid_factor;  // KESTRA: acceptable combinations full from here
  int valid_edge = 0;
};

struct JobScale {
  int job = 0;
  std::string title;
  int ibasis = 0;
  std::array<ProgramScale, 2> program;  // MORVAN3, KESTRA
  std::array<std::optional<SignalEstimate>, kSignals> signals;
  std::optional<double> combined;       // weighted geometric mean of the estimates
  bool warning = false;
  std::string resembles;                // the mistake a warned factor looks like
};

// The factor of minimum normalised RMSD over a ladder (refined by a
// parabola through the best point and its neighbours, in log factor), and
// whether it lies at an end of the ladder.
std::optional<double> best_fit_factor(const std::vector<ScanPoint>& scan, int* edge, double* best);
// The factor at which the all-basis sum, followed along the ladder, rises
// through 1 (linear in log factor between the two points around it).  Where
// it rises through 1 more than once, the crossing nearest the given scale.
// Where it stays below 1 (above 1) the ladder's largest (smallest) factor,
// with *edge +1 (-1): the factor lies beyond it.  Nothing without at least
// two sums, where the sum only falls through 1, or where it is negative at
// any factor.
std::optional<double> all_basis_crossing(const std::vector<ScanPoint>& scan, int* edge);
// The smallest factor from which every count of acceptable combinations
// reported is the largest seen on the ladder (*edge -1 when that is the
// ladder's first point).  Nothing without two counts or with none above 0.
std::optional<double> full_combinations_factor(const std::vector<ScanPoint>& scan, int* edge);
// Turns the programs' suggestions into estimates, combines them and decides
// on the warning.
void judge(JobScale& j);
// The band of combined estimates not warned about: [1 / kWarnBand, kWarnBand].
constexpr double kWarnBand = 3.0;
// The unit or concentration mistake a factor resembles ("" for none).
std::string mistake_resembled(double factor);

// The judgement in words: "combined estimate x1.12: plausible", or the
// warning with the mistake it resembles, or that there was no signal.
std::string scale_verdict(const JobScale& j);

// The magnitude check of the jobs in an INPUT file.
struct ScaleOptions {
  std::string input;
  int job = 0;                            // 0: every job
  std::string json;                       // "" = no JSON file
  std::array<bool, 2> run{true, true};    // MORVAN3, KESTRA
  std::array<std::string, 2> exe;         // program paths; "" = found as for crossval
  std::vector<double> ladder;             // empty: default_scale_ladder()
  std::string seed = "1";                 // KESTRA_SEED
  std::string scratch;                    // "" = a new temporary directory, removed at the end
  int job_timeout = 120;
  std::function<void(int job, const std::string& title)> on_job;  // instead of the progress line
};

// Runs the check: the report to `out`, a line per job to `progress`, each
// job's judgement appended to *results when given.  Returns the exit
// status: 0 (also with warnings), 1 when the input or a program could not
// be used.
int run_scale(const ScaleOptions& opt, std::ostream& out, std::ostream& progress,
              std::vector<JobScale>* results = nullptr);

}  // namespace cdref
