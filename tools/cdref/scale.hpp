// Is a spectrum's magnitude plausible?  A CD spectrum in the wrong units or
// with a wrong concentration or path length is off by a constant factor,
// and the analysis programs then still report fractions, just wrong ones.
// Two signals point at such a factor:
//   all-basis: the all-basis estimate is linear in the spectrum, so the sum
//     of its fractions grows in proportion to the magnitude; the factor
//     that would make it 1 is 1 / sum.
//   fit: the job is run again at a ladder of factors (0.04 to 25, five steps
//     per decade); the fit to the experimental spectrum, as RMSD divided by
//     the RMS of the spectrum analysed, is best near the right magnitude.
// Neither pins the factor down on measured spectra (the all-basis sum of a
// correctly scaled protein lies anywhere from about 0.1 to 1.5, the fit
// minimum wanders), so the signals are combined (the geometric mean of the
// factors suggested) and a warning is given only when the combined factor
// leaves the band that correctly scaled spectra mostly fill (0.5 to 5.5,
// chosen on bench/scale-check): a spectrum 10 times too large or too small,
// the size of common unit and concentration mistakes, is mostly caught; one
// off by 2 mostly is not.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace cdref {

// The ladder of factors a job is run at by default.
std::vector<double> default_scale_ladder();

struct ScanPoint {
  double factor = 1;  // relative to the job as given
  bool ok = false;    // the program reported a fit at this factor
  double rmsd = 0, normalised = 0;
};

struct ProgramScale {
  bool ran = false;
  std::string trouble;                 // why the program gave nothing usable
  std::vector<ScanPoint> scan;
  std::optional<double> all_basis_sum;  // at the given scale
  std::optional<double> all_basis_factor;
  std::optional<double> fit_factor;
  int fit_edge = 0;  // -1 / +1: the best fit lies at the small / large end of the ladder
  double fit_best = 0;  // normalised RMSD there
};

struct JobScale {
  int job = 0;
  std::string title;
  int ibasis = 0;
  std::array<ProgramScale, 2> program;  // MORVAN3, KESTRA
  std::optional<double> combined;       // geometric mean of the suggestions
  bool warning = false;
  std::string resembles;                // the mistake a warned factor looks like
};

// The factor of minimum normalised RMSD over a ladder (refined by a
// parabola through the best point and its neighbours, in log factor), and
// whether it lies at an end of the ladder.
std::optional<double> best_fit_factor(const std::vector<ScanPoint>& scan, int* edge, double* best);
// 1 / sum, or nothing for a sum too small to be a magnitude (below 0.05).
std::optional<double> all_basis_factor(double sum);
// Combines the suggestions of a job and decides on the warning.
void judge(JobScale& j);
// The unit or concentration mistake a factor resembles ("" for none).
std::string mistake_resembled(double factor);

int scale_command(const std::vector<std::string>& args);
extern const char* const kScaleUsage;

}  // namespace cdref
