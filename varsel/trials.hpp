// One solution of the variable-selection method, for all reference proteins
// (the all-basis estimate) or for a random combination of eight (a trial).
//
// The sample's spectrum is appended as the last column of a matrix of
// reference spectra; the truncated decomposition of that matrix writes the
// sample as weights y on the columns, and the sample's fractions follow by
// twenty self-consistent rounds in which the sample's own fraction row (first
// a fixed average-protein guess) is replaced by the current estimate.  A trial
// counts only when the result is physically sound: fractions summing close to
// one, none clearly negative, and a spectrum that five components reproduce.
#pragma once

#include <array>
#include <iosfwd>
#include <memory>

#include "frame/matrix.hpp"
#include "varsel/random.hpp"

namespace cdsec {

constexpr int kMaxPoints = 100;   // CD points of a sample
constexpr int kMaxCols = 51;      // reference proteins plus the sample
constexpr int kNcomb = 400;       // valid solutions wanted per job
constexpr int kNsv = 5;           // singular triplets in every solution
constexpr int kRounds = 20;       // self-consistent rounds
constexpr int kSvdIterations = 35;

// The valid solutions of a job, in the order found.
struct SolutionStore {
  Matrix<kNcomb, 6> fractions;          // row s: classes 1..Nsstr
  Matrix<kMaxPoints, kNcomb> recon_cd;  // column s: ReconCD, points 1..Nwave
  Matrix<kMaxPoints, kNcomb> calc_cd;   // column s: CalcCD
  std::array<int, kNcomb + 1> trial{};  // trial[s]: the trial (IComb) that found solution s
};

// Working matrices of one solution, allocated once per run and rebuilt by
// every call.
struct TrialWorkspace {
  Matrix<kMaxPoints, kMaxCols> a;   // reference spectra, the sample last
  Matrix<kMaxCols, 6> f;            // their fractions, the sample's row last
  Vector<kMaxCols> w;
  Matrix<kMaxPoints, kMaxCols> u;
  Matrix<kMaxPoints, kMaxCols> v;   // same leading dimension as a and u
  Vector<kMaxCols> rv1;
  Vector<kMaxCols> y;               // the sample's weights on the columns of a
  Vector<6> x;                      // the sample's fractions
  Vector<kNsv> proj;                // projections of the sample on U(:, 1..5)
  Vector<kMaxPoints> recon;
  // structure decomposition of a valid trial and the calculated spectrum
  Vector<6> w2;
  Matrix<kMaxCols, 6> u2;
  Matrix<kMaxCols, 6> v2;
  Vector<kMaxCols> z;
  Matrix<kMaxPoints, kMaxCols> ar;
  Vector<kMaxPoints> calc;
  Vector<kMaxCols, int> drawn;
};

// The average protein the twenty rounds start from, classes 1..6.
inline constexpr float kStartingGuess[6] = {0.36f, 0.06f, 0.18f, 0.12f, 0.07f, 0.21f};

// The validity tests of a trial; values exactly on a limit pass.
bool solution_is_valid(float fsum, float recon_rms, VecView<const float> x, int nsstr, float rms_limit,
                       float fraction_limit);

// How the shared procedure ended: the error code of the spectra
// decomposition (reported, but the procedure goes on), and whether a zero
// singular value among the first nsv abandoned it.
struct SolveStatus {
  int ierr = 0;
  bool abandoned = false;
};

// Everything a trial gives before it is counted: its status, whether it
// passed the tests, and fsum and the reconstruction RMS.  The fractions are
// in ws.x, ReconCD in ws.recon and, for a valid trial, CalcCD in ws.calc.
struct TrialOutcome {
  SolveStatus status;
  bool valid = false;
  float fsum = 0.0f;
  float recon_rms = 0.0f;
};

// BVPRO3: the all-basis estimate from the nbascd reference proteins.  Fills
// classes 1..nsstr of `out`; leaves it unchanged (and returns false) when a
// zero singular value among the first nsv abandons the procedure.
bool BVPRO3(int nbascd, int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            VecView<float> out, int nsv, VecView<const float> sample, TrialWorkspace& ws, std::ostream& report);

// The work of one trial on the combination in columns and rows 1..nsel of
// ws.a and ws.f: solution, tests and, when valid, CalcCD.  It reads only the
// workspace and its arguments and writes only the workspace, so trials can
// be evaluated on any thread, each with its own workspace.
TrialOutcome evaluate_trial(int nwave, int nsstr, float rms_limit, float fraction_limit, int nsv,
                            VecView<const float> sample, int nsel, TrialWorkspace& ws);

// Counts an evaluated trial `icomb`, in trial order: its trouble lines, and
// when valid the increase of `isucs`, entry isucs of `store` (fractions x,
// ReconCD, CalcCD) and with iprint non-zero its two lines with the sorted
// combination.
void record_trial(const TrialOutcome& t, const float* x, const float* recon, const float* calc, const int* sorted,
                  int nsel, int nwave, int nsstr, SolutionStore& store, int& isucs, int icomb, int iprint,
                  std::ostream& report);

// BVPRO4: trial `icomb` on a combination drawn by RNDM.  A valid trial
// increases `isucs` and fills entry isucs of `store` (fractions, ReconCD,
// CalcCD); with iprint non-zero it also writes its two lines to `report`.
void BVPRO4(int nwave, MatrixView<const float> refcd, MatrixView<const float> refss, int nsstr,
            SolutionStore& store, float rms_limit, float fraction_limit, int nsv, VecView<const float> sample,
            int nbascd, int nsel, int& isucs, int icomb, int iprint, UniformSource& rng,
            CombinationHistory& history, TrialWorkspace& ws, std::ostream& report);

}  // namespace cdsec
