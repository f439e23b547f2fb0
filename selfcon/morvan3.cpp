#include "selfcon/morvan3.hpp"

#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "frame/console.hpp"
#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "frame/run_record.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"
#include "selfcon/getstr.hpp"
#include "selfcon/order.hpp"

namespace cdsec {

namespace {

constexpr std::string_view kProgram = "MORVAN3";
constexpr std::string_view kSampleName = "TEST";
constexpr int kTitleLength = 64;

// The method's fixed limits.
constexpr float kSumTolerance = 0.05f;
constexpr float kMinFraction = -0.03f;
constexpr float kRmsLimit = 0.25f;
constexpr int kIterationBound = 20;

// Everything a job needs, allocated once for the run.
struct Work {
  Vector<kMaxPointsSC> raw;     // the CD values as read
  Vector<kMaxPointsSC> sample;  // fitted and scaled; zero beyond NW
  WorkingSet ws;
  GetstrWork getstr;
};

// Where in a job a read failed: the title and the CD values have their own
// fixed message, everything else stops with the reader's message.
enum class Phase { kHeader, kTitle, kRange, kValues, kRest };

class DataError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A report file that could not be written (a full disk): the run stops,
// saying so on standard error only.
class ReportWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why an analysis gave no result, in the words of the run record and of
// standard error; empty for a completed one.
std::string_view no_result_reason(GetstrOutcome outcome) {
  switch (outcome) {
    case GetstrOutcome::kFirstStageFailed:
      return "first stage: no solutions even with 0.85 < sum < 1.15";
    case GetstrOutcome::kSecondStageFailed:
      return "second stage: no solutions within the RMS limit";
    case GetstrOutcome::kRule4Failed:
      return "rule 4: no solutions even with the widest helix window";
    case GetstrOutcome::kCompleted:
      break;
  }
  return {};
}

void clear_working_set(WorkingSet& ws) {
  ws.np = 0;
  for (auto& n : ws.names) n.assign(4, ' ');
  ws.cd.fill(0.0f);
  ws.ss.fill(0.0f);
  ws.dist.fill(0.0f);
}

// Number of values of a range, trunc(first - last) + 1; -1 when the range
// is not a usable number of nanometres.
int point_count(float first, float last) {
  const float span = first - last;
  if (!(std::fabs(span) < 1.0e6f)) return -1;
  return static_cast<int>(std::trunc(span)) + 1;
}

}  // namespace

void MESSAGE(int code, std::ostream& console) {
  if (code == 1) {
    put(console,
        R"([/, /, 80("*"), /, /, "         Program MORVAN--For analyzing Protein CD spectra", /, "         Self-consistent analysis against a reference set of known proteins", /, "         Input file: INPUT", /, "         Output files: MORVAN3.OUT, BASIS, CalcCD.OUT,", " ProtSS.out", /, /, 80("*"), /, /])");
    console.flush();
  } else if (code == 2) {
    put(console,
        R"([/, /, 80("*"), /, " End of Program", /, " Output in MORVAN3.OUT; Final Result in ProtSS.out", /, /, " Run KESTRA and HAVORKIN with this INPUT for Comparison", /, " For additional REFERENCE SETS change IBas1 in INPUT", /, /, " Result from different runs are in ProtSS.out", /, " Hit Enter to QUIT"])");
    console.flush();
    wait_for_enter();
  }
}

namespace {

class Program {
 public:
  int run();

 private:
  bool open_files();
  void one_job();
  std::string check_reports(bool closing);
  void note(const std::string& text);
  void note_references();
  void finish_record(GetstrOutcome outcome, int nw, int ns);
  void fail_record(std::string_view why);

  LineReader input_;
  std::ofstream report_, basis_, calccd_;
  std::unique_ptr<Work> work_ = std::make_unique<Work>();
  std::string_view keyword_ = "    ";
  Phase phase_ = Phase::kHeader;
  // The run record of the current job, kept only while CDSEC_DETAILS names
  // a directory; analysing_ once GETSTR has been entered for it.
  RunRecorder recorder_{RecordProgram::kMorvan3, "INPUT"};
  int job_no_ = 0;
  std::optional<RunRecord> record_;
  bool analysing_ = false;
  bool no_result_ = false;  // a job of the run gave no result
  ReportLock lock_;
};

// A note on the job in hand: standard error and the run record.
void Program::note(const std::string& text) {
  std::cout.flush();
  std::cerr << kProgram << ": warning: " << text << '\n';
  if (record_) record_->warnings.push_back(text);
}

void Program::note_references() {
  if (record_) add_references(*record_, work_->ws.cd_file, work_->ws.ss_file);
}

void Program::finish_record(GetstrOutcome outcome, int nw, int ns) {
  if (!record_) return;
  RunRecord& r = *record_;
  const GetstrWork& g = work_->getstr;
  if (g.all_basis_made) set_all_basis(r, g.all_basis.first(ns), g.all_basis_sum);
  r.failure = std::string(no_result_reason(outcome));
  switch (outcome) {
    case GetstrOutcome::kFirstStageFailed:
    case GetstrOutcome::kSecondStageFailed:
    case GetstrOutcome::kRule4Failed:
      break;
    case GetstrOutcome::kCompleted: {
      set_final(r, g.final_fractions.first(ns), g.final_rms);
      Vector<6> f;
      for (int m = 1; m <= g.fourth.count; ++m) {
        const auto n = static_cast<std::size_t>(g.fourth.pos[static_cast<std::size_t>(m)]);
        for (int j = 1; j <= ns; ++j) f(j) = g.table.frac(static_cast<int>(n), j);
        add_subset_solution(r, g.table.nbas[n], g.table.nsv[n], std::as_const(f).first(ns));
      }
      const std::span<const float> calc = g.avg.first(nw);
      r.calculated.assign(calc.begin(), calc.end());
      break;
    }
  }
  recorder_.write(r);
  record_.reset();
}

void Program::fail_record(std::string_view why) {
  if (!record_) return;
  RunRecord& r = *record_;
  const GetstrWork& g = work_->getstr;
  if (analysing_ && g.all_basis_made)
    set_all_basis(r, g.all_basis.first(static_cast<int>(r.labels.size())), g.all_basis_sum);
  r.failure = "stopped: " + std::string(why);
  recorder_.write(r);
  record_.reset();
}

bool Program::open_files() {
  try {
    input_.open("INPUT");
  } catch (const ReadError& e) {
    report_stop(nullptr, kProgram, e.what());
    return false;
  }
  std::error_code ec;
  if (std::filesystem::file_size("INPUT", ec) == 0 && !ec) {
    report_stop(nullptr, kProgram, "INPUT is empty: there is no job to analyse");
    return false;
  }
  // Another run here would truncate and interleave the same reports.
  bool busy = false;
  const std::string why = lock_.acquire("MORVAN3.OUT", busy);
  if (!why.empty()) {
    report_stop(nullptr, kProgram, busy ? why + "; wait for that run to end, or run in another directory" : why);
    return false;
  }
  const auto mode = std::ios::out | std::ios::trunc | std::ios::binary;
  for (auto [file, name] : {std::pair{&report_, "MORVAN3.OUT"}, {&basis_, "BASIS"}, {&calccd_, "CalcCD.OUT"}}) {
    file->open(name, mode);
    if (!file->is_open()) {
      report_stop(report_.is_open() ? &report_ : nullptr, kProgram, std::string(name) + ": cannot be opened for writing");
      return false;
    }
  }
  return true;
}

// Every report written so far has reached its file; otherwise the reason,
// naming each file that has not.
std::string Program::check_reports(bool closing) {
  std::string why;
  for (auto [file, name] : {std::pair{&report_, "MORVAN3.OUT"}, {&basis_, "BASIS"}, {&calccd_, "CalcCD.OUT"}}) {
    const std::string p = write_problem(*file, name, closing);
    if (!p.empty()) why += (why.empty() ? "" : "; ") + p;
  }
  if (closing) input_.close();
  return why;
}

void Program::one_job() {
  Work& wk = *work_;
  std::ostream& out = report_;
  JobReader job(input_);
  analysing_ = false;

  phase_ = Phase::kHeader;
  int iprint = 0, ibasis = 0;
  job.read_print_basis(iprint, ibasis);
  if (record_) record_->ibasis = ibasis;
  if (iprint == 1) keyword_ = "PRNT";  // stays on for the rest of the run
  put(out, R"([/, /, 5X, " IPrint  IBasis  ", /, 4X, 2I8])", iprint, ibasis);

  const RefSetInfo* set = find_ref_set(ibasis);
  if (!set)
    throw DataError("INPUT, line " + std::to_string(input_.line_no()) + ": reference set number " +
                    std::to_string(ibasis) + " is not one of 1 to 8");
  const int ns = set->ns;
  const std::span<const std::string_view> labels(set->labels.data(), static_cast<std::size_t>(ns));
  if (record_) set_labels(*record_, labels);
  float long_limit = set->long_limit, short_limit = set->short_limit;
  write_set_texts(out, *set);
  put(out, R"([/, 80("_"), /])");

  phase_ = Phase::kTitle;
  const std::string title = job.read_title(kTitleLength);
  if (record_) record_->title = title;
  put(out, R"([/, A])", title);
  put(std::cout, R"([A])", title);

  phase_ = Phase::kRange;
  float first = 0, last = 0, factor = 0;
  job.read_range(first, last, factor);
  if (record_) record_->factor = factor == 0.0f ? 1.0f : factor;
  const int n = point_count(first, last);
  // A count that cannot be held is refused before anything is reported or
  // read (the reader names the range and the limit), and so is one too
  // small to determine the fractions.
  if (n < 1 || n > kMaxPointsSC) job.read_cd(n, kMaxPointsSC, wk.raw);
  std::vector<std::string> notes;
  if (n < kMinPoints) job.require_points(n, "", notes);
  int nw = n, offset = 0;
  if (long_limit < first || short_limit > last) {
    put(out,
        R"([/, /, " The wavelength range: ", 2F7.1, ", is different from that of", /, " the Database proteins:", 2F7.1, /, " The No. of CD points = ", I4, /, /, " The wavelengths are modified to be within the valid range"])",
        first, last, long_limit, short_limit, n);
    offset = first > long_limit ? static_cast<int>(std::trunc(first - long_limit)) : 0;
    if (long_limit < first) first = long_limit;
    if (short_limit > last) last = short_limit;
    nw = point_count(first, last);
    job.require_points(nw,
                       "fitted to the valid range " + shown_real(long_limit, 1) + " to " + shown_real(short_limit, 1) +
                           " nm of reference set " + std::to_string(ibasis),
                       notes);
    put(out, R"([/, " Beginning wavelength:", F8.2, "; Ending wavelength:", F8.2, /, " Total No of CD points", I4, /])",
        first, last, nw);
  }

  else {
    job.require_points(nw, "", notes);
  }

  phase_ = Phase::kValues;
  job.read_cd(n, kMaxPointsSC, wk.raw);
  phase_ = Phase::kRest;
  job.check_cd(std::span<const float>(wk.raw.data(), static_cast<std::size_t>(n)), factor, notes);
  for (const std::string& t : notes) note(t);
  job.skip_after_cd();
  if (offset + nw > n) nw = n - offset;  // a fitted range never exceeds the values read

  if (factor == 0.0f) factor = 1.0f;
  wk.sample.fill(0.0f);
  for (int i = 1; i <= nw; ++i) wk.sample(i) = wk.raw(offset + i) * factor;
  if (record_) {
    set_range(*record_, first, last, nw, factor);
    set_spectra(*record_, first, std::as_const(wk.sample).first(nw), {});
  }

  put(out,
      R"([/, " Beginning wavelength:", F8.2, "; Ending wavelength:", F8.2, /, " Total No of CD points", I4, /, " Secondary structural elements=", I4, /, " Multipilcation", " FACTOR for CD spectrum=", F6.3, /])",
      first, last, nw, ns, factor);
  put(out, R"([/, /, " SAMPLE CD: FILE from ", A4, /, (10F7.2)])", kSampleName, wk.sample.first(nw));

  clear_working_set(wk.ws);
  try {
    SELBAS(kSampleName, wk.sample, nw, ns, first, ibasis, wk.ws, basis_, out);
  } catch (...) {
    note_references();
    throw;
  }
  note_references();
  for (const std::string& t : wk.ws.notes) note(t);
  ORDER(nw, ns, wk.ws, job, out);
  put(out, R"([/, 80("_"), /])");

  GetstrInput in;
  in.np = wk.ws.np;
  in.nw = nw;
  in.ns = ns;
  in.sample = wk.sample;
  in.name = kSampleName;
  in.sum_tolerance = kSumTolerance;
  in.min_fraction = kMinFraction;
  in.first = first;
  in.last = last;
  in.cd = wk.ws.cd;
  in.ss = wk.ws.ss;
  in.rms_limit = kRmsLimit;
  in.iteration_bound = kIterationBound;
  in.print_keyword = keyword_;
  in.segment_flag = set->segment_flag;
  in.ibasis = ibasis;
  in.labels = labels;
  in.title = title;
  analysing_ = true;
  const GetstrOutcome outcome = GETSTR(in, wk.getstr, GetstrFiles{out, calccd_, "ProtSS.out"});
  finish_record(outcome, nw, ns);
  if (outcome != GetstrOutcome::kCompleted) {
    no_result_ = true;
    std::cout.flush();
    std::cerr << kProgram << ": job " << job_no_ << " (" << std::string(trim_blanks(title))
              << "): no result: " << no_result_reason(outcome) << '\n';
  }

  put(out, R"([/, 80("_"), /])");
  const std::string why = check_reports(false);
  if (!why.empty()) throw ReportWriteError(why);
  MESSAGE(2, std::cout);
}

int Program::run() {
  // Refused before anything is shown or any report file is touched.
  if (recorder_.refused()) {
    report_stop(nullptr, kProgram, recorder_.refusal());
    return 1;
  }
  MESSAGE(1, std::cout);
  if (!open_files()) return 1;
  put(report_, R"([/, 80("_"), /])");
  put(report_, R"([" THE FRACTIONS OF SECONDARY STRUCTURES", " FROM THE SELF-CONSISTENT METHOD"])");
  put(report_,
      R"(["    Self-consistent method: the sample joins the reference set", /, "    with a guessed structure, refined by truncated SVD fits over", /, "    subsets of the most similar reference proteins until the", /, "    guess no longer changes."])");

  int status = 0;
  bool write_reported = false;
  try {
    for (;;) {
      JobReader job(input_);
      if (!job.begin()) break;
      ++job_no_;
      if (recorder_.enabled()) record_ = recorder_.begin(job_no_);
      one_job();
    }
  } catch (const ReadError& e) {
    fail_record(e.what());
    const bool cd_data = (phase_ == Phase::kTitle && e.kind() == ReadError::Kind::kEndOfFile) ||
                         (phase_ == Phase::kValues && (e.kind() == ReadError::Kind::kEndOfFile ||
                                                       e.kind() == ReadError::Kind::kBadValue));
    if (cd_data) {
      // The fixed message, and below it the reason standard error gives.
      put(report_, R"([/, /, "  ERROR in file DATA. Insufficient CD Data", /, "  ", A, /])", std::string_view(e.what()));
      report_stop(nullptr, kProgram, e.what());
    } else {
      report_stop(&report_, kProgram, e.what());
    }
    status = 1;
  } catch (const WorkingSetOverflow& e) {
    fail_record(e.what());
    // The report already holds the overflow line.
    report_stop(nullptr, kProgram, e.what());
    status = 1;
  } catch (const ReportWriteError& e) {
    fail_record(e.what());
    report_stop(nullptr, kProgram, e.what());
    write_reported = true;
    status = 1;
  } catch (const std::exception& e) {
    fail_record(e.what());
    report_stop(&report_, kProgram, e.what());
    status = 1;
  }
  const std::string why = check_reports(true);
  if (!why.empty() && !write_reported) {
    report_stop(nullptr, kProgram, why);
    status = 1;
  }
  std::cout.flush();
  // 3: the run went through, but at least one job gave no result.
  if (status == 0 && no_result_) status = kExitNoResult;
  return status;
}

}  // namespace

int run_morvan3() {
  Program p;
  return p.run();
}

}  // namespace cdsec
