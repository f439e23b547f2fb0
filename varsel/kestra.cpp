#include "varsel/kestra.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "frame/console.hpp"
#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "frame/run_record.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"
#include "varsel/cdinit.hpp"
#include "varsel/helix_window.hpp"
#include "varsel/random.hpp"
#include "varsel/search.hpp"
#include "varsel/trials.hpp"

namespace cdsec {

namespace {

constexpr const char* kProgram = "KESTRA";
constexpr float kRmsLimit = 0.25f;
constexpr float kFractionLimit = -0.03f;
constexpr int kMinValid = 5;

// Everything a job works in, allocated once for the run.
struct KestraState {
  KestraJob job;
  TrialWorkspace ws;
  SolutionStore store;
  CombinationHistory history;
  KestraRandom rng;
  Vector<6> all_basis;  // AllBasisEstimate, later the averaged fractions
  Vector<kMaxPoints> avg_calc, avg_recon;
};

void write_predicted(std::ostream& out, std::span<const std::string_view> l, const Vector<6>& x, int ns) {
  static constexpr std::string_view kLayout = R"([/, " Predicted:", 6(2X, A4, "=", F4.2)])";
  if (ns == 5)
    put(out, kLayout, l[0], x(1), l[1], x(2), l[2], x(3), l[3], x(4), l[4], x(5));
  else
    put(out, kLayout, l[0], x(1), l[1], x(2), l[2], x(3), l[3], x(4), l[4], x(5), l[5], x(6));
}

// The run record of the job in hand, written when the job ends (or stops).
struct JobRecord {
  RunRecorder recorder{RecordProgram::kKestra, "INPUT"};
  std::optional<RunRecord> rec;
  int jobs_seen = 0;
  bool no_result = false;  // a job of the run gave no result
};

// A report that could not be written (a full disk): the run stops.
struct ReportWriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string check_reports(std::ofstream& report, std::ofstream& recon, bool closing) {
  std::string why = write_problem(report, "Kestra.out", closing);
  const std::string r = write_problem(recon, "reconCD.out", closing);
  if (!r.empty()) why += (why.empty() ? "" : "; ") + r;
  return why;
}

// One job; false when INPUT has no more jobs.
bool run_job(JobReader& input, std::ofstream& report, std::ofstream& recon, KestraState& st, TrialSearch& search,
             const std::optional<std::uint32_t>& fixed_seed, JobRecord& record) {
  const int npro = 1;
  const int ncomb = kNcomb;
  int icombf = kMaxTrials;
  st.all_basis.fill(0.0f);

  KestraJob& job = st.job;
  std::optional<RunRecord>& rec = record.rec;
  if (record.recorder.enabled()) rec = record.recorder.begin(record.jobs_seen + 1);
  if (!CDINIT(input, report, job)) {
    rec.reset();
    return false;
  }
  ++record.jobs_seen;
  const int nbascd = job.refs.nbascd;
  const int nwave = job.nwave;
  const int ns = job.nsstr;
  const std::span<const std::string_view> labels(job.set->labels.data(), static_cast<std::size_t>(ns));
  const MatrixView<const float> refcd = job.refs.cd.view();
  const MatrixView<const float> refss = job.refs.ss.view();

  for (const std::string& t : job.notes) {
    std::cout.flush();
    std::cerr << kProgram << ": warning: " << t << '\n';
    if (rec) rec->warnings.push_back(t);
  }
  icombf = trial_budget(nbascd, icombf);
  if (rec) {
    rec->title = job.title;
    rec->ibasis = job.ibasis;
    set_labels(*rec, labels);
    set_range(*rec, job.first, job.last, nwave, job.factor);
    add_references(*rec, job.refs.cd_file, job.refs.ss_file);
    set_spectra(*rec, job.first, std::as_const(job.sample).first(nwave), {});
  }

  put(std::cout, R"([3X, A50])", job.title);
  static constexpr std::string_view kHeader =
      R"([/, /, " OUTPUT FROM Kestra Program", /, /, " NbasCD=", I3, 3X, "Nwave=", I3, 3X, "Npro=", I3, 3X, "ncomb=", I3, 3X, "icombf=", I6, " Nsstr=", I3])";
  put(report, kHeader, nbascd, nwave, npro, ncomb, icombf, ns);
  put(std::cout, kHeader, nbascd, nwave, npro, ncomb, icombf, ns);

  if (job.iprint != 0) {
    put(report, R"(["  Basis Set Proteins"])");
    for (int i = 1; i <= nbascd; ++i) {
      put(report, R"([" Protein:", I4])", i);
      put(report, R"([3X, 10F6.2])", refcd.column(i).first(static_cast<std::size_t>(nwave)));
    }
    for (int i = 1; i <= nbascd; ++i) {
      Vector<6> row;
      for (int j = 1; j <= ns; ++j) row(j) = refss(i, j);
      put(report, R"([" Protein:", I4])", i);
      put(report, R"([3X, 10F6.3])", row.first(ns));
    }
  }

  // Per-protein section (one protein per job).
  for (int w = 1; w <= nwave; ++w) {
    st.avg_calc(w) = 0.0f;
    st.avg_recon(w) = 0.0f;
  }
  BVPRO3(nbascd, nwave, refcd, refss, ns, st.all_basis.view(), kNsv, job.sample.view(), st.ws, report);
  const float h0 = helix_fraction(st.all_basis(1), st.all_basis(2), job.ibasis);
  if (rec) {
    float sum = 0.0f;
    for (int j = 1; j <= ns; ++j) sum = sum + st.all_basis(j);
    set_all_basis(*rec, std::as_const(st.all_basis).first(ns), sum);
  }
  put(report, R"([/, 80("_"), /, /, " Helix from D and P SVD with all basis proteins is ", F6.3, /])", h0);
  if (job.iprint != 0)
    put(report, R"([80("_"), /, " Successful Combinations:", /, " IComb# ISucs#    Proteins 1-8", /])");

  st.rng.seed(fixed_seed ? *fixed_seed : time_of_day_seed());
  st.history.clear();
  SearchJob trials;
  trials.nwave = nwave;
  trials.nsstr = ns;
  trials.nbascd = nbascd;
  trials.rms_limit = kRmsLimit;
  trials.fraction_limit = kFractionLimit;
  trials.refcd = refcd;
  trials.refss = refss;
  trials.sample = job.sample.view();
  const int nvalid = search.run(trials, icombf, ncomb, job.iprint, st.rng, st.history, st.store, st.ws, report);

  std::string failure;
  if (nvalid < kMinValid) {
    put(report, R"([" The number of acceptable solutions is less than five."])");
    put(report, R"([" There is a problem. Are you using delta epsilon units?"])");
    failure = "fewer than five valid solutions (" + std::to_string(nvalid) + ")";
  } else {
    const SelectionResult sel =
        select_and_average(nvalid, h0, job.ibasis, ns, nwave, st.store, job.sample.view(), labels,
                           st.all_basis.view(), st.avg_calc.view(), st.avg_recon.view(), report);
    if (!sel.ok) failure = "no valid solution inside the helix window";
    if (rec && sel.ok)
      for (int m = 1; m <= sel.selected; ++m) {
        const int k = sel.picked[static_cast<std::size_t>(m)];
        Vector<6> f;
        for (int j = 1; j <= ns; ++j) f(j) = st.store.fractions(k, j);
        add_trial_solution(*rec, st.store.trial[static_cast<std::size_t>(k)], std::as_const(f).first(ns));
      }
    if (sel.ok) {
      put(recon, R"(["  WaveL      Exptl     ReconCD    CalcCD"])");
      for (int w = 1; w <= nwave; ++w) {
        const float wl = job.first - static_cast<float>(w - 1);
        put(recon, R"([4F10.2])", wl, job.sample(w), st.avg_recon(w), st.avg_calc(w));
      }
      write_predicted(report, labels, st.all_basis, ns);
      put(report, R"([/, "            isstr=", I3, " icntf=", I4])", nvalid, sel.selected);
      put(report, R"([/, " RMS difference between CALC. and EXPT. CD=", F7.3])", sel.rms);
      if (job.set->segment_flag != 0) {
        const Segments seg = SEGMENT(st.all_basis.view(), ns);
        put(report, R"([/, 80("_"), /])");
        write_segment_block(report, seg);
      }
      put(report, R"([/, 80("_"), /])");
    }
  }

  const float rmsef = RMS(job.sample.view(), st.avg_calc.view(), nwave);
  if (!failure.empty()) {
    // The summary record below still holds the job's estimate, as the
    // record layout has it; standard error and the exit status say that
    // it is no result.
    if (rec) rec->failure = failure;
    record.no_result = true;
    std::cout.flush();
    std::cerr << kProgram << ": job " << record.jobs_seen << " (" << std::string(trim_blanks(job.title))
              << "): no result: " << failure << '\n';
  }
  const std::string unwritten = check_reports(report, recon, false);
  if (!unwritten.empty()) throw ReportWriteError(unwritten);
  append_summary_record("ProtSS.out", SummaryRecord{SummaryProgram::kVariableSelection, job.title, job.ibasis,
                                                    labels, st.all_basis.first(ns), rmsef});
  if (rec) {
    if (rec->completed()) {
      set_final(*rec, std::as_const(st.all_basis).first(ns), rmsef);
      set_spectra(*rec, job.first, std::as_const(job.sample).first(nwave), std::as_const(st.avg_calc).first(nwave));
    }
    record.recorder.write(*rec);
    rec.reset();
  }
  MESSAGE(2);
  return true;
}

}  // namespace

void MESSAGE(int code) {
  if (code == 1) {
    put(std::cout, R"([/, /, 80("*"), /])");
    put(std::cout, R"(["         Program Kestra--For analyzing Protein CD spectra"])");
    put(std::cout, R"(["         Variable selection over combinations of reference proteins"])");
    put(std::cout, R"(["         Part of the cdsec package"])");
    put(std::cout, R"(["         Input file: INPUT"])");
    put(std::cout, R"(["         Output files: Kestra.out, reconCD.out, ProtSS.out", /])");
    put(std::cout, R"([80("*"), /, /])");
    std::cout.flush();
  } else if (code == 2) {
    put(std::cout, R"([/, /, 80("*")])");
    put(std::cout, R"([" End of Program"])");
    put(std::cout, R"([" Output in Kestra.out; Final Result in ProtSS.out", /])");
    put(std::cout, R"([" Run MORVAN3 and HAVORKIN with this INPUT for Comparison"])");
    put(std::cout, R"([" For additional REFERENCE SETS change IBas1 in INPUT", /])");
    put(std::cout, R"([" Result from different runs are in ProtSS.out"])");
    put(std::cout, R"([" Hit Enter to QUIT"])");
    wait_for_enter();
  }
}

void write_segment_block(std::ostream& report, const Segments& s) {
  put(report,
      R"([/, 5X, "+", 50("-"), "+", /, 5X, "|  Based on the SOLUTION", " the Number of SEGMENTS of |", /, 5X, "|   HELICES (Per 100", " Residues) are:", F10.3, 5X, " |", /, 5X, "|   STRANDS (Per 100", " Residues) are:", F10.3, 5X, " |", /, 5X, "+", 50("-"), "+"])",
      s.helix_segments, s.strand_segments);
  put(report,
      R"([/, /, "  For YOUR PROTEIN multiply No. of SEGMENTS by", /, "  (Number of Residues) / 100", /, "  e.g., If Number of", " Residues = 153,  Use a FACTOR of 1.53", /, /, "  Average Length of Segments Remains as Estimated"])");
  put(report,
      R"([/, 5X, "+", 50("-"), "+", /, 5X, "|  Based on the SOLUTION", " Obtained                  |", /, 5X, "|   The AVERAGE LENGTH of HELICES :", F10.3, 5X, " |", /, 5X, "|   The AVERAGE LENGTH of STRANDS :", F10.3, 5X, " |", /, 5X, "+", 50("-"), "+"])",
      s.helix_length, s.strand_length);
}

int kestra_main() {
  // A thread count that cannot be used stops the run before anything is
  // shown or written.
  std::string bad_threads;
  const std::optional<int> threads = thread_count_from(std::getenv("CDSEC_THREADS"), &bad_threads);
  if (!threads) {
    std::cerr << kProgram << ": " << bad_threads << '\n';
    return 2;
  }

  // So is a run-record directory that cannot be written.
  JobRecord record;
  if (record.recorder.refused()) {
    report_stop(nullptr, kProgram, record.recorder.refusal());
    return 1;
  }

  MESSAGE(1);

  LineReader input;
  try {
    input.open("INPUT");
  } catch (const ReadError& e) {
    report_stop(nullptr, kProgram, e.what());
    return 1;
  }
  std::error_code ec;
  if (std::filesystem::file_size("INPUT", ec) == 0 && !ec) {
    report_stop(nullptr, kProgram, "INPUT is empty: there is no job to analyse");
    return 1;
  }
  // Another run here would truncate and interleave the same reports.
  ReportLock lock;
  bool busy = false;
  const std::string locked = lock.acquire("Kestra.out", busy);
  if (!locked.empty()) {
    report_stop(nullptr, kProgram, busy ? locked + "; wait for that run to end, or run in another directory" : locked);
    return 1;
  }
  std::ofstream report("Kestra.out", std::ios::out | std::ios::trunc | std::ios::binary);
  std::ofstream recon("reconCD.out", std::ios::out | std::ios::trunc | std::ios::binary);
  if (!report || !recon) {
    report_stop(nullptr, kProgram, !report ? "cannot create Kestra.out" : "cannot create reconCD.out");
    return 1;
  }

  std::string complaint;
  const std::optional<std::uint32_t> fixed_seed = fixed_seed_from(std::getenv("KESTRA_SEED"), &complaint);
  if (!complaint.empty()) std::cerr << kProgram << ": " << complaint << '\n';

  auto state = std::make_unique<KestraState>();
  TrialSearch search(*threads);
  JobReader jobs(input);
  try {
    while (run_job(jobs, report, recon, *state, search, fixed_seed, record)) {
    }
  } catch (const std::exception& e) {
    if (record.rec) {
      record.rec->failure = std::string("stopped: ") + e.what();
      record.recorder.write(*record.rec);
    }
    // ReadError names the file, line and value; KestraStop the job's fault;
    // anything else is a file that could not be written.
    const bool unwritable = dynamic_cast<const ReportWriteError*>(&e) != nullptr;
    recon.flush();
    report_stop(unwritable ? nullptr : &report, kProgram, e.what());
    const std::string why = check_reports(report, recon, true);
    if (!why.empty() && !unwritable) report_stop(nullptr, kProgram, why);
    return 1;
  }
  const std::string why = check_reports(report, recon, true);
  if (!why.empty()) {
    report_stop(nullptr, kProgram, why);
    return 1;
  }
  // 3: the run went through, but at least one job gave no result.
  return record.no_result ? kExitNoResult : 0;
}

}  // namespace cdsec
