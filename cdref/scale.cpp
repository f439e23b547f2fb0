#include "cdref/scale.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <optional>
#include <stdexcept>

#include "frame/console.hpp"
#include "frame/job.hpp"
#include "frame/layout.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/safe_file.hpp"
#include "frame/summary.hpp"
#include "frame/text_input.hpp"
#include "cdref/crossval.hpp"
#include "cdref/summary.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;
using json = nlohmann::ordered_json;

namespace {

constexpr int kMaxPoints = 100;  // the longest job either program reads
// Quantities such as the factor from which KESTRA's acceptable combinations
// are full move in whole ladder steps; a spread below this would trust a
// step more than it can be trusted.
constexpr double kMinSpread = 0.25;
// The ln-factor half-width of the central 80% of a normal spread.
constexpr double kZ80 = 1.2816;

std::string trim(std::string_view s) { return std::string(cdsec::trim_blanks(s)); }
std::string num(double v, int d) { return trim(cdsec::edit_F(static_cast<float>(v), 16, d)); }
// Two significant digits at least, for factors from 0.0001 to 10000.
std::string factor_text(double f) {
  if (!std::isfinite(f)) return "?";
  const int d = f >= 10 ? 1 : f >= 1 ? 2 : std::min(6, 1 + static_cast<int>(std::ceil(-std::log10(f))));
  return num(f, d);
}

}  // namespace

std::vector<InputJob> read_input(const std::string& path) {
  cdsec::LineReader in;
  in.open(path_from_utf8(path));
  cdsec::JobReader jr(in);
  std::vector<InputJob> jobs;
  cdsec::Vector<kMaxPoints> raw;
  while (jr.begin()) {
    InputJob j;
    j.job = static_cast<int>(jobs.size()) + 1;
    int iprint = 0;
    jr.read_print_basis(iprint, j.ibasis);
    j.title = jr.read_title(64);
    jr.read_range(j.first, j.last, j.factor);
    const long long n = cdsec::JobReader::point_count(j.first, j.last);
    jr.read_cd(static_cast<int>(n < 1 || n > kMaxPoints ? 0 : n), kMaxPoints, raw.view());
    jr.skip_after_cd();
    jr.skip_guess();
    j.cd.assign(raw.data(), raw.data() + n);
    jobs.push_back(std::move(j));
  }
  return jobs;
}

namespace {

// RMS of the job's spectrum at its own factor over the part of its range
// the set is valid for (what the programs analyse).
double spectrum_rms(const InputJob& j) {
  const cdsec::RefSetInfo* set = cdsec::find_ref_set(j.ibasis);
  const float f = j.factor == 0.0f ? 1.0f : j.factor;
  double ss = 0;
  int n = 0;
  for (std::size_t i = 0; i < j.cd.size(); ++i) {
    const float wl = j.first - static_cast<float>(i);
    if (set && (wl > set->long_limit || wl < set->short_limit)) continue;
    const double v = static_cast<double>(j.cd[i]) * f;
    ss += v * v;
    ++n;
  }
  return n ? std::sqrt(ss / n) : 0.0;
}

constexpr const char* kScanTitle = "cdref scale ";

std::string scan_title(std::size_t k) {
  std::string n = std::to_string(k + 1);
  return kScanTitle + std::string(n.size() < 3 ? 3 - n.size() : 0, '0') + n;
}

int scan_of_title(const std::string& title) {
  const std::string t = trim(title);
  if (!t.starts_with(kScanTitle)) return 0;
  long long v = 0;
  return cdsec::parse_int(t.substr(std::strlen(kScanTitle)), v) ? static_cast<int>(v) : 0;
}

// Links a reference file, found as the programs find it from here, into a
// scratch directory (its working directory comes first for the programs).
void link_reference(const std::string& name, const fs::path& dir) {
  const cdsec::RefFileLocation loc = cdsec::locate_ref_file(name);
  const fs::path from = path_from_utf8(loc.path), to = dir / path_from_utf8(name);
  std::error_code ec;
  fs::create_symlink(fs::absolute(from), to, ec);
  if (ec) fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

struct ScanSetup {
  std::array<fs::path, 2> exe;
  std::array<bool, 2> run{true, true};
  std::vector<double> ladder;
  std::string seed = "1";
  int job_timeout = 120;
};

// KESTRA's count of acceptable combinations at each factor, from its report:
// a job's section starts with its title at the start of a line and holds
// either "isstr=" (the count) or the note that fewer than five were found.
void read_valid_counts(const fs::path& report, std::vector<ScanPoint>& scan) {
  std::error_code ec;
  if (!fs::exists(report, ec)) return;
  cdsec::LineReader in;
  in.open(report);
  std::string line;
  int k = 0;
  while (in.next(line)) {
    if (line.starts_with(kScanTitle)) {
      k = scan_of_title(line);
      continue;
    }
    if (k < 1 || k > static_cast<int>(scan.size())) continue;
    ScanPoint& pt = scan[static_cast<std::size_t>(k - 1)];
    long long v = 0;
    if (const std::size_t at = line.find("isstr="); at != std::string::npos) {
      const std::size_t end = line.find("icntf=", at);
      if (cdsec::parse_int(trim(line.substr(at + 6, end == std::string::npos ? std::string::npos : end - at - 6)), v))
        pt.valid = static_cast<int>(v);
    } else if (line.find("acceptable solutions is less than five") != std::string::npos) {
      pt.valid = 0;  // fewer than five; the report gives no number
    }
  }
}

// Runs program p on the job at every factor of the ladder in `dir`.
ProgramScale scan_job(const InputJob& j, Program p, const ScanSetup& s, const fs::path& dir) {
  ProgramScale r;
  r.ran = true;
  const int pi = static_cast<int>(p);
  const fs::path pdir = dir / path_from_utf8(program_name(p)), details = pdir / "details";
  fs::create_directories(details);
  const cdsec::RefSetInfo* set = cdsec::find_ref_set(j.ibasis);
  if (!set) {
    r.trouble = "IBasis " + std::to_string(j.ibasis) + " names no reference set";
    return r;
  }
  link_reference("CDDATA." + std::string(set->suffix), pdir);
  link_reference("SSDATA." + std::string(set->suffix), pdir);

  // Each factor multiplies the job's own; the factor field has four
  // decimals, so the factor applied is the one written.
  const float own = j.factor == 0.0f ? 1.0f : j.factor;
  std::ostringstream input;
  r.scan.resize(s.ladder.size());
  std::size_t at_one = 0;
  // The programs refuse a spectrum that a factor takes beyond any delta
  // epsilon (and stop there): such steps of the ladder are not run.
  float largest = 0.0f;
  for (float v : j.cd) largest = std::max(largest, std::fabs(v));
  int jobs = 0;
  for (std::size_t k = 0; k < s.ladder.size(); ++k) {
    float written = 0;
    cdsec::parse_real(trim(cdsec::edit_F(static_cast<float>(own * s.ladder[k]), 12, 4)), written);
    r.scan[k].factor = written / own;
    if (std::fabs(std::log(s.ladder[k])) < std::fabs(std::log(s.ladder[at_one]))) at_one = k;
    if (!(largest * std::fabs(written) <= cdsec::kMaxAbsCd)) continue;
    cdsec::write_job(input, j.ibasis, scan_title(k), j.first, j.last, j.cd, written);
    ++jobs;
  }
  if (jobs == 0) {
    r.trouble = "every factor of the scan takes the spectrum beyond 1000 in magnitude";
    return r;
  }
  if (std::string why = cdsec::replace_file(pdir / "INPUT", input.str()); !why.empty())
    throw std::runtime_error(path_to_utf8(pdir / "INPUT") + ": " + why);
  const RunOutcome o = run_program(
      s.exe[static_cast<std::size_t>(pi)], pdir,
      {"CDSEC_REFDIR=" + path_to_utf8(pdir), "KESTRA_SEED=" + s.seed, "CDSEC_DETAILS=" + path_to_utf8(details)},
      s.job_timeout, nullptr);
  if (o.timed_out) {
    r.trouble = "stopped after " + std::to_string(s.job_timeout) + " s without finishing a job";
  } else if (!o.exited) {
    r.trouble = "ended by signal " + std::to_string(o.signal);
  } else if (o.exit_code != 0 && o.exit_code != cdsec::kExitNoResult) {  // jobs without a result are expected
    const std::string said = trim(o.stderr_text.substr(0, o.stderr_text.find('\n')));
    r.trouble = "exit status " + std::to_string(o.exit_code) + (said.empty() ? "" : ": " + said);
  }
  r.failed = !r.trouble.empty();  // nothing above this point set it

  // The run records give the RMSD and the spectrum at full precision, and
  // the all-basis sum; without them (a program that writes none) the RMSD
  // comes from ProtSS.out and the spectrum's RMS from the job itself.
  bool any_record = false;
  const double rms1 = spectrum_rms(j);
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(details, ec)) {
    if (e.path().extension() != ".json") continue;
    RunRecordData rec;
    try {
      rec = read_run_record(path_to_utf8(e.path()));
    } catch (const std::exception& ex) {
      r.trouble = ex.what();
      continue;
    }
    const int k = scan_of_title(rec.title);  // steps beyond any delta epsilon are left out
    if (k < 1 || k > static_cast<int>(r.scan.size())) continue;
    any_record = true;
    ScanPoint& pt = r.scan[static_cast<std::size_t>(k - 1)];
    if (rec.has_all_basis && std::isfinite(rec.all_basis_sum)) {
      pt.all_basis_sum = rec.all_basis_sum;
      if (static_cast<std::size_t>(k - 1) == at_one) r.all_basis_sum = rec.all_basis_sum;
    }
    if (!rec.completed || !std::isfinite(rec.rmsd)) continue;
    double ss = 0;
    for (double v : rec.experimental) ss += v * v;
    const double rms = rec.experimental.empty() ? rms1 * pt.factor : std::sqrt(ss / static_cast<double>(rec.experimental.size()));
    if (!(rms > 0)) continue;
    pt.ok = true;
    pt.rmsd = rec.rmsd;
    pt.normalised = rec.rmsd / rms;
  }
  if (!any_record) {
    const fs::path protss = pdir / "ProtSS.out";
    if (fs::exists(protss, ec)) {
      std::vector<cdsec::SummaryDamage> damaged;
      for (const cdsec::SummaryEntry& e : cdsec::read_summary_records(path_to_utf8(protss), damaged)) {
        const int k = scan_of_title(e.title);
        if (k < 1 || k > static_cast<int>(r.scan.size()) || !e.all_finite()) continue;
        bool zeros = true;
        for (int c = 1; c <= e.ns; ++c) zeros = zeros && e.fractions(c) == 0.0f;
        if (zeros) continue;  // KESTRA's record of an empty helix window
        ScanPoint& pt = r.scan[static_cast<std::size_t>(k - 1)];
        const double rms = rms1 * pt.factor;
        if (!(rms > 0)) continue;
        pt.ok = true;
        pt.rmsd = e.rmsd;
        pt.normalised = e.rmsd / rms;
      }
    }
  }
  if (p == Program::kKestra) read_valid_counts(pdir / "Kestra.out", r.scan);
  r.all_basis_factor = all_basis_crossing(r.scan, &r.all_basis_edge);
  if (p == Program::kKestra) r.valid_factor = full_combinations_factor(r.scan, &r.valid_edge);
  r.fit_factor = best_fit_factor(r.scan, &r.fit_edge, &r.fit_best);
  if (!r.fit_factor && r.trouble.empty()) r.trouble = "no fit at any factor";
  return r;
}

}  // namespace

std::vector<double> default_scale_ladder() {
  // 0.04 to 25, five steps per decade, written with the four decimals of
  // the job's factor field.
  std::vector<double> l;
  for (int k = -7; k <= 7; ++k) l.push_back(std::round(std::pow(10.0, k / 5.0) * 10000.0) / 10000.0);
  return l;
}

std::optional<double> best_fit_factor(const std::vector<ScanPoint>& scan, int* edge, double* best) {
  int m = -1;
  for (std::size_t k = 0; k < scan.size(); ++k)
    if (scan[k].ok && (m < 0 || scan[k].normalised < scan[static_cast<std::size_t>(m)].normalised)) m = static_cast<int>(k);
  if (edge) *edge = 0;
  if (m < 0) return std::nullopt;
  const std::size_t mi = static_cast<std::size_t>(m);
  if (best) *best = scan[mi].normalised;
  double lf = std::log(scan[mi].factor);
  const bool left = mi > 0 && scan[mi - 1].ok, right = mi + 1 < scan.size() && scan[mi + 1].ok;
  if (left && right) {
    // Vertex of the parabola through the three points, in log factor.
    const double x0 = std::log(scan[mi - 1].factor), x1 = lf, x2 = std::log(scan[mi + 1].factor);
    const double y0 = scan[mi - 1].normalised, y1 = scan[mi].normalised, y2 = scan[mi + 1].normalised;
    const double d = (x0 - x1) * (x0 - x2) * (x1 - x2);
    const double a = (x2 * (y1 - y0) + x1 * (y0 - y2) + x0 * (y2 - y1)) / d;
    const double b = (x2 * x2 * (y0 - y1) + x1 * x1 * (y2 - y0) + x0 * x0 * (y1 - y2)) / d;
    if (a > 0) lf = std::clamp(-b / (2 * a), std::min(x0, x2), std::max(x0, x2));
  } else if (edge) {
    if (mi == 0) *edge = -1;
    if (mi + 1 == scan.size()) *edge = 1;
  }
  return std::exp(lf);
}

std::optional<double> all_basis_crossing(const std::vector<ScanPoint>& scan, int* edge) {
  if (edge) *edge = 0;
  std::vector<std::pair<double, double>> pts;  // log factor, sum
  for (const ScanPoint& p : scan)
    if (p.all_basis_sum && std::isfinite(*p.all_basis_sum) && p.factor > 0) pts.emplace_back(std::log(p.factor), *p.all_basis_sum);
  if (pts.size() < 2) return std::nullopt;
  // A sum of fractions below 0 anywhere means the estimate is dominated by
  // negative fractions (a few measured proteins); its sum then creeps
  // towards 1 from below with no relation to the magnitude.
  for (const auto& pt : pts)
    if (pt.second < 0) return std::nullopt;
  bool below = true, above = true;
  std::optional<double> best;
  for (std::size_t k = 0; k < pts.size(); ++k) {
    below = below && pts[k].second < 1;
    above = above && pts[k].second > 1;
    if (k == 0) continue;
    const auto [x0, y0] = pts[k - 1];
    const auto [x1, y1] = pts[k];
    if (!(y0 < 1 && y1 >= 1)) continue;
    const double x = x0 + (1 - y0) / (y1 - y0) * (x1 - x0);
    if (!best || std::fabs(x) < std::fabs(*best)) best = x;
  }
  if (best) return std::exp(*best);
  if (below || above) {
    if (edge) *edge = below ? 1 : -1;
    return std::exp(below ? pts.back().first : pts.front().first);
  }
  return std::nullopt;
}

const SignalSpread& signal_spread(Signal s) {
  // Medians and spreads of each signal's suggestion over the 56 correctly
  // scaled soluble proteins of bench/scale-check, against the bundled
  // reference sets (KESTRA with seed 1).  The all-basis sum went negative
  // somewhere on the ladder for 2 proteins with MORVAN3 and 8 with KESTRA,
  // which then have no all-basis signal.
  static const std::array<SignalSpread, kSignals> spreads{{
      {"MORVAN3 all-basis", 1.24, 0.45},
      {"MORVAN3 fit", 0.89, 0.92},
      {"KESTRA all-basis", 1.21, 0.62},
      {"KESTRA fit", 2.17, 0.77},
      {"KESTRA acceptable combinations", 0.63, 0.18},
  }};
  return spreads[static_cast<std::size_t>(s)];
}

std::optional<double> full_combinations_factor(const std::vector<ScanPoint>& scan, int* edge) {
  if (edge) *edge = 0;
  int most = -1, counts = 0;
  for (const ScanPoint& p : scan)
    if (p.valid) {
      most = std::max(most, *p.valid);
      ++counts;
    }
  if (counts < 2 || most <= 0) return std::nullopt;
  std::optional<std::size_t> from;
  for (std::size_t k = scan.size(); k-- > 0;) {
    if (!scan[k].valid) continue;
    if (*scan[k].valid != most) break;
    from = k;
  }
  if (!from) return std::nullopt;  // the count falls again at the top of the ladder
  std::size_t first = 0;
  while (!scan[first].valid) ++first;
  if (edge && *from == first) *edge = -1;
  return scan[*from].factor;
}

void judge(JobScale& j) {
  const ProgramScale &m = j.program[0], &k = j.program[1];
  const std::array<std::pair<std::optional<double>, int>, kSignals> given{{{m.all_basis_factor, m.all_basis_edge},
                                                                           {m.fit_factor, m.fit_edge},
                                                                           {k.all_basis_factor, k.all_basis_edge},
                                                                           {k.fit_factor, k.fit_edge},
                                                                           {k.valid_factor, k.valid_edge}}};
  double sum = 0, weights = 0;
  for (int i = 0; i < kSignals; ++i) {
    std::optional<SignalEstimate>& e = j.signals[static_cast<std::size_t>(i)];
    e.reset();
    const auto& [f, edge] = given[static_cast<std::size_t>(i)];
    if (!f || !(*f > 0) || !std::isfinite(*f)) continue;
    const SignalSpread& sp = signal_spread(static_cast<Signal>(i));
    const double spread = std::max(sp.spread, kMinSpread);
    SignalEstimate x;
    x.suggested = *f;
    x.beyond = edge != 0;
    x.estimate = *f / sp.typical;
    x.low = x.estimate * std::exp(-kZ80 * spread);
    x.high = x.estimate * std::exp(kZ80 * spread);
    e = x;
    const double w = 1 / (spread * spread);
    sum += w * std::log(x.estimate);
    weights += w;
  }
  j.combined.reset();
  j.warning = false;
  j.resembles.clear();
  if (weights == 0) return;
  j.combined = std::exp(sum / weights);
  j.warning = *j.combined > kWarnBand || *j.combined < 1 / kWarnBand;
  if (j.warning) j.resembles = mistake_resembled(*j.combined);
}

std::string mistake_resembled(double f) {
  // f is what the spectrum should be multiplied by.
  if (f >= 300) return "millidegrees taken for molar ellipticity, or degrees for millidegrees (about 1000 times too small)";
  if (f >= 6) return "a path length in mm entered as cm, or a concentration 10 times too high (about 10 times too small)";
  if (f >= 2) return "a wrong concentration or path length (a dilution, the cell's length), not a unit mistake";
  if (f <= 1.0 / 1000) return "molar ellipticity not converted to delta epsilon (about 3300 times too large)";
  if (f <= 1.0 / 6) return "mg/mL entered as mM (1 mg/mL is about 9 mM of residues at 110 Da each), or a path length in cm "
                           "entered as mm (about 10 times too large)";
  if (f <= 0.5) return "a wrong concentration or path length (a dilution, the cell's length), not a unit mistake";
  return "";
}

// ---------------------------------------------------------------- command


namespace {

json scale_json(const JobScale& j, const std::vector<double>& ladder) {
  json o;
  o["job"] = j.job;
  o["title"] = trim(j.title);
  o["ibasis"] = j.ibasis;
  auto opt = [](const std::optional<double>& v) { return v ? json(*v) : json(nullptr); };
  o["programs"] = json::object();
  for (int pi = 0; pi < 2; ++pi) {
    const ProgramScale& p = j.program[static_cast<std::size_t>(pi)];
    if (!p.ran) continue;
    json jp;
    jp["all_basis_sum"] = opt(p.all_basis_sum);
    jp["all_basis_factor"] = opt(p.all_basis_factor);
    jp["all_basis_beyond_ladder"] = p.all_basis_edge != 0;
    jp["fit_factor"] = opt(p.fit_factor);
    if (pi == 1) {
      jp["full_combinations_factor"] = opt(p.valid_factor);
      jp["full_combinations_at_start_of_ladder"] = p.valid_edge != 0;
    }
    jp["fit_at_end_of_ladder"] = p.fit_edge != 0;
    jp["best_normalised_rmsd"] = p.fit_factor ? json(p.fit_best) : json(nullptr);
    jp["trouble"] = p.trouble.empty() ? json(nullptr) : json(p.trouble);
    jp["scan"] = json::array();
    for (const ScanPoint& s : p.scan)
    {
      json pt{{"factor", s.factor},
              {"rmsd", s.ok ? json(s.rmsd) : json(nullptr)},
              {"normalised_rmsd", s.ok ? json(s.normalised) : json(nullptr)},
              {"all_basis_sum", opt(s.all_basis_sum)}};
      if (pi == 1) pt["valid_combinations"] = s.valid ? json(*s.valid) : json(nullptr);
      jp["scan"].push_back(pt);
    }
    o["programs"][program_name(static_cast<Program>(pi))] = jp;
  }
  o["signals"] = json::array();
  for (int i = 0; i < kSignals; ++i) {
    const std::optional<SignalEstimate>& e = j.signals[static_cast<std::size_t>(i)];
    if (!e) continue;
    const SignalSpread& sp = signal_spread(static_cast<Signal>(i));
    o["signals"].push_back(json{{"signal", sp.name},
                                {"suggested_factor", e->suggested},
                                {"beyond_ladder", e->beyond},
                                {"typical_when_right", sp.typical},
                                {"estimate", e->estimate},
                                {"range_80", json::array({e->low, e->high})}});
  }
  o["combined_factor"] = opt(j.combined);
  o["warning"] = j.warning;
  o["resembles"] = j.resembles.empty() ? json(nullptr) : json(j.resembles);
  (void)ladder;
  return o;
}

void print_job(std::ostream& out, const JobScale& j) {
  out << "Job " << j.job << " \"" << trim(j.title) << "\" (set " << j.ibasis << ")\n";
  for (int pi = 0; pi < 2; ++pi) {
    const ProgramScale& p = j.program[static_cast<std::size_t>(pi)];
    if (!p.ran) continue;
    out << "  " << program_name(static_cast<Program>(pi)) << ": all-basis ";
    if (p.all_basis_sum) out << "sum " << num(*p.all_basis_sum, 3) << ", ";
    if (p.all_basis_factor && p.all_basis_edge == 0)
      out << "reaches 1 at factor " << factor_text(*p.all_basis_factor);
    else if (p.all_basis_factor)
      out << (p.all_basis_edge > 0 ? "below 1 up to factor " : "above 1 down to factor ") << factor_text(*p.all_basis_factor)
          << " (beyond the ladder)";
    else
      out << (p.all_basis_sum ? "does not rise through 1 on the ladder" : "not available");
    out << "; fit ";
    if (p.fit_factor)
      out << (p.fit_edge < 0 ? "<= " : p.fit_edge > 0 ? ">= " : "") << "factor " << factor_text(*p.fit_factor)
          << " (RMSD / RMS of the spectrum " << num(p.fit_best, 3) << ")";
    else
      out << "not available";
    if (pi == 1) {
      out << "; acceptable combinations ";
      if (p.valid_factor)
        out << "full from factor " << (p.valid_edge < 0 ? "<= " : "") << factor_text(*p.valid_factor);
      else
        out << "not available";
    }
    if (!p.trouble.empty()) out << " [" << p.trouble << "]";
    out << "\n";
  }
  for (int i = 0; i < kSignals; ++i) {
    const std::optional<SignalEstimate>& e = j.signals[static_cast<std::size_t>(i)];
    if (!e) continue;
    const SignalSpread& sp = signal_spread(static_cast<Signal>(i));
    out << "    " << sp.name << ": " << factor_text(e->suggested) << ", typical " << factor_text(sp.typical)
        << " when right -> x" << (e->beyond ? (e->suggested > 1 ? ">= " : "<= ") : "") << factor_text(e->estimate)
        << " (80% range " << factor_text(e->low) << " to " << factor_text(e->high) << ")\n";
  }
  out << "  " << scale_verdict(j) << "\n";
}

}  // namespace

std::string scale_verdict(const JobScale& j) {
  if (!j.combined) return "no signal: the magnitude cannot be judged";
  std::string v = "combined estimate x" + factor_text(*j.combined);
  if (j.warning)
    return v + ": WARNING: the spectrum looks about " + factor_text(*j.combined >= 1 ? *j.combined : 1.0 / *j.combined) +
           " times too " + (*j.combined >= 1 ? "small" : "large") + "; this resembles " + j.resembles;
  return v + ": plausible";
}

int run_scale(const ScaleOptions& opt, std::ostream& out, std::ostream& progress, std::vector<JobScale>* results) {
  const std::string& input = opt.input;
  const int only_job = opt.job;
  ScanSetup s;
  s.ladder = opt.ladder.empty() ? default_scale_ladder() : opt.ladder;
  std::sort(s.ladder.begin(), s.ladder.end());
  s.run = opt.run;
  s.seed = opt.seed;
  s.job_timeout = opt.job_timeout;
  const std::array<std::string, 2>& given = opt.exe;
  const std::string& json_path = opt.json;
  const std::string& scratch_arg = opt.scratch;
  std::vector<InputJob> jobs;
  try {
    for (int pi = 0; pi < 2; ++pi)
      if (s.run[static_cast<std::size_t>(pi)])
        s.exe[static_cast<std::size_t>(pi)] = find_program(static_cast<Program>(pi), given[static_cast<std::size_t>(pi)]);
    jobs = read_input(input);
  } catch (const std::exception& e) {
    std::cerr << "cdref scale: " << e.what() << "\n";
    return 1;
  }
  if (only_job > static_cast<int>(jobs.size())) {
    std::cerr << "cdref scale: " << input << " holds " << jobs.size() << " jobs; there is no job " << only_job << "\n";
    return 1;
  }

  std::optional<ScratchDir> scratch_dir;
  try {
    scratch_dir.emplace(scratch_arg, "cdref-scale", false);
  } catch (const std::exception& e) {
    std::cerr << "cdref scale: " << e.what() << "\n";
    return 1;
  }
  const fs::path& scratch = scratch_dir->path();

  const std::string band_text = kWarnBand == std::round(kWarnBand) ? std::to_string(static_cast<int>(kWarnBand)) : factor_text(kWarnBand);
  out << "Magnitude check of " << input << ": each job analysed at " << s.ladder.size() << " factors from "
            << factor_text(s.ladder.front()) << " to " << factor_text(s.ladder.back()) << " (KESTRA_SEED=" << s.seed << ")\n"
            << "A suggested factor is what the spectrum would have to be multiplied by; divided by the\n"
            << "signal's typical value on correctly scaled measured proteins (bench/scale-check) it estimates\n"
            << "the factor the spectrum needs (xF), with the range 80% of those proteins fell in.  The estimates\n"
            << "are combined with weights from their spreads there; a combined estimate below 1/" << band_text
            << "\nor above " << band_text << " is warned about.\n\n";
  json all = json::array();
  int warned = 0, status = 0;
  const int total = only_job ? 1 : static_cast<int>(jobs.size());
  int done = 0;
  for (const InputJob& j : jobs) {
    if (only_job && j.job != only_job) continue;
    ++done;
    if (opt.on_job)
      opt.on_job(j.job, trim(j.title));
    else
      progress << "job " << done << "/" << total << " (job " << j.job << " of " << input << ", \"" << trim(j.title)
               << "\") ...\n"
               << std::flush;
    JobScale r;
    r.job = j.job;
    r.title = j.title;
    r.ibasis = j.ibasis;
    const fs::path dir = scratch / path_from_utf8("job" + std::to_string(j.job));
    for (int pi = 0; pi < 2; ++pi) {
      if (!s.run[static_cast<std::size_t>(pi)]) continue;
      try {
        r.program[static_cast<std::size_t>(pi)] = scan_job(j, static_cast<Program>(pi), s, dir);
      } catch (const std::exception& e) {
        r.program[static_cast<std::size_t>(pi)].ran = true;
        r.program[static_cast<std::size_t>(pi)].trouble = e.what();
        r.program[static_cast<std::size_t>(pi)].failed = true;
      }
      if (r.program[static_cast<std::size_t>(pi)].failed) status = 1;
    }
    judge(r);
    warned += r.warning ? 1 : 0;
    print_job(out, r);
    out.flush();
    all.push_back(scale_json(r, s.ladder));
    if (results) results->push_back(r);
  }
  out << "\n" << warned << " of " << total << (total == 1 ? " job" : " jobs") << " warned about\n";
  if (!json_path.empty()) {
    json doc;
    doc["format"] = "cdref-scale";
    doc["format_version"] = 1;
    doc["input"] = input;
    doc["ladder"] = s.ladder;
    doc["warn_below"] = 1 / kWarnBand;
    doc["warn_above"] = kWarnBand;
    doc["jobs"] = all;
    if (std::string why = cdsec::replace_file(path_from_utf8(json_path),
                                              doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
        !why.empty()) {
      std::cerr << "cdref scale: " << json_path << ": " << why << "\n";
      status = 1;
    }
  }
  return status;
}

}  // namespace cdref
