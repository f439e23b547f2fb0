// GETSTR: the self-consistent analysis of one sample.
//
// The sample joins the reference proteins with a guess of its own
// structure; its fractions are solved from truncated SVD fits over subsets of
// the most similar references, the solutions that look physically sound are
// averaged into a new guess, and this repeats until the guess stops
// changing.  A second stage keeps the solutions whose implied spectrum
// matches the measured one, and a helix window placed by an all-basis
// estimate makes the final choice.
//
// Selection rules:
//   1  the fractions sum to 1 within SumLim;
//   2  no fraction lies below FracMin;
//   3  the spectrum implied by the solution (or the rank-reduced sample
//      spectrum) lies within RmsLim of the measured spectrum;
//   4  the helix lies in a window around the expected helix.
// Each rule is relaxed step by step while nothing passes, up to a fixed last
// step after which the analysis reports its failure.
#pragma once

#include <array>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "frame/matrix.hpp"
#include "frame/refsets.hpp"

namespace cdsec {

constexpr int kMaxSolutions = 500;  // one iteration forms at most 353 (51 proteins)
constexpr int kMaxTrialVectors = 8;  // singular vectors a trial uses at most

// The analysis inputs, in the order the driver hands them over.
struct GetstrInput {
  int np = 0;                         // proteins in the working set, sample first
  int nw = 0;                         // wavelengths
  int ns = 0;                         // structure classes
  VecView<const float> sample;        // nw CD values (declared 83, zero beyond nw)
  std::string_view name;              // 4 characters, "TEST"
  float sum_tolerance = 0.05f;        // first limit of rule 1
  float min_fraction = -0.03f;        // first limit of rule 2
  float first = 0, last = 0;          // wavelength range, nm
  MatrixView<const float> cd;         // 83 x 51, column p = protein p
  MatrixView<float> ss;               // 51 x 6, row p = protein p; row 1 (the sample) is changed
  float rms_limit = 0.25f;            // first limit of rule 3
  int iteration_bound = 20;           // at most this less one iterations
  std::string_view print_keyword;     // "PRNT": intermediate printing
  int segment_flag = 0;
  int ibasis = 0;
  std::span<const std::string_view> labels;  // ns labels of 4 characters
  std::string_view title;             // 64 characters
};

struct GetstrFiles {
  std::ostream& report;  // MORVAN3.OUT
  std::ostream& calccd;  // CalcCD.OUT, must be seekable
  std::string protss;    // path of the summary file
};

enum class GetstrOutcome { kFirstStageFailed, kSecondStageFailed, kRule4Failed, kCompleted };

// Solutions of one iteration, in the order they are formed.
struct SolutionTable {
  int count = 0;
  std::array<int, kMaxSolutions + 1> nbas{};  // subset size (from 1)
  std::array<int, kMaxSolutions + 1> nsv{};   // singular vectors used
  Matrix<kMaxSolutions, 6> frac;              // frac(n, j)
};

// Positions in the solution table.
struct SolutionList {
  int count = 0;
  std::array<int, kMaxSolutions + 1> pos{};  // pos[1..count]
};

// What the second stage derives from each first-stage solution.
struct SecondStageData {
  Matrix<kMaxPointsSC, kMaxSolutions> calc;  // column n: spectrum implied by solution n
  Vector<kMaxSolutions> rms_exp;             // reconstructed sample vs measured
  Vector<kMaxSolutions> rms_rec;             // implied vs reconstructed sample
  Vector<kMaxSolutions> rms_small;           // the smaller of the two (rule 3)
};

// Decomposition of the first NBas rows of the structure matrix.
struct StructureSvd {
  Vector<6> w;
  Matrix<kMaxWorkingSet, 6> u;
  Matrix<6, 6> v;
};

// Everything one analysis needs, allocated once for the whole run.
struct GetstrWork {
  // Decomposition of the whole CD matrix (all NP columns), sorted.  It gives
  // the all-basis estimate, the trial of NB = NP and the second stage.
  Vector<kMaxWorkingSet> w;
  Matrix<kMaxPointsSC, kMaxWorkingSet> u;
  Matrix<kMaxWorkingSet, kMaxWorkingSet> v;
  // Decomposition of the first NB < NP columns, one NB at a time.
  Vector<kMaxWorkingSet> sub_w;
  Matrix<kMaxPointsSC, kMaxWorkingSet> sub_u;
  Matrix<kMaxWorkingSet, kMaxWorkingSet> sub_v;
  Vector<kMaxWorkingSet> rv1;
  Vector<kMaxWorkingSet> weights;
  // The protein weights of every (NB, NV) trial.  They depend on the CD
  // matrix alone, not on the sample's guessed structure, so they are formed
  // once per sample and each iteration only recombines the fractions.
  Matrix<kMaxWorkingSet, kMaxSolutions> trial_weights;
  // rank[k-1]: the CD matrix rebuilt from its first k singular triplets.  A
  // column depends on its own row of V only, so the reduction of the first
  // NBas columns that a second-stage solution needs is the first NBas
  // columns of these.  ranks_made of them are filled for the current sample.
  std::array<Matrix<kMaxPointsSC, kMaxWorkingSet>, kMaxTrialVectors> rank;
  int ranks_made = 0;
  // structure[nbas]: the decomposition of the first nbas rows of the
  // structure matrix.  The rows are fixed once the first stage has ended, so
  // the second stage forms one per subset size (structure_made[nbas]).
  std::array<StructureSvd, kMaxWorkingSet + 1> structure;
  std::array<bool, kMaxWorkingSet + 1> structure_made{};
  SolutionTable table;
  SolutionList first, second;
  // Positions in `table` of the solutions that passed rule 4 and were
  // averaged into the final fractions, in order; count 0 unless the analysis
  // completed.
  SolutionList fourth;
  // The all-basis estimate as the report prints it: the fractions after the
  // ten passes and their sum; all_basis_made once it has been formed.
  Vector<6> all_basis;
  float all_basis_sum = 0.0f;
  bool all_basis_made = false;
  // The final fractions and the RMS of the final spectrum against the
  // measured one, for a completed analysis.
  Vector<6> final_fractions;
  float final_rms = 0.0f;
  SecondStageData stage2;
  // Scratch of the second stage.
  Vector<kMaxPointsSC> r;
  Vector<kMaxWorkingSet> y;
  Vector<kMaxPointsSC> avg;  // average spectrum (zero beyond nw)
};

GetstrOutcome GETSTR(const GetstrInput& in, GetstrWork& work, const GetstrFiles& files);

// ---------------------------------------------------------------- the stages, for testing

// The rank-k reconstructions of the first p columns of an m-row matrix from
// its decomposition, k = 1..kmax, into rank[0..kmax-1]; each adds triplet k
// to the one before it, so rank[k-1] holds, bit for bit, what
// SVREC(k, m, p, ...) gives.
void rank_reductions(int kmax, int m, int p, VecView<const float> w, MatrixView<const float> u,
                     MatrixView<const float> v, std::span<Matrix<kMaxPointsSC, kMaxWorkingSet>> rank);

// Helix measure: class 1 alone for sets 2 and 5 (their first class is the
// whole helix), classes 1 and 2 (regular and distorted helix) otherwise.

// Limits of rules 1 and 2 as the passes leave them.
struct Rule12Limits {
  float sumlim;
  float fracmin;
  int minsol;
};

// Passes of rules 1 and 2 over `table`, relaxing SumLim by 0.02 and FracMin
// by 0.01 after every empty pass.  True when at least minsol solutions
// passed (their positions in `accepted`, their fraction sums in `sums`);
// false when SumLim reached 0.14 before that.  With `print` every pass lists
// its limits and the solutions it accepts.
bool select_rules12(const SolutionTable& table, int ns, Rule12Limits& lim, SolutionList& accepted, Vector<6>& sums,
                    bool print, std::span<const std::string_view> labels, std::ostream& report);

// Passes of rule 3 over the first-stage list, raising rmslim by 0.1 after
// every empty pass while it is below 0.6.  True when at least minsol passed
// (list in `passed`, fraction sums in `sums`, spectrum sums in `spectrum`);
// false when the limit has gone past 0.6, or an empty pass was made at
// exactly 0.6.  The listing lines are written whatever `print` says.
bool select_rule3(const SolutionTable& table, const SecondStageData& s2, const SolutionList& first, int ns, int nw,
                  float& rmslim, int minsol, SolutionList& passed, Vector<6>& sums, Vector<kMaxPointsSC>& spectrum,
                  bool print, std::span<const std::string_view> labels, std::ostream& report);

// The helix window of rule 4.  hmin and hmax enter as the extremes of the
// second-stage helices and `centre` as the helix of the last one; all three
// leave as the first window.  Returns the value the report shows after
// "HELIX:".
float helix_window(float heldp, float& hmin, float& hmax, float& centre);

// Passes of rule 4 over the second-stage list, widening the window by 0.02
// at each side after every empty pass; the window line is written while the
// window's lower edge lies within 0.13 of the centre, and once it does not
// after an empty pass the rule has failed (false).  `kept` lists the
// positions in `table` of the solutions the last pass accepted.
bool select_rule4(const SolutionTable& table, const SecondStageData& s2, const SolutionList& second, int ns,
                  int nw, int ibasis, float centre, float& hmin, float& hmax, int minsol, SolutionList& kept,
                  Vector<6>& sums, Vector<kMaxPointsSC>& spectrum, std::ostream& report);

}  // namespace cdsec
