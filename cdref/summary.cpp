#include "cdref/summary.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdref {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

constexpr std::size_t kTitleKept = 50;

std::string trim(std::string_view s) { return std::string(cdsec::trim_blanks(s)); }

std::string trim_right(std::string_view s) { return std::string(cdsec::trim_right_blanks(s)); }

std::string sample_key(std::string_view title) { return trim_right(title.substr(0, std::min(title.size(), kTitleKept))); }

std::string fixed(double v, int w, int d) { return cdsec::edit_F(static_cast<float>(v), w, d); }
std::string num(double v, int d = 3) { return trim(fixed(v, 16, d)); }

std::string pad(std::string s, std::size_t w) {
  if (s.size() < w) s.append(w - s.size(), ' ');
  return s;
}
std::string rpad(std::string s, std::size_t w) { return s.size() >= w ? s : std::string(w - s.size(), ' ') + s; }

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
    for (const RunRecordData* r : candidates) names += (names.empty() ? "" : ", ") + fs::path(r->file).filename().string();
    problems.push_back("ProtSS.out line " + std::to_string(m.entry.line) + " (" + m.name() + ", \"" + title +
                       "\"): the run records of this program, sample and set (" + names +
                       ") do not hold its fractions and RMSD; a later run may have replaced them, so no spread is shown");
    return;
  }
  // Several agreeing records (the same job run again): the newest.
  const RunRecordData* best = agreeing.front();
  std::error_code ec;
  for (const RunRecordData* r : agreeing) {
    const auto tb = fs::last_write_time(best->file, ec), tr = fs::last_write_time(r->file, ec);
    if (tr > tb || (tr == tb && r->file > best->file)) best = r;
  }
  if (!best->completed) {
    m.no_result = "the run record (" + fs::path(best->file).filename().string() + ") says: " + best->failure;
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
    if (!fs::is_directory(details_dir, ec)) throw std::runtime_error(details_dir + ": not a directory of run records");
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(details_dir, ec))
      if (e.path().extension() == ".json") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
      try {
        records.push_back(read_run_record(f.string()));
      } catch (const std::exception& e) {
        t.problems.push_back(std::string("run record skipped: ") + e.what());
      }
    }
  }

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
    const std::string key = sample_key(e.title);
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

bool group_present(const SampleSummary& s, int k) {
  for (const Method& m : s.methods)
    if (m.group[static_cast<std::size_t>(k)]) return true;
  return false;
}

}  // namespace

std::string summary_text(const SummaryTable& t) {
  std::ostringstream o;
  o << t.source << ": " << t.records << (t.records == 1 ? " record, " : " records, ") << t.samples.size()
    << (t.samples.size() == 1 ? " sample" : " samples") << "\n";
  for (const std::string& p : t.problems) o << "  problem: " << p << "\n";
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
          sd += " " + num(d.classes[static_cast<std::size_t>(c)].sd);
          range += " " + num(d.classes[static_cast<std::size_t>(c)].min) + ".." + num(d.classes[static_cast<std::size_t>(c)].max);
        }
        o << "               over its " << d.solutions << " solution" << (d.solutions == 1 ? "" : "s") << " ("
          << fs::path(d.file).filename().string() << "): sd" << sd << "; min..max" << range << "\n";
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
  return o.str();
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
  out << summary_text(t);
  int status = 0;
  auto save = [&](const std::string& path, const std::string& text) {
    if (path.empty()) return;
    if (std::string why = cdsec::replace_file(path, text); !why.empty()) {
      err << "cdref summary: " << path << ": " << why << "\n";
      status = 1;
    }
  };
  save(csv, summary_csv(t));
  save(js, summary_json(t));
  save(svg, summary_svg(t));
  return status;
}

}  // namespace cdref
