// cdref: the package's own tool.  Lists the catalogue and where each set is
// read from, checks and builds reference sets, converts measured spectra,
// cross-validates sets, summarises results and checks magnitudes.
//
// The whole command line lives here: every subcommand's options, with one
// wording for a refused value and exit status 2 for any usage error.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/package.hpp"
#include "frame/platform.hpp"
#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "cdref/analyse.hpp"
#include "cdref/check.hpp"
#include "cdref/convert.hpp"
#include "cdref/crossval.hpp"
#include "cdref/import.hpp"
#include "cdref/scale.hpp"
#include "cdref/summary.hpp"

namespace {

namespace fs = std::filesystem;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;

// ---------------------------------------------------------------- option values

// A refused value, worded the same way by every subcommand:
// "--set 9: expected a whole number from 1 to 8".
[[noreturn]] void refuse(const std::string& opt, const std::string& value, const std::string& expected) {
  throw CLI::ValidationError(opt + " " + value + ": " + expected);
}

// An option with one value, handed to `set` (which refuses it or stores it).
CLI::Option* valued(CLI::App& app, const std::string& name, const std::string& type, const std::string& help,
                    std::function<void(const std::string& value)> set) {
  return app
      .add_option_function<std::string>(
          name,
          [name, set](const std::string& v) {
            if (v.empty()) throw CLI::ValidationError(name + " needs a value");
            set(v);
          },
          help)
      ->type_name(type);
}

CLI::Option* text(CLI::App& app, const std::string& name, std::string& target, const std::string& type,
                  const std::string& help) {
  return valued(app, name, type, help, [&target](const std::string& v) { target = v; });
}

// Repeatable: each occurrence adds one value.
CLI::Option* texts(CLI::App& app, const std::string& name, std::vector<std::string>& target, const std::string& type,
                   const std::string& help) {
  return app.add_option(name, target, help)->type_name(type)->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

long long whole_value(const std::string& opt, const std::string& v, long long lo, long long hi) {
  long long n;
  if (!cdsec::parse_int(v, n) || n < lo || n > hi)
    refuse(opt, v, "expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return n;
}

CLI::Option* whole(CLI::App& app, const std::string& name, int& target, int lo, int hi, const std::string& type,
                   const std::string& help) {
  return valued(app, name, type, help, [&target, name, lo, hi](const std::string& v) {
    target = static_cast<int>(whole_value(name, v, lo, hi));
  });
}

// A positive number; a decimal comma is accepted when there is no point.
float positive_value(const std::string& opt, const std::string& text) {
  std::string t = text;
  if (t.find(',') != std::string::npos && t.find('.') == std::string::npos) std::replace(t.begin(), t.end(), ',', '.');
  float v;
  if (!cdsec::parse_real(t, v) || !(v > 0.0f)) refuse(opt, text, "expected a positive number");
  return v;
}

CLI::Option* positive(CLI::App& app, const std::string& name, float& target, bool* given, const std::string& type,
                      const std::string& help) {
  return valued(app, name, type, help, [&target, given, name](const std::string& v) {
    target = positive_value(name, v);
    if (given) *given = true;
  });
}

// One of a few words.
template <class T>
CLI::Option* choice(CLI::App& app, const std::string& name, std::vector<std::pair<std::string, T>> words, T& target,
                    const std::string& help, bool* given = nullptr) {
  std::string list, type;
  for (std::size_t i = 0; i < words.size(); ++i) {
    list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i].first;
    type += (i ? "|" : "") + words[i].first;
  }
  return valued(app, name, type, help, [&target, name, words, list, given](const std::string& v) {
    for (const auto& [w, t] : words)
      if (v == w) {
        target = t;
        if (given) *given = true;
        return;
      }
    refuse(name, v, list);
  });
}

CLI::Option* seed_option(CLI::App& app, std::string& seed) {
  return valued(app, "--seed", "N", "KESTRA_SEED for the runs (default 1)", [&seed](const std::string& v) {
    seed = std::to_string(whole_value("--seed", v, 0, 2147483647));
  });
}

CLI::Option* only_option(CLI::App& app, std::array<bool, 2>& run) {
  return choice<std::array<bool, 2>>(app, "--only", {{"MORVAN3", {true, false}}, {"KESTRA", {false, true}}}, run,
                                     "run one program only");
}

CLI::Option* timeout_option(CLI::App& app, int& seconds) {
  return whole(app, "--job-timeout", seconds, 1, 86400, "S",
               "stop a program that finishes no job for S seconds (default 120)");
}

void program_options(CLI::App& app, std::array<std::string, 2>& exe) {
  text(app, "--morvan", exe[0], "PATH", "the MORVAN3 to run");
  text(app, "--kestra", exe[1], "PATH", "the KESTRA to run");
}

// ---------------------------------------------------------------- conversion options

cdref::ColumnChoice column_choice(const std::string& all, const std::string& text, bool ht) {
  cdref::ColumnChoice c;
  if (text.empty()) refuse("--columns", all, "an empty column");
  if (ht && text == "none")
    c.none = true;
  else if (std::all_of(text.begin(), text.end(), [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }))
    c.number = static_cast<int>(whole_value("--columns", text, 1, 1000));
  else
    c.name = text;
  return c;
}

// How a measured spectrum is read and converted to delta epsilon per
// residue: the same options wherever a spectrum is converted.
void add_conversion_options(CLI::App& app, cdref::ConvertOptions& o) {
  using namespace cdref;
  choice<Unit>(app, "--units",
               {{"mdeg", Unit::kMdeg},
                {"deg", Unit::kDeg},
                {"molar-ellipticity", Unit::kMolarEllipticity},
                {"mre", Unit::kMre},
                {"delta-a", Unit::kDeltaA},
                {"delta-epsilon", Unit::kDeltaEpsilon}},
               o.units, "the unit of the CD values (else the header's)", &o.units_given);
  app.add_flag("--ignore-header-units", o.ignore_header_units, "use --units over a header that names another unit");
  positive(app, "--conc", o.params.conc, &o.params.conc_given, "VALUE", "the concentration (with --conc-unit)");
  choice<ConcUnit>(app, "--conc-unit",
                   {{"mg/mL", ConcUnit::kMgPerMl}, {"M", ConcUnit::kMolar}, {"mM", ConcUnit::kMillimolar},
                    {"uM", ConcUnit::kMicromolar}},
                   o.params.conc_unit, "the unit of --conc");
  positive(app, "--path", o.params.path, &o.params.path_given, "VALUE", "the path length (with --path-unit)");
  choice<PathUnit>(app, "--path-unit", {{"cm", PathUnit::kCm}, {"mm", PathUnit::kMm}}, o.params.path_unit,
                   "the unit of --path");
  whole(app, "--residues", o.params.residues, 1, 1000000, "N", "residues of the protein (molar concentrations)");
  positive(app, "--mrw", o.params.mrw, nullptr, "VALUE", "mean residue weight in g/mol (mg/mL concentrations)");
  choice<ExportFormat>(app, "--format",
                       {{"auto", ExportFormat::kAuto}, {"jasco", ExportFormat::kInstrument}, {"text", ExportFormat::kDelimited}},
                       o.read.format, "the layout of the file (default auto)");
  valued(app, "--columns", "X,Y[,HT|none]|X,Y1,Y2,...", "the columns by number or header name",
         [&o](const std::string& c) {
           std::vector<std::string> parts;
           std::size_t b = 0;
           for (std::size_t e; (e = c.find(',', b)) != std::string::npos; b = e + 1) parts.push_back(c.substr(b, e - b));
           parts.push_back(c.substr(b));
           if (parts.size() < 2) refuse("--columns", c, "X,Y, X,Y,HT or X,Y1,Y2,...");
           o.read.x = column_choice(c, parts[0], false);
           o.read.y = column_choice(c, parts[1], false);
           o.read.ht = o.read.third = ColumnChoice{};
           o.read.more_y.clear();
           if (parts.size() == 3) {
             // X,Y,HT as before, or a second spectrum: the file's header decides.
             const ColumnChoice third = column_choice(c, parts[2], true);
             (third.none ? o.read.ht : o.read.third) = third;
           }
           for (std::size_t k = 2; parts.size() > 3 && k < parts.size(); ++k)
             o.read.more_y.push_back(column_choice(c, parts[k], false));
           o.read.columns_given = true;
         });
  whole(app, "--channel", o.read.channel, 1, 1000, "N", "channel blocks: the CD channel (default: its units say CD)");
  valued(app, "--spectra", "LIST", "a series: the spectra to convert, as 1,3-5 (default all)",
         [&o](const std::string& l) {
           if (!parse_spectrum_list(l, o.spectra)) refuse("--spectra", l, "a list such as 1,3-5");
         });
  app.add_flag("--own-range", o.own_range, "a series: each spectrum keeps its own range (default: the common range)");
  app.add_option("--series-unit", o.series_unit, "a series: the unit written after the series value in each title")
      ->type_name("U");
  whole(app, "--skip", o.read.skip, 0, 1000000, "N", "lines passed over before looking for anything");
  choice<Separator>(app, "--separator",
                    {{"tab", Separator::kTab}, {"comma", Separator::kComma}, {"semicolon", Separator::kSemicolon},
                     {"blank", Separator::kBlank}},
                    o.read.separator, "the field separator (default: found)");
  choice<DecimalMark>(app, "--decimal", {{"point", DecimalMark::kPoint}, {"comma", DecimalMark::kComma}}, o.read.decimal,
                      "the decimal mark (default: found)");
  positive(app, "--ht-max", o.range.ht_max, &o.range.ht_max_given, "VOLTS",
           "cut the short end where the HT exceeds it (default 600)");
  positive(app, "--min-wavelength", o.range.min_wl, &o.range.min_given, "NM", "cut the short end below it");
  app.add_flag("--allow-gaps", o.range.allow_gaps, "interpolate across more than 2 nm without a point");
}

// The conversion options that only make sense together.
void check_conversion_options(const cdref::ConvertOptions& o) {
  if (o.params.conc_given != (o.params.conc_unit != cdref::ConcUnit::kNone))
    throw CLI::ValidationError(o.params.conc_given ? "--conc needs --conc-unit mg/mL|M|mM|uM" : "--conc-unit needs --conc");
  if (o.params.path_given != (o.params.path_unit != cdref::PathUnit::kNone))
    throw CLI::ValidationError(o.params.path_given ? "--path needs --path-unit cm|mm" : "--path-unit needs --path");
  if (o.ignore_header_units && !o.units_given) throw CLI::ValidationError("--ignore-header-units needs --units");
}

// ---------------------------------------------------------------- list, check, import

std::string from_text(cdsec::RefFileLocation::From f) {
  switch (f) {
    case cdsec::RefFileLocation::From::kWorkingDir:
      return "working directory";
    case cdsec::RefFileLocation::From::kRefDirVariable:
      return "CDSEC_REFDIR";
    case cdsec::RefFileLocation::From::kInstalled:
      return "installed data";
    case cdsec::RefFileLocation::From::kSourceTree:
      return "source tree";
  }
  return "";
}

std::string absolute(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::absolute(path_from_utf8(p), ec);
  return ec ? p : path_to_utf8(a.lexically_normal());
}

// ---------------------------------------------------------------- list

int cmd_list() {
  std::cout << "Reference files are read from";
  for (const cdsec::RefSearchPlace& place : cdsec::ref_search_places()) {
    std::cout << (place.from == cdsec::RefFileLocation::From::kWorkingDir ? " " : ", then ");
    if (place.from == cdsec::RefFileLocation::From::kWorkingDir)
      std::cout << "the working directory (" << path_to_utf8(fs::current_path()) << ")";
    else if (place.from == cdsec::RefFileLocation::From::kRefDirVariable)
      std::cout << "$CDSEC_REFDIR (" << (place.dir.empty() ? "not set" : place.dir) << ")";
    else
      std::cout << place.description;
  }
  std::cout << ".\n\n";
  cdsec::put(std::cout, R"([" Set  Files                Classes                        Range    Seg  Proteins  Read from"])");
  for (int k = 1; k <= 8; ++k) {
    const cdsec::RefSetInfo& set = *cdsec::find_ref_set(k);
    std::string labels;
    for (int c = 0; c < set.ns; ++c) labels += std::string(set.labels[static_cast<std::size_t>(c)]) + " ";
    labels.resize(30, ' ');
    std::string range = std::to_string(static_cast<int>(set.long_limit)) + "-" + std::to_string(static_cast<int>(set.short_limit));
    std::string where, count = "-", trouble;
    try {
      auto cd = cdsec::locate_ref_file("CDDATA." + std::string(set.suffix));
      auto ss = cdsec::locate_ref_file("SSDATA." + std::string(set.suffix));
      where = absolute(cd.path) + " (" + from_text(cd.from) + ")";
      if (ss.from != cd.from) where += "; SSDATA: " + absolute(ss.path) + " (" + from_text(ss.from) + ")";
      cdsec::RefSetReader reader;
      reader.open(set);
      cdsec::RefProtein p;
      int n = 0;
      try {
        while (reader.next(p, false, set.ns)) ++n;
        count = std::to_string(n);
      } catch (const cdsec::ReadError& e) {
        count = "?";
        trouble = e.what();
      }
    } catch (const cdsec::ReadError&) {
      where = "not found";
    }
    cdsec::put(std::cout, R"([I4, 2X, "CDDATA.", A2, " SSDATA.", A2, 2X, A, 1X, A7, I5, A10, 2X, A])", k, set.suffix,
               set.suffix, labels, range, set.segment_flag, count, where);
    if (!trouble.empty()) std::cout << "      unreadable: " << trouble << "\n";
  }
  return 0;
}

// ---------------------------------------------------------------- check

struct CheckOutcome {
  bool found;
  int problems;
};

CheckOutcome check_and_print(const cdsec::RefSetInfo& set, const cdref::CheckLimits& limits, bool only_here,
                             bool quiet_if_missing) {
  cdref::CheckResult r = cdref::check_set(set, limits);
  const std::string files = "CDDATA." + std::string(set.suffix) + ", SSDATA." + std::string(set.suffix);
  if (r.cd_path.empty() || r.ss_path.empty()) {
    if (quiet_if_missing) return {false, 0};
    std::cout << "Set " << set.ibasis << " (" << files << "): not found\n";
    for (const cdref::Finding& f : r.findings) std::cout << "  problem: " << f.text << "\n";
    return {false, r.problems()};
  }
  int problems = r.problems();
  std::cout << "Set " << set.ibasis << " (" << files << "): " << r.cd_path << ", " << r.ss_path << "\n";
  if (only_here) {
    for (const std::string& path : {r.cd_path, r.ss_path})
      if (std::error_code ec; !fs::equivalent(path_from_utf8(path).parent_path(), fs::current_path(), ec)) {
        std::cout << "  problem: " << path << ": not in " << path_to_utf8(fs::current_path()) << " (found elsewhere)\n";
        ++problems;
      }
  }
  for (const cdref::Finding& f : r.findings) std::cout << (f.problem ? "  problem: " : "  note: ") << f.text << "\n";
  std::cout << "  " << r.proteins << " proteins; "
            << (problems == 0 ? std::string("no problems") : std::to_string(problems) + (problems == 1 ? " problem" : " problems"))
            << "\n";
  return {true, problems};
}

int cmd_check(int ibasis, const std::string& dir, const cdref::CheckLimits& limits) {
  if (!dir.empty()) {
    std::error_code ec;
    fs::current_path(path_from_utf8(dir), ec);
    if (ec) {
      std::cerr << "cdref: " << dir << ": " << ec.message() << "\n";
      return 1;
    }
  }
  int problems = 0, found = 0;
  for (int k = (ibasis ? ibasis : 1); k <= (ibasis ? ibasis : 8); ++k) {
    CheckOutcome o = check_and_print(*cdsec::find_ref_set(k), limits, !dir.empty(), ibasis == 0);
    problems += o.problems;
    found += o.found ? 1 : 0;
  }
  if (ibasis == 0 && found == 0) {
    std::cout << "No reference set found" << (dir.empty() ? "" : " in " + dir) << "\n";
    return 1;
  }
  return problems == 0 ? 0 : 1;
}


int cmd_import(const cdref::ImportOptions& o) {
  try {
    cdref::run_import(o, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "cdref: " << e.what() << "\nNothing was written.\n";
    return 1;
  }
  fs::current_path(path_from_utf8(o.out_dir));
  std::cout << "\n";
  CheckOutcome c = check_and_print(*cdsec::find_ref_set(o.ibasis), cdref::CheckLimits{}, true, false);
  return c.problems == 0 ? 0 : 1;
}


// ---------------------------------------------------------------- the command line

constexpr const char* kListHelp = R"(The eight reference sets of the catalogue and, for each, the file the
programs would read: from the working directory, else from the directory
named by $CDSEC_REFDIR, else from the data installed with the programs (the
source tree's data/ for a cdref of the build tree), else from the configured
data directory.)";

constexpr const char* kCheckHelp = R"(Validates set K (every set found, without --set) as the programs would read
it here, or from DIR only with --dir: the layout of both files, the count (1
to 50, 8 at least for KESTRA), matching and unique names, fractions between
0 and 1 that sum to 1 within T (default 0.01), CD values plausible for delta
epsilon per residue (-30 to 40) inside the set's valid range, duplicate
spectra.  Each problem names file and line.  Exit status 1 when there are
problems.)";

constexpr const char* kImportHelp = R"(Builds CDDATA/SSDATA files of set K in DIR from a table of spectra (one
protein per row, one column per wavelength, named by the wavelength in nm)
and a table of fractions (one protein per row), joined by the identifier
column (--id, default the first column of the spectra).  --map CLASS=COLUMN
[+COLUMN...] is given once per class of set K: CLASS is a label of set K
(H(r), Trn, PP2 ...) or its number; the named fraction columns are summed
into it, "none" leaves it 0.  Every fraction column must be mapped or
ignored.  Values must cover every nm from 260 to 178; missing ones are
refused unless --fill names how to fill them (zero, or extrapolate-linear:
gaps interpolated, ends extended by a straight line through the nearest
five values), and what was filled is reported.  --units mre divides mean
residue ellipticity by 3300.  Names are the identifiers (4 characters at
most) or, with --name-prefix, the prefix and a serial number.  The new set
is then checked as by cdref check.)";

constexpr const char* kConvertHelp = R"(Converts a spectrum exported by a spectropolarimeter or a spreadsheet (a
JASCO-style export with a header block and XYDATA, or delimited text with
any header lines; columns by number or header name; tabs, commas,
semicolons or blanks; decimal commas) to delta epsilon per residue, one
value per whole nm (linear interpolation inside the measured range; more
than 2 nm without a point needs --allow-gaps), cut at the short end where
the HT exceeds --ht-max (600 V by default) and at --min-wavelength.  Units
named by the header are used; --units that disagree with them are refused.
mdeg and deg need --conc and --path, with --mrw for mg/mL or --residues for
M, mM, uM; delta-a the same; molar-ellipticity needs --residues.  Writes a
two-column file that INBUILD reads (--out), or appends a job to INPUT
(--append; the set suggested from the short end unless --basis).  Every
step is printed; --record writes it as JSON.  An export of several spectra
(channel blocks after XYDATA, or a wide table with one column per spectrum)
gives one job per spectrum (or per spectrum of --spectra 1,3-5), all
appended at once, titled T, the series value and --series-unit; CD comes
from the channel whose units say CD (or --channel N), HT from the HT
channel.  The series is cut to the range every spectrum of it supports
(--own-range: each keeps its own).)";

constexpr const char* kCrossvalHelp = R"(Analyses every protein of each SET (a set number, its files found as the
programs find them, or the path of its CDDATA.<suffix> file) as a sample
with both programs, itself left out of the basis, and compares the
fractions found with the known ones: per program and class the RMS
difference, the correlation, the mean signed error (predicted - known) and
the proteins with the largest errors, then helix and strand totals.  Jobs
that fail (MORVAN3 without a result, KESTRA's failure records) are listed
and left out of the statistics.  --samples adds the proteins of another
set, analysed against the whole SET (--samples-only: those alone); the
jobs then cover the wavelengths valid in both sets.  --range narrows the
jobs to FIRST..LAST nm (whole nm inside the valid range), e.g. to the
wavelengths that were measured when a set's files hold filled values at
the ends.  The programs are taken from --morvan/--kestra, else from cdref's
own directory, else from the build tree (../selfcon, ../varsel), else from
PATH; they run in a scratch directory (removed unless --keep or --scratch)
with KESTRA_SEED=N (default 1) and CDSEC_REFDIR set to the set's
directory.)";

constexpr const char* kAnalyseHelp = R"(Converts each exported FILE as cdref convert does (all its options apply; a
series gives one job per spectrum), or takes the jobs of --input INPUT, and
writes them into DIR/INPUT once for each reference set: the sets named by
--sets, or (auto) the sets for native proteins whose valid range the
spectra cover.  Runs MORVAN3 and KESTRA on it in DIR as a user would
(standard input closed, run records in DIR/records, KESTRA_SEED=S, default
1), checks each spectrum's magnitude as cdref scale does (not with
--no-scale), and writes the summary (printed, and summary.txt, .csv,
.json), and report.html: per spectrum the consensus table, the measured
spectrum with each method's calculated one, every warning, and the
provenance.  DIR (default: the first file's name with "-analysis") must
not exist unless --force; it is built beside DIR and appears only when
finished.  Exit status 0 when every spectrum has a result from at least one
method, 3 when some have none (listed on standard error and in the
report), 1 when nothing was analysed.)";

constexpr const char* kSummaryHelp = R"(Reads every record of PROTSS (default ProtSS.out: both programs, any number
of runs) and shows, per sample (title), each method (program and reference
set) with its fractions and RMSD, and per class group (Helix, Strand, Turn,
Unordered, PPII) the values of the methods, their mean (the consensus),
standard deviation and range, flagging groups where the methods differ by
more than 0.10.  The latest record of a program and set counts; earlier
ones are shown as replaced.  Damaged records are reported with their line
and skipped.  --details adds each method's spread over its own solutions
from the run records in DIR (written with CDSEC_DETAILS=DIR); without them,
failed KESTRA jobs cannot be told from results (KESTRA records its all-basis
estimate for them), and the summary says so.  --series groups the samples
whose titles differ only in a trailing number and unit ("lysozyme 25.1 C"),
ordered by it, and shows per class group each method's value, the consensus
and its spread at each point, the change from the first point to the last
and the largest step; --csv, --json and --svg then hold that table and a
plot of each group against the series value.)";

constexpr const char* kScaleHelp = R"(Checks whether the magnitude of each job's spectrum (job N alone with
--job) is plausible.  Each program analyses the job at a ladder of factors
(default 0.04 to 25, five per decade; --factors gives others) in a scratch
directory, with KESTRA_SEED=N (default 1) and its run records collected.
Signals suggest a factor to multiply the spectrum by: all-basis (where the
sum of the all-basis fractions rises through 1 along the ladder), fit (the
factor of the lowest RMSD divided by the RMS of the spectrum), and for
KESTRA the factor from which its count of acceptable combinations is full.
Each suggestion divided by its typical value on correctly scaled measured
spectra estimates how far the spectrum is off, with the range 80% of those
spectra fell in.  The estimates are averaged in log factor, weighted by
1/spread^2; a combined estimate below 1/3 or above 3 is warned about,
naming the mistake it resembles (typical values, spreads and band were set
on bench/scale-check).  With one program only (--only) fewer signals remain
and correctly scaled spectra are warned about more often.  The programs are
found as for crossval; the reference files as the programs find them from
the current directory.  Exit status 0 also with warnings; 1 when a program's
run broke off on some job (time limit, signal, error status), which leaves
the check incomplete.)";

// Every usage error: the subcommand, the reason and where to read more.
std::string failure_text(const CLI::App* app, const CLI::Error& e) {
  std::string why = e.what();
  // CLI11's wording for a missing value, in the words of the rest.
  if (const std::size_t at = why.find(": 1 required "); at != std::string::npos && why.ends_with(" missing"))
    why = why.substr(0, at) + " needs a value";
  std::string name = "cdref";
  const CLI::App* sub = app;
  while (!sub->get_subcommands().empty()) sub = sub->get_subcommands().front();
  if (sub != app) name += " " + sub->get_name();
  return name + ": " + why + "\nRun '" + name + " --help' for the options.\n";
}

CLI::App* subcommand(CLI::App& app, const std::string& name, const std::string& summary, const char* help) {
  CLI::App* s = app.add_subcommand(name, summary);
  s->footer(std::string("\n") + help);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  cdsec::os::binary_console_output();
  // The arguments after the program's name, in UTF-8 on every system.
  std::vector<std::string> args = cdsec::os::arguments(argc, argv);
  CLI::App app("cdref: reference sets, measured spectra and results of the cdsec programs.", "cdref");
  app.require_subcommand(1);
  app.set_version_flag("--version", "cdref " + cdsec::version_text(), "the package version and the commit it was built from");
  app.failure_message(failure_text);
  app.get_formatter()->column_width(34);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::function<int()> action;

  // list
  CLI::App* list = subcommand(app, "list", "the catalogue and where each set is read from", kListHelp);
  list->callback([&] { action = [] { return cmd_list(); }; });

  // check
  int check_set = 0;
  std::string check_dir;
  cdref::CheckLimits limits;
  CLI::App* check = subcommand(app, "check", "validate reference sets as the programs read them", kCheckHelp);
  whole(*check, "--set", check_set, 1, 8, "K", "the set to check (default: every set found)");
  text(*check, "--dir", check_dir, "DIR", "read the set from DIR only");
  valued(*check, "--sum-tolerance", "T", "how far the fractions may sum from 1 (default 0.01)",
         [&limits](const std::string& t) {
           float v;
           if (!cdsec::parse_real(t, v) || !(v >= 0.0f && v < 1.0f)) refuse("--sum-tolerance", t, "expected a number from 0 to 1");
           limits.sum_tolerance = v;
         });
  check->callback([&] { action = [&] { return cmd_check(check_set, check_dir, limits); }; });

  // import
  cdref::ImportOptions imp;
  CLI::App* import = subcommand(app, "import", "build a reference set from tables of measured data", kImportHelp);
  whole(*import, "--set", imp.ibasis, 1, 8, "K", "the set to build")->required();
  text(*import, "--spectra", imp.spectra, "SPECTRA.csv", "the table of spectra");
  text(*import, "--fractions", imp.fractions, "FRACTIONS.csv", "the table of fractions");
  texts(*import, "--map", imp.maps, "CLASS=COLUMN[+COLUMN...]", "the fraction columns of a class (one per class)");
  text(*import, "--out", imp.out_dir, "DIR", "where the set's files are written");
  text(*import, "--id", imp.id_column, "COLUMN", "the identifier column (default: the spectra's first)");
  valued(*import, "--fill", "zero|extrapolate-linear", "how missing wavelengths are filled", [&imp](const std::string& m) {
    if (!cdref::parse_fill(m, imp.fill)) refuse("--fill", m, "the methods are zero and extrapolate-linear");
  });
  choice<bool>(*import, "--units", {{"delta-epsilon", false}, {"mre", true}}, imp.molar_ellipticity,
               "the unit of the spectra (default delta-epsilon)");
  texts(*import, "--ignore", imp.ignore, "COLUMN", "a fraction column not used");
  texts(*import, "--where", imp.where, "COLUMN=VALUE", "only the rows with this value");
  whole(*import, "--limit", imp.limit, 1, 1000000, "N", "at most N proteins");
  valued(*import, "--name-prefix", "XX", "name the proteins XX and a serial number", [&imp](const std::string& p) {
    if (p.size() > 3 || p.find(' ') != std::string::npos) refuse("--name-prefix", p, "1 to 3 characters without blanks");
    imp.name_prefix = p;
  });
  import->add_flag("--force", imp.force, "replace the set's files in DIR");
  import->callback([&] { action = [&] { return cmd_import(imp); }; });

  // convert
  cdref::ConvertOptions conv;
  CLI::App* convert = subcommand(app, "convert", "convert an exported spectrum to delta epsilon", kConvertHelp);
  convert->add_option("FILE", conv.file, "the exported spectrum")->type_name("")->required();
  add_conversion_options(*convert, conv);
  text(*convert, "--out", conv.out_file, "FILE2", "write a two-column file that INBUILD reads");
  convert->add_flag("--force", conv.force, "replace FILE2");
  text(*convert, "--append", conv.append, "INPUT", "append a job to INPUT");
  text(*convert, "--title", conv.title, "T", "the title of the job");
  whole(*convert, "--basis", conv.basis, 1, 8, "K", "the job's reference set (default: suggested)");
  text(*convert, "--record", conv.record, "JSON", "write every step as JSON");
  convert->callback([&] {
    check_conversion_options(conv);
    auto no = [](const char* why) { throw CLI::ValidationError(why); };
    if (conv.out_file.empty() && conv.append.empty()) no("convert needs --out FILE or --append INPUT");
    if (!conv.out_file.empty() && !conv.append.empty()) no("--out and --append: choose one");
    if (!conv.append.empty() && conv.title.empty()) no("--append needs --title T, the title of the job");
    if (conv.append.empty() && !conv.title.empty()) no("--title is for --append");
    if (conv.append.empty() && conv.basis) no("--basis is for --append");
    if (conv.out_file.empty() && conv.force) no("--force is for --out");
    action = [&] { return cdref::run_convert(conv, std::cout, std::cerr); };
  });

  // crossval
  cdref::CrossvalOptions cv;
  CLI::App* crossval = subcommand(app, "crossval", "cross-validate reference sets with both programs", kCrossvalHelp);
  crossval->add_option("SET", cv.sets, "a set number or the path of its CDDATA file")->type_name("")->required();
  texts(*crossval, "--samples", cv.samples, "SET", "analyse the proteins of SET against each set too");
  crossval->add_flag("--samples-only", cv.samples_only, "analyse the --samples proteins only");
  crossval->add_option_function<std::vector<std::string>>(
              "--range",
              [&cv](const std::vector<std::string>& v) {
                long long f = 0, l = 0;
                if (v.size() != 2 || !cdsec::parse_int(v[0], f) || !cdsec::parse_int(v[1], l) || f > 260 || l < 178 || f <= l)
                  throw CLI::ValidationError("--range FIRST LAST: whole nanometres, FIRST the longer, inside 260 to 178");
                cv.range_first = static_cast<int>(f);
                cv.range_last = static_cast<int>(l);
              },
              "the jobs' wavelengths")
      ->type_name("FIRST LAST")
      ->expected(2);
  text(*crossval, "--csv", cv.csv, "FILE", "write the per-protein table");
  text(*crossval, "--svg", cv.svg, "FILE", "plot predicted against known helix and strand");
  text(*crossval, "--stats", cv.stats, "FILE", "write the statistics");
  whole(*crossval, "--worst", cv.worst, 0, 100, "N", "the largest errors listed per class (default 3)");
  program_options(*crossval, cv.exe);
  only_option(*crossval, cv.run);
  seed_option(*crossval, cv.seed);
  text(*crossval, "--scratch", cv.scratch, "DIR", "run the programs in DIR (new or empty; kept)");
  crossval->add_flag("--keep", cv.keep, "keep the scratch directory");
  timeout_option(*crossval, cv.job_timeout);
  crossval->callback([&] {
    if (cv.samples_only && cv.samples.empty()) throw CLI::ValidationError("--samples-only needs --samples");
    // Output paths are taken from the directory cdref was started in.
    for (std::string* p : {&cv.csv, &cv.svg, &cv.stats})
      if (!p->empty()) *p = path_to_utf8(fs::absolute(path_from_utf8(*p)));
    action = [&] { return cdref::run_crossval(cv, std::cout, std::cerr); };
  });

  // summary
  cdref::SummaryOptions sum;
  CLI::App* summary = subcommand(app, "summary", "the results side by side with their consensus", kSummaryHelp);
  summary->add_option("PROTSS", sum.protss, "the summary file of the programs (default ProtSS.out)")->type_name("");
  text(*summary, "--details", sum.details, "DIR", "the run records (CDSEC_DETAILS=DIR)");
  text(*summary, "--csv", sum.csv, "FILE", "write the table as CSV");
  text(*summary, "--json", sum.json, "FILE", "write the table as JSON");
  text(*summary, "--svg", sum.svg, "FILE", "plot the table");
  summary->add_flag("--series", sum.series, "group titles that differ in a trailing number and unit into series");
  summary->callback([&] { action = [&] { return cdref::run_summary(sum, std::cout, std::cerr); }; });

  // scale
  cdref::ScaleOptions sc;
  CLI::App* scale = subcommand(app, "scale", "check that each job's spectrum has a plausible magnitude", kScaleHelp);
  scale->add_option("INPUT", sc.input, "the job file")->type_name("")->required();
  valued(*scale, "--job", "N", "check job N only", [&sc](const std::string& v) {
    sc.job = static_cast<int>(whole_value("--job", v, 1, 1000000));
  });
  text(*scale, "--json", sc.json, "FILE", "write every job's signals and warning");
  only_option(*scale, sc.run);
  program_options(*scale, sc.exe);
  valued(*scale, "--factors", "F1,F2,...", "the ladder of factors", [&sc](const std::string& all) {
    sc.ladder.clear();
    std::string_view rest = all;
    while (!rest.empty()) {
      const std::size_t c = rest.find(',');
      float f = 0;
      if (!cdsec::parse_real(rest.substr(0, c), f) || !(f >= 0.0001f && f <= 10000.0f))
        refuse("--factors", all, "numbers from 0.0001 to 10000, separated by commas");
      sc.ladder.push_back(f);
      rest = c == std::string_view::npos ? std::string_view() : rest.substr(c + 1);
    }
    std::sort(sc.ladder.begin(), sc.ladder.end());
    if (sc.ladder.size() < 3 || std::adjacent_find(sc.ladder.begin(), sc.ladder.end()) != sc.ladder.end())
      refuse("--factors", all, "at least three different factors");
  });
  seed_option(*scale, sc.seed);
  text(*scale, "--scratch", sc.scratch, "DIR", "run the programs in DIR (new or empty; kept)");
  timeout_option(*scale, sc.job_timeout);
  scale->callback([&] { action = [&] { return cdref::run_scale(sc, std::cout, std::cerr); }; });

  // analyse
  cdref::AnalyseOptions an;
  CLI::App* analyse = subcommand(app, "analyse", "from exported spectra to report.html in one step", kAnalyseHelp);
  analyse->add_option("FILE", an.files, "exported spectra")->type_name("");
  add_conversion_options(*analyse, an.convert);
  valued(*analyse, "--title", "T", "the jobs' title (default: each file's name)", [&an](const std::string& t) {
    if (t.size() > 40) refuse("--title", t, "at most 40 characters");
    an.title = t;
  });
  valued(*analyse, "--sets", "auto|K,K...", "the reference sets (default auto)", [&an](const std::string& v) {
    an.sets.clear();
    if (v == "auto") return;
    std::string_view rest = v;
    while (!rest.empty()) {
      const std::size_t c = rest.find(',');
      long long k = 0;
      if (!cdsec::parse_int(rest.substr(0, c), k) || k < 1 || k > 8) refuse("--sets", v, "auto, or set numbers from 1 to 8 separated by commas");
      if (std::find(an.sets.begin(), an.sets.end(), k) == an.sets.end()) an.sets.push_back(static_cast<int>(k));
      rest = c == std::string_view::npos ? std::string_view() : rest.substr(c + 1);
    }
    if (an.sets.empty()) refuse("--sets", v, "auto, or set numbers from 1 to 8 separated by commas");
  });
  text(*analyse, "--out", an.out, "DIR", "where the results go (new unless --force)");
  analyse->add_flag("--force", an.force, "replace an existing DIR");
  seed_option(*analyse, an.seed);
  bool no_scale = false;
  analyse->add_flag("--no-scale", no_scale, "leave out the magnitude check");
  text(*analyse, "--input", an.input, "INPUT", "analyse the jobs of INPUT instead of converting");
  program_options(*analyse, an.exe);
  timeout_option(*analyse, an.job_timeout);
  analyse->callback([&] {
    check_conversion_options(an.convert);
    if (an.files.empty() == an.input.empty())
      throw CLI::ValidationError(an.files.empty() ? "analyse needs the FILEs to convert, or --input INPUT"
                                                  : "--input replaces the FILEs: give one or the other");
    an.scale = !no_scale;
    an.command.assign({"cdref"});
    an.command.insert(an.command.end(), args.begin(), args.end());
    action = [&] { return cdref::run_analyse(an, std::cout, std::cerr, std::cerr); };
  });

  // "cdref help" as "cdref --help".
  if (args.size() == 1 && args[0] == "help") args[0] = "--help";
  // The record of a conversion keeps the command line after "convert".
  if (!args.empty() && args[0] == "convert") conv.args.assign(args.begin() + 1, args.end());
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  try {
    return action();
  } catch (const std::exception& e) {
    std::cerr << "cdref: " << e.what() << "\n";
    return 1;
  }
}
