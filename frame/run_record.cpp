#include "frame/run_record.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>

#include "frame/json_writer.hpp"
#include "frame/package.hpp"
#include "frame/platform.hpp"
#include "frame/safe_file.hpp"
#include "frame/sha256.hpp"
#include "frame/text_input.hpp"

namespace cdsec {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kTitleInName = 48;

std::string without_trailing_blanks(std::string_view s) {
  const std::size_t end = s.find_last_not_of(' ');
  return end == std::string_view::npos ? std::string() : std::string(s.substr(0, end + 1));
}

std::string trimmed(std::string_view s) { return std::string(trim_blanks(s)); }

bool name_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

void put_file(JsonWriter& w, const RecordFile& f, bool reference) {
  w.begin_object();
  if (reference) {
    w.key("name");
    w.value(f.name);
  }
  w.key("path");
  w.value(f.path);
  if (reference) {
    w.key("origin");
    w.value(f.origin);
  }
  w.key("sha256");
  if (f.sha256.empty())
    w.null();
  else
    w.value(f.sha256);
  w.end_object();
}

}  // namespace

std::string_view program_name(RecordProgram p) { return p == RecordProgram::kKestra ? "KESTRA" : "MORVAN3"; }

std::string_view origin_name(RefFileLocation::From from) {
  switch (from) {
    case RefFileLocation::From::kWorkingDir:
      return "working directory";
    case RefFileLocation::From::kRefDirVariable:
      return "CDSEC_REFDIR";
    case RefFileLocation::From::kInstalled:
      return "installed";
    case RefFileLocation::From::kSourceTree:
      return "source tree";
  }
  return "";
}

RecordStatistics solution_statistics(std::span<const RecordSolution> solutions) {
  RecordStatistics s;
  s.count = static_cast<int>(solutions.size());
  if (solutions.empty()) return s;
  const std::size_t nc = solutions.front().fractions.size();
  s.mean.assign(nc, 0.0);
  s.sd.assign(nc, 0.0);
  s.min.assign(nc, 0.0);
  s.max.assign(nc, 0.0);
  const double n = static_cast<double>(solutions.size());
  for (std::size_t j = 0; j < nc; ++j) {
    auto at = [&](const RecordSolution& x) { return j < x.fractions.size() ? double{x.fractions[j]} : 0.0; };
    double sum = 0.0, lo = at(solutions.front()), hi = lo;
    for (const RecordSolution& x : solutions) {
      const double v = at(x);
      sum += v;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    const double mean = sum / n;
    double ss = 0.0;
    for (const RecordSolution& x : solutions) ss += (at(x) - mean) * (at(x) - mean);
    s.mean[j] = mean;
    s.sd[j] = solutions.size() > 1 ? std::sqrt(ss / (n - 1.0)) : 0.0;
    s.min[j] = lo;
    s.max[j] = hi;
  }
  return s;
}

std::string run_record_file_name(RecordProgram program, int job, std::string_view title) {
  std::string t;
  for (char c : without_trailing_blanks(title)) {
    const char k = name_char(c) ? c : '_';
    if (k == '_' && !t.empty() && t.back() == '_') continue;
    t += k;
  }
  t.erase(0, t.find_first_not_of("._"));
  if (t.size() > kTitleInName) t.resize(kTitleInName);
  if (t.empty()) t = "untitled";
  std::string number = std::to_string(job);
  if (job >= 0 && number.size() < 4) number.insert(0, 4 - number.size(), '0');
  return std::string(program_name(program)) + "-" + number + "-" + t + ".json";
}

std::string run_record_json(const RunRecord& r) {
  std::string out;
  JsonWriter w(out);
  const bool done = r.completed();
  w.begin_object();
  w.key("format");
  w.value(kRunRecordFormat);
  w.key("format_version");
  w.value(kRunRecordVersion);
  w.key("package_version");
  w.value(package_version());
  w.key("package_commit");
  if (source_commit().empty())
    w.null();
  else
    w.value(source_commit());
  w.key("program");
  w.value(program_name(r.program));
  w.key("job");
  w.value(r.job);
  w.key("title");
  w.value(without_trailing_blanks(r.title));
  w.key("ibasis");
  w.value(r.ibasis);
  w.key("input");
  put_file(w, r.input, false);
  w.key("references");
  w.begin_array();
  for (const RecordFile& f : r.references) put_file(w, f, true);
  w.end_array();

  w.key("range_nm");
  if (r.has_range) {
    w.begin_object();
    w.key("longer");
    w.value(r.longer_nm);
    w.key("shorter");
    w.value(r.shorter_nm);
    w.key("points");
    w.value(r.points);
    w.end_object();
  } else {
    w.null();
  }
  w.key("factor");
  w.value(r.factor);
  w.key("labels");
  w.strings(r.labels);
  w.key("status");
  w.value(done ? "completed" : "failed");
  w.key("failure");
  if (done)
    w.null();
  else
    w.value(r.failure);
  w.key("warnings");
  w.strings(r.warnings);

  w.key("all_basis");
  if (r.has_all_basis) {
    w.begin_object();
    w.key("fractions");
    w.numbers(r.all_basis);
    w.key("sum");
    w.value(r.all_basis_sum);
    w.end_object();
  } else {
    w.null();
  }
  w.key("fractions");
  if (done)
    w.numbers(r.fractions);
  else
    w.null();
  w.key("rmsd");
  if (done)
    w.value(r.rmsd);
  else
    w.null();

  w.key("solutions");
  w.begin_array();
  if (done) {
    for (const RecordSolution& s : r.solutions) {
      w.begin_object();
      if (r.program == RecordProgram::kKestra) {
        w.key("trial");
        w.value(s.trial);
      } else {
        w.key("nbas");
        w.value(s.nbas);
        w.key("ns");
        w.value(s.ns);
      }
      w.key("fractions");
      w.numbers(s.fractions);
      w.end_object();
    }
  }
  w.end_array();

  w.key("statistics");
  if (done && !r.solutions.empty()) {
    const RecordStatistics st = solution_statistics(r.solutions);
    w.begin_object();
    w.key("count");
    w.value(st.count);
    w.key("mean");
    w.numbers(st.mean);
    w.key("sd");
    w.numbers(st.sd);
    w.key("min");
    w.numbers(st.min);
    w.key("max");
    w.numbers(st.max);
    w.end_object();
  } else {
    w.null();
  }

  w.key("spectra");
  w.begin_object();
  w.key("wavelength_nm");
  w.numbers(r.wavelength_nm);
  w.key("experimental");
  w.numbers(r.experimental);
  w.key("calculated");
  if (done)
    w.numbers(r.calculated);
  else
    w.null();
  w.end_object();
  w.end_object();
  return out;
}

RecordFile describe_input(const std::string& path) {
  RecordFile f;
  f.path = path;
  f.sha256 = sha256_file_hex(os::path_from_utf8(path)).value_or("");
  return f;
}

RecordFile describe_reference(const RefFileLocation& where) {
  RecordFile f;
  f.name = os::file_name_utf8(where.path);
  f.path = where.path;
  f.origin = std::string(origin_name(where.from));
  f.sha256 = sha256_file_hex(os::path_from_utf8(where.path)).value_or("");
  return f;
}

void set_labels(RunRecord& r, std::span<const std::string_view> labels) {
  r.labels.clear();
  for (std::string_view l : labels) r.labels.push_back(trimmed(l));
}

void add_references(RunRecord& r, const RefFileLocation& cd, const RefFileLocation& ss) {
  for (const RefFileLocation* f : {&cd, &ss})
    if (!f->path.empty()) r.references.push_back(describe_reference(*f));
}

void set_range(RunRecord& r, float longer, float shorter, int points, float factor) {
  r.has_range = true;
  r.longer_nm = longer;
  r.shorter_nm = shorter;
  r.points = points;
  r.factor = factor;
}

void set_all_basis(RunRecord& r, std::span<const float> fractions, float sum) {
  r.has_all_basis = true;
  r.all_basis.assign(fractions.begin(), fractions.end());
  r.all_basis_sum = sum;
}

void set_final(RunRecord& r, std::span<const float> fractions, float rmsd) {
  r.fractions.assign(fractions.begin(), fractions.end());
  r.rmsd = rmsd;
}

void add_subset_solution(RunRecord& r, int nbas, int ns, std::span<const float> fractions) {
  RecordSolution s;
  s.nbas = nbas;
  s.ns = ns;
  s.fractions.assign(fractions.begin(), fractions.end());
  r.solutions.push_back(std::move(s));
}

void add_trial_solution(RunRecord& r, long long trial, std::span<const float> fractions) {
  RecordSolution s;
  s.trial = trial;
  s.fractions.assign(fractions.begin(), fractions.end());
  r.solutions.push_back(std::move(s));
}

void set_spectra(RunRecord& r, float first, std::span<const float> experimental, std::span<const float> calculated) {
  r.wavelength_nm.clear();
  for (std::size_t i = 0; i < experimental.size(); ++i) r.wavelength_nm.push_back(first - static_cast<float>(i));
  r.experimental.assign(experimental.begin(), experimental.end());
  r.calculated.assign(calculated.begin(), calculated.end());
}

DetailsDirectory details_directory(const char* value) {
  DetailsDirectory d;
  if (value == nullptr || *value == '\0') return d;
  d.dir = os::path_from_utf8(value);
  const std::string named = std::string(kDetailsVariable) + " is \"" + value + "\", which ";
  const std::string remedy = "; name a writable directory or unset " + std::string(kDetailsVariable);
  std::error_code ec;
  const fs::file_status st = fs::status(d.dir, ec);
  if (!fs::exists(st)) {
    d.error = named + "does not exist" + remedy;
    return d;
  }
  if (!fs::is_directory(st)) {
    d.error = named + "is not a directory" + remedy;
    return d;
  }
  // Permissions alone do not tell (ACLs, read-only mounts, root): try it,
  // with a directory of a name not taken (making one fails when it exists).
  const fs::path probe = d.dir / os::path_from_utf8(".cdsec-probe-" + std::to_string(std::random_device{}()));
  if (!fs::create_directory(probe, ec)) {
    d.error = named + "cannot be written (" + (ec ? ec.message() : std::string("a probe is in the way")) + ")" + remedy;
    return d;
  }
  fs::remove(probe, ec);
  d.enabled = true;
  return d;
}

DetailsDirectory details_directory_from_env() {
  const std::string var(kDetailsVariable);
  return details_directory(std::getenv(var.c_str()));
}

bool write_run_record(const fs::path& dir, const RunRecord& r, std::ostream& warn) {
  const fs::path path = dir / os::path_from_utf8(run_record_file_name(r.program, r.job, r.title));
  const std::string why = replace_file(path, run_record_json(r), LinkHandling::kReplaceLink);
  if (why.empty()) return true;
  // The reason may be a full disk that the reports share: whether they were
  // written is checked, and said, for each of them.
  warn << program_name(r.program) << ": warning: run record " << os::path_to_utf8(path) << " not written: " << why
       << " (the analysis goes on)\n";
  return false;
}

RunRecorder::RunRecorder(RecordProgram program, std::string input_path, const DetailsDirectory& details)
    : program_(program), input_path_(std::move(input_path)), details_(details) {}

RunRecord RunRecorder::begin(int job) {
  RunRecord r;
  r.program = program_;
  r.job = job;
  if (enabled()) {
    if (!input_) input_ = describe_input(input_path_);
    r.input = *input_;
  } else {
    r.input.path = input_path_;
  }
  return r;
}

void RunRecorder::write(const RunRecord& r) const {
  if (enabled()) write_run_record(details_.dir, r, std::cerr);
}

}  // namespace cdsec
