// cdref: the reference-set tool.  Lists the catalogue and where each set is
// read from, checks a set as the analysis programs will read it, and builds
// a set from measured data in CSV tables.
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "cdref/check.hpp"
#include "cdref/convert.hpp"
#include "cdref/crossval.hpp"
#include "cdref/import.hpp"
#include "cdref/scale.hpp"
#include "cdref/summary.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* kUsage = R"(usage:
  cdref list
      The eight reference sets of the catalogue and, for each, the file the
      programs would read: from the working directory, else from the
      directory named by $CDSEC_REFDIR, else from the installed data.
  cdref check [--set K] [--dir DIR] [--sum-tolerance T]
      Validates set K (every set found, without --set) as the programs would
      read it here, or from DIR only with --dir: the layout of both files,
      the count (1 to 50, 8 at least for KESTRA), matching and unique names,
      fractions between 0 and 1 that sum to 1 within T (default 0.01), CD
      values plausible for delta epsilon per residue (-30 to 40) inside the
      set's valid range, duplicate spectra.  Each problem names file and
      line.  Exit status 1 when there are problems.
  cdref import --set K --spectra SPECTRA.csv --fractions FRACTIONS.csv
               --map CLASS=COLUMN[+COLUMN...] (one per class of set K) --out DIR
               [--id COLUMN] [--fill zero|extrapolate-linear] [--units delta-epsilon|mre]
               [--ignore COLUMN]... [--where COLUMN=VALUE]... [--limit N]
               [--name-prefix XX] [--force]
      Builds CDDATA/SSDATA files of set K in DIR from a table of spectra (one
      protein per row, one column per wavelength, named by the wavelength in
      nm) and a table of fractions (one protein per row), joined by the
      identifier column (--id, default the first column of the spectra).
      CLASS is a label of set K (H(r), Trn, PP2 ...) or its number; the
      named fraction columns are summed into it, "none" leaves it 0.  Every
      fraction column must be mapped or ignored.  Values must cover every nm
      from 260 to 178; missing ones are refused unless --fill names how to
      fill them (zero, or extrapolate-linear: gaps interpolated, ends extended
      by a straight line through the nearest five values), and what was
      filled is reported.  --units mre divides mean residue ellipticity by
      3300.  Names are the identifiers (4 characters at most) or, with
      --name-prefix, the prefix and a serial number.  The new set is then
      checked as by cdref check.
  cdref crossval SET... [options]
      Cross-validates reference sets with both analysis programs; the options
      are listed by cdref crossval --help.
  cdref convert FILE (--out FILE2 [--force] | --append INPUT --title T [--basis K])
                [--units mdeg|deg|molar-ellipticity|mre|delta-a|delta-epsilon]
                [--ignore-header-units] [--conc VALUE --conc-unit mg/mL|M|mM|uM]
                [--path VALUE --path-unit cm|mm] [--residues N | --mrw VALUE]
                [--format auto|jasco|text] [--columns X,Y[,HT|none]] [--skip N]
                [--separator tab|comma|semicolon|blank] [--decimal point|comma]
                [--ht-max VOLTS] [--min-wavelength NM] [--allow-gaps] [--record JSON]
      Converts a spectrum exported by a spectropolarimeter or a spreadsheet
      (a JASCO-style export with a header block and XYDATA, or delimited
      text with any header lines; columns by number or header name; tabs,
      commas, semicolons or blanks; decimal commas) to delta epsilon per
      residue, one value per whole nm (linear interpolation inside the
      measured range; more than 2 nm without a point needs --allow-gaps),
      cut at the short end where the HT exceeds --ht-max (600 V by default)
      and at --min-wavelength.  Units named by the header are used; --units
      that disagree with them are refused.  mdeg and deg need --conc and
      --path, with --mrw for mg/mL or --residues for M, mM, uM; delta-a the
      same; molar-ellipticity needs --residues.  Writes a two-column file
      that INBUILD reads (--out), or appends a job to INPUT (--append; the
      set suggested from the short end unless --basis).  Every step is
      printed; --record writes it as JSON.
  cdref summary [PROTSS] [--details DIR] [--csv FILE] [--json FILE] [--svg FILE]
      The results in ProtSS.out side by side, per sample, with their
      consensus and spread; cdref summary --help says more.
  cdref scale INPUT [--job N] [--json FILE] [options]
      Whether each job's spectrum has a plausible magnitude (unit or
      concentration mistakes); cdref scale --help says more.
)";

[[noreturn]] void usage_error(const std::string& why) {
  std::cerr << "cdref: " << why << "\n" << kUsage;
  std::exit(2);
}

int int_arg(const std::string& opt, const std::string& text, int lo, int hi) {
  long long v;
  if (!cdsec::parse_int(text, v) || v < lo || v > hi)
    usage_error(opt + " " + text + ": expected a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return static_cast<int>(v);
}

std::string from_text(cdsec::RefFileLocation::From f) {
  switch (f) {
    case cdsec::RefFileLocation::From::kWorkingDir:
      return "working directory";
    case cdsec::RefFileLocation::From::kRefDirVariable:
      return "CDSEC_REFDIR";
    case cdsec::RefFileLocation::From::kInstalled:
      return "installed data";
  }
  return "";
}

std::string absolute(const std::string& p) {
  std::error_code ec;
  fs::path a = fs::absolute(p, ec);
  return ec ? p : a.lexically_normal().string();
}

// ---------------------------------------------------------------- list

int cmd_list(const std::vector<std::string>& args) {
  if (!args.empty()) usage_error("list takes no arguments");
  const char* refdir = std::getenv("CDSEC_REFDIR");
  std::cout << "Reference files are read from the working directory (" << fs::current_path().string() << "), then "
            << (refdir && *refdir ? std::string("$CDSEC_REFDIR (") + refdir + ")" : std::string("$CDSEC_REFDIR (not set)"))
            << ", then the installed data (" << CDSEC_DATADIR << ").\n\n";
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
      if (std::error_code ec; !fs::equivalent(fs::path(path).parent_path(), fs::current_path(), ec)) {
        std::cout << "  problem: " << path << ": not in " << fs::current_path().string() << " (found elsewhere)\n";
        ++problems;
      }
  }
  for (const cdref::Finding& f : r.findings) std::cout << (f.problem ? "  problem: " : "  note: ") << f.text << "\n";
  std::cout << "  " << r.proteins << " proteins; "
            << (problems == 0 ? std::string("no problems") : std::to_string(problems) + (problems == 1 ? " problem" : " problems"))
            << "\n";
  return {true, problems};
}

int cmd_check(const std::vector<std::string>& args) {
  int ibasis = 0;
  std::string dir;
  cdref::CheckLimits limits;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) usage_error(a + " needs a value");
      return args[++i];
    };
    if (a == "--set") {
      ibasis = int_arg(a, value(), 1, 8);
    } else if (a == "--dir") {
      dir = value();
    } else if (a == "--sum-tolerance") {
      const std::string& t = value();
      float v;
      if (!cdsec::parse_real(t, v) || !(v >= 0.0f && v < 1.0f)) usage_error("--sum-tolerance " + t + ": expected a number from 0 to 1");
      limits.sum_tolerance = v;
    } else {
      usage_error("check: unknown argument " + a);
    }
  }
  if (!dir.empty()) {
    std::error_code ec;
    fs::current_path(dir, ec);
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

// ---------------------------------------------------------------- import

int cmd_import(const std::vector<std::string>& args) {
  cdref::ImportOptions o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) usage_error(a + " needs a value");
      return args[++i];
    };
    if (a == "--set") {
      o.ibasis = int_arg(a, value(), 1, 8);
    } else if (a == "--spectra") {
      o.spectra = value();
    } else if (a == "--fractions") {
      o.fractions = value();
    } else if (a == "--map") {
      o.maps.push_back(value());
    } else if (a == "--out") {
      o.out_dir = value();
    } else if (a == "--id") {
      o.id_column = value();
    } else if (a == "--fill") {
      const std::string& m = value();
      if (!cdref::parse_fill(m, o.fill)) usage_error("--fill " + m + ": the methods are zero and extrapolate-linear");
    } else if (a == "--units") {
      const std::string& u = value();
      if (u == "mre")
        o.molar_ellipticity = true;
      else if (u != "delta-epsilon")
        usage_error("--units " + u + ": delta-epsilon or mre");
    } else if (a == "--ignore") {
      o.ignore.push_back(value());
    } else if (a == "--where") {
      o.where.push_back(value());
    } else if (a == "--limit") {
      o.limit = int_arg(a, value(), 1, 1000000);
    } else if (a == "--name-prefix") {
      o.name_prefix = value();
      if (o.name_prefix.empty() || o.name_prefix.size() > 3 || o.name_prefix.find(' ') != std::string::npos)
        usage_error("--name-prefix: 1 to 3 characters without blanks");
    } else if (a == "--force") {
      o.force = true;
    } else {
      usage_error("import: unknown argument " + a);
    }
  }
  if (o.ibasis == 0) usage_error("import needs --set K");
  try {
    cdref::run_import(o, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "cdref: " << e.what() << "\nNothing was written.\n";
    return 1;
  }
  fs::current_path(o.out_dir);
  std::cout << "\n";
  CheckOutcome c = check_and_print(*cdsec::find_ref_set(o.ibasis), cdref::CheckLimits{}, true, false);
  return c.problems == 0 ? 0 : 1;
}

// ---------------------------------------------------------------- convert

int cmd_convert(const std::vector<std::string>& args) {
  cdref::ConvertOptions o;
  try {
    o = cdref::parse_convert_args(args);
  } catch (const cdref::UsageError& e) {
    usage_error(e.what());
  }
  return cdref::run_convert(o, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) usage_error("a command is needed: list, check, import, crossval, convert, summary or scale");
  std::string cmd = args.front();
  args.erase(args.begin());
  try {
    if (cmd == "list") return cmd_list(args);
    if (cmd == "check") return cmd_check(args);
    if (cmd == "import") return cmd_import(args);
    if (cmd == "crossval") return cdref::crossval_command(args);
    if (cmd == "convert") return cmd_convert(args);
    if (cmd == "summary") return cdref::summary_command(args);
    if (cmd == "scale") return cdref::scale_command(args);
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
      std::cout << kUsage;
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "cdref: " << e.what() << "\n";
    return 1;
  }
  usage_error("unknown command " + cmd);
}
