#include "cdref/convert.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/matrix.hpp"
#include "frame/package.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/safe_file.hpp"
#include "frame/text_input.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::ReadError;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using json = nlohmann::ordered_json;

namespace {

// ---------------------------------------------------------------- constants
//
// Relations between the quantities a spectropolarimeter reports, as given by
// S. M. Kelly, T. J. Jess and N. C. Price, "How to study proteins by circular
// dichroism", Biochim. Biophys. Acta 1751 (2005) 119-139, the sources of the
// relations below:
//   mean residue ellipticity  [theta]_MRW = theta(mdeg) * MRW / (10 * l(cm) * c(mg/mL))
//                             in deg cm2 dmol-1 (their [theta]_mrw = MRW * theta(deg)
//                             / (10 * d(cm) * c(g/mL)), the factors of 1000 cancelling);
//   molar ellipticity         [theta] = 100 * theta(deg) / (c(M) * l(cm)), per
//                             residue with c the concentration of residues:
//                             [theta]_MRW = theta(mdeg) / (10 * c(M) * l(cm) * n);
//   delta epsilon             [theta]_MRW = 3298.2 * delta epsilon (M-1 cm-1);
//   delta absorbance          delta A = delta epsilon * c(M) * l(cm) (the
//                             Beer-Lambert law for the two circular
//                             polarisations), theta(deg) = 32.98 * delta A.
// 3298.2 is 100 * ln(10) * (180 / pi) / 4, the factor between ellipticity
// and the difference of absorbances.
constexpr float kMrePerDeltaEpsilon = 3298.2f;
constexpr float kMdegPerDeg = 1000.0f;
constexpr float kMdegPerDeltaA = 32980.0f;  // shown in the provenance for delta A; see kMrePerDeltaEpsilon
constexpr float kMmPerCm = 10.0f;

// The magnitude above which a delta epsilon per residue is implausible for
// a protein in the far UV: the strongest bands (helix, 190-195 nm) reach
// about +20.
constexpr float kPlausibleDeltaEpsilon = 30.0f;
// Most protein residues weigh 100 to 130 Da; a value far outside was
// probably meant as something else (the molecular weight of the protein).
constexpr float kMrwLow = 50.0f, kMrwHigh = 250.0f;
// Exports rarely leave more than this between two measured points; more is
// a gap that interpolation should not silently bridge.
constexpr float kMaxGapNm = 2.0f;

// ---------------------------------------------------------------- text helpers

std::string num(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A computed value in the printed steps: four decimals.
std::string dec4(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 4);
  return std::string(buf, r.ptr);
}

// A single-precision value in the JSON record, written with the digits
// that identify it (0.1f as 0.1, not 0.10000000149).
double jnum(float v) {
  const std::string t = num(v);
  return std::strtod(t.c_str(), nullptr);
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string without_blanks(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '\t') out += c;
  return out;
}

bool has_word(std::string_view text, std::string_view word) {
  std::string t = lower(text);
  for (std::size_t p = t.find(word); p != std::string::npos; p = t.find(word, p + 1)) {
    bool left = p == 0 || !std::isalpha(static_cast<unsigned char>(t[p - 1]));
    std::size_t e = p + word.size();
    bool right = e >= t.size() || !std::isalpha(static_cast<unsigned char>(t[e]));
    if (left && right) return true;
  }
  return false;
}

std::string nm(float v) { return num(v) + " nm"; }

std::string plural(long long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string quoted(const HeaderText& h) {
  return "line " + std::to_string(h.line) + ": " + h.key + " \"" + h.text + "\"";
}

std::string_view conc_unit_name(ConcUnit u) {
  switch (u) {
    case ConcUnit::kMgPerMl:
      return "mg/mL";
    case ConcUnit::kMolar:
      return "M";
    case ConcUnit::kMillimolar:
      return "mM";
    case ConcUnit::kMicromolar:
      return "uM";
    case ConcUnit::kNone:
      break;
  }
  return "";
}

// The steps as they are printed and recorded.
class Provenance {
 public:
  explicit Provenance(std::ostream& out) : out_(out) {}

  void step(std::string_view name, const std::vector<std::string>& lines, json data = json::object()) {
    std::string label = std::string(name) + ":";
    label.resize(std::max<std::size_t>(label.size() + 1, 12), ' ');
    for (std::size_t i = 0; i < lines.size(); ++i)
      out_ << "  " << (i == 0 ? label : std::string(12, ' ')) << lines[i] << "\n";
    json s = json::object();
    s["step"] = std::string(name);
    s["text"] = lines;
    for (auto& [k, v] : data.items()) s[k] = v;
    steps_.push_back(std::move(s));
  }
  void warn(const std::string& text) {
    out_ << "  warning:    " << text << "\n";
    warnings_.push_back(text);
  }
  const json& steps() const { return steps_; }
  const json& warnings() const { return warnings_; }

 private:
  std::ostream& out_;
  json steps_ = json::array();
  json warnings_ = json::array();
};

std::string_view format_name(ExportFormat f) {
  return f == ExportFormat::kInstrument ? "JASCO-style export" : "delimited text";
}

std::string column_text(const char* role, const UsedColumn& c) {
  std::string t = std::string(role) + " column " + std::to_string(c.number);
  if (!c.label.empty()) t += " \"" + c.label + "\"";
  return t + " (" + c.how + ")";
}

// The wavelengths must be nanometres: an export of a time course or of a
// temperature scan has the same layout.
void check_wavelength_unit(const Measurement& m) {
  const HeaderText& u = m.x_units;
  if (u.line == 0 || u.text.empty()) return;
  const std::string t = lower(u.text);
  const bool says_nm = t.find("nanomet") != std::string::npos || has_word(t, "nm");
  bool other = false;
  for (const char* w : {"angstrom", "ev", "cm", "sec", "s", "min", "time", "temperature", "c", "k", "um", "micron"})
    if (has_word(t, w)) other = true;
  if (m.format == ExportFormat::kInstrument ? !says_nm : (other && !says_nm))
    throw ReadError(ReadError::Kind::kBadValue, m.path, u.line,
                    "the wavelengths must be in nanometres, but the header says " + u.key + " \"" + u.text + "\"");
}

}  // namespace

// ---------------------------------------------------------------- units

std::string_view unit_name(Unit u) {
  switch (u) {
    case Unit::kMdeg:
      return "mdeg";
    case Unit::kDeg:
      return "deg";
    case Unit::kMolarEllipticity:
      return "molar-ellipticity";
    case Unit::kMre:
      return "mre";
    case Unit::kDeltaA:
      return "delta-a";
    case Unit::kDeltaEpsilon:
      return "delta-epsilon";
    case Unit::kNone:
      break;
  }
  return "none";
}

bool parse_unit(std::string_view name, Unit& u) {
  for (Unit c : {Unit::kMdeg, Unit::kDeg, Unit::kMolarEllipticity, Unit::kMre, Unit::kDeltaA, Unit::kDeltaEpsilon})
    if (name == unit_name(c)) {
      u = c;
      return true;
    }
  return false;
}

namespace {

std::string unit_description(Unit u) {
  switch (u) {
    case Unit::kMdeg:
      return "ellipticity in mdeg";
    case Unit::kDeg:
      return "ellipticity in deg";
    case Unit::kMolarEllipticity:
      return "molar ellipticity of the protein, deg cm2 dmol-1";
    case Unit::kMre:
      return "mean residue ellipticity, deg cm2 dmol-1";
    case Unit::kDeltaA:
      return "delta absorbance (A_L - A_R)";
    case Unit::kDeltaEpsilon:
      return "delta epsilon per residue, M-1 cm-1";
    case Unit::kNone:
      break;
  }
  return "no unit";
}

std::string units_of_bits(unsigned bits) {
  std::string out;
  for (Unit c : {Unit::kMdeg, Unit::kDeg, Unit::kMolarEllipticity, Unit::kMre, Unit::kDeltaA, Unit::kDeltaEpsilon})
    if (bits & unit_bit(c)) out += (out.empty() ? "" : " or ") + std::string(unit_name(c));
  return out;
}

}  // namespace

unsigned units_named_by(std::string_view text) {
  const std::string t = lower(text), c = without_blanks(t);
  auto has = [&](std::string_view s) { return t.find(s) != std::string::npos || c.find(s) != std::string::npos; };
  if (has("mdeg") || has("millideg")) return unit_bit(Unit::kMdeg);
  if (has("dmol") || has_word(t, "mre") || has("mean residue") || has("molar ellip") || has("mol. ellip") ||
      has("mol.ellip") || has("mol ellip")) {
    if (has("residue") || has_word(t, "mre") || has_word(t, "mrw")) return unit_bit(Unit::kMre);
    return unit_bit(Unit::kMolarEllipticity) | unit_bit(Unit::kMre);
  }
  if (has("delta epsilon") || has("deltaepsilon") || has("delta-epsilon") || has("\xCE\x94\xCE\xB5") ||
      has("\xCE\xB4\xCE\xB5") || has("mol. cd") || has("mol.cd") || has("molar cd") || has("m-1cm-1") ||
      has("m^-1cm^-1") || has("lmol-1cm-1") || has("l/(mol") || has("/(m cm)") || has("/(mcm)"))
    return unit_bit(Unit::kDeltaEpsilon);
  if (has("delta a") || has("deltaa") || has("delta-a") || has("delta abs") ||
      has("\xCE\x94"
          "a") ||
      has("\xCE\xB4"
          "a"))
    return unit_bit(Unit::kDeltaA);
  if (has_word(t, "deg") || has_word(t, "degree") || has_word(t, "degrees")) return unit_bit(Unit::kDeg);
  return 0;
}

bool parse_conc_unit(std::string_view name, ConcUnit& u) {
  if (name == "mg/mL" || name == "mg/ml") {
    u = ConcUnit::kMgPerMl;
  } else if (name == "M") {
    u = ConcUnit::kMolar;
  } else if (name == "mM") {
    u = ConcUnit::kMillimolar;
  } else if (name == "uM" || name == "\xC2\xB5M" || name == "\xCE\xBCM") {
    u = ConcUnit::kMicromolar;
  } else {
    return false;
  }
  return true;
}

bool parse_path_unit(std::string_view name, PathUnit& u) {
  if (name == "cm") {
    u = PathUnit::kCm;
  } else if (name == "mm") {
    u = PathUnit::kMm;
  } else {
    return false;
  }
  return true;
}

Conversion plan_conversion(Unit unit, const UnitParams& p) {
  Conversion c;
  c.unit = unit;
  const bool needs_conc = unit == Unit::kMdeg || unit == Unit::kDeg || unit == Unit::kDeltaA;
  const std::string u(unit_name(unit));
  auto unused = [&](const char* option, const char* why) {
    throw ConvertError(std::string(option) + " is not used with --units " + u + " (" + why +
                       "): leave it out, or check the units");
  };
  if (unit == Unit::kNone) throw ConvertError("no unit for the CD values");
  if (!needs_conc) {
    const char* why = unit == Unit::kMolarEllipticity ? "molar ellipticity is already per mole of protein"
                                                      : "the values are already per residue";
    if (p.conc_given) unused("--conc", why);
    if (p.path_given) unused("--path", why);
    if (p.mrw > 0.0f) unused("--mrw", why);
    if (unit == Unit::kMolarEllipticity) {
      if (p.residues == 0)
        throw ConvertError(
            "--units molar-ellipticity needs --residues N, the number of residues of the protein, "
            "to give the value per residue");
      c.residues = p.residues;
      c.parameters = "n = " + std::to_string(p.residues) + " residues";
      c.formula = {"[theta]_MRW = [theta] / n  (per residue)",
                   "delta epsilon = [theta]_MRW / 3298.2  (Kelly, Jess & Price 2005, BBA 1751:119)"};
    } else {
      if (p.residues > 0) unused("--residues", why);
      if (unit == Unit::kMre)
        c.formula = {"delta epsilon = [theta]_MRW / 3298.2  (Kelly, Jess & Price 2005, BBA 1751:119)"};
      else
        c.formula = {"none: the values are delta epsilon per residue"};
    }
    return c;
  }

  if (!p.conc_given)
    throw ConvertError("--units " + u + " needs the protein concentration: --conc VALUE --conc-unit mg/mL|M|mM|uM");
  if (!p.path_given)
    throw ConvertError("--units " + u + " needs the path length of the cell: --path VALUE --path-unit cm|mm");
  c.mass = p.conc_unit == ConcUnit::kMgPerMl;
  c.path_cm = p.path_unit == PathUnit::kMm ? p.path / kMmPerCm : p.path;
  std::string path_text =
      "l = " + num(p.path) + (p.path_unit == PathUnit::kMm ? " mm = " + num(c.path_cm) : std::string()) + " cm";
  if (c.mass) {
    if (p.residues > 0)
      throw ConvertError(
          "--residues goes with a molar concentration; with --conc-unit mg/mL give the mean residue "
          "weight, --mrw VALUE (g/mol)");
    if (p.mrw <= 0.0f)
      throw ConvertError("--units " + u +
                         " with a concentration in mg/mL needs the mean residue weight, --mrw VALUE "
                         "(g/mol: the protein's mass divided by its number of residues)");
    c.conc_mg_ml = p.conc;
    c.mrw = p.mrw;
    c.parameters = "c = " + num(p.conc) + " mg/mL, " + path_text + ", MRW = " + num(p.mrw) + " g/mol";
  } else {
    if (p.mrw > 0.0f)
      throw ConvertError(
          "--mrw goes with a concentration in mg/mL; with a molar concentration give the number of "
          "residues, --residues N");
    if (p.residues == 0)
      throw ConvertError("--units " + u +
                         " with a molar concentration needs the number of residues of the protein, "
                         "--residues N");
    c.residues = p.residues;
    const float to_molar = p.conc_unit == ConcUnit::kMillimolar   ? 1.0e-3f
                           : p.conc_unit == ConcUnit::kMicromolar ? 1.0e-6f
                                                                  : 1.0f;
    c.conc_molar = p.conc * to_molar;
    c.parameters = "c = " + num(p.conc) + " " + std::string(conc_unit_name(p.conc_unit)) +
                   (p.conc_unit == ConcUnit::kMolar ? std::string() : " = " + num(c.conc_molar) + " M") + ", " +
                   path_text + ", n = " + std::to_string(p.residues) + " residues";
  }
  const std::string kelly = "  (Kelly, Jess & Price 2005, BBA 1751:119)";
  if (unit == Unit::kDeg) c.formula.push_back("theta(mdeg) = 1000 * theta(deg)");
  if (unit == Unit::kDeltaA) {
    c.formula.push_back(c.mass ? "delta epsilon = delta A / (c_res(M) * l(cm)), c_res = c(mg/mL) / MRW  (delta A = "
                                 "delta epsilon * c * l" +
                                     kelly.substr(1) + ")"
                               : "delta epsilon = delta A / (c_res(M) * l(cm)), c_res = c(M) * n  (delta A = "
                                 "delta epsilon * c * l" +
                                     kelly.substr(1) + ")");
    c.formula.push_back("equivalently theta(mdeg) = " + num(kMdegPerDeltaA) + " * delta A");
    return c;
  }
  c.formula.push_back(c.mass ? "[theta]_MRW = theta(mdeg) * MRW / (10 * l(cm) * c(mg/mL)), deg cm2 dmol-1" + kelly
                             : "[theta]_MRW = theta(mdeg) / (10 * c(M) * l(cm) * n), deg cm2 dmol-1" + kelly);
  c.formula.push_back("delta epsilon = [theta]_MRW / 3298.2" + kelly);
  return c;
}

float to_delta_epsilon(const Conversion& c, float v) {
  switch (c.unit) {
    case Unit::kDeg:
    case Unit::kMdeg: {
      const float mdeg = c.unit == Unit::kDeg ? v * kMdegPerDeg : v;
      const float mre = c.mass ? mdeg * c.mrw / (10.0f * c.path_cm * c.conc_mg_ml)
                               : mdeg / (10.0f * c.conc_molar * c.path_cm * static_cast<float>(c.residues));
      return mre / kMrePerDeltaEpsilon;
    }
    case Unit::kMolarEllipticity:
      return v / static_cast<float>(c.residues) / kMrePerDeltaEpsilon;
    case Unit::kMre:
      return v / kMrePerDeltaEpsilon;
    case Unit::kDeltaA: {
      const float c_res = c.mass ? c.conc_mg_ml / c.mrw : c.conc_molar * static_cast<float>(c.residues);
      return v / (c_res * c.path_cm);
    }
    case Unit::kDeltaEpsilon:
      return v;
    case Unit::kNone:
      break;
  }
  return v;
}

// ---------------------------------------------------------------- wavelengths

Ordered order_points(const Measurement& m) {
  Ordered o;
  const auto& p = m.points;
  if (p.size() < 2)
    throw ReadError(ReadError::Kind::kBadValue, m.path, p.empty() ? 0 : p[0].line,
                    "only one row of numbers: a spectrum needs at least two wavelengths");
  o.ascending = p[1].wl > p[0].wl;
  o.min_step = std::abs(p[1].wl - p[0].wl);
  for (std::size_t i = 1; i < p.size(); ++i) {
    const float d = p[i].wl - p[i - 1].wl;
    if (d == 0.0f)
      throw ReadError(ReadError::Kind::kBadValue, m.path, p[i].line,
                      "the wavelength " + nm(p[i].wl) + " again (line " + std::to_string(p[i - 1].line) +
                          " has it too): one value per wavelength");
    if ((d > 0.0f) != o.ascending) {
      std::string run = i == 1 ? "line " + std::to_string(p[0].line)
                               : "lines " + std::to_string(p[0].line) + "-" + std::to_string(p[i - 1].line);
      throw ReadError(ReadError::Kind::kBadValue, m.path, p[i].line,
                      "the wavelength " + nm(p[i].wl) + " breaks the " + (o.ascending ? "ascending" : "descending") +
                          " order of " + run + " (line " + std::to_string(p[i - 1].line) + ": " + nm(p[i - 1].wl) +
                          ")");
    }
    o.min_step = std::min(o.min_step, std::abs(d));
    o.max_step = std::max(o.max_step, std::abs(d));
  }
  o.points = p;
  if (o.ascending) std::reverse(o.points.begin(), o.points.end());
  return o;
}

Cut cut_short_end(const std::vector<MeasuredPoint>& p, bool has_ht, const RangeOptions& r) {
  Cut c;
  const int n = static_cast<int>(p.size());
  c.kept = n;
  for (int i = 0; i < n; ++i) {
    if (has_ht && c.ht_at < 0 && p[static_cast<std::size_t>(i)].ht > r.ht_max) c.ht_at = i;
    if (r.min_given && c.min_at < 0 && p[static_cast<std::size_t>(i)].wl < r.min_wl) c.min_at = i;
  }
  if (c.ht_at >= 0) c.kept = std::min(c.kept, c.ht_at);
  if (c.min_at >= 0) c.kept = std::min(c.kept, c.min_at);
  for (int i = 0; i < c.kept && has_ht; ++i) c.max_ht = std::max(c.max_ht, p[static_cast<std::size_t>(i)].ht);
  return c;
}

Grid resample(const std::vector<MeasuredPoint>& p, const std::vector<float>& v, int kept, int lo, int hi,
              bool allow_gaps, const std::string& path) {
  Grid g;
  if (kept < 1) throw ConvertError(path + ": no measured point is left");
  const float longest = p[0].wl, shortest = p[static_cast<std::size_t>(kept - 1)].wl;
  // Whole nanometres inside [shortest, longest] and [lo, hi]; the bounds are
  // clamped before converting so that no wavelength, however absurd, can
  // overflow an integer.
  const float top = std::min(std::floor(longest), static_cast<float>(hi));
  const float bottom = std::max(std::ceil(shortest), static_cast<float>(lo));
  if (!(top >= bottom))
    throw ConvertError(path + ": no whole nanometre between " + nm(shortest) + " and " + nm(longest) + " lies within " +
                       std::to_string(lo) + "-" + std::to_string(hi) + " nm, the wavelengths of the reference sets");
  g.longer = static_cast<int>(top);
  g.shorter = static_cast<int>(bottom);

  for (int i = 0; i + 1 < kept; ++i) {
    const MeasuredPoint& a = p[static_cast<std::size_t>(i)];
    const MeasuredPoint& b = p[static_cast<std::size_t>(i + 1)];
    if (!(a.wl - b.wl > kMaxGapNm) || !(b.wl < top) || !(a.wl > bottom)) continue;
    int inside = 0;
    for (int w = g.longer; w >= g.shorter; --w)
      if (static_cast<float>(w) < a.wl && static_cast<float>(w) > b.wl) ++inside;
    g.gaps.push_back({a.wl, b.wl, a.line, b.line, inside});
  }
  if (!g.gaps.empty() && !allow_gaps) {
    const Gap& f = g.gaps.front();
    throw ConvertError(path + ", lines " + std::to_string(f.longer_line) + "-" + std::to_string(f.shorter_line) + ": " +
                       nm(f.longer - f.shorter) + " between " + nm(f.longer) + " and " + nm(f.shorter) +
                       " without a measurement (more than " + num(kMaxGapNm) + " nm" +
                       (g.gaps.size() > 1
                            ? "; " + plural(static_cast<long long>(g.gaps.size()), "gap", "gaps") + " in all"
                            : std::string()) +
                       "); --allow-gaps interpolates across " + (g.gaps.size() > 1 ? "them" : "it"));
  }

  std::size_t j = 0;  // p[j].wl >= w > p[j+1].wl
  for (int w = g.longer; w >= g.shorter; --w) {
    const float x = static_cast<float>(w);
    while (j + 1 < static_cast<std::size_t>(kept) && p[j + 1].wl >= x) ++j;
    float value;
    if (p[j].wl == x) {
      value = v[j];
      ++g.measured;
    } else {
      // x lies strictly between p[j] (longer) and p[j+1] (shorter).
      const float xa = p[j].wl, xb = p[j + 1].wl;
      const float t = (x - xb) / (xa - xb);
      value = v[j + 1] + (v[j] - v[j + 1]) * t;
      ++g.interpolated;
    }
    g.values.push_back(value);
  }
  return g;
}

CatalogueSpan catalogue_span() {
  CatalogueSpan s;
  s.longest = 0;
  s.shortest = 1 << 20;
  s.min_points = 1 << 20;
  for (int k = 1; k <= 8; ++k) {
    const cdsec::RefSetInfo& set = *cdsec::find_ref_set(k);
    const int lo = static_cast<int>(set.short_limit), hi = static_cast<int>(set.long_limit);
    s.longest = std::max(s.longest, hi);
    s.shortest = std::min(s.shortest, lo);
    const int points = hi - lo + 1;
    if (points < s.min_points) {
      s.min_points = points;
      s.min_sets.clear();
    }
    if (points == s.min_points) s.min_sets += (s.min_sets.empty() ? "" : ", ") + std::to_string(k);
  }
  return s;
}

// ---------------------------------------------------------------- the conversion

namespace {

struct Resolved {
  Unit unit = Unit::kNone;
  std::string how;
};

Resolved resolve_unit(const Measurement& m, const ConvertOptions& o) {
  const HeaderText& h = m.y_units;
  const unsigned bits = h.line > 0 ? units_named_by(h.text) : 0u;
  Resolved r;
  if (o.units_given) {
    r.unit = o.units;
    if (bits == 0) {
      r.how = "--units; the header names no unit" + (h.line > 0 ? " (" + quoted(h) + ")" : std::string());
    } else if (bits & unit_bit(o.units)) {
      r.how = "--units; the header agrees (" + quoted(h) + ")";
    } else if (o.ignore_header_units) {
      r.how = "--units with --ignore-header-units, over the header's " + units_of_bits(bits) + " (" + quoted(h) + ")";
    } else {
      throw ReadError(ReadError::Kind::kBadValue, m.path, h.line,
                      "the header gives the CD values as " + units_of_bits(bits) + " (" + h.key + " \"" + h.text +
                          "\"), but --units says " + std::string(unit_name(o.units)) +
                          "; correct --units, or add --ignore-header-units if the header is wrong");
    }
    return r;
  }
  if (bits == 0)
    throw ConvertError(m.path + ": the header does not name the units of the CD values" +
                       (h.line > 0 ? " (" + quoted(h) + ")" : std::string()) +
                       "; give --units mdeg|deg|molar-ellipticity|mre|delta-a|delta-epsilon");
  if (std::popcount(bits) > 1)
    throw ReadError(ReadError::Kind::kBadValue, m.path, h.line,
                    h.key + " \"" + h.text +
                        "\" can be per protein or per residue; give --units mre (per residue) or " +
                        "--units molar-ellipticity with --residues N (per protein)");
  for (Unit c : {Unit::kMdeg, Unit::kDeg, Unit::kMolarEllipticity, Unit::kMre, Unit::kDeltaA, Unit::kDeltaEpsilon})
    if (bits & unit_bit(c)) r.unit = c;
  r.how = "the header (" + quoted(h) + ")";
  return r;
}

// Every job already in INPUT must read back, or appending would bury a
// fault (or the file is not a job file at all).
int jobs_in(const std::string& path) {
  cdsec::LineReader in;
  in.open(path_from_utf8(path));
  cdsec::JobReader jr(in);
  int jobs = 0;
  while (jr.begin()) {
    int iprint = 0, ibasis = 0;
    jr.read_print_basis(iprint, ibasis);
    jr.read_title(50);
    float first = 0, last = 0, factor = 0;
    jr.read_range(first, last, factor);
    cdsec::Vector<cdsec::kMaxJobPoints> raw;
    jr.read_cd(static_cast<int>(cdsec::JobReader::point_count(first, last)), cdsec::kMaxJobPoints, raw);
    jr.skip_after_cd();
    jr.skip_guess();
    ++jobs;
  }
  return jobs;
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  const fs::path pa = path_from_utf8(a), pb = path_from_utf8(b);
  return fs::exists(pa, ec) && fs::exists(pb, ec) && fs::equivalent(pa, pb, ec);
}

json wavelengths_json(const Grid& g) {
  json w = json::array();
  for (int x = g.longer; x >= g.shorter; --x) w.push_back(x);
  return w;
}

json values_json(const std::vector<float>& v) {
  json a = json::array();
  for (float x : v) a.push_back(jnum(x));
  return a;
}

std::string channel_names(const Measurement& m) {
  std::string out;
  for (std::size_t i = 0; i < m.channel_units.size(); ++i)
    out += (i ? ", " : "") + std::to_string(i + 1) + " \"" + m.channel_units[i].text + "\"";
  return out;
}

struct Done {
  std::vector<ConvertedSpectrum> spectra;
  bool series = false;  // the file holds several spectra
  std::string written;
};

// The read and columns steps, for one spectrum or the first of a series.
void describe_read(const ConvertOptions& o, const Measurement& m, Provenance& pv) {
  {
    std::vector<std::string> t;
    std::string what = m.path + ": " + std::string(format_name(m.format));
    if (m.format == ExportFormat::kInstrument)
      what +=
          ", header lines 1-" + std::to_string(m.xydata_line - 1) + ", XYDATA at line " + std::to_string(m.xydata_line);
    else
      what += m.header_lines ? ", " + plural(m.header_lines, "line", "lines") + " of header skipped" : ", no header";
    if (o.read.skip) what += " (--skip " + std::to_string(o.read.skip) + ")";
    t.push_back(what);
    t.push_back(
        plural(static_cast<long long>(m.points.size()), "row", "rows") + " (lines " +
        std::to_string(m.points.front().line) + "-" + std::to_string(m.points.back().line) + "), " +
        plural(m.fields, "field", "fields") + " each, separated by " +
        (m.separator == Separator::kBlank ? std::string("blanks") : std::string(separator_name(m.separator)) + "s") +
        (o.read.separator == Separator::kAuto ? "" : " (--separator)") + ", " +
        (m.decimal_commas ? plural(m.decimal_commas, "value", "values") + " with a decimal comma"
                          : std::string("decimal points")));
    if (m.npoints_line)
      t.push_back("NPOINTS " + std::to_string(m.npoints_declared) + " (line " + std::to_string(m.npoints_line) +
                  ") agrees");
    if (m.trailing_lines)
      t.push_back(plural(m.trailing_lines, "line", "lines") + " of text after the data ignored (from line " +
                  std::to_string(m.first_trailing_line) + ")");
    json d = {{"file", m.path},
              {"format", m.format == ExportFormat::kInstrument ? "jasco" : "text"},
              {"header_lines", m.header_lines},
              {"rows", m.points.size()},
              {"first_row_line", m.points.front().line},
              {"last_row_line", m.points.back().line},
              {"separator", std::string(separator_name(m.separator))},
              {"decimal_commas", m.decimal_commas},
              {"trailing_lines", m.trailing_lines}};
    if (m.xydata_line) d["xydata_line"] = m.xydata_line;
    if (m.npoints_line) d["npoints"] = m.npoints_declared;
    if (m.extended_line) {
      // The settings the instrument wrote, as read.
      t.push_back("Extended Information from line " + std::to_string(m.extended_line) + ":");
      json e = json::array();
      for (const HeaderEntry& h : m.extended) {
        t.push_back("  " + h.key + (h.value.empty() ? "" : ": " + h.value));
        e.push_back({{"line", h.line}, {"key", h.key}, {"value", h.value}});
      }
      d["extended_information"] = {{"line", m.extended_line}, {"entries", e}};
    }
    pv.step("read", t, d);
  }
  {
    std::vector<std::string> t = {column_text("wavelength", m.x), column_text("CD", m.y)};
    t.push_back(m.has_ht ? column_text("HT", m.ht)
                         : "no HT column" + (m.ht.how.empty() ? std::string() : " (" + m.ht.how + ")"));
    json d = {{"wavelength", m.x.number}, {"cd", m.y.number}, {"ht", m.has_ht ? json(m.ht.number) : json(nullptr)}};
    if (m.names_line) d["names_line"] = m.names_line;
    if (m.channels) {
      t = {"channel blocks: " + plural(m.channels, "channel", "channels") + " (" + channel_names(m) + ")",
           "CD from channel " + std::to_string(m.channel) + " (" + m.y.how + ")",
           m.has_ht ? "HT from channel " + std::to_string(m.ht_channel) + " (" + m.ht.how + ")"
                    : "no HT channel" + (m.ht.how.empty() ? std::string() : " (" + m.ht.how + ")")};
      d = {{"channels", m.channels}, {"cd_channel", m.channel}, {"ht_channel", m.has_ht ? json(m.ht_channel) : json(nullptr)}};
    }
    pv.step("columns", t, d);
  }
}

Done convert_single(const ConvertOptions& o, Provenance& pv, const Measurement& m) {
  describe_read(o, m, pv);
  check_wavelength_unit(m);

  // Units.
  const Resolved unit = resolve_unit(m, o);
  const Conversion conv = plan_conversion(unit.unit, o.params);
  pv.step(
      "units", {unit_description(unit.unit) + ", from " + unit.how},
      {{"unit", std::string(unit_name(unit.unit))},
       {"from", unit.how},
       {"header", m.y_units.line ? json({{"line", m.y_units.line}, {"key", m.y_units.key}, {"text", m.y_units.text}})
                                 : json(nullptr)}});
  {
    json d = json::object();
    if (conv.conc_mg_ml > 0) d["conc_mg_per_ml"] = jnum(conv.conc_mg_ml);
    if (conv.conc_molar > 0) d["conc_molar"] = jnum(conv.conc_molar);
    if (conv.path_cm > 0) d["path_cm"] = jnum(conv.path_cm);
    if (conv.residues > 0) d["residues"] = conv.residues;
    if (conv.mrw > 0) d["mrw"] = jnum(conv.mrw);
    if (!conv.parameters.empty()) pv.step("parameters", {conv.parameters}, d);
    pv.step("formula", conv.formula, {{"formula", conv.formula}});
  }
  if (conv.mrw > 0.0f && (conv.mrw < kMrwLow || conv.mrw > kMrwHigh))
    pv.warn("the mean residue weight " + num(conv.mrw) +
            " g/mol is far from the 100-130 g/mol of proteins: is it the "
            "mass of the whole protein?");

  // Order, then values in delta epsilon.
  const Ordered ord = order_points(m);
  const auto& pts = ord.points;
  {
    std::string steps = ord.min_step == ord.max_step ? "steps of " + nm(ord.min_step)
                                                     : "steps of " + num(ord.min_step) + " to " + nm(ord.max_step);
    pv.step("order",
            {std::string(ord.ascending ? "ascending" : "descending") + " from " + nm(m.points.front().wl) + " to " +
             nm(m.points.back().wl) + ", " + steps +
             (ord.ascending ? "; reversed to run from the long to the short wavelength" : "")},
            {{"ascending", ord.ascending}, {"min_step_nm", jnum(ord.min_step)}, {"max_step_nm", jnum(ord.max_step)}});
  }
  std::vector<float> de(pts.size());
  for (std::size_t i = 0; i < pts.size(); ++i) {
    de[i] = to_delta_epsilon(conv, pts[i].cd);
    if (!std::isfinite(de[i]))
      throw ConvertError(m.path + ", line " + std::to_string(pts[i].line) + ": " + num(pts[i].cd) +
                         " does not convert to a finite delta epsilon");
  }
  {
    // The strongest measured value as the example to check by hand.
    std::size_t k = 0;
    for (std::size_t i = 1; i < pts.size(); ++i)
      if (std::abs(pts[i].cd) > std::abs(pts[k].cd)) k = i;
    const MeasuredPoint& f = pts[k];
    const float fde = de[k];
    pv.step("values",
            {plural(static_cast<long long>(pts.size()), "value", "values") + " converted; the strongest, line " +
             std::to_string(f.line) + ": " + nm(f.wl) + ", " + num(f.cd) + " " + std::string(unit_name(unit.unit)) +
             " -> " + dec4(fde) + " delta epsilon"},
            {{"converted", pts.size()},
             {"example",
              {{"line", f.line}, {"wavelength_nm", jnum(f.wl)}, {"value", jnum(f.cd)}, {"delta_epsilon", jnum(fde)}}}});
  }

  // Usable range.
  if (o.range.ht_max_given && !m.has_ht)
    throw ConvertError("--ht-max " + num(o.range.ht_max) + ": " + m.path +
                       " has no HT column (name it with --columns X,Y,HT)");
  const Cut cut = cut_short_end(pts, m.has_ht, o.range);
  const CatalogueSpan span = catalogue_span();
  {
    std::vector<std::string> t;
    json d = json::object();
    const std::string limit = "HT limit " + num(o.range.ht_max) + " V" +
                              (o.range.ht_max_given ? " (--ht-max)" : " (default; --ht-max to change)");
    d["ht_max_v"] = jnum(o.range.ht_max);
    d["ht_max_given"] = o.range.ht_max_given;
    if (!m.has_ht) {
      t.push_back("no HT column: the short end is not checked against the detector voltage");
    } else if (cut.ht_at >= 0) {
      const MeasuredPoint& p = pts[static_cast<std::size_t>(cut.ht_at)];
      const int line = p.ht_line ? p.ht_line : p.line;  // channel blocks: the HT has its own line
      const long long dropped = static_cast<long long>(pts.size()) - cut.ht_at;
      t.push_back(limit + ": HT " + num(p.ht) + " V at " + nm(p.wl) + " (line " + std::to_string(line) +
                  ") exceeds it; " + plural(dropped, "row", "rows") + " at and below " + nm(p.wl) + " cut");
      d["ht_cut"] = {{"wavelength_nm", jnum(p.wl)}, {"line", line}, {"ht_v", jnum(p.ht)}, {"rows_cut", dropped}};
    } else {
      t.push_back(limit + ": not exceeded (highest " + num(cut.max_ht) + " V)");
    }
    if (o.range.min_given) {
      const long long below = cut.min_at < 0 ? 0 : static_cast<long long>(pts.size()) - cut.min_at;
      t.push_back("--min-wavelength " + nm(o.range.min_wl) + ": " + plural(below, "row", "rows") + " below it" +
                  (below ? " cut" : ""));
      d["min_wavelength_nm"] = jnum(o.range.min_wl);
      d["rows_below_min"] = below;
    }
    if (cut.kept > 0)
      t.push_back("kept: " + plural(cut.kept, "row", "rows") + ", " + nm(pts.front().wl) + " to " +
                  nm(pts[static_cast<std::size_t>(cut.kept - 1)].wl));
    d["rows_kept"] = cut.kept;
    if (m.has_ht && cut.kept > 0) d["highest_ht_kept_v"] = jnum(cut.max_ht);
    pv.step("range", t, d);
    if (!m.has_ht)
      pv.warn("no HT column: check on the instrument that the detector voltage stays below its limit at the short end");
  }
  if (cut.kept == 0)
    throw ConvertError(
        m.path + ": nothing is left after the cut at the short end" +
        std::string(cut.ht_at == 0 ? " (the HT exceeds the limit already at the first wavelength)" : ""));

  // Whole nanometres.
  Grid g = resample(pts, de, cut.kept, span.shortest, span.longest, o.range.allow_gaps, m.path);
  {
    std::vector<std::string> t;
    t.push_back("whole nm from " + std::to_string(g.longer) + " to " + std::to_string(g.shorter) + ": " +
                plural(static_cast<long long>(g.values.size()), "point", "points") + ", " + std::to_string(g.measured) +
                " measured, " + std::to_string(g.interpolated) + " interpolated linearly between their neighbours");
    const float kept_long = pts.front().wl, kept_short = pts[static_cast<std::size_t>(cut.kept - 1)].wl;
    if (kept_long > static_cast<float>(span.longest) || kept_short < static_cast<float>(span.shortest))
      t.push_back("the reference sets cover " + std::to_string(span.longest) + "-" + std::to_string(span.shortest) +
                  " nm: the measurement beyond is left out");
    json gaps = json::array();
    for (const Gap& gp : g.gaps) {
      t.push_back("gap of " + nm(gp.longer - gp.shorter) + " between " + nm(gp.longer) + " and " + nm(gp.shorter) +
                  " (lines " + std::to_string(gp.longer_line) + "-" + std::to_string(gp.shorter_line) + "), " +
                  plural(gp.grid_points, "point", "points") + " interpolated across it (--allow-gaps)");
      gaps.push_back({{"longer_nm", jnum(gp.longer)},
                      {"shorter_nm", jnum(gp.shorter)},
                      {"lines", {gp.longer_line, gp.shorter_line}},
                      {"points", gp.grid_points}});
    }
    pv.step("grid", t,
            {{"longer_nm", g.longer},
             {"shorter_nm", g.shorter},
             {"points", g.values.size()},
             {"measured", g.measured},
             {"interpolated", g.interpolated},
             {"gaps", gaps}});
  }
  for (std::size_t i = 0; i < g.values.size(); ++i)
    if (!std::isfinite(g.values[i]))
      throw ConvertError(m.path + ": the value interpolated at " + std::to_string(g.longer - static_cast<int>(i)) +
                         " nm is not a finite number");

  // Reference set.
  Done done;
  done.spectra.resize(1);
  ConvertedSpectrum& cs = done.spectra.front();
  cs.title = o.title;
  const int suggested = cdsec::suggest_set(static_cast<float>(g.shorter));
  int& ibasis = cs.ibasis;
  ibasis = o.basis ? o.basis : suggested;
  {
    const cdsec::RefSetInfo& set = *cdsec::find_ref_set(ibasis);
    const int hi = std::min(g.longer, static_cast<int>(set.long_limit));
    const int lo = std::max(g.shorter, static_cast<int>(set.short_limit));
    const int inside = hi >= lo ? hi - lo + 1 : 0;
    const std::string range = std::to_string(static_cast<int>(set.long_limit)) + "-" +
                              std::to_string(static_cast<int>(set.short_limit)) + " nm";
    std::vector<std::string> t;
    t.push_back("shortest wavelength " + std::to_string(g.shorter) + " nm: set " + std::to_string(suggested) +
                " suggested (set 1 below 182 nm, set 3 from 182 to below 190, set 4 from 190)");
    t.push_back(o.basis ? "set " + std::to_string(o.basis) + " chosen (--basis)"
                        : "set " + std::to_string(suggested) + " used");
    t.push_back(plural(inside, "point", "points") + " inside the valid range of set " + std::to_string(ibasis) +
                " (" + range + "); the fewest a set is built on: " + std::to_string(span.min_points) + " (sets " +
                span.min_sets + ")");
    if (inside > 0 && (lo > g.shorter || hi < g.longer))
      t.push_back("the analysis programs will use " + std::to_string(hi) + "-" + std::to_string(lo) +
                  " nm of the job, the part inside that range");
    pv.step("set", t,
            {{"suggested", suggested},
             {"chosen", ibasis},
             {"basis_given", o.basis != 0},
             {"points_in_set_range", inside},
             {"min_points", span.min_points}});
    if (inside < span.min_points)
      throw ConvertError(m.path + ": only " + plural(inside, "point", "points") + " (" +
                         (inside ? std::to_string(hi) + "-" + std::to_string(lo) + " nm" : std::string("none")) +
                         ") lie in the valid range of set " + std::to_string(ibasis) + ", " + range +
                         "; no reference set is built on fewer than " + std::to_string(span.min_points) + " (sets " +
                         span.min_sets + ")");
  }

  // Plausibility.
  {
    std::size_t worst = 0;
    for (std::size_t i = 1; i < g.values.size(); ++i)
      if (std::abs(g.values[i]) > std::abs(g.values[worst])) worst = i;
    const float w = g.values[worst];
    const int at = g.longer - static_cast<int>(worst);
    pv.step("check", {"largest magnitude " + dec4(w) + " delta epsilon at " + std::to_string(at) + " nm"},
            {{"largest", jnum(w)}, {"at_nm", at}});
    if (std::abs(w) > kPlausibleDeltaEpsilon)
      pv.warn("the converted spectrum reaches " + dec4(w) + " delta epsilon at " + std::to_string(at) +
              " nm, more than " + num(kPlausibleDeltaEpsilon) +
              " in magnitude: a unit or a parameter (concentration, path, residues, MRW) is probably wrong");
    if (const int bad = cdsec::first_unwritable(g.values))
      throw ConvertError(m.path + ": the value at " + std::to_string(g.longer - bad + 1) + " nm, " +
                         num(g.values[static_cast<std::size_t>(bad - 1)]) +
                         ", does not fit the 8 columns of a CD value in INPUT: a unit or a parameter is wrong");
  }
  cs.grid = std::move(g);
  return done;
}

// One spectrum of a series on its way: the points long to short, their
// values in delta epsilon, and its own cut.
struct Prepared {
  Ordered ord;
  std::vector<float> de;
  Cut cut;
};

std::string spectrum_name(const Measurement& m) {
  return "spectrum " + std::to_string(m.spectrum) + " (" + m.series_label + ")";
}

Done convert_series(const ConvertOptions& o, Provenance& pv, std::vector<Measurement> all) {
  const Measurement& m0 = all.front();
  const int in_file = m0.spectra;
  describe_read(o, m0, pv);
  {
    std::vector<std::string> t;
    json labels = json::array();
    for (const Measurement& m : all) labels.push_back(m.series_label);
    t.push_back(plural(in_file, "spectrum", "spectra") + " in the file" +
                (m0.channels ? ", series values on line " + std::to_string(m0.series_line)
                             : ", named on line " + std::to_string(m0.series_line)) +
                ": " + all.front().series_label + " ... " + all.back().series_label);
    if (!m0.channels) {
      std::string cols;
      for (const Measurement& m : all) cols += (cols.empty() ? "" : ", ") + std::to_string(m.y.number);
      t.push_back("CD from column" + std::string(all.size() == 1 ? " " : "s ") + cols + " (" + m0.y.how + ")");
    }
    if (!o.spectra.empty()) {
      std::string chosen;
      for (const Measurement& m : all) chosen += (chosen.empty() ? "" : ", ") + std::to_string(m.spectrum);
      t.push_back("--spectra: " + plural(static_cast<long long>(all.size()), "spectrum", "spectra") + " chosen (" +
                  chosen + ")");
    }
    pv.step("series", t, {{"spectra_in_file", in_file}, {"chosen", all.size()}, {"series_values", labels}});
  }
  check_wavelength_unit(m0);

  // One unit for the whole series.
  const Resolved unit = resolve_unit(m0, o);
  for (const Measurement& m : all) {
    const Resolved u = resolve_unit(m, o);
    if (u.unit != unit.unit)
      throw ConvertError(m.path + ": " + spectrum_name(m) + " is in " + std::string(unit_name(u.unit)) + " (" +
                         u.how + "), " + spectrum_name(m0) + " in " + std::string(unit_name(unit.unit)) +
                         "; a series is converted with one unit");
  }
  const Conversion conv = plan_conversion(unit.unit, o.params);
  pv.step("units", {unit_description(unit.unit) + ", from " + unit.how},
          {{"unit", std::string(unit_name(unit.unit))}, {"from", unit.how}});
  {
    json d = json::object();
    if (conv.conc_mg_ml > 0) d["conc_mg_per_ml"] = jnum(conv.conc_mg_ml);
    if (conv.conc_molar > 0) d["conc_molar"] = jnum(conv.conc_molar);
    if (conv.path_cm > 0) d["path_cm"] = jnum(conv.path_cm);
    if (conv.residues > 0) d["residues"] = conv.residues;
    if (conv.mrw > 0) d["mrw"] = jnum(conv.mrw);
    if (!conv.parameters.empty()) pv.step("parameters", {conv.parameters}, d);
    pv.step("formula", conv.formula, {{"formula", conv.formula}});
  }
  if (conv.mrw > 0.0f && (conv.mrw < kMrwLow || conv.mrw > kMrwHigh))
    pv.warn("the mean residue weight " + num(conv.mrw) +
            " g/mol is far from the 100-130 g/mol of proteins: is it the mass of the whole protein?");
  if (o.range.ht_max_given && !m0.has_ht)
    throw ConvertError("--ht-max " + num(o.range.ht_max) + ": " + m0.path + " has no HT " +
                       (m0.channels ? "channel" : "column"));

  // Each spectrum: order, values, its own cut.
  std::vector<Prepared> prep(all.size());
  for (std::size_t s = 0; s < all.size(); ++s) {
    const Measurement& m = all[s];
    Prepared& p = prep[s];
    try {
      p.ord = order_points(m);
    } catch (const ReadError& e) {
      throw ConvertError(spectrum_name(m) + ": " + e.what());
    }
    p.de.resize(p.ord.points.size());
    for (std::size_t i = 0; i < p.de.size(); ++i) {
      p.de[i] = to_delta_epsilon(conv, p.ord.points[i].cd);
      if (!std::isfinite(p.de[i]))
        throw ConvertError(m.path + ", line " + std::to_string(p.ord.points[i].line) + ": " + num(p.ord.points[i].cd) +
                           " (" + spectrum_name(m) + ") does not convert to a finite delta epsilon");
    }
    p.cut = cut_short_end(p.ord.points, m.has_ht, o.range);
    if (p.cut.kept == 0)
      throw ConvertError(m.path + ": nothing of " + spectrum_name(m) + " is left after the cut at the short end" +
                         std::string(p.cut.ht_at == 0 ? " (the HT exceeds the limit already at the first wavelength)"
                                                      : ""));
  }
  {
    const Ordered& ord = prep.front().ord;
    std::string steps = ord.min_step == ord.max_step ? "steps of " + nm(ord.min_step)
                                                     : "steps of " + num(ord.min_step) + " to " + nm(ord.max_step);
    pv.step("order",
            {std::string(ord.ascending ? "ascending" : "descending") + " from " + nm(m0.points.front().wl) + " to " +
             nm(m0.points.back().wl) + ", " + steps +
             (ord.ascending ? "; reversed to run from the long to the short wavelength" : "")},
            {{"ascending", ord.ascending}, {"min_step_nm", jnum(ord.min_step)}, {"max_step_nm", jnum(ord.max_step)}});
  }

  // The range: each spectrum's own, or the one they all support.
  const CatalogueSpan span = catalogue_span();
  std::size_t setter = 0, longest_setter = 0;
  for (std::size_t s = 1; s < prep.size(); ++s) {
    auto shortest = [&](std::size_t k) { return prep[k].ord.points[static_cast<std::size_t>(prep[k].cut.kept - 1)].wl; };
    if (shortest(s) > shortest(setter)) setter = s;
    if (prep[s].ord.points.front().wl < prep[longest_setter].ord.points.front().wl) longest_setter = s;
  }
  const float common_short = prep[setter].ord.points[static_cast<std::size_t>(prep[setter].cut.kept - 1)].wl;
  const float common_long = prep[longest_setter].ord.points.front().wl;
  const bool common = !o.own_range && prep.size() > 1;
  int lo = span.shortest, hi = span.longest;
  {
    std::vector<std::string> t;
    const std::string limit = "HT limit " + num(o.range.ht_max) + " V" +
                              (o.range.ht_max_given ? " (--ht-max)" : " (default; --ht-max to change)");
    t.push_back(m0.has_ht ? limit + ", each spectrum cut where its own HT first exceeds it"
                          : "no HT: the short end is not checked against the detector voltage");
    if (o.range.min_given) t.push_back("--min-wavelength " + nm(o.range.min_wl));
    json d = {{"ht_max_v", jnum(o.range.ht_max)}, {"ht_max_given", o.range.ht_max_given}, {"own_range", !common}};
    if (common) {
      const Measurement& ms = all[setter];
      const Cut& c = prep[setter].cut;
      std::string why;
      if (c.ht_at >= 0) {
        const MeasuredPoint& p = prep[setter].ord.points[static_cast<std::size_t>(c.ht_at)];
        why = ": its HT reaches " + num(p.ht) + " V at " + nm(p.wl) + " (line " +
              std::to_string(p.ht_line ? p.ht_line : p.line) + ")";
      } else if (c.min_at >= 0) {
        why = ": --min-wavelength";
      } else {
        why = ": its measurement ends there";
      }
      lo = std::max(lo, static_cast<int>(std::ceil(common_short)));
      hi = std::min(hi, static_cast<int>(std::floor(common_long)));
      t.push_back("common range of the series: " + nm(common_long) + " to " + nm(common_short) + ", set by " +
                  spectrum_name(ms) + why + "; --own-range keeps each spectrum's own");
      d["common"] = {{"longer_nm", jnum(common_long)},
                     {"shorter_nm", jnum(common_short)},
                     {"set_by", {{"spectrum", ms.spectrum}, {"series_value", ms.series_label}}}};
    } else {
      t.push_back(prep.size() > 1 ? "each spectrum keeps its own range (--own-range)" : "one spectrum chosen: its own range");
    }
    pv.step("range", t, d);
    if (!m0.has_ht)
      pv.warn("no HT: check on the instrument that the detector voltage stays below its limit at the short end");
  }

  // Each spectrum on whole nanometres, its set and checks.
  Done done;
  done.series = true;
  std::vector<std::string> lines = {"  #  series value  measured and kept      HT cut                           job          set  largest"};
  json per = json::array();
  std::map<std::string, int> titles;
  for (std::size_t s = 0; s < all.size(); ++s) {
    const Measurement& m = all[s];
    const Prepared& p = prep[s];
    const auto& pts = p.ord.points;
    Grid g;
    try {
      g = resample(pts, p.de, p.cut.kept, lo, hi, o.range.allow_gaps, m.path);
    } catch (const ConvertError& e) {
      throw ConvertError(spectrum_name(m) + ": " + e.what());
    }
    for (std::size_t i = 0; i < g.values.size(); ++i)
      if (!std::isfinite(g.values[i]))
        throw ConvertError(m.path + ": " + spectrum_name(m) + ": the value interpolated at " +
                           std::to_string(g.longer - static_cast<int>(i)) + " nm is not a finite number");
    ConvertedSpectrum cs;
    cs.spectrum = m.spectrum;
    cs.series_label = m.series_label;
    const int suggested = cdsec::suggest_set(static_cast<float>(g.shorter));
    cs.ibasis = o.basis ? o.basis : suggested;
    const cdsec::RefSetInfo& set = *cdsec::find_ref_set(cs.ibasis);
    const int shi = std::min(g.longer, static_cast<int>(set.long_limit));
    const int slo = std::max(g.shorter, static_cast<int>(set.short_limit));
    const int inside = shi >= slo ? shi - slo + 1 : 0;
    if (inside < span.min_points)
      throw ConvertError(m.path + ": " + spectrum_name(m) + ": only " + plural(inside, "point", "points") +
                         " lie in the valid range of set " + std::to_string(cs.ibasis) + " (" +
                         std::to_string(static_cast<int>(set.long_limit)) + "-" +
                         std::to_string(static_cast<int>(set.short_limit)) +
                         " nm); no reference set is built on fewer than " + std::to_string(span.min_points));
    std::size_t worst = 0;
    for (std::size_t i = 1; i < g.values.size(); ++i)
      if (std::abs(g.values[i]) > std::abs(g.values[worst])) worst = i;
    const float w = g.values[worst];
    const int at = g.longer - static_cast<int>(worst);
    if (std::abs(w) > kPlausibleDeltaEpsilon)
      pv.warn(spectrum_name(m) + " reaches " + dec4(w) + " delta epsilon at " + std::to_string(at) + " nm, more than " +
              num(kPlausibleDeltaEpsilon) + " in magnitude: a unit or a parameter is probably wrong");
    if (const int bad = cdsec::first_unwritable(g.values))
      throw ConvertError(m.path + ": " + spectrum_name(m) + ": the value at " + std::to_string(g.longer - bad + 1) +
                         " nm, " + num(g.values[static_cast<std::size_t>(bad - 1)]) +
                         ", does not fit the 8 columns of a CD value in INPUT: a unit or a parameter is wrong");
    if (!o.title.empty()) cs.title = series_title(o.title, m.series_label, o.series_unit);
    if (!cs.title.empty() && ++titles[cs.title] == 2)
      pv.warn("the title \"" + cs.title + "\" is given to more than one spectrum: cdref summary keeps the latest");

    const float kept_short = pts[static_cast<std::size_t>(p.cut.kept - 1)].wl;
    std::string cut_text = "-";
    json ht_cut = nullptr;
    if (p.cut.ht_at >= 0) {
      const MeasuredPoint& c = pts[static_cast<std::size_t>(p.cut.ht_at)];
      const int line = c.ht_line ? c.ht_line : c.line;
      cut_text = num(c.ht) + " V at " + nm(c.wl) + " (line " + std::to_string(line) + ")";
      ht_cut = {{"wavelength_nm", jnum(c.wl)}, {"line", line}, {"ht_v", jnum(c.ht)}};
    }
    char row[256];
    std::snprintf(row, sizeof row, "%3d  %-12.12s  %-21s  %-31s  %-11s  %3d  %s", m.spectrum, m.series_label.c_str(),
                  (num(pts.front().wl) + "-" + nm(kept_short)).c_str(), cut_text.c_str(),
                  (std::to_string(g.longer) + "-" + std::to_string(g.shorter) + " nm").c_str(), cs.ibasis,
                  (dec4(w) + " at " + std::to_string(at) + " nm").c_str());
    lines.push_back(row);
    json e = {{"spectrum", m.spectrum},
              {"series_value", m.series_label},
              {"title", cs.title},
              {"rows", pts.size()},
              {"rows_kept", p.cut.kept},
              {"kept_nm", {jnum(pts.front().wl), jnum(kept_short)}},
              {"ht_cut", ht_cut},
              {"job_nm", {g.longer, g.shorter}},
              {"measured", g.measured},
              {"interpolated", g.interpolated},
              {"suggested_set", suggested},
              {"ibasis", cs.ibasis},
              {"largest", {{"value", jnum(w)}, {"at_nm", at}}}};
    if (m.has_ht) e["highest_ht_kept_v"] = jnum(p.cut.max_ht);
    per.push_back(std::move(e));
    cs.grid = std::move(g);
    done.spectra.push_back(std::move(cs));
  }
  lines.push_back("set: " + std::string(o.basis ? "--basis" : "the builder's suggestion from each job's short end") +
                  " (set 1 below 182 nm, set 3 from 182 to below 190, set 4 from 190)");
  pv.step("spectra", lines, {{"spectra", per}});
  return done;
}

Done convert(const ConvertOptions& o, Provenance& pv) {
  std::vector<Measurement> all = read_spectra(o.file, o.read);
  const int in_file = static_cast<int>(all.size());
  if (!o.spectra.empty()) {
    if (o.spectra.back() > in_file)
      throw ConvertError("--spectra " + std::to_string(o.spectra.back()) + ": " + o.file + " holds " +
                         plural(in_file, "spectrum", "spectra"));
    std::vector<Measurement> chosen;
    for (int k : o.spectra) chosen.push_back(std::move(all[static_cast<std::size_t>(k - 1)]));
    all = std::move(chosen);
  }
  if (in_file == 1) return convert_single(o, pv, all.front());
  return convert_series(o, pv, std::move(all));
}

void write_output(const ConvertOptions& o, Done& d, Provenance& pv) {
  std::ostringstream text;
  if (!o.out_file.empty()) {
    if (d.spectra.size() != 1)
      throw ConvertError("--out writes one spectrum; " + o.file + " gives " +
                         plural(static_cast<long long>(d.spectra.size()), "spectrum", "spectra") +
                         " (choose one with --spectra K, or append them all to INPUT with --append)");
    const Grid& g = d.spectra.front().grid;
    const int ibasis = d.spectra.front().ibasis;
    if (same_file(o.out_file, o.file)) throw ConvertError("--out " + o.out_file + " is the file being read");
    std::error_code ec;
    if (!o.force && fs::exists(path_from_utf8(o.out_file), ec))
      throw ConvertError("--out " + o.out_file + " exists; add --force to replace it");
    // Each value with the digits that give back the same single-precision
    // number, so that the builder writes exactly the job --append would.
    for (std::size_t i = 0; i < g.values.size(); ++i)
      cdsec::put(text, "[F6.1, 2X, A]", static_cast<float>(g.longer - static_cast<int>(i)), num(g.values[i]));
    const std::string why = cdsec::replace_file(path_from_utf8(o.out_file), text.str());
    if (!why.empty()) throw ConvertError(o.out_file + ": " + why);
    d.written = o.out_file;
    pv.step(
        "output",
        {o.out_file + ": " + plural(static_cast<long long>(g.values.size()), "line", "lines") +
             ", wavelength and delta epsilon, " + std::to_string(g.longer) + " to " + std::to_string(g.shorter) + " nm",
         "INBUILD answers: 1 value per nm, initial wavelength " + std::to_string(g.longer) + ", final " +
             std::to_string(g.shorter) + ", 0 (delta epsilon), set " + std::to_string(ibasis) +
             " (or 0 for its suggestion)"},
        {{"file", o.out_file}, {"kind", "two-column"}, {"lines", g.values.size()}});
    return;
  }

  if (o.title.size() > 40)
    throw ConvertError("--title has " + std::to_string(o.title.size()) + " characters; a job's title holds 40");
  for (char c : o.title)
    if (static_cast<unsigned char>(c) < 32 || c == 127) throw ConvertError("--title holds a control character");
  if (same_file(o.append, o.file)) throw ConvertError("--append " + o.append + " is the file being read");
  if (const std::string why = cdsec::job_file_refusal(path_from_utf8(o.append)); !why.empty())
    throw ConvertError(o.append + " " + why);
  std::error_code ec;
  int jobs = 0;
  if (fs::exists(path_from_utf8(o.append), ec)) {
    try {
      jobs = jobs_in(o.append);
    } catch (const ReadError& e) {
      throw ConvertError(o.append + " does not read to its end as jobs (" + e.what() +
                         "), so a job appended to it would not be read as written (a blank line after the last "
                         "job, for example, begins a job of its own)");
    }
  }
  // All jobs of a series are appended at once, or none.
  for (const ConvertedSpectrum& cs : d.spectra) {
    const Grid& g = cs.grid;
    if (cdsec::check_job_range(static_cast<float>(g.longer), static_cast<float>(g.shorter)) != cdsec::RangeCheck::kOk)
      throw ConvertError("the range " + std::to_string(g.longer) + "-" + std::to_string(g.shorter) +
                         " nm cannot be a job");
    cdsec::write_job(text, cs.ibasis, cs.title, static_cast<float>(g.longer), static_cast<float>(g.shorter), g.values);
  }
  const std::string why = cdsec::append_file(path_from_utf8(o.append), text.str());
  if (!why.empty()) throw ConvertError(o.append + ": " + why);
  d.written = o.append;
  if (!d.series) {
    const ConvertedSpectrum& cs = d.spectra.front();
    const Grid& g = cs.grid;
    pv.step("output",
            {o.append + ": job " + std::to_string(jobs + 1) + " appended" + (jobs ? "" : " (new file)") + ", set " +
             std::to_string(cs.ibasis) + ", title \"" + o.title + "\", " + std::to_string(g.longer) + " to " +
             std::to_string(g.shorter) + " nm, " + plural(static_cast<long long>(g.values.size()), "value", "values")},
            {{"file", o.append}, {"kind", "job"}, {"job", jobs + 1}, {"ibasis", cs.ibasis}, {"title", o.title}});
    return;
  }
  const int n = static_cast<int>(d.spectra.size());
  json list = json::array();
  for (int k = 0; k < n; ++k)
    list.push_back({{"job", jobs + 1 + k}, {"title", d.spectra[static_cast<std::size_t>(k)].title},
                    {"ibasis", d.spectra[static_cast<std::size_t>(k)].ibasis}});
  pv.step("output",
          {o.append + ": " + (n == 1 ? "job " + std::to_string(jobs + 1) : "jobs " + std::to_string(jobs + 1) + "-" +
                                                                              std::to_string(jobs + n)) +
           " appended" + (jobs ? "" : " (new file)") + ", titles \"" + d.spectra.front().title + "\" ... \"" +
           d.spectra.back().title + "\""},
          {{"file", o.append}, {"kind", "jobs"}, {"jobs", list}});
}

json spectrum_json(const ConvertedSpectrum& cs) {
  return {{"unit", "delta epsilon per residue, M-1 cm-1"},
          {"wavelength_nm", wavelengths_json(cs.grid)},
          {"delta_epsilon", values_json(cs.grid.values)}};
}

}  // namespace

std::string series_title(const std::string& title, const std::string& label, const std::string& unit) {
  std::string value = label;
  float v;
  bool comma = false;
  if (parse_measured(label, DecimalMark::kAuto, v, comma) && comma) std::replace(value.begin(), value.end(), ',', '.');
  std::string t = title + " " + value;
  if (!unit.empty()) t += " " + unit;
  if (t.size() > 40)
    throw ConvertError("the title \"" + t + "\" has " + std::to_string(t.size()) +
                       " characters; a job's title holds 40, so --title may have " +
                       std::to_string(40 - static_cast<long long>(t.size() - title.size())) +
                       " here (the series value \"" + value + "\"" + (unit.empty() ? "" : " and its unit") +
                       " follow it)");
  for (char c : t)
    if (static_cast<unsigned char>(c) < 32 || c == 127)
      throw ConvertError("the title \"" + t + "\" holds a control character");
  return t;
}

bool parse_spectrum_list(std::string_view text, std::vector<int>& out) {
  out.clear();
  std::size_t b = 0;
  while (b <= text.size()) {
    std::size_t e = text.find(',', b);
    if (e == std::string_view::npos) e = text.size();
    std::string_view item = text.substr(b, e - b);
    const std::size_t dash = item.find('-');
    long long lo, hi;
    if (!cdsec::parse_int(item.substr(0, dash), lo)) return false;
    hi = lo;
    if (dash != std::string_view::npos && !cdsec::parse_int(item.substr(dash + 1), hi)) return false;
    if (lo < 1 || hi < lo || hi > kMaxRows) return false;
    for (long long k = lo; k <= hi; ++k) out.push_back(static_cast<int>(k));
    b = e + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return !out.empty();
}

Converted convert_spectra(const ConvertOptions& o, std::ostream& steps) {
  Provenance pv(steps);
  Done d = convert(o, pv);
  Converted c;
  c.spectra = std::move(d.spectra);
  c.provenance_json = json{{"steps", pv.steps()}, {"warnings", pv.warnings()}}.dump(2, ' ', false, json::error_handler_t::replace);
  return c;
}

int run_convert(const ConvertOptions& o, std::ostream& out, std::ostream& err) {
  Provenance pv(out);
  out << "cdref convert " << o.file << "\n";
  const std::string_view commit = cdsec::source_commit();
  json record = {{"program", "cdref convert"},
                 {"version", cdsec::package_version()},
                 {"commit", commit.empty() ? json() : json(commit)},
                 {"arguments", o.args}};
  int status = 0;
  Done done;
  std::string error;
  try {
    done = convert(o, pv);
    write_output(o, done, pv);
  } catch (const std::exception& e) {
    error = e.what();
    status = 1;
  }
  record["steps"] = pv.steps();
  record["warnings"] = pv.warnings();
  if (status == 0) {
    record["result"] = "converted";
    if (!done.series) {
      record["spectrum"] = spectrum_json(done.spectra.front());
    } else {
      json a = json::array();
      for (const ConvertedSpectrum& cs : done.spectra) {
        json e = spectrum_json(cs);
        e["spectrum"] = cs.spectrum;
        e["series_value"] = cs.series_label;
        e["title"] = cs.title;
        e["ibasis"] = cs.ibasis;
        a.push_back(std::move(e));
      }
      record["spectra"] = std::move(a);
    }
  } else {
    record["result"] = "refused";
    record["error"] = error;
    err << "cdref: " << error << "\n"
        << (!o.append.empty() ? o.append + " is as it was" : o.out_file + " was not written") << ".\n";
  }
  if (!o.record.empty()) {
    if (same_file(o.record, o.file)) {
      err << "cdref: --record " << o.record << " is the file being read; no record written\n";
      return 1;
    }
    // Texts from the file need not be UTF-8; JSON must be.
    const std::string why = cdsec::replace_file(path_from_utf8(o.record),
                                                record.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    if (!why.empty()) {
      err << "cdref: --record " << o.record << ": " << why
          << (status == 0 ? "; the conversion itself was written to " + done.written : std::string()) << "\n";
      return 1;
    }
    out << "  record:     " << o.record << "\n";
  }
  return status;
}

}  // namespace cdref
