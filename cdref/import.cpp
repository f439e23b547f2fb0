#include "cdref/import.hpp"

#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <span>
#include <stdexcept>

#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "cdref/csv.hpp"

namespace cdref {

namespace {

namespace fs = std::filesystem;
using cdsec::ReadError;
using cdsec::os::file_name_utf8;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;

constexpr int kPoints = cdsec::kRefPoints;  // 260 .. 178 nm
constexpr int kMaxProteins = 50;
// Mean residue ellipticity (deg cm2 dmol-1) to delta epsilon (M-1 cm-1), the
// conversion of the INPUT builder.
constexpr float kEllipticityPerDeltaEpsilon = 3300.0f;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what); }

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t b = 0;
  for (std::size_t e; (e = s.find(sep, b)) != std::string::npos; b = e + 1) out.push_back(s.substr(b, e - b));
  out.push_back(s.substr(b));
  return out;
}

// "179-178 nm" style list of the wavelengths whose flags are set.
std::string wavelengths(const bool flags[kPoints]) {
  std::string out;
  for (int i = 0; i < kPoints;) {
    if (!flags[i]) {
      ++i;
      continue;
    }
    int j = i;
    while (j + 1 < kPoints && flags[j + 1]) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(260 - i);
    if (j > i) (out += "-") += std::to_string(260 - j);
    i = j + 1;
  }
  return out + " nm";
}

int count(const bool flags[kPoints]) {
  int n = 0;
  for (int i = 0; i < kPoints; ++i) n += flags[i] ? 1 : 0;
  return n;
}

std::string fill_name(Fill f) { return f == Fill::kZero ? "zero" : "extrapolate-linear"; }

std::string where_line(const CsvTable& t, const CsvRow& row) { return t.path + ", line " + std::to_string(row.line); }

struct ClassMap {
  std::string label;                // as the catalogue writes it, trimmed
  std::vector<int> columns;         // fraction-table columns summed into the class
  std::vector<std::string> names;   // their names, for the account
};

std::vector<ClassMap> parse_maps(const ImportOptions& opt, const cdsec::RefSetInfo& set, const CsvTable& fr,
                                 int fr_id) {
  std::vector<ClassMap> classes(static_cast<std::size_t>(set.ns));
  std::vector<bool> given(static_cast<std::size_t>(set.ns), false);
  for (int c = 0; c < set.ns; ++c) classes[static_cast<std::size_t>(c)].label = trim(std::string(set.labels[static_cast<std::size_t>(c)]));
  std::map<std::string, std::string> used;  // column -> class
  std::set<std::string> ignored(opt.ignore.begin(), opt.ignore.end());
  for (const std::string& m : opt.maps) {
    std::size_t eq = m.find('=');
    if (eq == std::string::npos) fail("--map " + m + ": expected CLASS=COLUMN[+COLUMN...]");
    std::string cls = trim(m.substr(0, eq)), rhs = trim(m.substr(eq + 1));
    int c = -1;
    for (int k = 0; k < set.ns; ++k)
      if (lower(cls) == lower(classes[static_cast<std::size_t>(k)].label) || cls == std::to_string(k + 1)) c = k;
    if (c < 0) {
      std::string labels;
      for (const ClassMap& cm : classes) labels += (labels.empty() ? "" : ", ") + cm.label;
      fail("--map " + m + ": set " + std::to_string(set.ibasis) + " has no class \"" + cls + "\" (its classes: " +
           labels + ", or their numbers 1 to " + std::to_string(set.ns) + ")");
    }
    if (given[static_cast<std::size_t>(c)]) fail("--map " + m + ": class " + classes[static_cast<std::size_t>(c)].label + " is mapped twice");
    given[static_cast<std::size_t>(c)] = true;
    if (rhs.empty()) fail("--map " + m + ": no column named (write none for a class the source lacks)");
    if (lower(rhs) == "none") continue;
    for (const std::string& part : split(rhs, '+')) {
      std::string col = trim(part);
      int k = fr.column(col);
      if (k < 0 || k == fr_id) fail("--map " + m + ": " + fr.path + " has no fraction column \"" + col + "\"");
      if (ignored.count(col)) fail("--map " + m + ": column \"" + col + "\" is also given to --ignore");
      auto [it, fresh] = used.emplace(col, classes[static_cast<std::size_t>(c)].label);
      if (!fresh) fail("--map " + m + ": column \"" + col + "\" is already part of class " + it->second);
      classes[static_cast<std::size_t>(c)].columns.push_back(k);
      classes[static_cast<std::size_t>(c)].names.push_back(col);
    }
  }
  std::string missing;
  for (int c = 0; c < set.ns; ++c)
    if (!given[static_cast<std::size_t>(c)]) missing += (missing.empty() ? "" : ", ") + classes[static_cast<std::size_t>(c)].label;
  if (!missing.empty())
    fail("no --map for class " + missing + " of set " + std::to_string(set.ibasis) +
         " (every class needs one; --map CLASS=none for a class the source lacks)");
  std::string unmapped;
  for (int k = 0; k < static_cast<int>(fr.header.size()); ++k) {
    const std::string& col = fr.header[static_cast<std::size_t>(k)];
    if (k == fr_id || used.count(col) || ignored.count(col)) continue;
    unmapped += (unmapped.empty() ? "" : ", ") + col;
  }
  if (!unmapped.empty())
    fail(fr.path + ": column " + unmapped + " is neither mapped to a class nor given to --ignore");
  for (const std::string& col : ignored)
    if (fr.column(col) < 0) fail("--ignore " + col + ": " + fr.path + " has no such column");
  return classes;
}

struct Protein {
  std::string id, name;
  const CsvRow* row;
  float cd[kPoints];
  bool have[kPoints];
  std::vector<float> ss;
};

}  // namespace

bool parse_fill(const std::string& name, Fill& fill) {
  if (name == "zero") {
    fill = Fill::kZero;
    return true;
  }
  if (name == "extrapolate-linear") {
    fill = Fill::kExtrapolateLinear;
    return true;
  }
  return false;
}

bool fill_spectrum(float values[83], const bool have[83], Fill method) {
  if (method == Fill::kNone) return false;
  if (method == Fill::kZero) {
    for (int i = 0; i < kPoints; ++i)
      if (!have[i]) values[i] = 0.0f;
    return true;
  }
  int measured = 0;
  for (int i = 0; i < kPoints; ++i) measured += have[i] ? 1 : 0;
  if (measured < 2) return false;
  // A straight line through the (up to) five measured points nearest to
  // index `from`, searching in direction `step`.
  auto end_line = [&](int from, int step, float& slope, float& icept) {
    float sx = 0, sy = 0, sxx = 0, sxy = 0;
    int n = 0;
    for (int i = from; i >= 0 && i < kPoints && n < 5; i += step) {
      if (!have[i]) continue;
      float x = static_cast<float>(i);
      sx += x;
      sy += values[i];
      sxx += x * x;
      sxy += x * values[i];
      ++n;
    }
    float fn = static_cast<float>(n);
    float den = fn * sxx - sx * sx;
    slope = (fn * sxy - sx * sy) / den;
    icept = (sy - slope * sx) / fn;
  };
  int first = 0, last = kPoints - 1;
  while (!have[first]) ++first;
  while (!have[last]) --last;
  float slope, icept;
  if (first > 0) {
    end_line(first, +1, slope, icept);
    for (int i = 0; i < first; ++i) values[i] = icept + slope * static_cast<float>(i);
  }
  if (last < kPoints - 1) {
    end_line(last, -1, slope, icept);
    for (int i = last + 1; i < kPoints; ++i) values[i] = icept + slope * static_cast<float>(i);
  }
  for (int i = first + 1; i < last; ++i) {
    if (have[i]) continue;
    int a = i - 1, b = i + 1;
    while (!have[b]) ++b;
    for (int j = i; j < b; ++j) {
      float t = static_cast<float>(j - a) / static_cast<float>(b - a);
      values[j] = values[a] + (values[b] - values[a]) * t;
    }
    i = b;
  }
  return true;
}

void run_import(const ImportOptions& opt, std::ostream& log) {
  const cdsec::RefSetInfo* set = cdsec::find_ref_set(opt.ibasis);
  if (!set) fail("--set " + std::to_string(opt.ibasis) + ": the reference sets are numbered 1 to 8");
  if (opt.spectra.empty() || opt.fractions.empty()) fail("--spectra and --fractions name the two tables to import");
  if (opt.out_dir.empty()) fail("--out DIR names the directory for the new files");
  if (!fs::is_directory(path_from_utf8(opt.out_dir))) fail(opt.out_dir + ": not a directory");
  const std::string suffix(set->suffix);
  const fs::path out_dir = path_from_utf8(opt.out_dir);
  const fs::path cd_path = out_dir / path_from_utf8("CDDATA." + suffix),
                 ss_path = out_dir / path_from_utf8("SSDATA." + suffix);
  if (!opt.force)
    for (const fs::path& p : {cd_path, ss_path})
      if (fs::exists(p)) fail(path_to_utf8(p) + " exists already (--force replaces it)");

  CsvTable sp = read_csv(opt.spectra), fr = read_csv(opt.fractions);
  const std::string id_name = opt.id_column.empty() ? sp.header[0] : opt.id_column;
  const int sp_id = sp.column(id_name), fr_id = fr.column(id_name);
  if (sp_id < 0) fail(sp.path + ": no identifier column \"" + id_name + "\"");
  if (fr_id < 0) fail(fr.path + ": no identifier column \"" + id_name + "\" to match the spectra by");

  // Wavelength columns: whole nanometres inside 260..178.
  int column_of[kPoints];
  bool absent[kPoints];
  for (int i = 0; i < kPoints; ++i) column_of[i] = -1;
  std::vector<std::string> not_used;
  for (int k = 0; k < static_cast<int>(sp.header.size()); ++k) {
    if (k == sp_id) continue;
    const std::string& h = sp.header[static_cast<std::size_t>(k)];
    float nm;
    if (!cdsec::parse_real(h, nm)) {
      not_used.push_back(h);
      continue;
    }
    if (nm != std::floor(nm) || nm > 260.0f || nm < 178.0f) {
      not_used.push_back(h + " nm");
      continue;
    }
    int i = 260 - static_cast<int>(nm);
    if (column_of[i] >= 0) fail(sp.path + ": two columns for " + h + " nm");
    column_of[i] = k;
  }
  for (int i = 0; i < kPoints; ++i) absent[i] = column_of[i] < 0;
  if (count(absent) == kPoints) fail(sp.path + ": no column is a wavelength between 260 and 178 nm");

  // Which rows.
  std::vector<const CsvRow*> rows;
  std::vector<std::pair<int, std::string>> filters;
  for (const std::string& w : opt.where) {
    std::size_t eq = w.find('=');
    if (eq == std::string::npos) fail("--where " + w + ": expected COLUMN=VALUE");
    int k = sp.column(trim(w.substr(0, eq)));
    if (k < 0) fail("--where " + w + ": " + sp.path + " has no column \"" + trim(w.substr(0, eq)) + "\"");
    filters.emplace_back(k, trim(w.substr(eq + 1)));
  }
  for (const CsvRow& row : sp.rows) {
    bool keep = true;
    for (const auto& [k, v] : filters) keep = keep && row.cells[static_cast<std::size_t>(k)] == v;
    if (keep && (opt.limit <= 0 || static_cast<int>(rows.size()) < opt.limit)) rows.push_back(&row);
  }
  if (rows.empty()) fail(sp.path + ": no protein rows" + std::string(filters.empty() ? "" : " match --where"));
  if (static_cast<int>(rows.size()) > kMaxProteins)
    fail(sp.path + ": " + std::to_string(rows.size()) +
         " proteins selected; the programs hold at most 50 (choose with --where COLUMN=VALUE or --limit N)");

  // Fractions by identifier.
  std::map<std::string, const CsvRow*> fr_rows;
  for (const CsvRow& row : fr.rows) {
    auto [it, fresh] = fr_rows.emplace(row.cells[static_cast<std::size_t>(fr_id)], &row);
    if (!fresh)
      fail(where_line(fr, row) + ": identifier \"" + it->first + "\" again (first on line " +
           std::to_string(it->second->line) + ")");
  }
  std::vector<ClassMap> classes = parse_maps(opt, *set, fr, fr_id);

  std::vector<Protein> proteins(rows.size());
  std::map<std::string, int> by_name;
  for (std::size_t n = 0; n < rows.size(); ++n) {
    Protein& p = proteins[n];
    p.row = rows[n];
    p.id = p.row->cells[static_cast<std::size_t>(sp_id)];
    if (p.id.empty()) fail(where_line(sp, *p.row) + ": empty identifier");
    if (opt.name_prefix.empty()) {
      if (p.id.size() > 4 || p.id.find_first_of(" \t") != std::string::npos)
        fail(where_line(sp, *p.row) + ": identifier \"" + p.id +
             "\" does not fit the 4-character protein name (--name-prefix XX numbers the proteins instead)");
      p.name = p.id;
    } else {
      std::string serial = std::to_string(n + 1);
      std::size_t width = 4 - opt.name_prefix.size();
      if (serial.size() > width) fail("--name-prefix " + opt.name_prefix + ": too long to number " + std::to_string(rows.size()) + " proteins");
      p.name = opt.name_prefix + std::string(width - serial.size(), '0') + serial;
    }
    p.name.resize(4, ' ');
    auto [it, fresh] = by_name.emplace(p.name, p.row->line);
    if (!fresh)
      fail(where_line(sp, *p.row) + ": protein name \"" + p.name + "\" again (first on line " + std::to_string(it->second) + ")");

    for (int i = 0; i < kPoints; ++i) {
      p.have[i] = false;
      p.cd[i] = 0.0f;
      if (column_of[i] < 0) continue;
      const std::string& cell = p.row->cells[static_cast<std::size_t>(column_of[i])];
      if (cell.empty()) continue;
      float v;
      if (!cdsec::parse_real(cell, v))
        throw ReadError(ReadError::Kind::kBadValue, sp.path, p.row->line,
                        "column " + sp.header[static_cast<std::size_t>(column_of[i])] + ": expected a CD value", 0, 0, cell, true);
      p.cd[i] = opt.molar_ellipticity ? v / kEllipticityPerDeltaEpsilon : v;
      p.have[i] = true;
    }

    auto f = fr_rows.find(p.id);
    if (f == fr_rows.end()) fail(where_line(sp, *p.row) + ": no fractions for \"" + p.id + "\" in " + fr.path);
    for (const ClassMap& cm : classes) {
      float sum = 0.0f;
      for (int k : cm.columns) {
        const std::string& cell = f->second->cells[static_cast<std::size_t>(k)];
        float v;
        if (!cdsec::parse_real(cell, v))
          throw ReadError(ReadError::Kind::kBadValue, fr.path, f->second->line,
                          "column " + fr.header[static_cast<std::size_t>(k)] + ": expected a fraction", 0, 0, cell, true);
        sum += v;
      }
      // SSDATA holds a class in 8 columns with 3 decimals.
      if (!(sum > -999.9995f && sum < 9999.9995f))
        fail(where_line(fr, *f->second) + ": class " + cm.label + " of \"" + p.id + "\" is " +
             cdsec::shown_real(sum, 3) + ", which does not fit the 8-column field of SSDATA (fractions expected)");
      p.ss.push_back(sum);
    }
  }

  // Missing wavelengths: refused unless a fill method is named.
  bool any_missing = false;
  for (const Protein& p : proteins)
    for (int i = 0; i < kPoints; ++i) any_missing = any_missing || !p.have[i];
  std::string filled_text;
  if (any_missing) {
    // Group the proteins by the wavelengths they lack.
    std::map<std::string, std::vector<const Protein*>> gaps;
    for (const Protein& p : proteins) {
      bool lack[kPoints];
      for (int i = 0; i < kPoints; ++i) lack[i] = !p.have[i];
      if (count(lack) > 0) gaps[wavelengths(lack)].push_back(&p);
    }
    std::string account;
    for (const auto& [nm, who] : gaps) {
      account += "\n  " + nm + ": ";
      if (who.size() == proteins.size()) {
        account += "all " + std::to_string(who.size()) + " proteins";
      } else {
        for (std::size_t k = 0; k < who.size() && k < 8; ++k)
          account += (k ? ", " : "") + who[k]->id + " (line " + std::to_string(who[k]->row->line) + ")";
        if (who.size() > 8) account += " and " + std::to_string(who.size() - 8) + " more";
      }
    }
    if (opt.fill == Fill::kNone)
      fail(sp.path + ": values missing inside 260-178 nm, which every reference spectrum must cover:" + account +
           "\n  (--fill zero or --fill extrapolate-linear fills them, and says so)");
    for (Protein& p : proteins)
      if (!fill_spectrum(p.cd, p.have, opt.fill))
        fail(where_line(sp, *p.row) + ": \"" + p.id + "\" has fewer than two measured values; nothing to extrapolate from");
    log << "Filled by " << fill_name(opt.fill) << ":" << account << "\n";
    bool outside[kPoints], inside[kPoints];
    bool lack_any[kPoints];
    for (int i = 0; i < kPoints; ++i) {
      lack_any[i] = false;
      for (const Protein& p : proteins) lack_any[i] = lack_any[i] || !p.have[i];
      float nm = static_cast<float>(260 - i);
      bool in = nm <= set->long_limit && nm >= set->short_limit;
      inside[i] = lack_any[i] && in;
      outside[i] = lack_any[i] && !in;
    }
    if (count(inside) > 0)
      log << "  " << wavelengths(inside) << " lie inside the valid range of set " << set->ibasis
          << ": the analyses use the filled values there.\n";
    if (count(outside) > 0)
      log << "  " << wavelengths(outside) << " lie outside the valid range of set " << set->ibasis
          << ": the analyses do not use them.\n";
    filled_text = "; filled " + wavelengths(lack_any) + " by " + fill_name(opt.fill);
  }

  for (const Protein& p : proteins)
    for (int i = 0; i < kPoints; ++i)
      if (!(p.cd[i] > -99.99f && p.cd[i] < 999.99f))
        fail(where_line(sp, *p.row) + ": value " + cdsec::shown_real(p.cd[i], 2) + " at " + std::to_string(260 - i) +
             " nm does not fit the 6-column field of CDDATA (delta epsilon per residue expected; --units mre "
             "converts mean residue ellipticity)");

  // Write.
  std::string mapping;
  for (const ClassMap& cm : classes) {
    std::string cols;
    for (const std::string& n : cm.names) cols += (cols.empty() ? "" : "+") + n;
    mapping += (mapping.empty() ? "" : "; ") + cm.label + "=" + (cols.empty() ? "none" : cols);
  }
  std::ofstream cd(cd_path, std::ios::binary | std::ios::trunc), ss(ss_path, std::ios::binary | std::ios::trunc);
  if (!cd || !ss) fail(opt.out_dir + ": cannot create the set's files");
  cdsec::put(cd, R"([" Imported by cdref from ", A, " and ", A, ":", I3, " proteins; ", A])",
             file_name_utf8(opt.spectra),
             file_name_utf8(opt.fractions), static_cast<int>(proteins.size()), mapping);
  cdsec::put(cd, R"([" Delta epsilon per residue, 260 to 178 nm", A])", filled_text);
  for (const Protein& p : proteins) {
    cdsec::put(cd, "[1X, A4]", p.name);
    cdsec::put(cd, "[15F6.2]", std::span<const float>(p.cd, kPoints));
    cdsec::put(ss, "[1X, A4]", p.name);
    cdsec::put(ss, "[6F8.3]", std::span<const float>(p.ss));
  }
  cd.close();
  ss.close();
  if (!cd || !ss) fail(opt.out_dir + ": writing the set's files failed");
  log << "Wrote " << path_to_utf8(cd_path) << " and " << path_to_utf8(ss_path) << ": " << proteins.size()
      << " proteins, set " << set->ibasis << " (" << mapping << ")";
  if (opt.molar_ellipticity) log << ", ellipticity divided by 3300";
  log << "\n";
  if (!not_used.empty()) {
    log << "Columns of " << sp.path << " not used:";
    for (std::size_t k = 0; k < not_used.size() && k < 10; ++k) log << (k ? ", " : " ") << not_used[k];
    if (not_used.size() > 10) log << " and " << not_used.size() - 10 << " more";
    log << "\n";
  }
}

}  // namespace cdref
