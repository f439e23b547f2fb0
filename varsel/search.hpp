// The combination search of a job: trials 1, 2, ... until enough of them are
// valid or the budget is spent, on one thread or on several.
//
// A trial's combination depends only on the generator and on the
// combinations drawn before it, never on how earlier trials came out.  So
// with several threads the coordinating thread draws the combinations ahead
// in trial order, the trials are evaluated on all threads (the coordinator
// included), each with its own workspace, and the outcomes are counted back
// on the coordinator in trial order.  The search stops at the same trial, the
// store fills in the same order and the report lines come out in the same
// order as on one thread; only draws for trials after the stopping one are
// made in vain, which nothing sees, since the generator is seeded afresh and
// the history cleared before every job's search.
#pragma once

#include <condition_variable>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame/matrix.hpp"
#include "varsel/random.hpp"
#include "varsel/trials.hpp"

namespace cdsec {

constexpr int kMaxThreads = 256;

// The number of threads: all cores when `value` (the environment variable
// CDSEC_THREADS) is unset, otherwise the positive whole number it holds, at
// most kMaxThreads.  Anything else (empty, zero, a sign, other characters,
// too large) gives nullopt and the reason in `complaint`.
std::optional<int> thread_count_from(const char* value, std::string* complaint);

// What every trial of a job reads; none of it changes during the search.
struct SearchJob {
  int nwave = 0;
  int nsstr = 0;
  int nbascd = 0;
  int nsel = kNsel;
  int nsv = kNsv;
  float rms_limit = 0.0f;
  float fraction_limit = 0.0f;
  MatrixView<const float> refcd;
  MatrixView<const float> refss;
  VecView<const float> sample;
};

class TrialSearch {
 public:
  // With threads == 1 no thread is started and every search is the plain
  // loop over BVPRO4.  Otherwise threads - 1 workers are started now and
  // wait between searches; should the system refuse some of them, the
  // search runs on those it got.
  explicit TrialSearch(int threads);
  ~TrialSearch();
  TrialSearch(const TrialSearch&) = delete;
  TrialSearch& operator=(const TrialSearch&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }

  // Trials icomb = 1..icombf, leaving as soon as `isucs` reaches `ncomb`;
  // returns the final isucs.  Fills `store` and `history` and writes the
  // trials' report lines to `report` exactly as the sequential loop does.
  // `ws` is the calling thread's workspace.
  int run(const SearchJob& job, int icombf, int ncomb, int iprint, UniformSource& rng, CombinationHistory& history,
          SolutionStore& store, TrialWorkspace& ws, std::ostream& report);

 private:
  static constexpr int kBatch = 16;  // trials handed over at once

  struct Trial {
    int order[kNsel];   // drawing order, the order of the matrix columns
    int sorted[kNsel];  // as printed and remembered
    TrialOutcome outcome;
    float x[6];
    float recon[kMaxPoints];
    float calc[kMaxPoints];
  };
  struct Batch {
    int first = 0;  // trial number of t[0]
    int count = 0;
    Trial t[kBatch];
  };

  void evaluate(Batch& b, TrialWorkspace& ws) const;
  void worker(TrialWorkspace* ws);
  int run_parallel(int icombf, int ncomb, int iprint, UniformSource& rng, CombinationHistory& history,
                   SolutionStore& store, TrialWorkspace& ws, std::ostream& report);

  // Batch number s lives in ring_[s % ring_.size()].  Under mu_: drawn_
  // batches have been drawn, claimed_ of them taken by a thread, busy_ are
  // being evaluated; done_[slot] marks an evaluated batch.
  std::vector<std::unique_ptr<TrialWorkspace>> spaces_;
  std::vector<std::thread> workers_;
  std::vector<Batch> ring_;
  std::vector<char> done_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  const SearchJob* job_ = nullptr;
  long drawn_ = 0;
  long claimed_ = 0;
  int busy_ = 0;
  bool quit_ = false;
};

}  // namespace cdsec
