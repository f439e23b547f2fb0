#include "cdref/crossval.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <optional>
#include <stdexcept>

#include "frame/console.hpp"
#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/safe_file.hpp"
#include "frame/summary.hpp"
#include "frame/text_input.hpp"
#include "cdref/runner.hpp"
#include "cdref/summary.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::edit_F;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using cdsec::RefSetInfo;

namespace {

constexpr int kMaxSetProteins = 50;  // MORVAN3 stops above it, KESTRA reads no further
constexpr const char* kTitleHead = "cdref crossval job ";

std::string trim(std::string_view s) { return std::string(cdsec::trim_blanks(s)); }

std::string trim_right(std::string_view s) { return std::string(cdsec::trim_right_blanks(s)); }

// A number as a report shows it: fixed decimals, no padding.
std::string num(float v, int d) { return trim(edit_F(v, 16, d)); }
std::string signed_num(float v, int d) {
  std::string s = num(v, d);
  return s.front() == '-' ? s : "+" + s;
}

std::string pad(std::string s, std::size_t w, bool right = false) {
  if (s.size() >= w) return s;
  return right ? std::string(w - s.size(), ' ') + s : s + std::string(w - s.size(), ' ');
}

// The class scheme of a set: sets 2 and 5 have their own, the others share
// the regular/distorted split.
int scheme_of(int ibasis) { return ibasis == 2 || ibasis == 5 ? ibasis : 1; }

// Reads from a set's own directory: the reader looks in the working
// directory first, so being there makes it read exactly these files.
class InDirectory {
 public:
  explicit InDirectory(const fs::path& dir) : old_(fs::current_path()) { fs::current_path(dir); }
  ~InDirectory() {
    std::error_code ec;
    fs::current_path(old_, ec);
  }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  fs::path old_;
};

std::vector<cdsec::RefProtein> read_proteins(const SetFiles& set) {
  InDirectory here(set.dir);
  cdsec::RefSetReader rd;
  rd.open(*set.info);
  std::vector<cdsec::RefProtein> out;
  cdsec::RefProtein p;
  while (rd.next(p, /*want_scale=*/true, set.info->ns)) out.push_back(p);
  rd.close();
  return out;
}

// A value survives the job layout when writing it with three decimals and
// reading it back gives the same single-precision number.
bool survives(float v, int w, int d) {
  float back = 0;
  return cdsec::parse_real(trim(edit_F(v, w, d)), back) && back == v;
}

}  // namespace

// ---------------------------------------------------------------- sets

std::string SetFiles::describe() const {
  return "set " + std::to_string(info->ibasis) + " (" + path_to_utf8(cd_path.filename()) + ", " +
         path_to_utf8(ss_path.filename()) + " in " + path_to_utf8(dir) + ")";
}

SetFiles resolve_set(const std::string& arg) {
  SetFiles s;
  long long k = 0;
  if (cdsec::parse_int(arg, k)) {
    s.info = cdsec::find_ref_set(static_cast<int>(k));
    if (!s.info || k < 1 || k > 8) throw std::runtime_error("set " + arg + ": the reference sets are numbered 1 to 8");
    const std::string sfx(s.info->suffix);
    try {
      s.cd_path = fs::absolute(path_from_utf8(cdsec::locate_ref_file("CDDATA." + sfx).path)).lexically_normal();
      s.ss_path = fs::absolute(path_from_utf8(cdsec::locate_ref_file("SSDATA." + sfx).path)).lexically_normal();
    } catch (const cdsec::ReadError& e) {
      throw std::runtime_error("set " + arg + ": " + e.what());
    }
    s.dir = s.cd_path.parent_path();
    if (s.ss_path.parent_path() != s.dir)
      throw std::runtime_error("set " + arg + ": " + path_to_utf8(s.cd_path) + " and " + path_to_utf8(s.ss_path) +
                               " lie in different directories; name the set by the path of its CDDATA file");
    return s;
  }
  const fs::path p = fs::absolute(path_from_utf8(arg)).lexically_normal();
  const std::string file = path_to_utf8(p.filename());
  const std::string stem = file.substr(0, 7);
  if (file.size() > 7 && (stem == "CDDATA." || stem == "SSDATA.")) {
    for (int b = 1; b <= 8; ++b)
      if (cdsec::find_ref_set(b)->suffix == file.substr(7)) s.info = cdsec::find_ref_set(b);
  }
  if (!s.info)
    throw std::runtime_error(arg + ": name a set by its number (1 to 8) or by the path of its CDDATA.<suffix> file, "
                             "with a suffix of the catalogue (29, 23, 37, 43, P2, 42, 48, CA)");
  s.dir = p.parent_path();
  s.cd_path = s.dir / path_from_utf8("CDDATA." + std::string(s.info->suffix));
  s.ss_path = s.dir / path_from_utf8("SSDATA." + std::string(s.info->suffix));
  for (const fs::path& f : {s.cd_path, s.ss_path})
    if (std::error_code ec; !fs::is_regular_file(f, ec)) throw std::runtime_error(path_to_utf8(f) + ": no such file");
  return s;
}

// ---------------------------------------------------------------- statistics

float helix_total(int ibasis, std::span<const float> f) {
  if (ibasis == 5) return f[0];
  return f[0] + f[1];
}

float strand_total(int ibasis, std::span<const float> f) {
  if (ibasis == 2) return f[2];
  if (ibasis == 5) return f[1];
  return f[2] + f[3];
}

ClassStats class_stats(std::span<const float> predicted, std::span<const float> known) {
  ClassStats s;
  s.n = static_cast<int>(std::min(predicted.size(), known.size()));
  if (s.n == 0) return s;
  const float n = static_cast<float>(s.n);
  float sum_d = 0, sum_dd = 0, mean_p = 0, mean_k = 0;
  for (int i = 0; i < s.n; ++i) {
    const float d = predicted[static_cast<std::size_t>(i)] - known[static_cast<std::size_t>(i)];
    sum_d += d;
    sum_dd += d * d;
    mean_p += predicted[static_cast<std::size_t>(i)];
    mean_k += known[static_cast<std::size_t>(i)];
  }
  s.mse = sum_d / n;
  s.rms = std::sqrt(sum_dd / n);
  mean_p /= n;
  mean_k /= n;
  // Deviations from the means, summed in a second pass.
  float spp = 0, skk = 0, spk = 0;
  for (int i = 0; i < s.n; ++i) {
    const float a = predicted[static_cast<std::size_t>(i)] - mean_p, b = known[static_cast<std::size_t>(i)] - mean_k;
    spp += a * a;
    skk += b * b;
    spk += a * b;
  }
  s.has_r = spp > 0.0f && skk > 0.0f;
  if (s.has_r) s.r = spk / (std::sqrt(spp) * std::sqrt(skk));
  return s;
}

// ---------------------------------------------------------------- jobs and results

const char* program_name(Program p) { return p == Program::kMorvan3 ? "MORVAN3" : "KESTRA"; }

const char* status_text(Status s) {
  switch (s) {
    case Status::kOk:
      return "ok";
    case Status::kNotRun:
      return "not run";
    case Status::kNoRecord:
      return "no result";
    case Status::kTooFewSolutions:
      return "fewer than five solutions";
    case Status::kEmptyHelixWindow:
      return "empty helix window";
    case Status::kNotFinite:
      return "not a number";
    case Status::kBasisMismatch:
      return "basis mismatch";
  }
  return "?";
}

std::string job_title(int job, const std::string& name) {
  std::string n = std::to_string(job);
  return kTitleHead + std::string(n.size() < 4 ? 4 - n.size() : 0, '0') + n + " " + name;
}

int job_of_title(const std::string& title) {
  const std::string_view head = kTitleHead;
  if (title.size() < head.size() + 4 || title.compare(0, head.size(), head) != 0) return 0;
  std::size_t e = title.find(' ', head.size());
  long long v = 0;
  if (!cdsec::parse_int(std::string_view(title).substr(head.size(), e - head.size()), v) || v < 1 || v > 1000000)
    return 0;
  return static_cast<int>(v);
}

namespace {

// What a program's reports say about each job it started, in job order.
struct JobReport {
  int basis = -1;
  Status failure = Status::kOk;
  std::string detail;
};

// Each job's section of both reports begins with the print/set lines.
bool starts_job(const std::string& line) { return trim_right(line) == "      IPrint  IBasis"; }

std::vector<JobReport> read_reports(Program p, const fs::path& dir) {
  std::vector<JobReport> jobs;
  const fs::path report = dir / (p == Program::kMorvan3 ? "MORVAN3.OUT" : "Kestra.out");
  if (std::error_code ec; !fs::exists(report, ec)) return jobs;
  cdsec::LineReader in;
  in.open(report);
  std::string line;
  while (in.next(line)) {
    if (starts_job(line)) {
      jobs.emplace_back();
      continue;
    }
    if (jobs.empty()) continue;
    JobReport& j = jobs.back();
    if (p == Program::kKestra) {
      if (line.starts_with("  Proteins:")) j.basis = cdsec::FixedLine(line, in).I(12, 3);
      if (line.starts_with(" The number of acceptable solutions is less than five.")) {
        j.failure = Status::kTooFewSolutions;
        j.detail = "fewer than five valid combinations";
      }
      if (line.starts_with(" Random selection failed to give good helix")) {
        j.failure = Status::kEmptyHelixWindow;
        j.detail = "no valid solution inside the helix window";
      }
    } else {
      if (line.starts_with(" *** MORVAN FAILED ***")) j.detail = "first stage: no solution even with 0.85 < sum < 1.15";
      if (line.starts_with(" MORVAN FAILED AT SECOND STAGE")) j.detail = "second stage: no solution with a small enough RmsCD";
      if (line.starts_with("  Program CRASHED -- No SOLUTIONS")) j.detail = "rule 4: no solution within the helix limits";
    }
    if (line.starts_with("  ERROR")) j.detail = "the program stopped: " + trim(line.substr(2));
  }
  if (p == Program::kMorvan3) {
    // The listing of each loaded working set counts the sample too.
    const fs::path basis = dir / "BASIS";
    if (std::error_code ec; fs::exists(basis, ec)) {
      cdsec::LineReader b;
      b.open(basis);
      std::size_t k = 0;
      while (b.next(line))
        if (line.starts_with("  Nbas=")) {
          if (k < jobs.size()) jobs[k].basis = cdsec::FixedLine(line, b).I(8, 4) - 1;
          ++k;
        }
    }
  }
  return jobs;
}

}  // namespace

void collect_results(Program p, const fs::path& dir, int ref_ibasis, std::span<Case> cases) {
  const int pi = static_cast<int>(p);
  const std::vector<JobReport> reports = read_reports(p, dir);
  std::vector<const cdsec::SummaryEntry*> record_of(cases.size() + 1, nullptr);
  std::vector<cdsec::SummaryEntry> records;
  const fs::path protss = dir / "ProtSS.out";
  if (std::error_code ec; fs::exists(protss, ec)) records = cdsec::read_summary_records(path_to_utf8(protss));
  const cdsec::SummaryProgram want =
      p == Program::kMorvan3 ? cdsec::SummaryProgram::kSelfConsistent : cdsec::SummaryProgram::kVariableSelection;
  for (const cdsec::SummaryEntry& r : records) {
    auto fail = [&](const std::string& why) {
      throw cdsec::ReadError(cdsec::ReadError::Kind::kBadValue, path_to_utf8(protss), r.line, why);
    };
    if (r.program != want) fail(std::string("a record of another program than ") + program_name(p));
    const int job = job_of_title(trim_right(r.title));
    if (job < 1 || job > static_cast<int>(cases.size())) fail("the record's title \"" + trim_right(r.title) + "\" names no job of this run");
    if (record_of[static_cast<std::size_t>(job)]) fail("a second record for job " + std::to_string(job));
    if (r.set_code != cdsec::summary_code(ref_ibasis)) fail("the record names reference set \"" + r.set_code + "\"");
    record_of[static_cast<std::size_t>(job)] = &r;
  }

  for (Case& c : cases) {
    JobResult& res = c.result[static_cast<std::size_t>(pi)];
    res = JobResult{};
    const std::size_t j = static_cast<std::size_t>(c.job);
    const JobReport* rep = j >= 1 && j <= reports.size() ? &reports[j - 1] : nullptr;
    const cdsec::SummaryEntry* rec = j < record_of.size() ? record_of[j] : nullptr;
    if (rep) {
      res.basis = rep->basis;
      res.detail = rep->detail;
    }
    if (!rec) {
      res.status = rep ? Status::kNoRecord : Status::kNotRun;
      if (!rep) res.detail = "the program ended before this job";
      continue;
    }
    res.ns = rec->ns;
    res.pred = rec->fractions;
    res.rmsd = rec->rmsd;
    res.helix = helix_total(ref_ibasis, res.pred.first(std::max(res.ns, 4)));
    res.strand = strand_total(ref_ibasis, res.pred.first(std::max(res.ns, 4)));
    bool all_zero = true;
    for (int k = 1; k <= res.ns; ++k) all_zero = all_zero && res.pred(k) == 0.0f;
    if (rep && rep->failure != Status::kOk) {
      res.status = rep->failure;
    } else if (!rec->all_finite()) {
      res.status = Status::kNotFinite;
      res.detail = "the record holds a value that is not a number";
    } else if (p == Program::kKestra && all_zero) {
      // What the program records when its helix window held no solution.
      res.status = Status::kEmptyHelixWindow;
      res.detail = "all fractions 0 in the record";
    } else {
      res.status = Status::kOk;
    }
    if (res.status == Status::kOk && res.basis != c.expected_basis[static_cast<std::size_t>(pi)]) {
      res.status = Status::kBasisMismatch;
      res.detail = res.basis < 0 ? "the report gives no basis size"
                                 : std::to_string(res.basis) + " reference proteins, " +
                                       std::to_string(c.expected_basis[static_cast<std::size_t>(pi)]) + " expected";
    }
  }
}

// ---------------------------------------------------------------- finding and running the programs

fs::path find_program(Program p, const std::string& given) {
  return find_executable(program_name(p), p == Program::kMorvan3 ? "selfcon" : "varsel", given,
                         p == Program::kMorvan3 ? "--morvan" : "--kestra");
}

namespace {

// ---------------------------------------------------------------- preparing one set

struct Prepared {
  SetRun run;
  float first = 0, last = 0;
  int nw = 0, k0 = 0;
  int own = 0;
  std::vector<std::string> notes;
};

Prepared prepare(const SetFiles& set, const std::vector<SetFiles>& samples, const CrossvalOptions& opt) {
  const bool samples_only = opt.samples_only;
  Prepared pr;
  pr.run.set = set;
  const RefSetInfo& ref = *set.info;
  const std::vector<cdsec::RefProtein> refs = read_proteins(set);
  if (refs.empty()) throw std::runtime_error(path_to_utf8(set.cd_path) + ": no proteins");
  if (refs.size() > static_cast<std::size_t>(kMaxSetProteins))
    throw std::runtime_error(path_to_utf8(set.cd_path) + ": " + std::to_string(refs.size()) +
                             " proteins; the programs hold at most 50 (MORVAN3 stops, KESTRA reads the first 50 only)."
                             " Split the set and analyse the rest against it with --samples");

  // The jobs' wavelengths: where the set's spectra and the samples' are valid.
  pr.first = ref.long_limit;
  pr.last = ref.short_limit;
  for (const SetFiles& s : samples) {
    pr.first = std::min(pr.first, s.info->long_limit);
    pr.last = std::max(pr.last, s.info->short_limit);
  }
  if (opt.range_first > 0) {
    // A narrower range, for instance to keep to the wavelengths a set's
    // spectra were measured at when its files hold filled values.
    const float f = static_cast<float>(opt.range_first), l = static_cast<float>(opt.range_last);
    if (f > pr.first || l < pr.last)
      throw std::runtime_error("--range " + std::to_string(opt.range_first) + " " + std::to_string(opt.range_last) +
                               " does not lie within " + std::to_string(static_cast<int>(pr.first)) + " to " +
                               std::to_string(static_cast<int>(pr.last)) + " nm, where the spectra of " +
                               (samples.empty() ? "the set" : "the set and the samples") + " are valid");
    pr.first = f;
    pr.last = l;
  }
  pr.nw = static_cast<int>(std::trunc(pr.first - pr.last)) + 1;
  pr.k0 = static_cast<int>(std::trunc(cdsec::kRefLongNm - pr.first));
  if (pr.nw < 1) throw std::runtime_error("the valid ranges of the set and the samples do not overlap");

  auto add = [&](const cdsec::RefProtein& p, const SetFiles& from, bool own) {
    Case c;
    c.job = static_cast<int>(pr.run.cases.size()) + 1;
    c.name = p.name;
    c.own = own;
    c.origin = path_to_utf8(from.cd_path);
    c.ibasis = from.info->ibasis;
    c.ns = from.info->ns;
    c.known = p.ss;
    c.known_helix = helix_total(c.ibasis, c.known.first(6));
    c.known_strand = strand_total(c.ibasis, c.known.first(6));
    c.cd = p.cd;
    c.scale = p.scale;
    for (int i = 1; i <= pr.nw; ++i)
      if (!survives(p.cd(pr.k0 + i), 8, 3))
        throw std::runtime_error(path_to_utf8(from.cd_path) + ", protein \"" + p.name + "\": the value " +
                                 num(p.cd(pr.k0 + i), 6) + " at " + std::to_string(260 - pr.k0 - i + 1) +
                                 " nm cannot be written into a job exactly (three decimals), so the programs "
                                 "could not recognise the protein as their own");
    if (p.scale != 0.0f && !survives(p.scale, 12, 4))
      throw std::runtime_error(path_to_utf8(from.cd_path) + ", protein \"" + p.name + "\": the scale factor " +
                               num(p.scale, 6) + " cannot be written into a job exactly (four decimals)");
    pr.run.cases.push_back(std::move(c));
  };
  if (!samples_only)
    for (const cdsec::RefProtein& p : refs) add(p, set, true);
  pr.own = static_cast<int>(pr.run.cases.size());
  for (const SetFiles& s : samples)
    for (const cdsec::RefProtein& p : read_proteins(s)) add(p, s, false);
  if (pr.run.cases.empty()) throw std::runtime_error("no proteins to analyse");

  // The basis each program should load: every reference protein whose
  // spectrum, as the program reads it, differs from the sample's.
  cdsec::Vector<cdsec::kRefPoints> sample, other;
  for (Case& c : pr.run.cases) {
    for (int pi = 0; pi < 2; ++pi) {
      const bool scaled = pi == static_cast<int>(Program::kMorvan3);
      const float f = scaled && c.scale != 0.0f ? c.scale : 1.0f;
      for (int i = 1; i <= pr.nw; ++i) sample(i) = c.cd(pr.k0 + i) * f;
      int n = 0;
      std::string twins;
      for (const cdsec::RefProtein& q : refs) {
        for (int i = 1; i <= pr.nw; ++i)
          other(i) = scaled && q.scale != 0.0f ? q.cd(pr.k0 + i) * q.scale : q.cd(pr.k0 + i);
        if (cdsec::RMS(sample, other, pr.nw) != 0.0f)
          ++n;
        else if (!(c.own && &q == &refs[static_cast<std::size_t>(c.job - 1)]))
          twins += " " + trim(q.name);
      }
      c.expected_basis[static_cast<std::size_t>(pi)] = n;
      if (!twins.empty() && pi == 1)
        pr.notes.push_back("\"" + trim(c.name) + "\" has the same spectrum as" + twins +
                           " over the range: those are left out of its basis too");
    }
  }
  return pr;
}

void write_inputs(const Prepared& pr, const fs::path& dir) {
  for (int pi = 0; pi < 2; ++pi) {
    std::ostringstream input;
    for (const Case& c : pr.run.cases) {
      const float factor = pi == static_cast<int>(Program::kMorvan3) && c.scale != 0.0f ? c.scale : 1.0f;
      cdsec::write_job(input, pr.run.set.info->ibasis, job_title(c.job, trim(c.name)), pr.first, pr.last,
                       std::span<const float>(c.cd.data() + pr.k0, static_cast<std::size_t>(pr.nw)), factor);
    }
    const fs::path d = dir / path_from_utf8(program_name(static_cast<Program>(pi)));
    fs::create_directories(d);
    if (std::string why = cdsec::replace_file(d / "INPUT", input.str()); !why.empty())
      throw std::runtime_error(path_to_utf8(d / "INPUT") + ": " + why);
  }
}

bool comparable_classes(const Case& c, int ref_ibasis) { return scheme_of(c.ibasis) == scheme_of(ref_ibasis); }

std::string labels_of(const RefSetInfo& s, int k) { return trim(s.labels[static_cast<std::size_t>(k - 1)]); }

// The rows of one program's table: each class, then helix and strand.
struct Row {
  std::string label;
  std::vector<float> pred, known;
  std::vector<std::string> names;
};

std::vector<Row> rows_of(const SetRun& run, Program p) {
  const RefSetInfo& ref = *run.set.info;
  std::vector<Row> rows;
  bool any_classes = false;
  for (const Case& c : run.cases) any_classes = any_classes || comparable_classes(c, ref.ibasis);
  if (any_classes)
    for (int k = 1; k <= ref.ns; ++k) rows.push_back({labels_of(ref, k), {}, {}, {}});
  rows.push_back({"Helix", {}, {}, {}});
  rows.push_back({"Strand", {}, {}, {}});
  for (const Case& c : run.cases) {
    const JobResult& r = c.result[static_cast<std::size_t>(p)];
    if (r.status != Status::kOk) continue;
    std::size_t at = 0;
    if (any_classes) {
      if (comparable_classes(c, ref.ibasis))
        for (int k = 1; k <= ref.ns; ++k) {
          rows[at].pred.push_back(r.pred(k));
          rows[at].known.push_back(c.known(k));
          rows[at].names.push_back(trim(c.name));
          ++at;
        }
      else
        at += static_cast<std::size_t>(ref.ns);
    }
    rows[at].pred.push_back(r.helix);
    rows[at].known.push_back(c.known_helix);
    rows[at].names.push_back(trim(c.name));
    rows[at + 1].pred.push_back(r.strand);
    rows[at + 1].known.push_back(c.known_strand);
    rows[at + 1].names.push_back(trim(c.name));
  }
  return rows;
}

std::string worst_of(const Row& row, int worst) {
  std::vector<std::size_t> order(row.pred.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  auto err = [&](std::size_t i) { return std::fabs(row.pred[i] - row.known[i]); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return err(a) > err(b); });
  std::string s;
  for (std::size_t i = 0; i < order.size() && static_cast<int>(i) < worst; ++i)
    s += (i ? ", " : "") + row.names[order[i]] + " " + signed_num(row.pred[order[i]] - row.known[order[i]], 3);
  return s;
}

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace

// ---------------------------------------------------------------- outputs

void write_report(std::ostream& out, const SetRun& run, const std::array<bool, 2>& ran, int worst) {
  const RefSetInfo& ref = *run.set.info;
  for (int pi = 0; pi < 2; ++pi) {
    if (!ran[static_cast<std::size_t>(pi)]) continue;
    const Program p = static_cast<Program>(pi);
    int ok = 0;
    std::vector<const Case*> failed;
    for (const Case& c : run.cases) {
      if (c.result[static_cast<std::size_t>(pi)].status == Status::kOk)
        ++ok;
      else
        failed.push_back(&c);
    }
    out << "\n " << program_name(p) << ": " << run.cases.size() << " jobs, " << ok << " analysed";
    if (!failed.empty())
      out << ", " << failed.size() << " failed (left out of the statistics):";
    out << "\n";
    for (const Case* c : failed) {
      const JobResult& r = c->result[static_cast<std::size_t>(pi)];
      out << "   " << pad(trim(c->name), 6) << " " << status_text(r.status) << (r.detail.empty() ? "" : ": " + r.detail)
          << "\n";
    }
    out << "  " << pad("Class", 7) << pad("n", 4, true) << pad("RMS", 8, true) << pad("r", 8, true) << pad("MSE", 8, true)
        << "   Largest errors (predicted - known)\n";
    const std::vector<Row> rows = rows_of(run, p);
    for (const Row& row : rows) {
      const ClassStats s = class_stats(row.pred, row.known);
      out << "  " << pad(row.label, 7) << pad(std::to_string(s.n), 4, true);
      if (s.n == 0) {
        out << "       -       -       -\n";
        continue;
      }
      out << edit_F(s.rms, 8, 3) << (s.has_r ? edit_F(s.r, 8, 3) : std::string("       -")) << edit_F(s.mse, 8, 3)
          << "   " << worst_of(row, worst) << "\n";
    }
    // Proteins worst over all compared classes (their RMS over the classes).
    if (rows.size() > 2 && worst > 0) {
      std::vector<std::pair<float, std::string>> per;
      for (const Case& c : run.cases) {
        const JobResult& r = c.result[static_cast<std::size_t>(pi)];
        if (r.status != Status::kOk || !comparable_classes(c, ref.ibasis)) continue;
        per.emplace_back(cdsec::RMS(r.pred.view(), c.known.view(), ref.ns), trim(c.name));
      }
      std::stable_sort(per.begin(), per.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
      out << "  Largest errors over all classes (RMS):";
      for (std::size_t i = 0; i < per.size() && static_cast<int>(i) < worst; ++i)
        out << (i ? ", " : " ") << per[i].second << " " << num(per[i].first, 3);
      out << "\n";
    }
  }
}

std::string csv_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran) {
  // Class columns are named by label when every set of the run and every
  // sample shares one class scheme, else numbered.
  int scheme = -1, ns = 0;
  bool same = true;
  const RefSetInfo* first = nullptr;
  for (const SetRun& r : runs) {
    const int s = scheme_of(r.set.info->ibasis);
    if (scheme < 0) {
      scheme = s;
      first = r.set.info;
    }
    same = same && s == scheme;
    ns = std::max(ns, r.set.info->ns);
    for (const Case& c : r.cases) {
      same = same && scheme_of(c.ibasis) == scheme;
      ns = std::max(ns, c.ns);
    }
  }
  std::ostringstream o;
  o << "set,protein_from,role,job,protein,program,status,detail,basis";
  for (const char* side : {"known_", "pred_"})
    for (int k = 1; k <= ns; ++k) o << "," << side << csv_field(same && first ? labels_of(*first, k) : std::to_string(k));
  o << ",known_helix,pred_helix,known_strand,pred_strand,rmsd_exp_calc\n";
  for (const SetRun& r : runs)
    for (const Case& c : r.cases)
      for (int pi = 0; pi < 2; ++pi) {
        if (!ran[static_cast<std::size_t>(pi)]) continue;
        const JobResult& res = c.result[static_cast<std::size_t>(pi)];
        const bool has = res.status == Status::kOk;
        o << csv_field(path_to_utf8(r.set.cd_path)) << "," << csv_field(c.origin) << ","
          << (c.own ? "left-out" : "sample") << "," << c.job << "," << csv_field(trim(c.name)) << ","
          << program_name(static_cast<Program>(pi)) << "," << csv_field(status_text(res.status)) << ","
          << csv_field(res.detail) << "," << (res.basis >= 0 ? std::to_string(res.basis) : std::string());
        for (int k = 1; k <= ns; ++k) o << "," << (k <= c.ns ? num(c.known(k), 3) : std::string());
        for (int k = 1; k <= ns; ++k) o << "," << (has && k <= res.ns ? num(res.pred(k), 3) : std::string());
        o << "," << num(c.known_helix, 3) << "," << (has ? num(res.helix, 3) : std::string()) << ","
          << num(c.known_strand, 3) << "," << (has ? num(res.strand, 3) : std::string()) << ","
          << (has ? num(res.rmsd, 3) : std::string()) << "\n";
      }
  return o.str();
}

std::string stats_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran) {
  std::ostringstream o;
  o << "set,program,class,n,jobs,failed,rms,r,mse\n";
  for (const SetRun& r : runs)
    for (int pi = 0; pi < 2; ++pi) {
      if (!ran[static_cast<std::size_t>(pi)]) continue;
      int failed = 0;
      for (const Case& c : r.cases) failed += c.result[static_cast<std::size_t>(pi)].status == Status::kOk ? 0 : 1;
      for (const Row& row : rows_of(r, static_cast<Program>(pi))) {
        const ClassStats s = class_stats(row.pred, row.known);
        o << csv_field(path_to_utf8(r.set.cd_path)) << "," << program_name(static_cast<Program>(pi)) << ","
          << csv_field(row.label) << "," << s.n << "," << r.cases.size() << "," << failed << ","
          << (s.n ? num(s.rms, 4) : "") << "," << (s.has_r ? num(s.r, 4) : "") << "," << (s.n ? num(s.mse, 4) : "")
          << "\n";
      }
    }
  return o.str();
}

std::string svg_text(std::span<const SetRun> runs, const std::array<bool, 2>& ran) {
  // Two panels, helix and strand, predicted against known, 0 to 1 on both
  // axes; predictions outside 0..1 are drawn on the frame.
  constexpr int kPanel = 360, kLeft = 70, kTop = 60, kGap = 110, kWidth = 2 * kPanel + kGap + kLeft + 40, kHeight = kTop + kPanel + 130;
  constexpr const char* kColour[2] = {"#1f5fa8", "#c8501e"};
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << kHeight << "\" viewBox=\"0 0 "
    << kWidth << " " << kHeight << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
    << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  std::string title = "Predicted against known fractions: ";
  if (runs.size() == 1) {
    title += runs[0].set.describe();
  } else {
    bool one_dir = true;
    std::string numbers;
    for (const SetRun& r : runs) {
      one_dir = one_dir && r.set.dir == runs[0].set.dir;
      numbers += (numbers.empty() ? "" : ", ") + std::to_string(r.set.info->ibasis);
    }
    title += "sets " + numbers + (one_dir ? " (in " + path_to_utf8(runs[0].set.dir) + ")" : std::string());
  }
  o << "<text x=\"" << kLeft << "\" y=\"28\" font-size=\"15\">" << xml_text(title) << "</text>\n";
  auto px = [](float v) { return std::clamp(v, 0.0f, 1.0f) * static_cast<float>(kPanel); };
  for (int panel = 0; panel < 2; ++panel) {
    const int x0 = kLeft + panel * (kPanel + kGap), y0 = kTop;
    const char* what = panel == 0 ? "Helix" : "Strand";
    o << "<g id=\"" << (panel == 0 ? "helix" : "strand") << "\">\n";
    o << "<rect x=\"" << x0 << "\" y=\"" << y0 << "\" width=\"" << kPanel << "\" height=\"" << kPanel
      << "\" fill=\"none\" stroke=\"black\"/>\n";
    for (int t = 0; t <= 5; ++t) {
      const float v = static_cast<float>(t) / 5.0f;
      const std::string lab = num(v, 1);
      o << "<line x1=\"" << x0 + px(v) << "\" y1=\"" << y0 + kPanel << "\" x2=\"" << x0 + px(v) << "\" y2=\""
        << y0 + kPanel + 5 << "\" stroke=\"black\"/>"
        << "<text x=\"" << x0 + px(v) << "\" y=\"" << y0 + kPanel + 20 << "\" text-anchor=\"middle\">" << lab << "</text>"
        << "<line x1=\"" << x0 - 5 << "\" y1=\"" << y0 + kPanel - px(v) << "\" x2=\"" << x0 << "\" y2=\""
        << y0 + kPanel - px(v) << "\" stroke=\"black\"/>"
        << "<text x=\"" << x0 - 8 << "\" y=\"" << y0 + kPanel - px(v) + 4 << "\" text-anchor=\"end\">" << lab
        << "</text>\n";
    }
    o << "<line x1=\"" << x0 << "\" y1=\"" << y0 + kPanel << "\" x2=\"" << x0 + kPanel << "\" y2=\"" << y0
      << "\" stroke=\"#888888\" stroke-dasharray=\"6 4\"/>\n";
    o << "<text x=\"" << x0 + kPanel / 2 << "\" y=\"" << y0 - 10 << "\" text-anchor=\"middle\" font-size=\"15\">" << what
      << "</text>\n";
    o << "<text x=\"" << x0 + kPanel / 2 << "\" y=\"" << y0 + kPanel + 40 << "\" text-anchor=\"middle\">known "
      << (panel == 0 ? "helix" : "strand") << " fraction</text>\n";
    o << "<text transform=\"translate(" << x0 - 42 << "," << y0 + kPanel / 2 << ") rotate(-90)\" text-anchor=\"middle\">"
      << "predicted " << (panel == 0 ? "helix" : "strand") << " fraction</text>\n";
    int legend_row = 0;
    for (int pi = 0; pi < 2; ++pi) {
      if (!ran[static_cast<std::size_t>(pi)]) continue;
      std::vector<float> pred, known;
      o << "<g class=\"" << program_name(static_cast<Program>(pi)) << "\" fill=\"" << kColour[pi]
        << "\" fill-opacity=\"0.75\">\n";
      for (const SetRun& r : runs)
        for (const Case& c : r.cases) {
          const JobResult& res = c.result[static_cast<std::size_t>(pi)];
          if (res.status != Status::kOk) continue;
          const float k = panel == 0 ? c.known_helix : c.known_strand, pv = panel == 0 ? res.helix : res.strand;
          known.push_back(k);
          pred.push_back(pv);
          const float cx = static_cast<float>(x0) + px(k), cy = static_cast<float>(y0 + kPanel) - px(pv);
          if (pi == 0)
            o << "<circle cx=\"" << cx << "\" cy=\"" << cy << "\" r=\"4\"><title>" << xml_text(trim(c.name))
              << "</title></circle>\n";
          else
            o << "<rect x=\"" << cx - 3.5f << "\" y=\"" << cy - 3.5f << "\" width=\"7\" height=\"7\"><title>"
              << xml_text(trim(c.name)) << "</title></rect>\n";
        }
      o << "</g>\n";
      const ClassStats s = class_stats(pred, known);
      const int ly = y0 + kPanel + 62 + 20 * legend_row++;
      if (pi == 0)
        o << "<circle cx=\"" << x0 + 8 << "\" cy=\"" << ly - 4 << "\" r=\"4\" fill=\"" << kColour[pi] << "\"/>";
      else
        o << "<rect x=\"" << x0 + 4.5f << "\" y=\"" << ly - 7.5f << "\" width=\"7\" height=\"7\" fill=\"" << kColour[pi]
          << "\"/>";
      o << "<text x=\"" << x0 + 20 << "\" y=\"" << ly << "\">" << program_name(static_cast<Program>(pi)) << ": n "
        << s.n;
      if (s.n) o << ", RMS " << num(s.rms, 3);
      if (s.has_r) o << ", r " << num(s.r, 3);
      o << "</text>\n";
    }
    const int ly = y0 + kPanel + 62 + 20 * legend_row;
    o << "<line x1=\"" << x0 << "\" y1=\"" << ly - 4 << "\" x2=\"" << x0 + 16 << "\" y2=\"" << ly - 4
      << "\" stroke=\"#888888\" stroke-dasharray=\"6 4\"/><text x=\"" << x0 + 20 << "\" y=\"" << ly
      << "\">predicted = known</text>\n";
    o << "</g>\n";
  }
  o << "</svg>\n";
  return o.str();
}

// ---------------------------------------------------------------- the whole run

int run_crossval(const CrossvalOptions& opt, std::ostream& out, std::ostream& progress) {
  std::array<fs::path, 2> exe;
  std::vector<SetFiles> sets, samples;
  try {
    for (int pi = 0; pi < 2; ++pi)
      if (opt.run[static_cast<std::size_t>(pi)])
        exe[static_cast<std::size_t>(pi)] = find_program(static_cast<Program>(pi), opt.exe[static_cast<std::size_t>(pi)]);
    for (const std::string& s : opt.sets) sets.push_back(resolve_set(s));
    for (const std::string& s : opt.samples) samples.push_back(resolve_set(s));
  } catch (const std::exception& e) {
    std::cerr << "cdref crossval: " << e.what() << "\n";
    return 1;
  }

  std::optional<ScratchDir> scratch_dir;
  try {
    scratch_dir.emplace(opt.scratch, "cdref-crossval", opt.keep);
  } catch (const std::exception& e) {
    std::cerr << "cdref crossval: " << e.what() << "\n";
    return 1;
  }
  const fs::path& scratch = scratch_dir->path();

  const bool live = &progress == &std::cerr && stderr_is_terminal();
  std::vector<SetRun> runs;
  int status = 0;
  for (std::size_t si = 0; si < sets.size(); ++si) {
    Prepared pr;
    try {
      pr = prepare(sets[si], samples, opt);
    } catch (const std::exception& e) {
      std::cerr << "cdref crossval: " << e.what() << "\n";
      status = 1;
      continue;
    }
    const fs::path dir = scratch / path_from_utf8("set" + std::to_string(si + 1));
    const RefSetInfo& ref = *pr.run.set.info;
    out << (si ? "\n\n" : "") << (pr.own ? "Cross-validation of " : "Samples analysed against ")
        << pr.run.set.describe() << "\n";
    out << "  Jobs from " << static_cast<int>(pr.first) << " to " << static_cast<int>(pr.last) << " nm (" << pr.nw << " points); "
        << "KESTRA_SEED=" << opt.seed << "\n";
    if (pr.own) out << "  " << pr.own << " proteins of the set, each analysed with itself left out of the basis\n";
    for (const SetFiles& s : samples)
      out << "  The proteins of " << s.describe() << ", analysed against the whole set\n";
    for (const std::string& n : pr.notes) out << "  Note: " << n << "\n";
    out.flush();
    try {
      write_inputs(pr, dir);
      for (int pi = 0; pi < 2; ++pi) {
        if (!opt.run[static_cast<std::size_t>(pi)]) continue;
        const Program p = static_cast<Program>(pi);
        const fs::path pdir = dir / path_from_utf8(program_name(p));
        const int jobs = static_cast<int>(pr.run.cases.size());
        const std::string label = std::string(program_name(p)) + " on set " + std::to_string(ref.ibasis);
        // On a terminal one line counting up; otherwise a line at each quarter.
        int shown = 0;
        auto on_job = [&](int done) {
          const int step = std::max(1, jobs / 4);
          if (live)
            progress << "\r  " << label << ": " << done << " of " << jobs << " jobs" << std::flush;
          else if (done / step != shown / step && done < jobs)
            progress << "  " << label << ": " << done << " of " << jobs << " jobs\n" << std::flush;
          shown = done;
        };
        if (live) on_job(0);
        const RunOutcome o = run_program(exe[static_cast<std::size_t>(pi)], pdir,
                                         {"CDSEC_REFDIR=" + path_to_utf8(pr.run.set.dir), "KESTRA_SEED=" + opt.seed},
                                         opt.job_timeout, on_job);
        std::ostringstream secs;
        secs.precision(1);
        secs << std::fixed << o.seconds;
        progress << (live ? "\r  " : "  ") << label << ": " << o.jobs_done << " of " << jobs << " jobs, " << secs.str()
                 << " s\n"
                 << std::flush;
        if (o.timed_out)
          out << "  " << program_name(p) << " finished no job for " << opt.job_timeout
              << " s and was stopped; the jobs after it were not run\n";
        else if (!o.exited)
          out << "  " << program_name(p) << " ended by signal " << o.signal << "\n";
        else if (o.exit_code != 0 && o.exit_code != cdsec::kExitNoResult)
          out << "  " << program_name(p) << " stopped with exit status " << o.exit_code << ": " << trim_right(o.stderr_text)
              << "\n";
        // kExitNoResult: the run went through and some jobs gave no result;
        // each such job is listed with its failure below.
        collect_results(p, pdir, ref.ibasis, pr.run.cases);
      }
    } catch (const std::exception& e) {
      std::cerr << "cdref crossval: " << e.what() << "\n";
      status = 1;
      continue;
    }
    // Whether each job's basis was the set minus the sample.
    for (int pi = 0; pi < 2; ++pi) {
      if (!opt.run[static_cast<std::size_t>(pi)]) continue;
      int checked = 0, wrong = 0;
      for (const Case& c : pr.run.cases) {
        const JobResult& r = c.result[static_cast<std::size_t>(pi)];
        if (r.basis < 0) continue;
        ++checked;
        wrong += r.basis == c.expected_basis[static_cast<std::size_t>(pi)] ? 0 : 1;
      }
      out << "  " << program_name(static_cast<Program>(pi)) << ": " << checked - wrong << " of " << checked
          << " jobs loaded the reference proteins expected (the set, less the sample when it is one of them)"
          << (wrong ? "; the others are left out below" : "") << "\n";
    }
    write_report(out, pr.run, opt.run, opt.worst);
    runs.push_back(std::move(pr.run));
  }
  if (opt.keep || !opt.scratch.empty()) out << "\nThe programs' files are in " << path_to_utf8(scratch) << "\n";

  auto save = [&](const std::string& path, const std::string& text) {
    if (path.empty()) return;
    if (std::string why = cdsec::replace_file(path_from_utf8(path), text); !why.empty()) {
      std::cerr << "cdref crossval: " << path << ": " << why << "\n";
      status = 1;
    }
  };
  if (!runs.empty()) {
    save(opt.csv, csv_text(runs, opt.run));
    save(opt.stats, stats_text(runs, opt.run));
    save(opt.svg, svg_text(runs, opt.run));
  }
  return runs.empty() ? 1 : status;
}

}  // namespace cdref
