// Random combinations of reference proteins, and how many there are.
//
// The variable-selection method solves the sample against many random
// subsets of eight reference proteins.  A small reference set has only a
// few distinct subsets, so the trial budget is capped at their number, and no
// subset is tried twice within a job.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <vector>

#include "frame/matrix.hpp"

namespace cdsec {

constexpr int kNsel = 8;              // reference proteins per combination
constexpr int kMaxTrials = 100000;    // trial budget, and rows of the history

// n! in single precision, each product rounded to float: the factorials
// above 13! are not exact, which makes the combination count of 14..19
// proteins fall one below the binomial coefficient.  1.0 for n <= 0.
float FCTRL(int n);

// The trial budget of a job: `icombf` lowered to the number of distinct
// combinations of eight out of `nbascd` proteins, for sets of 20 proteins or
// fewer (0 below 8, 1 for 8, 3002 for 14); larger sets keep `icombf`.
int trial_budget(int nbascd, int icombf);

// Uniform reals in [0, 1), never 1.0.
class UniformSource {
 public:
  virtual ~UniformSource() = default;
  virtual float uniform() = 0;
};

// The generator of the program: 32-bit Mersenne Twister; one real is the
// top 24 bits of one output scaled by 2^-24, so every float in [0, 1) that
// it can yield is exact and 1.0 is impossible.
class KestraRandom final : public UniformSource {
 public:
  void seed(std::uint32_t s) { gen_.seed(s); }
  float uniform() override { return static_cast<float>(gen_() >> 8) * 0x1p-24f; }

 private:
  std::mt19937 gen_;
};

// Hundredths of a second since midnight, local time: 0 .. 8639999.
std::uint32_t time_of_day_seed();

// The seed every job uses when the environment variable KESTRA_SEED holds an
// integer that fits in 32 bits (a negative one taken modulo 2^32); nullopt
// when it is unset or empty.  A value that is not an integer, or does not
// fit, also gives nullopt and is reported in `complaint`.
std::optional<std::uint32_t> fixed_seed_from(const char* value, std::string* complaint);

// The sorted combinations already tried in this job.  Rows are kept in trial
// order as the record of the search; the look-up goes through an
// open-addressing hash table sized once for the largest budget, so a repeat
// check costs the same at trial 100000 as at trial 2 and nothing is
// allocated during a search.
class CombinationHistory {
 public:
  CombinationHistory();
  // Forgets every combination (the start of a job).
  void clear();
  // True when the sorted combination was stored in this job.
  bool contains(const int* sorted) const;
  // Stores the sorted combination as row `icomb` (1-based, trial order).
  void store(int icomb, const int* sorted);
  // Entry j of row t.
  int row(int t, int j) const { return (*rows_)(t, j); }

 private:
  static std::uint64_t key(const int* sorted);
  static constexpr int kSlotBits = 18;  // 262144 slots: load at most 0.39
  std::unique_ptr<Matrix<kMaxTrials, kNsel, int>> rows_;
  std::vector<std::uint64_t> slots_;  // 0 marks an empty slot; keys are never 0
};

// The draw of RNDM without the copying: `nsel` distinct protein numbers in
// 1..nbascd, kept in drawing order in `order` and ascending in `sorted`;
// a combination tried before in this job is drawn afresh in full.  The
// accepted combination becomes row `icomb` of `history`.  It depends only
// on the generator and the history, never on how earlier trials came out,
// so the draws of a search can run ahead of its trials.
void draw_combination(int nbascd, int nsel, int icomb, UniformSource& rng, CombinationHistory& history,
                      int* order, int* sorted);

// Columns 1..nsel of `a` = the CD (points 1..nwave) of the proteins in
// `order`, rows 1..nsel of `f` = their fractions (classes 1..nsstr).
void load_combination(int nsel, int nwave, int nsstr, MatrixView<const float> refcd, MatrixView<const float> refss,
                      const int* order, MatrixView<float> a, MatrixView<float> f);

// RNDM: draws `nsel` distinct protein numbers in 1..nbascd, copies each
// drawn protein's CD (points 1..nwave) into the next column of `a` and its
// fractions (classes 1..nsstr) into the next row of `f`, in drawing order;
// sorts the numbers in `drawn` (1..nsel) and, when that sorted combination
// was tried before in this job, draws all of it afresh.  The accepted
// combination becomes row `icomb` of `history`.
void RNDM(int nbascd, int nsel, int nwave, int nsstr, MatrixView<const float> refcd,
          MatrixView<const float> refss, int icomb, UniformSource& rng, CombinationHistory& history,
          VecView<int> drawn, MatrixView<float> a, MatrixView<float> f);

}  // namespace cdsec
