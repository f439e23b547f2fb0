#include "cdref/analyse.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <memory>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "frame/console.hpp"
#include "frame/job.hpp"
#include "frame/package.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/run_record.hpp"
#include "frame/safe_file.hpp"
#include "frame/sha256.hpp"
#include "frame/text_input.hpp"
#include "cdref/crossval.hpp"
#include "cdref/report.hpp"
#include "cdref/runner.hpp"
#include "cdref/scale.hpp"
#include "cdref/summary.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::os::file_name_utf8;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using cdsec::os::stem_utf8;
using json = nlohmann::ordered_json;

std::vector<int> native_sets_covered(int longer, int shorter) {
  std::vector<int> sets;
  for (int k = 1; k <= 8; ++k) {
    if (k == 6 || k == 7) continue;  // advised for spectra measured under unfolding conditions
    const cdsec::RefSetInfo& s = *cdsec::find_ref_set(k);
    if (static_cast<float>(longer) >= s.long_limit && static_cast<float>(shorter) <= s.short_limit) sets.push_back(k);
  }
  return sets;
}

namespace {

// At most the first n bytes of s, not ending inside a UTF-8 character: a
// title is cut to the 40 bytes a job holds, and half a character would show
// as a stray byte in every report.
std::string utf8_head(std::string_view s, std::size_t n) {
  if (s.size() <= n) return std::string(s);
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n));
}

std::string trim(std::string_view s) { return std::string(cdsec::trim_blanks(s)); }

// Refused before anything was analysed: exit status 1, DIR untouched.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string seconds_text(double s) {
  std::ostringstream o;
  o.precision(1);
  o << std::fixed << s << " s";
  return o.str();
}

// The staging directory beside DIR, removed unless it was renamed to DIR.
class Staging {
 public:
  explicit Staging(const fs::path& dir) {
    const fs::path parent = fs::absolute(dir).parent_path();
    std::error_code ec;
    if (!fs::is_directory(parent, ec))
      throw Refusal(path_to_utf8(parent) + ": no such directory for " + path_to_utf8(dir));
    for (int i = 0;; ++i) {
      path_ =
          parent / path_from_utf8("." + path_to_utf8(dir.filename()) + ".partial" + (i ? "-" + std::to_string(i) : ""));
      if (fs::create_directory(path_, ec)) break;
      if (ec) throw Refusal(path_to_utf8(path_) + ": " + ec.message());
      if (i > 100) throw Refusal(path_to_utf8(path_) + ": cannot make a working directory beside " + path_to_utf8(dir));
    }
  }
  ~Staging() {
    std::error_code ec;
    if (!kept_) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  // Moves the finished directory into place, replacing an old DIR (--force).
  void commit(const fs::path& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec)) {
      fs::path old = path_;
      old += ".old";
      fs::rename(dir, old);
      fs::rename(path_, dir);
      fs::remove_all(old, ec);
    } else {
      fs::rename(path_, dir);
    }
    kept_ = true;
  }
  void keep() { kept_ = true; }

 private:
  fs::path path_;
  bool kept_ = false;
};

// One line per step: rewritten in place on a terminal, plain otherwise.
class Progress {
 public:
  Progress(std::ostream& out, bool live, int total) : out_(out), live_(live), total_(total) {}
  void show(const std::string& what) {
    ++n_;
    const std::string line = "[" + std::to_string(n_) + "/" + std::to_string(total_) + "] " + what;
    if (live_)
      out_ << "\r\033[K" << line << std::flush;
    else
      out_ << line << "\n" << std::flush;
  }
  void note(const std::string& text) {
    if (live_) out_ << "\r\033[K";
    out_ << text << "\n" << std::flush;
  }
  void end() {
    if (live_ && n_ > 0) out_ << "\r\033[K" << std::flush;
  }

 private:
  std::ostream& out_;
  bool live_;
  int total_, n_ = 0;
};

// A spectrum analysed: the job as converted, and where it came from.
struct Spectrum {
  InputJob job;
  std::string title;  // trailing blanks removed
  int file = -1;      // index into the converted files, -1 for --input
};

struct Failure {
  std::string program;
  int set = 0;
  int job = 0;
  std::string why;
};

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string first_line(const std::string& s) { return trim(s.substr(0, s.find('\n'))); }

// What each converted file's record says a reader of the result must know:
// the cut at the short end, interpolated points, the conversion's warnings.
std::vector<std::string> conversion_notes(const json& record) {
  std::vector<std::string> notes;
  if (!record.contains("steps")) return notes;
  for (const json& s : record["steps"]) {
    const std::string step = s.value("step", "");
    if (step == "range" && s.contains("common"))  // a series, cut to the range all its spectra support
      for (const json& t : s["text"])
        if (t.get<std::string>().find("common range") != std::string::npos) notes.push_back("HT cut: " + t.get<std::string>());
    if (step == "range" && s.contains("ht_cut"))
      for (const json& t : s["text"])
        if (t.get<std::string>().find("exceeds") != std::string::npos) notes.push_back("HT cut: " + t.get<std::string>());
    if (step == "grid" && s.value("interpolated", 0) > 0) notes.push_back("grid: " + s["text"][0].get<std::string>());
    if (step == "grid" && s.contains("gaps") && !s["gaps"].empty())
      for (std::size_t i = 1; i < s["text"].size(); ++i) notes.push_back("grid: " + s["text"][i].get<std::string>());
  }
  if (record.contains("warnings"))
    for (const json& w : record["warnings"]) notes.push_back("warning: " + w.get<std::string>());
  return notes;
}

}  // namespace

int run_analyse(const AnalyseOptions& opt, std::ostream& out, std::ostream& progress_out, std::ostream& err) {
  const auto start = std::chrono::steady_clock::now();
  fs::path dir;
  std::array<fs::path, 2> exe;
  std::unique_ptr<Staging> staging;
  std::vector<Spectrum> spectra;
  std::vector<int> sets;
  std::string sets_note;
  std::vector<json> records;          // the conversion record of each file
  std::string conversion_log;
  try {
    if (opt.files.empty() == opt.input.empty()) throw Refusal("name the exports to analyse, or --input INPUT");
    const std::string& first = opt.input.empty() ? opt.files.front() : opt.input;
    dir = opt.out.empty() ? path_from_utf8(stem_utf8(first) + "-analysis")
                          : path_from_utf8(opt.out);
    dir = fs::absolute(dir).lexically_normal();
    if (dir.filename().empty()) dir = dir.parent_path();
    std::error_code ec;
    if (fs::exists(dir, ec) && !opt.force) throw Refusal(path_to_utf8(dir) + " exists; add --force to replace it");
    for (int pi = 0; pi < 2; ++pi)
      exe[static_cast<std::size_t>(pi)] = find_program(static_cast<Program>(pi), opt.exe[static_cast<std::size_t>(pi)]);
    staging = std::make_unique<Staging>(dir);
    const fs::path work = staging->path();

    // The spectra: converted into a job file of their own first, so that a
    // refused export leaves nothing behind.
    const fs::path converted = work / "converted.INPUT";
    std::vector<int> file_of_job;
    if (!opt.input.empty()) {
      fs::copy_file(path_from_utf8(opt.input), converted, ec);
      if (ec) throw Refusal(opt.input + ": " + ec.message());
    }
    for (std::size_t f = 0; f < opt.files.size(); ++f) {
      ConvertOptions c = opt.convert;
      c.file = opt.files[f];
      c.append = path_to_utf8(converted);
      c.record = path_to_utf8(work / path_from_utf8("conversion-" + std::to_string(f + 1) + ".json"));
      c.title = utf8_head(opt.title.empty() ? stem_utf8(c.file) : opt.title, 40);
      c.args = opt.command;
      std::ostringstream log, why;
      const int status = run_convert(c, log, why);
      conversion_log += log.str() + "\n";
      if (status != 0) {
        err << log.str();
        throw Refusal("the conversion of " + c.file + " was refused:\n" + why.str());
      }
      records.push_back(json::parse(read_text(path_from_utf8(c.record)), nullptr, false));
      const std::size_t before = file_of_job.size();
      file_of_job.resize(read_input(path_to_utf8(converted)).size(), static_cast<int>(f));
      if (file_of_job.size() == before) throw Refusal(c.file + ": no spectrum was converted");
    }
    // Titles are what the summary tells samples by: at most 40 characters
    // (what both programs keep of a title) and each spectrum its own, or
    // the results of one would replace another's.
    std::set<std::string> titles;
    for (InputJob& j : read_input(path_to_utf8(converted))) {
      Spectrum s;
      const std::string base = trim(utf8_head(j.title, 40));
      s.title = base.empty() ? "spectrum" : base;
      for (int n = 2; !titles.insert(s.title).second; ++n) {
        const std::string tag = " #" + std::to_string(n);
        s.title = utf8_head(base, 40 - tag.size()) + tag;
      }
      s.file = j.job - 1 < static_cast<int>(file_of_job.size()) ? file_of_job[static_cast<std::size_t>(j.job - 1)] : -1;
      s.job = std::move(j);
      spectra.push_back(std::move(s));
    }
    if (spectra.empty()) throw Refusal(opt.input + ": no job to analyse");
    fs::remove(converted);

    // The reference sets.
    int longer = 1000, shorter = 0;
    for (const Spectrum& s : spectra) {
      longer = std::min(longer, static_cast<int>(s.job.first));
      shorter = std::max(shorter, static_cast<int>(s.job.last));
    }
    if (opt.sets.empty()) {
      sets = native_sets_covered(longer, shorter);
      if (sets.empty())
        throw Refusal("the spectra cover " + std::to_string(longer) + "-" + std::to_string(shorter) +
                      " nm, which holds the valid range of no reference set for native proteins; name sets with --sets");
      std::string list;
      for (std::size_t i = 0; i < sets.size(); ++i)
        list += (i ? (i + 1 == sets.size() ? " and " : ", ") : "") + std::to_string(sets[i]);
      sets_note = "Sets " + list + ": the sets for native proteins whose valid range the spectra (" +
                  std::to_string(longer) + "-" + std::to_string(shorter) +
                  " nm) cover (sets 6 and 7 are for unfolded conditions; --sets to choose)";
    } else {
      sets = opt.sets;
      std::string list;
      for (std::size_t i = 0; i < sets.size(); ++i) list += (i ? ", " : "") + std::to_string(sets[i]);
      sets_note = "Sets " + list + " (--sets)";
    }
  } catch (const Refusal& e) {
    err << "cdref analyse: " << e.what() << (e.what()[std::strlen(e.what()) - 1] == '\n' ? "" : "\n");
    return 1;
  } catch (const std::exception& e) {
    err << "cdref analyse: " << e.what() << "\n";
    return 1;
  }
  const fs::path work = staging->path();

  // INPUT: each spectrum once per set, in that order.
  const int nsets = static_cast<int>(sets.size());
  const int njobs = static_cast<int>(spectra.size()) * nsets;
  {
    std::ostringstream input;
    for (const Spectrum& s : spectra)
      for (int k : sets) cdsec::write_job(input, k, s.title, s.job.first, s.job.last, s.job.cd, s.job.factor);
    if (std::string why = cdsec::replace_file(work / "INPUT", input.str()); !why.empty()) {
      err << "cdref analyse: " << path_to_utf8(work / "INPUT") << ": " << why << "\n";
      return 1;
    }
  }
  out << "cdref analyse: " << spectra.size() << (spectra.size() == 1 ? " spectrum" : " spectra") << ", " << sets_note
      << "\n";
  out << "Working in " << path_to_utf8(work) << ", to become " << path_to_utf8(dir) << "\n" << std::flush;

  const bool live = &progress_out == &std::cerr && stderr_is_terminal();
  Progress progress(progress_out, live, 2 * njobs + (opt.scale ? static_cast<int>(spectra.size()) : 0));
  auto job_text = [&](int job) {
    const int s = (job - 1) / nsets, k = sets[static_cast<std::size_t>((job - 1) % nsets)];
    return "set " + std::to_string(k) + ": " + spectra[static_cast<std::size_t>(s)].title;
  };

  // Both programs, as a user runs them in DIR.
  const fs::path records_dir = work / "records";
  fs::create_directories(records_dir);
  std::vector<Failure> failures;
  for (int pi = 0; pi < 2; ++pi) {
    const Program p = static_cast<Program>(pi);
    const std::string name = program_name(p);
    progress.show(name + " " + job_text(1));
    int shown = 1;
    RunOutcome o;
    try {
      o = run_program(exe[static_cast<std::size_t>(pi)], work,
                      {"KESTRA_SEED=" + opt.seed, "CDSEC_DETAILS=" + path_to_utf8(records_dir)}, opt.job_timeout,
                      [&](int done) {
                        while (shown < std::min(done + 1, njobs)) progress.show(name + " " + job_text(++shown));
                      },
                      name + "-console");
    } catch (const std::exception& e) {
      err << "cdref analyse: " << e.what() << "\n";
      return 1;
    }
    while (shown < njobs) progress.show(name + " " + job_text(++shown));
    std::string stopped;
    if (o.timed_out)
      stopped = "stopped after " + std::to_string(opt.job_timeout) + " s without finishing a job";
    else if (!o.exited)
      stopped = "ended by signal " + std::to_string(o.signal);
    else if (o.exit_code != 0 && o.exit_code != cdsec::kExitNoResult)  // 3: some jobs gave no result
      stopped = "exit status " + std::to_string(o.exit_code) + (o.stderr_text.empty() ? "" : ": " + first_line(o.stderr_text));
    // Each job's run record tells whether it gave a result.
    for (int j = 1; j <= njobs; ++j) {
      const Spectrum& s = spectra[static_cast<std::size_t>((j - 1) / nsets)];
      const int k = sets[static_cast<std::size_t>((j - 1) % nsets)];
      const fs::path rec =
          records_dir / path_from_utf8(cdsec::run_record_file_name(
                            pi == 0 ? cdsec::RecordProgram::kMorvan3 : cdsec::RecordProgram::kKestra, j, s.title));
      std::string why;
      std::error_code ec;
      if (!fs::exists(rec, ec)) {
        why = "no run record" + (stopped.empty() ? std::string() : " (" + name + " " + stopped + ")");
      } else {
        try {
          const RunRecordData r = read_run_record(path_to_utf8(rec));
          if (!r.completed) why = r.failure;
        } catch (const std::exception& e) {
          why = e.what();
        }
      }
      if (!why.empty()) failures.push_back({name, k, j, why});
    }
  }

  // The magnitude check: each spectrum once, against the set its job was
  // written for (the one suggested from its range, as cdref scale would
  // check the converted INPUT).
  std::vector<JobScale> scales;
  std::string scale_text;
  if (opt.scale) {
    fs::path scratch;
    try {
      scratch = make_temp_dir("cdref-analyse");
      std::ostringstream input;
      for (const Spectrum& s : spectra)
        cdsec::write_job(input, s.job.ibasis, s.title, s.job.first, s.job.last, s.job.cd, s.job.factor);
      if (std::string why = cdsec::replace_file(scratch / "INPUT", input.str()); !why.empty())
        throw std::runtime_error(path_to_utf8(scratch / "INPUT") + ": " + why);
      ScaleOptions sc;
      sc.input = path_to_utf8(scratch / "INPUT");
      sc.json = path_to_utf8(work / "scale.json");
      sc.exe = {path_to_utf8(exe[0]), path_to_utf8(exe[1])};
      sc.seed = opt.seed;
      sc.job_timeout = opt.job_timeout;
      sc.scratch = path_to_utf8(scratch / "runs");
      sc.on_job = [&](int, const std::string& title) { progress.show("magnitude check: " + title); };
      std::ostringstream text, quiet;
      const int status = run_scale(sc, text, quiet, &scales);
      scale_text = text.str();
      if (status != 0) progress.note("cdref analyse: the magnitude check did not finish for every spectrum");
    } catch (const std::exception& e) {
      progress.note(std::string("cdref analyse: magnitude check: ") + e.what());
    }
    std::error_code ec;
    if (!scratch.empty()) fs::remove_all(scratch, ec);
    cdsec::replace_file(work / "scale.txt", scale_text);
  }
  progress.end();

  // The summary, with paths as they will be in DIR.
  SummaryTable table;
  try {
    table = build_summary(path_to_utf8(work / "ProtSS.out"), path_to_utf8(records_dir));
  } catch (const std::exception& e) {
    err << "cdref analyse: " << e.what() << "\n";
    table.source = path_to_utf8(work / "ProtSS.out");
  }
  table.source = "ProtSS.out";
  for (SampleSummary& s : table.samples)
    for (Method& m : s.methods)
      if (m.details) m.details->file = "records/" + file_name_utf8(m.details->file);
  out << "\n" << summary_text(table);
  cdsec::replace_file(work / "summary.txt", summary_text(table));
  cdsec::replace_file(work / "summary.csv", summary_csv(table));
  cdsec::replace_file(work / "summary.json", summary_json(table));
  cdsec::replace_file(work / "conversion.txt", conversion_log);
  // A series (titles that differ in a trailing number and unit): how the
  // structure changes along it, as cdref summary --series shows it.
  const std::vector<SeriesGroup> series = find_series(table);
  if (!series.empty()) {
    out << "\n" << series_text(table);
    cdsec::replace_file(work / "series.txt", series_text(table));
    cdsec::replace_file(work / "series.csv", series_csv(table));
    cdsec::replace_file(work / "series.json", series_json(table));
    cdsec::replace_file(work / "series.svg", series_svg(table));
  }

  // Which spectra have no result from any method.
  std::vector<std::string> without;
  for (const Spectrum& s : spectra) {
    bool any = false;
    for (const SampleSummary& ss : table.samples)
      if (ss.title == s.title)
        for (const Method& m : ss.methods) any = any || m.no_result.empty();
    if (!any) without.push_back(s.title);
  }
  if (!failures.empty()) {
    err << "cdref analyse: " << failures.size() << (failures.size() == 1 ? " job" : " jobs") << " without a result:\n";
    for (const Failure& f : failures)
      err << "  job " << f.job << ", " << f.program << " set " << f.set << ", \""
          << spectra[static_cast<std::size_t>((f.job - 1) / nsets)].title << "\": " << f.why << "\n";
  }
  for (const std::string& t : without) err << "cdref analyse: \"" << t << "\" has no result from any method\n";

  // The report.
  ReportData rd;
  rd.heading = spectra.size() == 1  ? spectra.front().title
               : series.size() == 1 ? series.front().name + ", " + std::to_string(spectra.size()) + " spectra"
                                    : std::to_string(spectra.size()) + " spectra";
  if (!series.empty()) rd.series_svg = series_svg(table);
  rd.table = &table;
  rd.sets_note = sets_note;
  rd.seed = opt.seed;
  rd.version = cdsec::version_text();
  for (const std::string& a : opt.command) rd.command += (rd.command.empty() ? "" : " ") + a;
  for (int pi = 0; pi < 2; ++pi)
    rd.steps.push_back("KESTRA_SEED=" + opt.seed + " CDSEC_DETAILS=records " +
                       path_to_utf8(exe[static_cast<std::size_t>(pi)]) + " < /dev/null  (in " + path_to_utf8(dir) +
                       ", over INPUT)");
  if (opt.scale)
    rd.steps.push_back("cdref scale INPUT --seed " + opt.seed + "  (each spectrum once, with the set suggested for it)");
  for (const Failure& f : failures)
    rd.warnings.push_back("job " + std::to_string(f.job) + ", " + f.program + " set " + std::to_string(f.set) + ", \"" +
                          spectra[static_cast<std::size_t>((f.job - 1) / nsets)].title + "\": no result: " + f.why);
  for (const Spectrum& s : spectra) {
    ReportSample rs;
    rs.title = s.title;
    for (const SampleSummary& ss : table.samples)
      if (ss.title == s.title) rs.summary = &ss;
    const float f = s.job.factor == 0.0f ? 1.0f : s.job.factor;
    for (std::size_t i = 0; i < s.job.cd.size(); ++i) {
      rs.wavelength_nm.push_back(s.job.first - static_cast<double>(i));
      rs.measured.push_back(static_cast<double>(s.job.cd[i] * f));
    }
    if (rs.summary)
      for (const Method& m : rs.summary->methods) {
        if (!m.details) continue;
        try {
          const RunRecordData r = read_run_record(path_to_utf8(work / path_from_utf8(m.details->file)));
          ReportFit fit;
          fit.method = m.name();
          fit.wavelength_nm = r.wavelength_nm;
          fit.experimental = r.experimental;
          fit.calculated = r.calculated;
          fit.rmsd = m.entry.rmsd;
          double ss = 0;
          for (double v : r.experimental) ss += v * v;
          const double rms = r.experimental.empty() ? 0 : std::sqrt(ss / static_cast<double>(r.experimental.size()));
          fit.normalised = rms > 0 ? r.rmsd / rms : NAN;
          if (!fit.calculated.empty()) rs.fits.push_back(std::move(fit));
        } catch (const std::exception&) {
        }
      }
    if (s.file >= 0 && records[static_cast<std::size_t>(s.file)].is_object())
      rs.warnings = conversion_notes(records[static_cast<std::size_t>(s.file)]);
    for (const Failure& fl : failures)
      if ((fl.job - 1) / nsets == static_cast<int>(&s - spectra.data()))
        rs.warnings.push_back(fl.program + " set " + std::to_string(fl.set) + " gave no result: " + fl.why);
    for (const JobScale& js : scales)
      if (js.job == static_cast<int>(&s - spectra.data()) + 1) {
        rs.magnitude = scale_verdict(js);
        rs.magnitude_warning = js.warning;
      }
    rd.samples.push_back(std::move(rs));
  }
  // Provenance: every input and reference file with its digest.
  for (const std::string& f : opt.files)
    rd.files.push_back({"export", f, cdsec::sha256_file_hex(path_from_utf8(f)).value_or("unreadable")});
  if (!opt.input.empty())
    rd.files.push_back(
        {"job file", opt.input, cdsec::sha256_file_hex(path_from_utf8(opt.input)).value_or("unreadable")});
  rd.files.push_back({"job file", "INPUT", cdsec::sha256_file_hex(work / "INPUT").value_or("unreadable")});
  {
    std::map<std::string, std::string> refs;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(records_dir, ec)) {
      const json j = json::parse(read_text(e.path()), nullptr, false);
      if (j.is_object() && j.contains("references"))
        for (const json& r : j["references"])
          if (r.value("path", "") != "" && r.contains("sha256") && r["sha256"].is_string())
            refs[r["path"].get<std::string>()] = r["sha256"].get<std::string>();
    }
    for (const auto& [p, h] : refs) rd.files.push_back({"reference", p, h});
  }
  for (std::size_t f = 0; f < records.size(); ++f) {
    std::vector<std::string> lines;
    if (records[f].is_object() && records[f].contains("steps"))
      for (const json& s : records[f]["steps"])
        for (const json& t : s["text"]) lines.push_back(s.value("step", "") + ": " + t.get<std::string>());
    rd.conversion.push_back({opt.files[f], lines});
  }
  if (std::string why = cdsec::replace_file(work / "report.html", report_html(rd)); !why.empty()) {
    err << "cdref analyse: report.html: " << why << "\n";
    return 1;
  }

  try {
    staging->commit(dir);
  } catch (const std::exception& e) {
    staging->keep();
    err << "cdref analyse: " << path_to_utf8(dir) << ": " << e.what() << "; the results are in " << path_to_utf8(work)
        << "\n";
    return 1;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  out << "\nReport: " << path_to_utf8(dir / "report.html") << "\n";
  out << "Done in " << seconds_text(secs) << "\n";
  return without.empty() ? 0 : 3;
}

}  // namespace cdref
