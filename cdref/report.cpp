#include "cdref/report.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace cdref {

namespace {

constexpr const char* kStyle = R"(
body { font: 14px/1.45 system-ui, "Segoe UI", Helvetica, Arial, sans-serif; color: #1b1f24; margin: 0; background: #f4f5f7; }
main { max-width: 980px; margin: 0 auto; padding: 24px 28px 40px; background: #fff; }
h1 { font-size: 24px; margin: 0 0 4px; }
h2 { font-size: 19px; margin: 34px 0 8px; padding-top: 14px; border-top: 2px solid #e3e6ea; }
h3 { font-size: 15px; margin: 18px 0 6px; color: #3b434d; }
.sub { color: #5b6470; margin: 0 0 16px; }
.cards { display: flex; flex-wrap: wrap; gap: 10px; margin: 10px 0 14px; }
.card { border: 1px solid #dde1e6; border-radius: 6px; padding: 8px 14px; min-width: 110px; }
.card .k { font-size: 12px; color: #5b6470; text-transform: uppercase; letter-spacing: .04em; }
.card .v { font-size: 22px; font-weight: 600; }
.card .s { font-size: 12px; color: #5b6470; }
.card.differ { border-color: #d55e00; }
table { border-collapse: collapse; margin: 6px 0 12px; font-variant-numeric: tabular-nums; }
th, td { padding: 4px 10px; text-align: right; border-bottom: 1px solid #e3e6ea; vertical-align: top; }
th { background: #f0f2f5; font-weight: 600; }
td.name, th.name { text-align: left; white-space: nowrap; }
td small { display: block; color: #6b7480; font-size: 11px; }
tr.consensus td { background: #f7f9fb; font-weight: 600; }
tr.none td { color: #9aa1a9; }
td.differ { color: #b34700; }
.badge { display: inline-block; padding: 2px 9px; border-radius: 10px; font-size: 12.5px; font-weight: 600; }
.ok { background: #e3f4ea; color: #17663a; }
.warn { background: #fdecdf; color: #a33f00; }
ul.notes { margin: 6px 0 10px; padding-left: 20px; color: #3b434d; }
ul.notes li.bad { color: #a33f00; }
svg { display: block; max-width: 100%; height: auto; }
svg text { font: 11px system-ui, Helvetica, Arial, sans-serif; fill: #333; }
.prov td, .prov th { text-align: left; font-size: 12px; }
.prov code, code { font: 11.5px ui-monospace, Menlo, Consolas, monospace; word-break: break-all; }
pre { font: 11.5px ui-monospace, Menlo, Consolas, monospace; background: #f7f9fb; padding: 8px 10px; white-space: pre-wrap; }
footer { margin-top: 30px; color: #6b7480; font-size: 12px; }
@media print { body { background: #fff; } main { max-width: none; padding: 0; } section.sample { break-inside: avoid-page; } }
)";

// Okabe-Ito colours, one per reference set; the program sets the dash.
constexpr const char* kColours[] = {"#0072b2", "#d55e00", "#009e73", "#cc79a7", "#e69f00", "#56b4e9", "#8c6d00", "#555555"};

std::string esc(std::string_view s) { return xml_text(s); }

std::string fmt(double v, int decimals) {
  std::ostringstream o;
  o.setf(std::ios::fixed);
  o.precision(decimals);
  o << v;
  return o.str();
}

// A step of 1, 2 or 5 times a power of ten giving about `n` ticks over [lo, hi].
double nice_step(double lo, double hi, int n) {
  const double raw = std::max((hi - lo) / n, 1e-9);
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * p) return m * p;
  return 10 * p;
}

int method_set(const std::string& method) { return std::atoi(method.substr(method.find('/') + 1).c_str()); }

const char* colour_of(const std::string& method) {
  return kColours[static_cast<std::size_t>(std::max(0, method_set(method) - 1)) % 8];
}
const char* dash_of(const std::string& method) { return method.rfind("KESTRA", 0) == 0 ? "6 3" : "none"; }

// The measured spectrum with each method's calculated one, the differences
// below, and the legend with RMSD and normalised RMSD.
std::string spectrum_svg(const ReportSample& s) {
  constexpr double W = 780, L = 58, R = 520, T = 16, H = 250, RT = 296, RH = 90;
  double xlo = 1e9, xhi = -1e9, ylo = 0, yhi = 0, rmax = 0.05;
  auto extend = [&](const std::vector<double>& wl, const std::vector<double>& v) {
    for (std::size_t i = 0; i < wl.size() && i < v.size(); ++i) {
      xlo = std::min(xlo, wl[i]);
      xhi = std::max(xhi, wl[i]);
      ylo = std::min(ylo, v[i]);
      yhi = std::max(yhi, v[i]);
    }
  };
  extend(s.wavelength_nm, s.measured);
  for (const ReportFit& f : s.fits) {
    extend(f.wavelength_nm, f.calculated);
    for (std::size_t i = 0; i < f.calculated.size() && i < f.experimental.size(); ++i)
      rmax = std::max(rmax, std::fabs(f.calculated[i] - f.experimental[i]));
  }
  if (!(xhi > xlo)) return "";
  if (yhi - ylo < 1e-3) {
    ylo -= 1;
    yhi += 1;
  }
  const double ystep = nice_step(ylo, yhi, 6);
  ylo = std::floor(ylo / ystep) * ystep;
  yhi = std::ceil(yhi / ystep) * ystep;
  const double rstep = nice_step(-rmax, rmax, 4);
  rmax = std::ceil(rmax / rstep) * rstep;
  auto px = [&](double wl) { return L + (R - L) * (wl - xlo) / (xhi - xlo); };
  auto py = [&](double v) { return T + H * (yhi - v) / (yhi - ylo); };
  auto pr = [&](double v) { return RT + RH * (rmax - v) / (2 * rmax); };
  auto path = [&](const std::vector<double>& wl, const std::vector<double>& v, auto&& y) {
    std::string d;
    for (std::size_t i = 0; i < wl.size() && i < v.size(); ++i)
      d += (i ? " L" : "M") + fmt(px(wl[i]), 1) + "," + fmt(y(v[i]), 1);
    return d;
  };
  std::ostringstream o;
  o << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"spectrum\" width=\"" << W << "\" height=\"" << RT + RH + 40
    << "\" viewBox=\"0 0 " << W << " " << RT + RH + 40 << "\">\n";
  o << "<title>" << esc("Measured and calculated CD spectra: " + s.title) << "</title>\n";
  // Grid and axes.
  for (double v = ylo; v <= yhi + ystep / 2; v += ystep)
    o << "<line x1=\"" << L << "\" x2=\"" << R << "\" y1=\"" << fmt(py(v), 1) << "\" y2=\"" << fmt(py(v), 1)
      << "\" stroke=\"" << (std::fabs(v) < ystep / 2 ? "#888" : "#e6e8eb") << "\"/><text x=\"" << L - 6 << "\" y=\""
      << fmt(py(v) + 4, 1) << "\" text-anchor=\"end\">" << fmt(std::fabs(v) < ystep / 2 ? 0.0 : v, ystep < 1 ? 1 : 0)
      << "</text>\n";
  for (double wl = std::ceil(xlo / 10) * 10; wl <= xhi; wl += 10) {
    o << "<line x1=\"" << fmt(px(wl), 1) << "\" x2=\"" << fmt(px(wl), 1) << "\" y1=\"" << T << "\" y2=\"" << RT + RH
      << "\" stroke=\"#eef0f2\"/><text x=\"" << fmt(px(wl), 1) << "\" y=\"" << RT + RH + 16
      << "\" text-anchor=\"middle\">" << wl << "</text>\n";
  }
  o << "<rect x=\"" << L << "\" y=\"" << T << "\" width=\"" << R - L << "\" height=\"" << H
    << "\" fill=\"none\" stroke=\"#999\"/>\n";
  o << "<rect x=\"" << L << "\" y=\"" << RT << "\" width=\"" << R - L << "\" height=\"" << RH
    << "\" fill=\"none\" stroke=\"#999\"/>\n";
  for (double v : {-rmax, 0.0, rmax})
    o << "<line x1=\"" << L << "\" x2=\"" << R << "\" y1=\"" << fmt(pr(v), 1) << "\" y2=\"" << fmt(pr(v), 1)
      << "\" stroke=\"" << (v == 0 ? "#888" : "#e6e8eb") << "\"/><text x=\"" << L - 6 << "\" y=\"" << fmt(pr(v) + 4, 1)
      << "\" text-anchor=\"end\">" << fmt(v, rstep < 0.1 ? 2 : 1) << "</text>\n";
  o << "<text x=\"14\" y=\"" << T + H / 2 << "\" transform=\"rotate(-90 14 " << T + H / 2
    << ")\" text-anchor=\"middle\">\u0394\u03b5 (M\u207b\u00b9 cm\u207b\u00b9)</text>\n";
  o << "<text x=\"14\" y=\"" << RT + RH / 2 << "\" transform=\"rotate(-90 14 " << RT + RH / 2
    << ")\" text-anchor=\"middle\">calc \u2212 meas</text>\n";
  o << "<text x=\"" << (L + R) / 2 << "\" y=\"" << RT + RH + 34 << "\" text-anchor=\"middle\">wavelength (nm)</text>\n";
  // Spectra: the measurement in black, then each method.
  o << "<path class=\"measured\" d=\"" << path(s.wavelength_nm, s.measured, py)
    << "\" fill=\"none\" stroke=\"#000\" stroke-width=\"2.4\"/>\n";
  for (const ReportFit& f : s.fits) {
    o << "<path class=\"fit\" data-method=\"" << esc(f.method) << "\" d=\"" << path(f.wavelength_nm, f.calculated, py)
      << "\" fill=\"none\" stroke=\"" << colour_of(f.method) << "\" stroke-width=\"1.6\" stroke-dasharray=\""
      << dash_of(f.method) << "\"/>\n";
    std::vector<double> diff;
    for (std::size_t i = 0; i < f.calculated.size() && i < f.experimental.size(); ++i)
      diff.push_back(f.calculated[i] - f.experimental[i]);
    o << "<path class=\"residual\" data-method=\"" << esc(f.method) << "\" d=\"" << path(f.wavelength_nm, diff, pr)
      << "\" fill=\"none\" stroke=\"" << colour_of(f.method) << "\" stroke-width=\"1.2\" stroke-dasharray=\""
      << dash_of(f.method) << "\"/>\n";
  }
  // Legend.
  const double lx = R + 18;
  o << "<text x=\"" << lx << "\" y=\"" << T + 8 << "\" font-weight=\"600\">method</text><text x=\"" << W - 58
    << "\" y=\"" << T + 8 << "\" text-anchor=\"end\" font-weight=\"600\">RMSD</text><text x=\"" << W - 6 << "\" y=\""
    << T + 8 << "\" text-anchor=\"end\" font-weight=\"600\">norm.</text>\n";
  double ly = T + 28;
  o << "<line x1=\"" << lx << "\" x2=\"" << lx + 24 << "\" y1=\"" << ly - 4 << "\" y2=\"" << ly - 4
    << "\" stroke=\"#000\" stroke-width=\"2.4\"/><text x=\"" << lx + 30 << "\" y=\"" << ly << "\">measured</text>\n";
  for (const ReportFit& f : s.fits) {
    ly += 18;
    o << "<g class=\"legend\" data-method=\"" << esc(f.method) << "\"><line x1=\"" << lx << "\" x2=\"" << lx + 24
      << "\" y1=\"" << ly - 4 << "\" y2=\"" << ly - 4 << "\" stroke=\"" << colour_of(f.method)
      << "\" stroke-width=\"1.8\" stroke-dasharray=\"" << dash_of(f.method) << "\"/><text x=\"" << lx + 30 << "\" y=\""
      << ly << "\">" << esc(f.method) << "</text><text x=\"" << W - 58 << "\" y=\"" << ly << "\" text-anchor=\"end\">"
      << csv_num(f.rmsd, 3) << "</text><text x=\"" << W - 6 << "\" y=\"" << ly << "\" text-anchor=\"end\">"
      << csv_num(f.normalised, 3) << "</text></g>\n";
  }
  o << "<text x=\"" << lx << "\" y=\"" << ly + 22 << "\" fill=\"#6b7480\">norm.: RMSD / RMS of the</text><text x=\""
    << lx << "\" y=\"" << ly + 36 << "\" fill=\"#6b7480\">measured spectrum fitted</text>\n";
  o << "</svg>\n";
  return o.str();
}

// The consensus table: a row per method with its value and own spread in
// each group, then the consensus over the methods.
std::string consensus_table(const SampleSummary& s, const std::vector<ReportFit>& fits) {
  std::ostringstream o;
  o << "<table class=\"consensus\">\n<tr><th class=\"name\">method</th><th>RMSD</th><th>norm. RMSD</th>";
  for (int k = 0; k < kGroups; ++k)
    if (group_present(s, k)) o << "<th>" << group_name(k) << "</th>";
  o << "</tr>\n";
  for (const Method& m : s.methods) {
    std::string norm;
    for (const ReportFit& f : fits)
      if (f.method == m.name()) norm = csv_num(f.normalised, 3);
    o << "<tr" << (m.no_result.empty() ? "" : " class=\"none\"") << " data-method=\"" << esc(m.name())
      << "\"><td class=\"name\">" << esc(m.name());
    if (m.details) o << "<small>" << m.details->solutions << " solutions</small>";
    if (!m.no_result.empty()) o << "<small>no result</small>";
    o << "</td><td data-field=\"rmsd\">" << csv_num(m.entry.rmsd, 3) << "</td><td>" << norm << "</td>";
    for (int k = 0; k < kGroups; ++k) {
      if (!group_present(s, k)) continue;
      const auto& g = m.group[static_cast<std::size_t>(k)];
      o << "<td data-group=\"" << group_name(k) << "\">";
      if (g) {
        o << csv_num(*g, 3);
        if (m.details)
          if (const auto& sp = m.details->groups[static_cast<std::size_t>(k)])
            o << "<small>sd " << csv_num(sp->sd) << "</small><small>" << csv_num(sp->min) << "\u2013" << csv_num(sp->max)
              << "</small>";
      } else {
        o << "\u2013";
      }
      o << "</td>";
    }
    o << "</tr>\n";
  }
  for (const char* row : {"mean", "sd", "min", "max"}) {
    o << "<tr class=\"consensus\" data-consensus=\"" << row << "\"><td class=\"name\">"
      << (std::string(row) == "mean" ? "consensus mean" : std::string(row) == "sd" ? "SD between methods" : row)
      << "</td><td></td><td></td>";
    for (int k = 0; k < kGroups; ++k) {
      if (!group_present(s, k)) continue;
      const Consensus& c = s.consensus[static_cast<std::size_t>(k)];
      const double v = std::string(row) == "mean" ? c.mean : std::string(row) == "sd" ? c.sd : std::string(row) == "min" ? c.min : c.max;
      o << "<td data-group=\"" << group_name(k) << "\"" << (c.disagree ? " class=\"differ\"" : "") << ">"
        << (c.n ? csv_num(v) : "") << "</td>";
    }
    o << "</tr>\n";
  }
  o << "<tr class=\"consensus\" data-consensus=\"flag\"><td class=\"name\">methods differ by &gt; 0.10</td><td></td><td></td>";
  for (int k = 0; k < kGroups; ++k)
    if (group_present(s, k))
      o << "<td data-group=\"" << group_name(k) << "\" class=\"differ\">"
        << (s.consensus[static_cast<std::size_t>(k)].disagree ? "differ" : "") << "</td>";
  o << "</tr>\n</table>\n<p class=\"sub\">Under each value: the method's own spread over the solutions it averaged "
       "(sd; min\u2013max). The consensus rows are over the methods with a result; groups whose methods differ by more "
       "than 0.10 are flagged. norm. RMSD: RMSD / RMS of the measured spectrum over the wavelengths fitted.</p>\n";
  return o.str();
}

std::string sample_section(const ReportSample& s) {
  std::ostringstream o;
  o << "<section class=\"sample\" data-title=\"" << esc(s.title) << "\">\n<h2>" << esc(s.title) << "</h2>\n";
  if (!s.magnitude.empty())
    o << "<p>Magnitude check: <span class=\"badge " << (s.magnitude_warning ? "warn" : "ok") << "\">"
      << esc(s.magnitude) << "</span></p>\n";
  if (s.summary) {
    o << "<div class=\"cards\">";
    for (int k = 0; k < kGroups; ++k) {
      const Consensus& c = s.summary->consensus[static_cast<std::size_t>(k)];
      if (c.n == 0) continue;
      o << "<div class=\"card" << (c.disagree ? " differ" : "") << "\"><div class=\"k\">" << group_name(k)
        << "</div><div class=\"v\">" << csv_num(c.mean) << "</div><div class=\"s\">sd " << csv_num(c.sd) << ", "
        << c.n << (c.n == 1 ? " method" : " methods") << "</div></div>";
    }
    o << "</div>\n";
  } else {
    o << "<p class=\"warn\">No method gave a result for this spectrum.</p>\n";
  }
  o << "<h3>Measured and calculated spectra</h3>\n" << spectrum_svg(s);
  if (s.summary) o << "<h3>Each method and the consensus</h3>\n" << consensus_table(*s.summary, s.fits);
  if (!s.warnings.empty()) {
    o << "<h3>Notes and warnings</h3>\n<ul class=\"notes\">\n";
    for (const std::string& w : s.warnings)
      o << "<li" << (w.find("no result") != std::string::npos || w.rfind("warning", 0) == 0 ? " class=\"bad\"" : "")
        << ">" << esc(w) << "</li>\n";
    o << "</ul>\n";
  }
  o << "</section>\n";
  return o.str();
}

}  // namespace

std::string report_html(const ReportData& d) {
  std::ostringstream o;
  o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" "
       "lang=\"en\">\n<head>\n<meta charset=\"UTF-8\"/>\n<title>"
    << esc("Secondary structure: " + d.heading) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n<main>\n";
  o << "<h1>Secondary structure from CD: " << esc(d.heading) << "</h1>\n<p class=\"sub\">" << esc(d.sets_note)
    << ". Each method is a program (MORVAN3: self-consistent; KESTRA: variable selection) with a reference set; "
       "the consensus is their mean. Trust a group when the methods agree and the fits are close.</p>\n";
  if (!d.warnings.empty()) {
    o << "<ul class=\"notes\">\n";
    for (const std::string& w : d.warnings) o << "<li class=\"bad\">" << esc(w) << "</li>\n";
    o << "</ul>\n";
  }
  if (!d.series_svg.empty()) {
    const std::size_t at = d.series_svg.find("<svg");
    o << "<section class=\"series\"><h2>The series</h2>\n"
      << (at == std::string::npos ? std::string() : d.series_svg.substr(at)) << "</section>\n";
  }
  for (const ReportSample& s : d.samples) o << sample_section(s);

  o << "<section class=\"prov\">\n<h2>Provenance</h2>\n<table class=\"prov\">\n"
    << "<tr><th>package</th><td>cdsec " << esc(d.version) << "</td></tr>\n"
    << "<tr><th>command</th><td><code>" << esc(d.command) << "</code></td></tr>\n"
    << "<tr><th>KESTRA_SEED</th><td>" << esc(d.seed) << "</td></tr>\n";
  for (const std::string& c : d.steps) o << "<tr><th>ran</th><td><code>" << esc(c) << "</code></td></tr>\n";
  o << "<tr><th>reference sets</th><td>" << esc(d.sets_note) << "</td></tr>\n</table>\n"
    << "<h3>Files (SHA-256)</h3>\n<table class=\"prov\">\n";
  for (const ReportFile& f : d.files)
    o << "<tr><td>" << esc(f.role) << "</td><td><code>" << esc(f.path) << "</code></td><td><code>" << esc(f.sha256)
      << "</code></td></tr>\n";
  o << "</table>\n";
  for (const auto& [file, steps] : d.conversion) {
    o << "<h3>Conversion of " << esc(file) << "</h3>\n<pre>";
    for (const std::string& l : steps) o << esc(l) << "\n";
    o << "</pre>\n";
  }
  o << "</section>\n<footer>Made by cdref analyse. The tables use the numbers of summary.csv; the spectra come from "
       "the run records in records/.</footer>\n</main>\n</body>\n</html>\n";
  return o.str();
}

}  // namespace cdref
