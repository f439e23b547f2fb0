#include "cdref/summary.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::os::file_name_utf8;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kKestraTitle = 50;  // characters of the title KESTRA keeps

std::string trim(std::string_view s) { return std::string(cdsec::trim_blanks(s)); }

std::string trim_right(std::string_view s) { return std::string(cdsec::trim_right_blanks(s)); }

std::string fixed(double v, int w, int d) { return cdsec::edit_F(static_cast<float>(v), w, d); }
std::string num(double v, int d = 3) { return trim(fixed(v, 16, d)); }

std::string pad(std::string s, std::size_t w) {
  if (s.size() < w) s.append(w - s.size(), ' ');
  return s;
}
std::string rpad(std::string s, std::size_t w) { return s.size() >= w ? s : std::string(w - s.size(), ' ') + s; }

// Text for a console.  A title may hold control characters, and an escape
// sequence in one would act on the terminal that shows the summary: the
// C0 controls but the line end, DEL and the C1 controls (U+0080 to U+009F,
// in UTF-8) are shown as '?'.
std::string visible(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const unsigned char next = i + 1 < s.size() ? static_cast<unsigned char>(s[i + 1]) : 0;
    if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
      o += '?';
      ++i;
    } else {
      o += (c < 0x20 && c != '\n') || c == 0x7F ? '?' : static_cast<char>(c);
    }
  }
  return o;
}

// The set a record belongs to: its code, and for " 37 " (sets 3 and 5) its
// class list.  0 when the record fits no set of the catalogue.
int ibasis_of(const cdsec::SummaryEntry& e) {
  for (int k = 1; k <= 8; ++k) {
    const cdsec::RefSetInfo& s = *cdsec::find_ref_set(k);
    if (s.summary_code != e.set_code || s.ns != e.ns) continue;
    bool same = true;
    for (int j = 0; j < s.ns; ++j)
      same = same && trim(s.labels[static_cast<std::size_t>(j)]) == trim(e.labels[static_cast<std::size_t>(j)]);
    if (same) return k;
  }
  return 0;
}

// A double read back from JSON: a number, or NaN for null.
double number_or_nan(const json& v, const std::string& what) {
  if (v.is_null()) return std::numeric_limits<double>::quiet_NaN();
  if (!v.is_number()) throw std::runtime_error(what + " is not a number");
  return v.get<double>();
}

std::vector<double> numbers(const json& v, std::size_t n, const std::string& what) {
  if (!v.is_array()) throw std::runtime_error(what + " is not an array");
  if (v.size() != n)
    throw std::runtime_error(what + " holds " + std::to_string(v.size()) + " values, " + std::to_string(n) + " expected");
  std::vector<double> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(number_or_nan(v[i], what + "[" + std::to_string(i) + "]"));
  return out;
}

const json& member(const json& o, const char* key, const std::string& where = {}) {
  auto it = o.find(key);
  if (it == o.end()) throw std::runtime_error("no \"" + std::string(key) + "\"" + (where.empty() ? "" : " in " + where));
  return *it;
}

bool close_to(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

// The value of a 3-decimal field agrees with a full-precision one.
bool agrees(double full, float printed) { return std::isfinite(full) && close_to(full, printed, 0.0005 + 1e-6); }

std::optional<Spread> spread_of(const std::vector<double>& v) {
  if (v.empty()) return std::nullopt;
  Spread s;
  double sum = 0;
  s.min = s.max = v[0];
  for (double x : v) {
    sum += x;
    s.min = std::min(s.min, x);
    s.max = std::max(s.max, x);
  }
  const double mean = sum / static_cast<double>(v.size());
  double ss = 0;
  for (double x : v) ss += (x - mean) * (x - mean);
  s.sd = v.size() > 1 ? std::sqrt(ss / static_cast<double>(v.size() - 1)) : 0.0;
  return s;
}

}  // namespace

const char* group_name(int g) {
  static constexpr const char* kNames[kGroups] = {"Helix", "Strand", "Turn", "Unordered", "PPII"};
  return g >= 0 && g < kGroups ? kNames[g] : "?";
}

unsigned groups_of_label(std::string_view label) {
  const std::string l = trim(label);
  if (l == "H(r)" || l == "H(d)" || l == "AHel" || l == "3/10") return 1u << kHelix;
  if (l == "S(r)" || l == "S(d)" || l == "BSht") return 1u << kStrand;
  if (l == "Trn" || l == "Turn") return 1u << kTurn;
  if (l == "Unrd") return 1u << kUnordered;
  if (l == "PP2") return (1u << kUnordered) | (1u << kPPII);
  return 0;
}

std::string Method::program() const {
  return entry.program == cdsec::SummaryProgram::kSelfConsistent ? "MORVAN3" : "KESTRA";
}
std::string Method::name() const { return program() + "/" + std::to_string(ibasis); }

// ---------------------------------------------------------------- run records

RunRecordData read_run_record(const std::string& path) {
  RunRecordData r;
  r.file = path;
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot be read");
    json j;
    try {
      j = json::parse(in);
    } catch (const json::exception& e) {
      throw std::runtime_error(std::string("not JSON: ") + e.what());
    }
    if (!j.is_object()) throw std::runtime_error("not a JSON object");
    if (member(j, "format") != "cdsec-run-record") throw std::runtime_error("\"format\" is not \"cdsec-run-record\"");
    const json& version = member(j, "format_version");
    if (!version.is_number_integer() || version.get<long long>() != 1)
      throw std::runtime_error("format_version " + version.dump() + " is not known (1 is)");
    const json& program = member(j, "program");
    if (program != "MORVAN3" && program != "KESTRA") throw std::runtime_error("\"program\" is neither MORVAN3 nor KESTRA");
    r.program = program.get<std::string>();
    const json& job = member(j, "job");
    if (!job.is_number_integer() || job.get<long long>() < 1) throw std::runtime_error("\"job\" is not a job number");
    r.job = job.get<int>();
    const json& title = member(j, "title");
    if (!title.is_string()) throw std::runtime_error("\"title\" is not a text");
    r.title = title.get<std::string>();
    const json& ib = member(j, "ibasis");
    if (!ib.is_number_integer() || ib.get<long long>() < 1 || ib.get<long long>() > 8)
      throw std::runtime_error("\"ibasis\" is not a set number from 1 to 8");
    r.ibasis = ib.get<int>();
    const json& labels = member(j, "labels");
    if (!labels.is_array() || labels.empty() || labels.size() > 6) throw std::runtime_error("\"labels\" is not a list of 1 to 6 labels");
    for (const json& l : labels) {
      if (!l.is_string()) throw std::runtime_error("\"labels\" holds a value that is not a text");
      r.labels.push_back(l.get<std::string>());
    }
    const std::size_t ns = r.labels.size();
    const json& status = member(j, "status");
    if (status == "completed")
      r.completed = true;
    else if (status == "failed")
      r.completed = false;
    else
      throw std::runtime_error("\"status\" is neither \"completed\" nor \"failed\"");
    const json& failure = member(j, "failure");
    if (!r.completed) {
      if (!failure.is_string()) throw std::runtime_error("a failed job without its \"failure\"");
      r.failure = failure.get<std::string>();
    }
    const json& ab = member(j, "all_basis");
    if (!ab.is_null()) {
      r.has_all_basis = true;
      r.all_basis = numbers(member(ab, "fractions", "all_basis"), ns, "all_basis.fractions");
      r.all_basis_sum = number_or_nan(member(ab, "sum", "all_basis"), "all_basis.sum");
    }
    const json& sols = member(j, "solutions");
    if (!sols.is_array()) throw std::runtime_error("\"solutions\" is not an array");
    for (std::size_t i = 0; i < sols.size(); ++i)
      r.solutions.push_back(
          numbers(member(sols[i], "fractions", "solution " + std::to_string(i + 1)), ns, "solutions[" + std::to_string(i) + "].fractions"));
    if (const auto it = j.find("spectra"); it != j.end() && it->is_object()) {
      const json& wl = member(*it, "wavelength_nm", "spectra");
      const json& ex = member(*it, "experimental", "spectra");
      if (wl.is_array() && ex.is_array() && wl.size() == ex.size()) {
        r.wavelength_nm = numbers(wl, wl.size(), "spectra.wavelength_nm");
        r.experimental = numbers(ex, ex.size(), "spectra.experimental");
        if (const auto c = it->find("calculated"); c != it->end() && c->is_array() && c->size() == wl.size())
          r.calculated = numbers(*c, c->size(), "spectra.calculated");
      }
    }
    if (r.completed) {
      r.fractions = numbers(member(j, "fractions"), ns, "fractions");
      r.rmsd = number_or_nan(member(j, "rmsd"), "rmsd");
      if (r.solutions.empty()) throw std::runtime_error("a completed job without solutions");
      const json& st = member(j, "statistics");
      if (!st.is_object()) throw std::runtime_error("a completed job without \"statistics\"");
      const json& count = member(st, "count", "statistics");
      if (!count.is_number_integer() || count.get<long long>() != static_cast<long long>(r.solutions.size()))
        throw std::runtime_error("statistics.count " + count.dump() + " is not the number of solutions (" +
                                 std::to_string(r.solutions.size()) + ")");
      r.count = count.get<int>();
      r.sd = numbers(member(st, "sd", "statistics"), ns, "statistics.sd");
      r.min = numbers(member(st, "min", "statistics"), ns, "statistics.min");
      r.max = numbers(member(st, "max", "statistics"), ns, "statistics.max");
      // The statistics must be those of the solutions listed.
      for (std::size_t c = 0; c < ns; ++c) {
        std::vector<double> v;
        for (const auto& s : r.solutions) v.push_back(s[c]);
        const Spread s = *spread_of(v);
        const double tol = 1e-5 + 1e-4 * std::fabs(s.sd);
        if (!close_to(s.min, r.min[c], 1e-6 + 1e-6 * std::fabs(s.min)) || !close_to(s.max, r.max[c], 1e-6 + 1e-6 * std::fabs(s.max)) ||
            !close_to(s.sd, r.sd[c], tol))
          throw std::runtime_error("the statistics of class " + r.labels[c] + " are not those of the solutions listed");
      }
    }
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  } catch (const json::exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  return r;
}

// ---------------------------------------------------------------- building the table

Consensus consensus_of(const std::vector<double>& values) {
  Consensus c;
  c.n = static_cast<int>(values.size());
  if (values.empty()) return c;
  const Spread s = *spread_of(values);
  double sum = 0;
  for (double v : values) sum += v;
  c.mean = sum / static_cast<double>(values.size());
  c.sd = s.sd;
  c.min = s.min;
  c.max = s.max;
  // The fractions are read with three decimals: a range of 0.100 is not
  // more than 0.10, whatever the binary rounding of the difference.
  c.disagree = c.n > 1 && c.max - c.min > kDisagreement + 1e-6;
  return c;
}

namespace {

std::array<std::optional<float>, kGroups> groups_of(std::span<const std::string> labels, std::span<const float> f) {
  std::array<std::optional<float>, kGroups> g;
  for (std::size_t c = 0; c < labels.size() && c < f.size(); ++c) {
    const unsigned bits = groups_of_label(labels[c]);
    for (int k = 0; k < kGroups; ++k)
      if (bits & (1u << k)) g[static_cast<std::size_t>(k)] = g[static_cast<std::size_t>(k)].value_or(0.0f) + f[c];
  }
  return g;
}

void attach_details(Method& m, const std::vector<RunRecordData>& records, std::vector<std::string>& problems) {
  const std::string prog = m.program();
  const std::string title = trim_right(m.entry.title);
  std::vector<const RunRecordData*> candidates, agreeing;
  for (const RunRecordData& r : records)
    if (r.program == prog && trim_right(r.title) == title && r.ibasis == m.ibasis) candidates.push_back(&r);
  if (candidates.empty()) return;
  const int ns = m.entry.ns;
  for (const RunRecordData* r : candidates) {
    if (static_cast<int>(r->labels.size()) != ns) continue;
    bool ok = true;
    if (r->completed) {
      for (int c = 0; c < ns; ++c) ok = ok && agrees(r->fractions[static_cast<std::size_t>(c)], m.entry.fractions(c + 1));
      ok = ok && agrees(r->rmsd, m.entry.rmsd);
    } else {
      // A failed job's record in ProtSS.out holds zeros or the all-basis estimate.
      bool zeros = true, all_basis = r->has_all_basis;
      for (int c = 0; c < ns; ++c) {
        zeros = zeros && m.entry.fractions(c + 1) == 0.0f;
        all_basis = all_basis && agrees(r->all_basis[static_cast<std::size_t>(c)], m.entry.fractions(c + 1));
      }
      ok = zeros || all_basis;
    }
    if (ok) agreeing.push_back(r);
  }
  if (agreeing.empty()) {
    std::string names;
    for (const RunRecordData* r : candidates)
      names += (names.empty() ? "" : ", ") + file_name_utf8(r->file);
    problems.push_back("ProtSS.out line " + std::to_string(m.entry.line) + " (" + m.name() + ", \"" + title +
                       "\"): the run records of this program, sample and set (" + names +
                       ") do not hold its fractions and RMSD; a later run may have replaced them, so no spread is shown");
    return;
  }
  // Several agreeing records (the same job run again): the newest.
  const RunRecordData* best = agreeing.front();
  std::error_code ec;
  for (const RunRecordData* r : agreeing) {
    const auto tb = fs::last_write_time(path_from_utf8(best->file), ec),
               tr = fs::last_write_time(path_from_utf8(r->file), ec);
    if (tr > tb || (tr == tb && r->file > best->file)) best = r;
  }
  if (!best->completed) {
    m.no_result = "the run record (" + file_name_utf8(best->file) + ") says: " + best->failure;
    return;
  }
  MethodDetails d;
  d.file = best->file;
  d.solutions = static_cast<int>(best->solutions.size());
  for (int c = 0; c < ns; ++c)
    d.classes.push_back({best->sd[static_cast<std::size_t>(c)], best->min[static_cast<std::size_t>(c)], best->max[static_cast<std::size_t>(c)]});
  std::array<std::vector<double>, kGroups> per_group;
  for (const auto& s : best->solutions) {
    std::vector<float> f(s.begin(), s.end());
    const auto g = groups_of(best->labels, f);
    for (int k = 0; k < kGroups; ++k)
      if (g[static_cast<std::size_t>(k)]) per_group[static_cast<std::size_t>(k)].push_back(*g[static_cast<std::size_t>(k)]);
  }
  for (int k = 0; k < kGroups; ++k) d.groups[static_cast<std::size_t>(k)] = spread_of(per_group[static_cast<std::size_t>(k)]);
  m.details = std::move(d);
}

}  // namespace

SummaryTable build_summary(const std::string& protss, const std::string& details_dir) {
  SummaryTable t;
  t.source = protss;
  std::vector<cdsec::SummaryDamage> damaged;
  const std::vector<cdsec::SummaryEntry> entries = cdsec::read_summary_records(protss, damaged);
  for (const cdsec::SummaryDamage& d : damaged)
    t.problems.push_back("the record at line " + std::to_string(d.first_line) + " is damaged and was skipped: " + d.error.what());

  std::vector<RunRecordData> records;
  if (!details_dir.empty()) {
    t.with_details = true;
    std::error_code ec;
    if (!fs::is_directory(path_from_utf8(details_dir), ec))
      throw std::runtime_error(details_dir + ": not a directory of run records");
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(path_from_utf8(details_dir), ec))
      if (e.path().extension() == ".json") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
      try {
        records.push_back(read_run_record(path_to_utf8(f)));
      } catch (const std::exception& e) {
        t.problems.push_back(std::string("run record skipped: ") + e.what());
      }
    }
  }

  // KESTRA's title may be cut at 50 characters: it joins the one longer
  // title of MORVAN3 that it begins.
  std::vector<std::string> long_titles;
  for (const cdsec::SummaryEntry& e : entries)
    if (e.program == cdsec::SummaryProgram::kSelfConsistent) {
      std::string k = trim_right(e.title);
      if (k.size() > kKestraTitle) long_titles.push_back(std::move(k));
    }
  std::sort(long_titles.begin(), long_titles.end());
  long_titles.erase(std::unique(long_titles.begin(), long_titles.end()), long_titles.end());
  auto sample_key = [&](const cdsec::SummaryEntry& e) {
    std::string k = trim_right(e.title);
    if (e.program != cdsec::SummaryProgram::kVariableSelection || k.size() != kKestraTitle) return k;
    std::vector<std::string> fits;
    for (const std::string& l : long_titles)
      if (l.starts_with(k)) fits.push_back(l);
    if (fits.size() == 1) return fits.front();
    if (fits.size() > 1)
      t.problems.push_back("the KESTRA record at line " + std::to_string(e.line) + " keeps 50 characters of its title, \"" +
                           k + "\", which begin " + std::to_string(fits.size()) +
                           " titles of MORVAN3 records; it is shown as a sample of its own");
    return k;
  };

  std::map<std::string, std::size_t> sample_at;
  std::map<std::pair<std::size_t, std::string>, std::size_t> method_at;  // (sample, program/set) -> method
  for (const cdsec::SummaryEntry& e : entries) {
    Method m;
    m.entry = e;
    m.ibasis = ibasis_of(e);
    if (m.ibasis == 0) {
      t.problems.push_back("the record at line " + std::to_string(e.line) + " was skipped: its set code \"" + e.set_code +
                           "\" and classes fit no reference set of the catalogue");
      continue;
    }
    ++t.records;
    const std::string key = sample_key(e);
    auto [it, fresh] = sample_at.try_emplace(key, t.samples.size());
    if (fresh) t.samples.push_back({key, {}, {}});
    SampleSummary& s = t.samples[it->second];
    auto [mit, mfresh] = method_at.try_emplace({it->second, m.name()}, s.methods.size());
    if (mfresh) {
      s.methods.push_back(std::move(m));
    } else {
      m.replaced = s.methods[mit->second].replaced + 1;
      s.methods[mit->second] = std::move(m);
    }
  }

  for (SampleSummary& s : t.samples) {
    std::array<std::vector<double>, kGroups> values;
    for (Method& m : s.methods) {
      std::vector<std::string> labels(m.entry.labels.begin(), m.entry.labels.begin() + m.entry.ns);
      std::vector<float> f(m.entry.fractions.data(), m.entry.fractions.data() + m.entry.ns);
      bool zeros = true;
      for (float v : f) zeros = zeros && v == 0.0f;
      if (!m.entry.all_finite())
        m.no_result = "a value of the record is not a number";
      else if (zeros && m.entry.program == cdsec::SummaryProgram::kVariableSelection)
        m.no_result = "all fractions 0 (KESTRA found no solution inside its helix window)";
      if (!records.empty()) attach_details(m, records, t.problems);
      m.group = groups_of(labels, f);
      if (!m.no_result.empty()) continue;
      for (int k = 0; k < kGroups; ++k)
        if (m.group[static_cast<std::size_t>(k)]) values[static_cast<std::size_t>(k)].push_back(*m.group[static_cast<std::size_t>(k)]);
    }
    for (int k = 0; k < kGroups; ++k) s.consensus[static_cast<std::size_t>(k)] = consensus_of(values[static_cast<std::size_t>(k)]);
  }

  // KESTRA's failures look like results in ProtSS.out.
  int unknown = 0;
  for (const SampleSummary& s : t.samples)
    for (const Method& m : s.methods)
      if (m.entry.program == cdsec::SummaryProgram::kVariableSelection && m.no_result.empty() && !m.details) ++unknown;
  if (unknown > 0)
    t.notes.push_back(
        "KESTRA appends its all-basis estimate to ProtSS.out for a job that fails (fewer than five acceptable "
        "solutions), and ProtSS.out alone cannot tell such a record from a result: " +
        std::to_string(unknown) + " KESTRA record" + (unknown == 1 ? " is" : "s are") + " counted as results " +
        (t.with_details ? "without a run record that says how the job ended"
                        : "unchecked; run the programs with CDSEC_DETAILS=DIR and add --details DIR to leave the "
                          "failed ones out"));
  return t;
}

// ---------------------------------------------------------------- text

namespace {

constexpr const char* kMappingText =
    "Classes are compared in groups taken from each set's labels:\n"
    "  Helix = H(r)+H(d) (AHel+3/10 in set 2, AHel in set 5); Strand = S(r)+S(d) (BSht);\n"
    "  Turn = Trn (Turn); Unordered = Unrd, plus PP2 in sets 2 and 5;\n"
    "  PPII = PP2, sets 2 and 5 only (also counted in Unordered).\n"
    "Of repeated records of one program and set for a sample the latest counts.\n"
    "Mean: the consensus over the methods; SD: sample standard deviation between them;\n"
    "Range: max - min; \"<< differ\" marks a range above 0.10.\n";

}  // namespace

bool group_present(const SampleSummary& s, int k) {
  for (const Method& m : s.methods)
    if (m.group[static_cast<std::size_t>(k)]) return true;
  return false;
}

std::string summary_text(const SummaryTable& t) {
  std::ostringstream o;
  o << t.source << ": " << t.records << (t.records == 1 ? " record, " : " records, ") << t.samples.size()
    << (t.samples.size() == 1 ? " sample" : " samples") << "\n";
  for (const std::string& p : t.problems) o << "  problem: " << p << "\n";
  for (const std::string& n : t.notes) o << "  note: " << n << "\n";
  o << "\n" << kMappingText;
  for (const SampleSummary& s : t.samples) {
    o << "\nSample \"" << s.title << "\"\n";
    o << "  Method       Line    RMSD  Fractions\n";
    for (const Method& m : s.methods) {
      std::string fr;
      float sum = 0;
      for (int c = 1; c <= m.entry.ns; ++c) {
        fr += (c > 1 ? "  " : "") + trim(m.entry.labels[static_cast<std::size_t>(c - 1)]) + " " + num(m.entry.fractions(c));
        sum += m.entry.fractions(c);
      }
      o << "  " << pad(m.name(), 10) << rpad(std::to_string(m.entry.line), 7) << fixed(m.entry.rmsd, 8, 3) << "  " << fr
        << "  sum " << num(sum) << "\n";
      if (m.replaced) o << "               (" << m.replaced << " earlier record" << (m.replaced == 1 ? "" : "s") << " replaced)\n";
      if (!m.no_result.empty()) o << "               no result: " << m.no_result << "; left out of the consensus\n";
      if (m.details) {
        const MethodDetails& d = *m.details;
        std::string sd, range;
        for (int c = 0; c < m.entry.ns; ++c) {
          const auto& k = d.classes[static_cast<std::size_t>(c)];
          (sd += " ") += num(k.sd);
          (((range += " ") += num(k.min)) += "..") += num(k.max);
        }
        o << "               over its " << d.solutions << " solution" << (d.solutions == 1 ? "" : "s") << " ("
          << file_name_utf8(d.file) << "): sd" << sd << "; min..max" << range << "\n";
      }
    }
    o << "\n  " << pad("Group", 10);
    for (const Method& m : s.methods) o << rpad(m.name(), 11);
    o << "     Mean      SD   Range\n";
    for (int k = 0; k < kGroups; ++k) {
      if (!group_present(s, k)) continue;
      const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
      o << "  " << pad(group_name(k), 10);
      for (const Method& m : s.methods) {
        const auto& g = m.group[static_cast<std::size_t>(k)];
        std::string cell = !g ? "-" : m.no_result.empty() ? num(*g) : "(" + num(*g) + ")";
        o << rpad(cell, 11);
      }
      if (c.n == 0)
        o << "        -\n";
      else
        o << fixed(c.mean, 9, 3) << fixed(c.sd, 8, 3) << fixed(c.max - c.min, 8, 3) << (c.disagree ? "  << differ" : "")
          << "\n";
    }
    if (t.with_details) {
      bool any = false;
      for (const Method& m : s.methods) any = any || m.details.has_value();
      if (any) {
        o << "  Each method over its own solutions: sd (min..max)\n";
        for (int k = 0; k < kGroups; ++k) {
          if (!group_present(s, k)) continue;
          o << "  " << pad(group_name(k), 10);
          for (const Method& m : s.methods) {
            const auto* g = m.details ? &m.details->groups[static_cast<std::size_t>(k)] : nullptr;
            o << "  " << pad(m.name() + " " + (g && *g ? num((*g)->sd) + " (" + num((*g)->min) + ".." + num((*g)->max) + ")" : "-"), 30);
          }
          o << "\n";
        }
      }
    }
  }
  return visible(o.str());
}

// ---------------------------------------------------------------- CSV and JSON

namespace {

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace

std::string csv_num(double v, int d) { return std::isfinite(v) ? num(v, d) : ""; }

std::string summary_csv(const SummaryTable& t) {
  // One row per method and class, per method and group, and per group for
  // the consensus.  For a method, sd/min/max are over its own solutions
  // (run records); for the consensus, over the methods.
  std::ostringstream o;
  o << "sample,source,ibasis,protss_line,rmsd,level,class,fraction,sd,min,max,n,result,flag\n";
  for (const SampleSummary& s : t.samples) {
    for (const Method& m : s.methods) {
      const std::string head = csv_field(s.title) + "," + m.program() + "," + std::to_string(m.ibasis) + "," +
                               std::to_string(m.entry.line) + "," + csv_num(m.entry.rmsd, 3) + ",";
      const std::string result = m.no_result.empty() ? "ok" : "none";
      for (int c = 1; c <= m.entry.ns; ++c) {
        o << head << "class," << csv_field(trim(m.entry.labels[static_cast<std::size_t>(c - 1)])) << ","
          << csv_num(m.entry.fractions(c), 3) << ",";
        if (m.details) {
          const Spread& sp = m.details->classes[static_cast<std::size_t>(c - 1)];
          o << csv_num(sp.sd) << "," << csv_num(sp.min) << "," << csv_num(sp.max) << "," << m.details->solutions;
        } else {
          o << ",,,";
        }
        o << "," << result << ",\n";
      }
      for (int k = 0; k < kGroups; ++k) {
        const auto& g = m.group[static_cast<std::size_t>(k)];
        if (!g) continue;
        o << head << "group," << group_name(k) << "," << csv_num(*g, 3) << ",";
        const auto* sp = m.details ? &m.details->groups[static_cast<std::size_t>(k)] : nullptr;
        if (sp && *sp)
          o << csv_num((*sp)->sd) << "," << csv_num((*sp)->min) << "," << csv_num((*sp)->max) << "," << m.details->solutions;
        else
          o << ",,,";
        o << "," << result << ",\n";
      }
    }
    for (int k = 0; k < kGroups; ++k) {
      const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
      if (c.n == 0) continue;
      o << csv_field(s.title) << ",consensus,,,,group," << group_name(k) << "," << csv_num(c.mean) << "," << csv_num(c.sd) << ","
        << csv_num(c.min) << "," << csv_num(c.max) << "," << c.n << ",ok," << (c.disagree ? "differ" : "") << "\n";
    }
  }
  return o.str();
}

namespace {

json spread_json(const Spread& s) { return json{{"sd", s.sd}, {"min", s.min}, {"max", s.max}}; }

json float_or_null(float v) { return std::isfinite(v) ? json(v) : json(nullptr); }

}  // namespace

std::string summary_json(const SummaryTable& t) {
  json j;
  j["format"] = "cdref-summary";
  j["format_version"] = 1;
  j["source"] = t.source;
  j["records"] = t.records;
  j["problems"] = t.problems;
  j["notes"] = t.notes;
  j["groups"] = json::array();
  for (int k = 0; k < kGroups; ++k) j["groups"].push_back(group_name(k));
  j["disagreement_limit"] = kDisagreement;
  j["samples"] = json::array();
  for (const SampleSummary& s : t.samples) {
    json js;
    js["title"] = s.title;
    js["methods"] = json::array();
    for (const Method& m : s.methods) {
      json jm;
      jm["program"] = m.program();
      jm["ibasis"] = m.ibasis;
      jm["set_code"] = m.entry.set_code;
      jm["protss_line"] = m.entry.line;
      jm["replaced_records"] = m.replaced;
      jm["result"] = m.no_result.empty();
      jm["no_result"] = m.no_result.empty() ? json(nullptr) : json(m.no_result);
      jm["labels"] = json::array();
      jm["fractions"] = json::array();
      for (int c = 1; c <= m.entry.ns; ++c) {
        jm["labels"].push_back(trim(m.entry.labels[static_cast<std::size_t>(c - 1)]));
        jm["fractions"].push_back(float_or_null(m.entry.fractions(c)));
      }
      jm["rmsd"] = float_or_null(m.entry.rmsd);
      jm["groups"] = json::object();
      for (int k = 0; k < kGroups; ++k)
        if (m.group[static_cast<std::size_t>(k)]) jm["groups"][group_name(k)] = float_or_null(*m.group[static_cast<std::size_t>(k)]);
      if (m.details) {
        json d;
        d["run_record"] = m.details->file;
        d["solutions"] = m.details->solutions;
        d["classes"] = json::array();
        for (const Spread& sp : m.details->classes) d["classes"].push_back(spread_json(sp));
        d["groups"] = json::object();
        for (int k = 0; k < kGroups; ++k)
          if (const auto& g = m.details->groups[static_cast<std::size_t>(k)]) d["groups"][group_name(k)] = spread_json(*g);
        jm["details"] = d;
      } else {
        jm["details"] = nullptr;
      }
      js["methods"].push_back(jm);
    }
    js["consensus"] = json::object();
    for (int k = 0; k < kGroups; ++k) {
      const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
      if (c.n == 0) continue;
      js["consensus"][group_name(k)] = json{{"n", c.n}, {"mean", c.mean}, {"sd", c.sd}, {"min", c.min}, {"max", c.max},
                                            {"range", c.max - c.min}, {"disagree", c.disagree}};
    }
    j["samples"].push_back(js);
  }
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

// ---------------------------------------------------------------- SVG

// Text for XML: the five special characters escaped, control characters
// and bytes that are not UTF-8 replaced (a title may hold anything).
std::string xml_text(std::string_view s) {
  std::string o;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    bool ok = len > 0 && i + static_cast<std::size_t>(len) <= s.size();
    for (int k = 1; ok && k < len; ++k) ok = (static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0xC0) == 0x80;
    if (ok && len == 2 && c < 0xC2) ok = false;  // overlong
    if (!ok) {
      o += '?';
      ++i;
      continue;
    }
    if (len == 1) {
      switch (c) {
        case '&': o += "&amp;"; break;
        case '<': o += "&lt;"; break;
        case '>': o += "&gt;"; break;
        case '"': o += "&quot;"; break;
        case '\'': o += "&apos;"; break;
        default: o += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : static_cast<char>(c);
      }
    } else {
      o.append(s.substr(i, static_cast<std::size_t>(len)));
    }
    i += static_cast<std::size_t>(len);
  }
  return o;
}

namespace {

constexpr const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#17becf", "#7f7f7f"};

// A marker of shape `k` centred at (x, y).
std::string marker(int k, double x, double y, const char* colour) {
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  switch (k % 4) {
    case 0:
      o << "<circle cx=\"" << x << "\" cy=\"" << y << "\" r=\"5\" fill=\"" << colour << "\"/>";
      break;
    case 1:
      o << "<rect x=\"" << x - 4.5 << "\" y=\"" << y - 4.5 << "\" width=\"9\" height=\"9\" fill=\"" << colour << "\"/>";
      break;
    case 2:
      o << "<polygon points=\"" << x << "," << y - 6 << " " << x + 5.5 << "," << y + 4 << " " << x - 5.5 << "," << y + 4
        << "\" fill=\"" << colour << "\"/>";
      break;
    default:
      o << "<polygon points=\"" << x << "," << y - 6 << " " << x + 6 << "," << y << " " << x << "," << y + 6 << " " << x - 6
        << "," << y << "\" fill=\"" << colour << "\"/>";
  }
  return o.str();
}

}  // namespace

std::string summary_svg(const SummaryTable& t) {
  constexpr double kLeft = 70, kSlot = 130, kPlotH = 220, kTopPad = 50, kLegendW = 260;
  std::size_t most = 0;
  for (const SampleSummary& s : t.samples) most = std::max(most, s.methods.size());
  const double panel_h = kTopPad + kPlotH + 50 + std::max(0.0, 18.0 * static_cast<double>(most) - 150.0);
  const double width = kLeft + kGroups * kSlot + kLegendW;
  const double height = 40 + panel_h * static_cast<double>(std::max<std::size_t>(t.samples.size(), 1));
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 "
    << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "<title>" << xml_text("Secondary structure by method: " + t.source) << "</title>\n"
    << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
    << "<text x=\"10\" y=\"24\" font-size=\"15\">" << xml_text(t.source)
    << ": fraction per class group and method; grey band: range between methods, dark bar: mean \xC2\xB1 SD, "
       "black line: mean</text>\n";
  if (t.samples.empty()) o << "<text x=\"10\" y=\"60\">No records.</text>\n";
  for (std::size_t si = 0; si < t.samples.size(); ++si) {
    const SampleSummary& s = t.samples[si];
    const double y0 = 40 + panel_h * static_cast<double>(si), top = y0 + kTopPad, bottom = top + kPlotH;
    auto py = [&](double v) { return bottom - std::clamp(v, -0.05, 1.05) * kPlotH; };
    o << "<g class=\"sample\">\n<text x=\"10\" y=\"" << y0 + 28 << "\" font-size=\"14\" font-weight=\"bold\">"
      << xml_text(s.title.empty() ? "(no title)" : s.title) << "</text>\n";
    o << "<rect x=\"" << kLeft << "\" y=\"" << top << "\" width=\"" << kGroups * kSlot << "\" height=\"" << kPlotH
      << "\" fill=\"none\" stroke=\"black\"/>\n";
    for (int tick = 0; tick <= 5; ++tick) {
      const double v = tick / 5.0;
      o << "<line x1=\"" << kLeft - 5 << "\" y1=\"" << py(v) << "\" x2=\"" << kLeft + kGroups * kSlot << "\" y2=\"" << py(v)
        << "\" stroke=\"#dddddd\"/><text x=\"" << kLeft - 8 << "\" y=\"" << py(v) + 4 << "\" text-anchor=\"end\">"
        << num(v, 1) << "</text>\n";
    }
    for (int k = 0; k < kGroups; ++k) {
      const double x0 = kLeft + kSlot * k, xc = x0 + kSlot / 2;
      const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
      o << "<text x=\"" << xc << "\" y=\"" << bottom + 18 << "\" text-anchor=\"middle\">" << group_name(k) << "</text>\n";
      if (!group_present(s, k)) {
        o << "<text x=\"" << xc << "\" y=\"" << bottom - 10 << "\" text-anchor=\"middle\" fill=\"#999999\">no such class</text>\n";
        continue;
      }
      if (c.n > 0) {
        o << "<rect x=\"" << x0 + 15 << "\" y=\"" << py(c.max) - 1 << "\" width=\"" << kSlot - 30 << "\" height=\""
          << py(c.min) - py(c.max) + 2 << "\" fill=\"#e4e4e4\"/>\n";
        o << "<rect x=\"" << xc - 6 << "\" y=\"" << py(c.mean + c.sd) << "\" width=\"12\" height=\""
          << py(c.mean - c.sd) - py(c.mean + c.sd) << "\" fill=\"#9a9a9a\"/>\n";
        o << "<line x1=\"" << x0 + 10 << "\" y1=\"" << py(c.mean) << "\" x2=\"" << x0 + kSlot - 10 << "\" y2=\"" << py(c.mean)
          << "\" stroke=\"black\" stroke-width=\"2\"/>\n";
        if (c.disagree)
          o << "<text x=\"" << xc << "\" y=\"" << bottom + 34 << "\" text-anchor=\"middle\" fill=\"#c00000\">differ by "
            << num(c.max - c.min, 2) << "</text>\n";
      }
      const std::size_t nm = s.methods.size();
      for (std::size_t mi = 0; mi < nm; ++mi) {
        const Method& m = s.methods[mi];
        const auto& g = m.group[static_cast<std::size_t>(k)];
        if (!g || !std::isfinite(*g)) continue;
        const double x = x0 + 20 + (kSlot - 40) * (static_cast<double>(mi) + 0.5) / static_cast<double>(nm);
        const char* colour = m.no_result.empty() ? kColours[mi % 8] : "#bbbbbb";
        if (m.details)
          if (const auto& sp = m.details->groups[static_cast<std::size_t>(k)])
            o << "<line x1=\"" << x << "\" y1=\"" << py(sp->min) << "\" x2=\"" << x << "\" y2=\"" << py(sp->max)
              << "\" stroke=\"" << colour << "\" stroke-width=\"1.5\"/>";
        o << marker(static_cast<int>(mi), x, py(*g), colour) << "\n";
      }
    }
    const double lx = kLeft + kGroups * kSlot + 20;
    for (std::size_t mi = 0; mi < s.methods.size(); ++mi) {
      const Method& m = s.methods[mi];
      const double ly = top + 10 + 18 * static_cast<double>(mi);
      const char* colour = m.no_result.empty() ? kColours[mi % 8] : "#bbbbbb";
      o << marker(static_cast<int>(mi), lx + 6, ly - 4, colour) << "<text x=\"" << lx + 18 << "\" y=\"" << ly << "\">"
        << xml_text(m.name() + "  RMSD " + num(m.entry.rmsd) + (m.no_result.empty() ? "" : "  (no result)")) << "</text>\n";
    }
    if (t.with_details)
      o << "<text x=\"" << lx << "\" y=\"" << top + 10 + 18 * static_cast<double>(s.methods.size()) + 6
        << "\" fill=\"#555555\">vertical line: min..max over its solutions</text>\n";
    o << "</g>\n";
  }
  o << "</svg>\n";
  return o.str();
}

// ---------------------------------------------------------------- series

bool split_series_title(std::string_view title, std::string& name, double& value, std::string& unit) {
  const std::string t = trim(title);
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  // The unit: the trailing run of characters that are neither digits nor
  // blanks ("C", "mM", "%", "min"; at most 7, "degrees"), after the number.
  std::size_t j = t.size();
  while (j > 0 && !digit(t[j - 1]) && !blank(t[j - 1])) --j;
  std::string u = t.substr(j);
  std::string core = trim_right(std::string_view(t).substr(0, j));
  if (u.size() > 7 || core.empty() || !digit(core.back())) return false;
  std::size_t k = core.size();
  while (k > 0 && digit(core[k - 1])) --k;
  if (k > 1 && (core[k - 1] == '.' || core[k - 1] == ',') && digit(core[k - 2])) {
    --k;
    while (k > 0 && digit(core[k - 1])) --k;
  }
  // A sign only where it cannot join the name ("pH -1" but not "ab-3").
  if (k > 0 && (core[k - 1] == '-' || core[k - 1] == '+') && (k == 1 || blank(core[k - 2]))) --k;
  std::string number = core.substr(k);
  std::replace(number.begin(), number.end(), ',', '.');
  char* end = nullptr;
  const double v = std::strtod(number.c_str(), &end);
  if (end == number.c_str() || *end != '\0' || !std::isfinite(v)) return false;
  name = trim_right(std::string_view(core).substr(0, k));
  value = v;
  unit = u;
  return true;
}

std::optional<double> series_value(const SummaryTable& t, const SeriesGroup& g, std::size_t i,
                                   const std::string& method, int k) {
  const SampleSummary& s = t.samples[g.samples[i]];
  for (const Method& m : s.methods)
    if (m.name() == method && m.no_result.empty())
      if (const auto& v = m.group[static_cast<std::size_t>(k)]; v && std::isfinite(*v)) return *v;
  return std::nullopt;
}

std::vector<SeriesGroup> find_series(const SummaryTable& t) {
  std::vector<SeriesGroup> out;
  std::map<std::pair<std::string, std::string>, std::size_t> at;
  for (std::size_t i = 0; i < t.samples.size(); ++i) {
    std::string name, unit;
    double v;
    if (!split_series_title(t.samples[i].title, name, v, unit)) continue;
    auto [it, fresh] = at.try_emplace({name, unit}, out.size());
    if (fresh) out.push_back({name, unit, {}, {}, {}, {}});
    out[it->second].samples.push_back(i);
    out[it->second].values.push_back(v);
  }
  std::erase_if(out, [](const SeriesGroup& g) { return g.samples.size() < 2; });
  for (SeriesGroup& g : out) {
    std::vector<std::size_t> order(g.samples.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return g.values[a] < g.values[b]; });
    std::vector<std::size_t> samples;
    std::vector<double> values;
    for (std::size_t i : order) {
      samples.push_back(g.samples[i]);
      values.push_back(g.values[i]);
    }
    g.samples = std::move(samples);
    g.values = std::move(values);
    for (std::size_t i : g.samples)
      for (const Method& m : t.samples[i].methods)
        if (std::find(g.methods.begin(), g.methods.end(), m.name()) == g.methods.end()) g.methods.push_back(m.name());
    for (int k = 0; k < kGroups; ++k) {
      SeriesGroup::Change& c = g.change[static_cast<std::size_t>(k)];
      for (std::size_t i : g.samples) c.present = c.present || group_present(t.samples[i], k);
      // The consensus from point to point, over the points that have one.
      std::vector<std::pair<std::size_t, double>> pts;
      for (std::size_t p = 0; p < g.samples.size(); ++p) {
        const Consensus& cs = t.samples[g.samples[p]].consensus[static_cast<std::size_t>(k)];
        if (cs.n > 0) pts.emplace_back(p, cs.mean);
      }
      c.points = static_cast<int>(pts.size());
      if (pts.size() < 2) continue;
      c.first_to_last = pts.back().second - pts.front().second;
      for (std::size_t p = 1; p < pts.size(); ++p) {
        const double d = pts[p].second - pts[p - 1].second;
        if (p == 1 || std::fabs(d) > std::fabs(c.step)) {
          c.step = d;
          c.step_from = pts[p - 1].first;
        }
      }
    }
  }
  return out;
}

namespace {

// A series value with the digits it was written with (25.1, not 25.10).
std::string short_num(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<float>(v));
  return std::string(buf, r.ptr);
}

std::string series_point(const SeriesGroup& g, std::size_t i) {
  return short_num(g.values[i]) + (g.unit.empty() ? "" : " " + g.unit);
}

// The next point after `from` that has a consensus in group k.
std::size_t next_with_consensus(const SummaryTable& t, const SeriesGroup& g, std::size_t from, int k) {
  for (std::size_t p = from + 1; p < g.samples.size(); ++p)
    if (t.samples[g.samples[p]].consensus[static_cast<std::size_t>(k)].n > 0) return p;
  return from;
}

std::string change_text(const SummaryTable& t, const SeriesGroup& g, int k) {
  const SeriesGroup::Change& c = g.change[static_cast<std::size_t>(k)];
  if (c.points < 2) return "fewer than two points with a consensus: no change";
  std::size_t first = 0, last = g.samples.size() - 1;
  while (t.samples[g.samples[first]].consensus[static_cast<std::size_t>(k)].n == 0) ++first;
  while (t.samples[g.samples[last]].consensus[static_cast<std::size_t>(k)].n == 0) --last;
  const std::size_t to = next_with_consensus(t, g, c.step_from, k);
  auto mean = [&](std::size_t p) { return t.samples[g.samples[p]].consensus[static_cast<std::size_t>(k)].mean; };
  auto sign = [](double v) { return (v >= 0 ? "+" : "") + num(v); };
  return "change " + sign(c.first_to_last) + " from " + series_point(g, first) + " (" + num(mean(first)) + ") to " +
         series_point(g, last) + " (" + num(mean(last)) + "); largest step " + sign(c.step) + " from " +
         series_point(g, c.step_from) + " to " + series_point(g, to);
}

std::string series_heading(const SeriesGroup& g) {
  return "Series \"" + g.name + "\"" + (g.unit.empty() ? "" : " (" + g.unit + ")") + ": " +
         std::to_string(g.samples.size()) + " points from " + series_point(g, 0) + " to " +
         series_point(g, g.samples.size() - 1);
}

}  // namespace

std::string series_text(const SummaryTable& t) {
  const std::vector<SeriesGroup> groups = find_series(t);
  std::ostringstream o;
  o << t.source << ": " << t.records << (t.records == 1 ? " record, " : " records, ") << t.samples.size()
    << (t.samples.size() == 1 ? " sample, " : " samples, ") << groups.size()
    << (groups.size() == 1 ? " series" : " series") << "\n";
  for (const std::string& p : t.problems) o << "  problem: " << p << "\n";
  for (const std::string& n : t.notes) o << "  note: " << n << "\n";
  o << "\nSamples whose titles differ only in a trailing number (and unit) form a series, ordered by it.\n"
       "At each point: each method's value in the class group, the consensus (mean over the methods),\n"
       "its SD and range (\"<<\" above 0.10); the groups are those of cdref summary without --series.\n";
  std::vector<bool> in_series(t.samples.size(), false);
  for (const SeriesGroup& g : groups) {
    for (std::size_t i : g.samples) in_series[i] = true;
    o << "\n" << series_heading(g) << "\n";
    for (int k = 0; k < kGroups; ++k) {
      if (!g.change[static_cast<std::size_t>(k)].present) continue;
      o << "  " << group_name(k) << "\n    " << rpad(g.unit.empty() ? "Value" : g.unit, 10);
      for (const std::string& m : g.methods) o << rpad(m, 11);
      o << "     Mean      SD   Range\n";
      for (std::size_t p = 0; p < g.samples.size(); ++p) {
        o << "    " << rpad(short_num(g.values[p]), 10);
        for (const std::string& m : g.methods) {
          const auto v = series_value(t, g, p, m, k);
          o << rpad(v ? num(*v) : "-", 11);
        }
        const Consensus& c = t.samples[g.samples[p]].consensus[static_cast<std::size_t>(k)];
        if (c.n == 0)
          o << "        -\n";
        else
          o << fixed(c.mean, 9, 3) << fixed(c.sd, 8, 3) << fixed(c.max - c.min, 8, 3) << (c.disagree ? "  <<" : "")
            << "\n";
      }
      o << "    " << change_text(t, g, k) << "\n";
    }
  }
  std::string alone;
  for (std::size_t i = 0; i < t.samples.size(); ++i)
    if (!in_series[i]) alone += (alone.empty() ? "" : ", ") + ("\"" + t.samples[i].title + "\"");
  if (!alone.empty()) o << "\nIn no series: " << alone << "\n";
  return visible(o.str());
}

std::string series_csv(const SummaryTable& t) {
  std::ostringstream o;
  o << "series,unit,value,sample,group,source,fraction,sd,range,n,flag\n";
  for (const SeriesGroup& g : find_series(t)) {
    for (std::size_t p = 0; p < g.samples.size(); ++p) {
      const SampleSummary& s = t.samples[g.samples[p]];
      const std::string head =
          csv_field(g.name) + "," + csv_field(g.unit) + "," + csv_num(g.values[p]) + "," + csv_field(s.title) + ",";
      for (int k = 0; k < kGroups; ++k) {
        if (!g.change[static_cast<std::size_t>(k)].present) continue;
        for (const std::string& m : g.methods)
          if (const auto v = series_value(t, g, p, m, k)) o << head << group_name(k) << "," << m << "," << csv_num(*v, 3) << ",,,,\n";
        const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
        if (c.n > 0)
          o << head << group_name(k) << ",consensus," << csv_num(c.mean) << "," << csv_num(c.sd) << ","
            << csv_num(c.max - c.min) << "," << c.n << "," << (c.disagree ? "differ" : "") << "\n";
      }
    }
  }
  return o.str();
}

std::string series_json(const SummaryTable& t) {
  json j;
  j["format"] = "cdref-series";
  j["format_version"] = 1;
  j["source"] = t.source;
  j["records"] = t.records;
  j["problems"] = t.problems;
  j["notes"] = t.notes;
  j["series"] = json::array();
  for (const SeriesGroup& g : find_series(t)) {
    json js;
    js["name"] = g.name;
    js["unit"] = g.unit;
    js["values"] = g.values;
    js["titles"] = json::array();
    for (std::size_t i : g.samples) js["titles"].push_back(t.samples[i].title);
    js["methods"] = g.methods;
    js["groups"] = json::object();
    for (int k = 0; k < kGroups; ++k) {
      const SeriesGroup::Change& c = g.change[static_cast<std::size_t>(k)];
      if (!c.present) continue;
      json jg;
      for (const std::string& m : g.methods) {
        json v = json::array();
        for (std::size_t p = 0; p < g.samples.size(); ++p) {
          const auto x = series_value(t, g, p, m, k);
          v.push_back(x ? json(*x) : json(nullptr));
        }
        jg["methods"][m] = v;
      }
      json mean = json::array(), sd = json::array(), range = json::array(), n = json::array();
      for (std::size_t i : g.samples) {
        const Consensus& cs = t.samples[i].consensus[static_cast<std::size_t>(k)];
        mean.push_back(cs.n ? json(cs.mean) : json(nullptr));
        sd.push_back(cs.n ? json(cs.sd) : json(nullptr));
        range.push_back(cs.n ? json(cs.max - cs.min) : json(nullptr));
        n.push_back(cs.n);
      }
      jg["consensus"] = {{"mean", mean}, {"sd", sd}, {"range", range}, {"n", n}};
      if (c.points >= 2)
        jg["change"] = {{"first_to_last", c.first_to_last},
                        {"largest_step", c.step},
                        {"largest_step_from", g.values[c.step_from]},
                        {"largest_step_to", g.values[next_with_consensus(t, g, c.step_from, k)]}};
      else
        jg["change"] = nullptr;
      js["groups"][group_name(k)] = jg;
    }
    j["series"].push_back(js);
  }
  return j.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string series_svg(const SummaryTable& t) {
  const std::vector<SeriesGroup> groups = find_series(t);
  constexpr double kLeft = 60, kPanelW = 220, kGap = 30, kPlotH = 200, kTop = 60, kLegendW = 200;
  const double panel_h = kTop + kPlotH + 60;
  const double width = kLeft + kGroups * (kPanelW + kGap) + kLegendW;
  const double height = 40 + panel_h * static_cast<double>(std::max<std::size_t>(groups.size(), 1));
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(1);
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 "
    << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "<title>" << xml_text("Series: " + t.source) << "</title>\n"
    << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
    << "<text x=\"10\" y=\"24\" font-size=\"15\">" << xml_text(t.source)
    << ": fraction per class group along each series; black line: consensus, grey band: range between methods, "
       "markers: each method</text>\n";
  if (groups.empty()) o << "<text x=\"10\" y=\"60\">No series: no titles that differ only in a trailing number.</text>\n";
  for (std::size_t gi = 0; gi < groups.size(); ++gi) {
    const SeriesGroup& g = groups[gi];
    const double y0 = 40 + panel_h * static_cast<double>(gi), top = y0 + kTop, bottom = top + kPlotH;
    const double vmin = g.values.front(), vmax = g.values.back(), span = vmax > vmin ? vmax - vmin : 1.0;
    auto py = [&](double v) { return bottom - std::clamp(v, -0.05, 1.05) * kPlotH; };
    o << "<g class=\"series\">\n<text x=\"10\" y=\"" << y0 + 28 << "\" font-size=\"14\" font-weight=\"bold\">"
      << xml_text(series_heading(g)) << "</text>\n";
    int panel = 0;
    for (int k = 0; k < kGroups; ++k) {
      if (!g.change[static_cast<std::size_t>(k)].present) continue;
      const double x0 = kLeft + (kPanelW + kGap) * panel++;
      auto px = [&](double v) { return x0 + 10 + (v - vmin) / span * (kPanelW - 20); };
      o << "<g class=\"group\"><text x=\"" << x0 + kPanelW / 2 << "\" y=\"" << top - 8 << "\" text-anchor=\"middle\">"
        << group_name(k) << "</text>\n";
      o << "<rect x=\"" << x0 << "\" y=\"" << top << "\" width=\"" << kPanelW << "\" height=\"" << kPlotH
        << "\" fill=\"none\" stroke=\"black\"/>\n";
      for (int tick = 0; tick <= 5; ++tick) {
        const double v = tick / 5.0;
        o << "<line x1=\"" << x0 << "\" y1=\"" << py(v) << "\" x2=\"" << x0 + kPanelW << "\" y2=\"" << py(v)
          << "\" stroke=\"#dddddd\"/>";
        if (panel == 1)
          o << "<text x=\"" << x0 - 6 << "\" y=\"" << py(v) + 4 << "\" text-anchor=\"end\">" << num(v, 1) << "</text>";
        o << "\n";
      }
      o << "<text x=\"" << x0 << "\" y=\"" << bottom + 16 << "\">" << xml_text(short_num(vmin)) << "</text><text x=\""
        << x0 + kPanelW << "\" y=\"" << bottom + 16 << "\" text-anchor=\"end\">" << xml_text(short_num(vmax)) << "</text>"
        << "<text x=\"" << x0 + kPanelW / 2 << "\" y=\"" << bottom + 32 << "\" text-anchor=\"middle\">"
        << xml_text(g.unit.empty() ? "series value" : g.unit) << "</text>\n";
      // The band between the methods, then the consensus line.
      std::vector<std::pair<double, const Consensus*>> cs;
      for (std::size_t p = 0; p < g.samples.size(); ++p) {
        const Consensus& c = t.samples[g.samples[p]].consensus[static_cast<std::size_t>(k)];
        if (c.n > 0) cs.emplace_back(g.values[p], &c);
      }
      if (!cs.empty()) {
        o << "<polygon class=\"band\" fill=\"#e0e0e0\" points=\"";
        for (const auto& [v, c] : cs) o << px(v) << "," << py(c->max) << " ";
        for (auto it = cs.rbegin(); it != cs.rend(); ++it) o << px(it->first) << "," << py(it->second->min) << " ";
        o << "\"/>\n<polyline class=\"consensus\" fill=\"none\" stroke=\"black\" stroke-width=\"2\" points=\"";
        for (const auto& [v, c] : cs) o << px(v) << "," << py(c->mean) << " ";
        o << "\"/>\n";
      }
      for (std::size_t mi = 0; mi < g.methods.size(); ++mi)
        for (std::size_t p = 0; p < g.samples.size(); ++p)
          if (const auto v = series_value(t, g, p, g.methods[mi], k))
            o << marker(static_cast<int>(mi), px(g.values[p]), py(*v), kColours[mi % 8]) << "\n";
      o << "<text x=\"" << x0 << "\" y=\"" << bottom + 48 << "\" font-size=\"10\" fill=\"#444444\">"
        << xml_text(g.change[static_cast<std::size_t>(k)].points >= 2
                        ? "first to last " + num(g.change[static_cast<std::size_t>(k)].first_to_last, 2)
                        : std::string("no change"))
        << "</text></g>\n";
    }
    const double lx = kLeft + (kPanelW + kGap) * panel;
    for (std::size_t mi = 0; mi < g.methods.size(); ++mi) {
      const double ly = top + 10 + 18 * static_cast<double>(mi);
      o << marker(static_cast<int>(mi), lx + 6, ly - 4, kColours[mi % 8]) << "<text x=\"" << lx + 18 << "\" y=\"" << ly
        << "\">" << xml_text(g.methods[mi]) << "</text>\n";
    }
    o << "</g>\n";
  }
  o << "</svg>\n";
  return o.str();
}

// ---------------------------------------------------------------- command

int run_summary(const SummaryOptions& o, std::ostream& out, std::ostream& err) {
  const std::string &protss = o.protss, &details = o.details, &csv = o.csv, &js = o.json, &svg = o.svg;
  SummaryTable t;
  try {
    t = build_summary(protss, details);
  } catch (const std::exception& e) {
    err << "cdref summary: " << e.what() << "\n";
    return 1;
  }
  for (const std::string& p : t.problems) err << "cdref summary: " << protss << ": " << p << "\n";
  out << (o.series ? series_text(t) : summary_text(t));
  int status = 0;
  auto save = [&](const std::string& path, const std::string& text) {
    if (path.empty()) return;
    if (std::string why = cdsec::replace_file(path_from_utf8(path), text); !why.empty()) {
      err << "cdref summary: " << path << ": " << why << "\n";
      status = 1;
    }
  };
  save(csv, o.series ? series_csv(t) : summary_csv(t));
  save(js, o.series ? series_json(t) : summary_json(t));
  save(svg, o.series ? series_svg(t) : summary_svg(t));
  return status;
}

}  // namespace cdref
