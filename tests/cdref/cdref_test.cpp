// cdref: the CSV reader, the fill methods, import from CSV tables (good
// inputs round-trip exactly; each broken input is refused with a message
// that names it and nothing is written), check on good and broken sets (each
// fault named with file and line), list and the lookup order, and import of
// the measured data in ../shared/refdata/pcddb83 when it is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "tests/cdref/helpers.hpp"
#include "tests/tool_run.hpp"
#include "cdref/check.hpp"
#include "cdref/csv.hpp"
#include "cdref/import.hpp"

namespace {

using namespace cdsec_test;
using namespace cdref_test;

const fs::path kData = fs::path(CDSEC_SOURCE_DIR) / "data";
const std::string kCdref = CDREF_BINARY, kMkrefs = CDSEC_MKREFS;


// A place where no reference files are: the fallbacks find nothing.
class NoFallback {
 public:
  NoFallback() : empty_("cdref-empty") { ::setenv("CDSEC_REFDIR", empty_.str().c_str(), 1); }
  ~NoFallback() { ::unsetenv("CDSEC_REFDIR"); }

 private:
  ScratchDir empty_;
};


// ---------------------------------------------------------------- CSV and fill

// Quoted fields, doubled quotes, blanks trimmed, empty fields; a byte-order
// mark, CRLF and blank lines; the broken tables are refused through import.
TEST(CdrefCsv, SplitsQuotedFieldsAndReadsTables) {
  EXPECT_EQ(cdref::split_csv_line(R"( pdb , "a, b" ,"say ""x""",,3.5 ,)", "t.csv", 1),
            (std::vector<std::string>{"pdb", "a, b", R"(say "x")", "", "3.5", ""}));
  EXPECT_EQ(cdref::split_csv_line("one", "t.csv", 1), std::vector<std::string>{"one"});
  ScratchDir tmp("cdref-csv");
  write_file(tmp / "ok.csv", "\xEF\xBB\xBFid,260,259\r\n\r\nP1,0.1,0.2\r\nP2,0.3,0.4\r\n");
  const cdref::CsvTable t = cdref::read_csv((tmp / "ok.csv").string());
  EXPECT_EQ(t.header, (std::vector<std::string>{"id", "260", "259"}));
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_TRUE(t.rows[1].line == 4 && t.rows[1].cells[2] == "0.4" && t.column("259") == 2 && t.column("258") == -1);
}

// Zero and linear fill change only the missing points; the ends follow the
// five nearest values, not a bend far away; no fill from a single point.
TEST(CdrefFill, ZeroAndLinearFillOnlyTheMissingPoints) {
  float v[83], line[83], zero[83], bent[83];
  bool have[83], tail[83], one[83] = {};
  for (int i = 0; i < 83; ++i) {
    v[i] = 2.0f - 0.125f * static_cast<float>(i);  // a straight line, exact in binary
    have[i] = !(i < 3 || (i >= 40 && i < 44) || i >= 81);
    line[i] = zero[i] = have[i] ? v[i] : 99.0f;
    bent[i] = i < 60 ? 0.0f : static_cast<float>(i - 60);
    tail[i] = i < 81;
  }
  ASSERT_TRUE(cdref::fill_spectrum(line, have, cdref::Fill::kExtrapolateLinear));
  ASSERT_TRUE(cdref::fill_spectrum(zero, have, cdref::Fill::kZero));
  for (int i = 0; i < 83; ++i) {
    EXPECT_NEAR(line[i], v[i], 1e-4f) << i;
    EXPECT_EQ(zero[i], have[i] ? v[i] : 0.0f) << i;
  }
  ASSERT_TRUE(cdref::fill_spectrum(bent, tail, cdref::Fill::kExtrapolateLinear));
  EXPECT_NEAR(bent[81], 21.0f, 1e-3f);
  EXPECT_NEAR(bent[82], 22.0f, 1e-3f);
  // Four points measured at the long end, not on a line: the short end
  // follows their least-squares line, y = 0.9 i - 0.6 (all four count).
  float few[83];
  bool first_four[83];
  for (int i = 0; i < 83; ++i) few[i] = i == 3 ? 3.0f : 0.0f, first_four[i] = i < 4;
  ASSERT_TRUE(cdref::fill_spectrum(few, first_four, cdref::Fill::kExtrapolateLinear));
  EXPECT_NEAR(few[10], 8.4f, 1e-4f);
  one[10] = true;
  EXPECT_FALSE(cdref::fill_spectrum(line, one, cdref::Fill::kExtrapolateLinear));
  EXPECT_FALSE(cdref::fill_spectrum(line, have, cdref::Fill::kNone));
}

// ---------------------------------------------------------------- import

// CSV tables made from a set written by the generator, so that the import
// can be compared with the files it came from: the spectra from `first`
// down to `last` nm and an extra text column; the fractions split into
// seven columns (helix_a + helix_b make H(r)).
struct Source {
  ScratchDir gen{"cdref-gen"};
  std::vector<cdsec::RefProtein> proteins;  // as the programs read them
  std::string name(std::size_t p) const { return proteins[p].name; }
};

std::string two(float v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", static_cast<double>(v));
  return b;
}

void make_source(Source& s, const ScratchDir& dir, int count, int first = 260, int last = 178, float scale = 1) {
  const auto r = run(sh_quote(kMkrefs) + " --set 1 --count " + std::to_string(count) + " --seed 77 --out " + sh_quote(s.gen.str()), s.gen);
  ASSERT_EQ(r.status, 0) << r.err;
  InDir in(s.gen.path());
  cdsec::RefSetReader reader;
  reader.open(*cdsec::find_ref_set(1));
  std::string sp = "name,kind", fr = "name,helix_a,helix_b,dist_helix,strand,dist_strand,turn,other\n";
  for (int nm = first; nm >= last; --nm) sp += "," + std::to_string(nm);
  for (cdsec::RefProtein p; reader.next(p, false, 6);) {
    s.proteins.push_back(p);
    sp += "\n" + p.name + ",soluble";
    for (int nm = first; nm >= last; --nm) sp += "," + two(scale * p.cd(261 - nm));
    fr += p.name + "," + std::to_string(p.ss(1)) + ",0";
    for (int c = 2; c <= 6; ++c) fr += "," + std::to_string(p.ss(c));
    fr += "\n";
  }
  reader.close();
  write_file(dir / "spectra.csv", sp + "\n");
  write_file(dir / "fractions.csv", fr);
}

cdref::ImportOptions options(const ScratchDir& dir) {
  cdref::ImportOptions o;
  o.ibasis = 1;
  o.spectra = (dir / "spectra.csv").string();
  o.fractions = (dir / "fractions.csv").string();
  o.out_dir = (dir / "out").string();
  fs::create_directories(o.out_dir);
  o.maps = {"H(r)=helix_a+helix_b", "2=dist_helix", "S(r)=strand", "s(d)=dist_strand", "Trn=turn", "Unrd=other"};
  return o;
}

// Runs the import: its log, or the message it was refused with.
std::string imported(const cdref::ImportOptions& o) {
  std::ostringstream log;
  const std::string m = message_of([&] { cdref::run_import(o, log); });
  return m + log.str();
}

// The proteins are written as the generator wrote them, byte for byte below
// the two heading lines, and read back from the working directory.
TEST(CdrefImport, RoundTripsASetExactly) {
  ScratchDir tmp("cdref-import");
  Source s;
  make_source(s, tmp, 12);
  const std::string log = imported(options(tmp));
  EXPECT_EQ(log.rfind("(no error)", 0), 0u) << log;
  EXPECT_NE(log.find("12 proteins, set 1 (H(r)=helix_a+helix_b; H(d)=dist_helix;"), std::string::npos) << log;
  EXPECT_NE(log.find("not used: kind"), std::string::npos) << log;
  EXPECT_EQ(log.find("Filled"), std::string::npos);
  const auto got = lines_of(read_file(tmp / "out" / "CDDATA.29")), want = lines_of(read_file(s.gen / "CDDATA.29"));
  EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()), std::vector<std::string>(want.begin() + 2, want.end()));
  EXPECT_EQ(read_file(tmp / "out" / "SSDATA.29"), read_file(s.gen / "SSDATA.29"));
  // A table whose one wavelength, 260 nm, is its first column (the names
  // last, named by --id-column): a wavelength like any other, the rest missing.
  std::string first_only;
  for (const std::string& l : lines_of(read_file(tmp / "spectra.csv"))) {
    const std::size_t b1 = l.find(',', l.find(',') + 1), b2 = l.find(',', b1 + 1);
    first_only += l.substr(b1 + 1, b2 - b1 - 1) + "," + l.substr(0, b1) + "\n";
  }
  write_file(tmp / "spectra.csv", first_only);
  cdref::ImportOptions first = options(tmp);
  first.id_column = "name";
  first.force = true;
  const std::string refused = imported(first);
  EXPECT_NE(refused.find("values missing inside 260-178 nm"), std::string::npos) << refused;
  EXPECT_NE(refused.find("259-178 nm: all 12 proteins"), std::string::npos) << refused;
  InDir in(tmp / "out");
  cdsec::RefSetReader reader;
  reader.open(*cdsec::find_ref_set(1));
  EXPECT_EQ(reader.cd_file().from, cdsec::RefFileLocation::From::kWorkingDir);
  reader.close();
  const cdref::CheckResult c = cdref::check_set(*cdsec::find_ref_set(1), {});
  EXPECT_TRUE(c.problems() == 0 && c.proteins == 12) << (c.findings.empty() ? "" : c.findings[0].text);
}

TEST(CdrefImport, MissingWavelengthsAreRefusedUnlessFilledAndThenReported) {
  ScratchDir tmp("cdref-import");
  Source s;
  make_source(s, tmp, 9, 255, 180);
  cdref::ImportOptions o = options(tmp);
  std::string m = imported(o);
  for (const char* want : {"values missing inside 260-178 nm", "260-256, 179-178 nm: all 9 proteins", "--fill zero or --fill extrapolate-linear"})
    EXPECT_NE(m.find(want), std::string::npos) << m;
  EXPECT_FALSE(fs::exists(tmp / "out" / "CDDATA.29")) << "nothing may be written";

  o.fill = cdref::Fill::kZero;
  m = imported(o);
  EXPECT_NE(m.find("Filled by zero:\n  260-256, 179-178 nm: all 9 proteins"), std::string::npos) << m;
  EXPECT_NE(m.find("260-256, 179-178 nm lie inside the valid range of set 1"), std::string::npos) << m;
  const auto cd = lines_of(read_file(tmp / "out" / "CDDATA.29"));
  EXPECT_EQ(cd[1], " Delta epsilon per residue, 260 to 178 nm; filled 260-256, 179-178 nm by zero");
  EXPECT_EQ(cd[3].substr(0, 30), "  0.00  0.00  0.00  0.00  0.00");  // 260-256 nm
  EXPECT_NE(cd[3].substr(30, 6), "  0.00");
  EXPECT_EQ(cd[8].substr(36), "  0.00  0.00");  // 179-178 nm

  // One protein lacking one value inside the range is named with its line.
  auto sp = lines_of(read_file(tmp / "spectra.csv"));
  std::size_t at = 0;
  for (int k = 0; k < 2 + (255 - 200); ++k) at = sp[3].find(',', at) + 1;
  sp[3].erase(at, sp[3].find(',', at) - at);
  write_file(tmp / "spectra.csv", joined(sp));
  o.fill = cdref::Fill::kNone;
  o.force = true;  // the files of the zero fill are there
  m = imported(o);
  EXPECT_NE(m.find("260-256, 200, 179-178 nm: " + s.name(2) + " (line 4)"), std::string::npos) << m;
  EXPECT_NE(m.find("260-256, 179-178 nm: " + s.name(0) + " (line 2), " + s.name(1) + " (line 3), " + s.name(3)), std::string::npos) << m;
  o.fill = cdref::Fill::kExtrapolateLinear;
  m = imported(o);
  EXPECT_NE(m.find("Filled by extrapolate-linear:"), std::string::npos) << m;
  EXPECT_NE(m.find("200, 179-178 nm"), std::string::npos) << m;
  // The interior gap is the mean of its neighbours (to the written precision).
  InDir in(tmp / "out");
  cdsec::RefSetReader reader;
  reader.open(*cdsec::find_ref_set(1));
  cdsec::RefProtein p;
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(reader.next(p, false, 6));
  EXPECT_NEAR(p.cd(61), 0.5f * (s.proteins[2].cd(60) + s.proteins[2].cd(62)), 0.006f);
}

// `text` with field `cell` of line `line` (from 0) replaced by `to`; cell -1:
// the whole line, -2: the line removed, -3: the whole text; `to` added as a
// line when `line` is past the end.
std::string edited(const std::string& text, std::size_t line, int cell, const std::string& to) {
  auto l = lines_of(text);
  if (cell == -3) {
    return to;
  } else if (line >= l.size()) {
    l.push_back(to);
  } else if (cell == -2) {
    l.erase(l.begin() + static_cast<long>(line));
  } else if (cell == -1) {
    l[line] = to;
  } else {
    std::size_t b = 0;
    for (int k = 0; k < cell; ++k) b = l[line].find(',', b) + 1;
    l[line].replace(b, l[line].find(',', b) - b, to);
  }
  return joined(l);
}

TEST(CdrefImport, BrokenInputsAreRefusedWithTheirReasonAndNothingIsWritten) {
  ScratchDir tmp("cdref-import");
  Source s;
  make_source(s, tmp, 8);
  const std::string sp = (tmp / "spectra.csv").string(), fr = (tmp / "fractions.csv").string();
  const std::string good_sp = read_file(sp), good_fr = read_file(fr), n0 = s.name(0);
  struct Case {
    std::string file;  // "" for none
    std::size_t line;
    int cell;
    std::string to;
    std::function<void(cdref::ImportOptions&)> change;
    std::string message;
  };
  const auto none = [](cdref::ImportOptions&) {};
  const std::vector<Case> cases = {
      // The tables.
      {sp, 2, 2, "x0.5", none, sp + ", line 3: column 260: expected a CD value, found \"x0.5\""},
      {fr, 1, 1, "abc", none, fr + ", line 2: column helix_a: expected a fraction, found \"abc\""},
      {fr, 3, -2, "", none, sp + ", line 4: no fractions for \"" + s.name(2) + "\" in " + fr},
      {fr, 99, 0, good_fr.substr(good_fr.find('\n') + 1, good_fr.find('\n', good_fr.find('\n') + 1) - good_fr.find('\n') - 1), none,
       fr + ", line 10: identifier \"" + n0 + "\" again (first on line 2)"},
      {sp, 1, 0, "protein1", none,
       sp + ", line 2: identifier \"protein1\" does not fit the 4-character protein name (--name-prefix XX numbers the proteins instead)"},
      {sp, 1, 2, "12000", none, sp + ", line 2: value 12000.00 at 260 nm does not fit the 6-column field of CDDATA"},
      {sp, 1, 2, "1e30", none, sp + ", line 2: value 1e+30 at 260 nm does not fit the 6-column field of CDDATA"},
      {fr, 1, 1, "12000", none, fr + ", line 2: class H(r) of \"" + n0 + "\" is 12000.000, which does not fit the 8-column field of SSDATA"},
      {sp, 2, 1, "\"open, b", none, sp + ", line 3, column 6: a quoted field that does not end on its line"},
      {sp, 2, 1, "\"x\"y", none, sp + ", line 3, column 9: text after the closing quote of a field, found \"y\""},
      {fr, 2, -1, "P1,0.1", none, fr + ", line 3: 2 fields where the header names 8 columns"},
      {fr, 0, -1, "name,helix_a,helix_a,x,y,z,t,u", none, fr + ", line 1: the header names column \"helix_a\" twice"},
      {fr, 0, -3, "\n\n", none, fr + ": no header line: the file is empty"},
      // The options.
      {"", 0, 0, "", [](auto& o) { o.maps[5] = "Unrd=turn", o.maps[4] = "Trn=none"; },
       fr + ": column other is neither mapped to a class nor given to --ignore"},
      {"", 0, 0, "", [](auto& o) { o.maps.pop_back(), o.ignore = {"other"}; }, "no --map for class Unrd of set 1"},
      {"", 0, 0, "", [](auto& o) { o.maps[0] = "Helix=helix_a+helix_b"; },
       "--map Helix=helix_a+helix_b: set 1 has no class \"Helix\" (its classes: H(r), H(d), S(r), S(d), Trn, Unrd, or their numbers 1 to 6)"},
      {"", 0, 0, "", [](auto& o) { o.maps[2] = "S(r)=sheet"; }, "--map S(r)=sheet: " + fr + " has no fraction column \"sheet\""},
      {"", 0, 0, "", [](auto& o) { o.maps[1] = "H(d)=helix_b"; }, "--map H(d)=helix_b: column \"helix_b\" is already part of class H(r)"},
      {"", 0, 0, "", [](auto& o) { o.maps.push_back("1=dist_helix"); }, "--map 1=dist_helix: class H(r) is mapped twice"},
      {"", 0, 0, "", [](auto& o) { o.where = {"kind=membrane"}; }, sp + ": no protein rows match --where"},
      {"", 0, 0, "", [](auto& o) { o.where = {"fold=beta"}; }, "--where fold=beta: " + sp + " has no column \"fold\""},
      {"", 0, 0, "", [](auto& o) { o.id_column = "pdb"; }, sp + ": no identifier column \"pdb\""},
      {"", 0, 0, "", [](auto& o) { o.ibasis = 9; }, "--set 9: the reference sets are numbered 1 to 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    write_file(sp, c.file == sp ? edited(good_sp, c.line, c.cell, c.to) : good_sp);
    write_file(fr, c.file == fr ? edited(good_fr, c.line, c.cell, c.to) : good_fr);
    cdref::ImportOptions o = options(tmp);
    c.change(o);
    const std::string m = imported(o);
    EXPECT_NE(m.find(c.message), std::string::npos) << "message: " << m;
    EXPECT_TRUE(names_in(tmp / "out").empty()) << "written: " << names_in(tmp / "out").front();
  }
}

// Too many proteins; ellipticity in, delta epsilon out, serial names, the
// first 50; the files of a set are not replaced without --force.
TEST(CdrefImport, CountsNamesUnitsAndOverwriting) {
  ScratchDir tmp("cdref-import");
  Source s;
  make_source(s, tmp, 60, 260, 178, 3300.0f);
  cdref::ImportOptions o = options(tmp);
  EXPECT_NE(imported(o).find("60 proteins selected; the programs hold at most 50 (choose with --where COLUMN=VALUE or --limit N)"),
            std::string::npos);
  o.molar_ellipticity = true;
  o.limit = 50;
  o.name_prefix = "M";
  EXPECT_NE(imported(o).find("ellipticity divided by 3300"), std::string::npos);
  {
    InDir in(tmp / "out");
    cdsec::RefSetReader reader;
    reader.open(*cdsec::find_ref_set(1));
    int n = 0;
    for (cdsec::RefProtein p; reader.next(p, false, 6);) {
      ++n;
      EXPECT_EQ(p.name, std::string(n < 10 ? "M00" : "M0").append(std::to_string(n)));
      EXPECT_NEAR(p.cd(38), s.proteins[static_cast<std::size_t>(n - 1)].cd(38), 0.0051f);  // 223 nm
    }
    EXPECT_EQ(n, 50);
  }
  EXPECT_EQ(imported(o), (fs::path(o.out_dir) / "CDDATA.29").string() + " exists already (--force replaces it)");
}

TEST(CdrefImport, CommandLineReportsAndChecksTheNewSet) {
  ScratchDir tmp("cdref-cli");
  Source s;
  make_source(s, tmp, 10, 260, 180);
  fs::create_directories(tmp / "out");
  NoFallback none;
  const std::string cmd = sh_quote(kCdref) + " import --set 1 --spectra " + sh_quote((tmp / "spectra.csv").string()) +
                          " --fractions " + sh_quote((tmp / "fractions.csv").string()) +
                          " --map 'H(r)=helix_a+helix_b' --map 'H(d)=dist_helix' --map 'S(r)=strand' --map 'S(d)=dist_strand'"
                          " --map Trn=turn --map Unrd=other --out " + sh_quote((tmp / "out").string());
  auto r = run(cmd, tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("179-178 nm: all 10 proteins"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Nothing was written."), std::string::npos) << r.err;
  for (const char* fill : {"zero", "extrapolate-linear"}) {
    r = run(cmd + " --force --fill " + fill, tmp);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string("Filled by ") + fill + ":\n  179-178 nm: all 10 proteins"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("10 proteins; no problems"), std::string::npos) << r.out;
  }
  r = run(cmd + " --fill spline", tmp);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--fill spline: the methods are zero and extrapolate-linear"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------- check

// A small clean set written by the generator into `dir`.
void make_set(const ScratchDir& dir, int ibasis, int count) {
  auto r = run(sh_quote(kMkrefs) + " --set " + std::to_string(ibasis) + " --count " + std::to_string(count) +
                   " --seed 21 --out " + sh_quote(dir.str()),
               dir);
  ASSERT_EQ(r.status, 0) << r.err;
}

std::vector<std::string> problems_of(const cdref::CheckResult& r) {
  std::vector<std::string> out;
  for (const cdref::Finding& f : r.findings)
    if (f.problem) out.push_back(f.text);
  return out;
}

TEST(CdrefCheck, CleanSetsHaveNoProblems) {
  NoFallback none;
  {
    ScratchDir tmp("cdref-check");
    make_set(tmp, 1, 12);
    InDir in(tmp.path());
    cdref::CheckResult r = cdref::check_set(*cdsec::find_ref_set(1), {});
    EXPECT_EQ(r.proteins, 12);
    EXPECT_TRUE(r.findings.empty()) << r.findings.front().text;
  }
  InDir in(kData);
  for (int k = 1; k <= 8; ++k) {
    cdref::CheckResult r = cdref::check_set(*cdsec::find_ref_set(k), {});
    EXPECT_EQ(r.problems(), 0) << "set " << k << ": " << joined(problems_of(r));
    EXPECT_GT(r.proteins, 20);
  }
}

struct Broken {
  const char* what;
  std::function<void(std::vector<std::string>& cd, std::vector<std::string>& ss)> change;
  std::vector<std::string> expected;  // substrings, each found in one finding
};

TEST(CdrefCheck, EachFaultIsNamedWithFileAndLine) {
  ScratchDir tmp("cdref-check");
  make_set(tmp, 1, 10);
  const std::string cd_good = read_file(tmp / "CDDATA.29"), ss_good = read_file(tmp / "SSDATA.29");
  const std::string cdp = fs::absolute(tmp / "CDDATA.29").lexically_normal().string();
  const std::string ssp = fs::absolute(tmp / "SSDATA.29").lexically_normal().string();
  // Protein k: CDDATA name line 3 + 7(k-1), SSDATA name line 2k - 1.
  Broken cases[] = {
      {"names that differ between the files", [](auto&, auto& ss) { ss[2] = " XXXX"; },
       {ssp + ", line 3: protein 2 is \"XXXX\" here but \"P002\" in " + cdp + " (line 10)"}},
      {"a name used twice",
       [](auto& cd, auto& ss) {
         cd[16] = " P001";
         ss[4] = " P001";
       },
       {cdp + ", line 17: the name \"P001\" is used again (first for protein 1, line 3)"}},
      {"fractions that do not sum to 1", [](auto&, auto& ss) { ss[1] = "   0.100   0.100   0.100   0.100   0.100   0.400"; },
       {ssp + ", line 2: the fractions of \"P001\" sum to 0.900, not 1 within 0.010"}},
      {"a negative fraction", [](auto&, auto& ss) { ss[3] = "  -0.050   0.050   0.200   0.200   0.200   0.400"; },
       {ssp + ", line 4: fraction 1 (H(r)) of \"P002\" is -0.050, outside 0 to 1"}},
      {"a blank CD field",
       [](auto& cd, auto&) { cd[11].replace(6, 6, "      "); },
       {cdp + ", line 12: value 17 of protein \"P002\" (columns 7-12) is blank and reads as 0"}},
      {"an unreadable CD field", [](auto& cd, auto&) { cd[11].replace(6, 6, " 1.2.3"); },
       {cdp + ", line 12, columns 7-12: expected a number, found \" 1.2.3\" (the programs stop here)",
        cdp + ", line 12: value 17 of protein \"P002\" (columns 7-12): not a number, \" 1.2.3\""}},
      {"text after the last field", [](auto& cd, auto&) { cd[4] += "  9.99"; },
       {cdp + ", line 5: text after column 90 is never read: \"  9.99\""}},
      {"a name in columns 1-4", [](auto& cd, auto&) { cd[2] = "P001"; },
       {cdp + ", line 3: column 1 holds \"P\", which is not read: the name is columns 2-5, \"001\"",
        ssp + ", line 1: protein 1 is \"P001\" here but \"001 \" in " + cdp + " (line 3)"}},
      {"a file that ends inside a protein", [](auto& cd, auto&) { cd.resize(cd.size() - 3); },
       {"(the programs stop here)", cdp + ", line 70: the file ends inside the CD values of protein \"P010\" (3 of 6 lines)"}},
      {"an SSDATA file that ends early", [](auto&, auto& ss) { ss.resize(ss.size() - 1); },
       {ssp + ", line 20: the file ends before the fractions of protein \"P010\""}},
      {"a CDDATA file that ends a protein early", [](auto& cd, auto&) { cd.resize(cd.size() - 7); },
       {ssp + ", line 19: protein 10 (\"P010\") has fractions but no spectrum: " + cdp +
        " ends after protein 9 (line 65), so the programs read 9 proteins, not 10"}},
      {"a fraction too wide to print", [](auto&, auto& ss) { ss[1] = "  1.0E30   0.100   0.100   0.100   0.100   0.400"; },
       // The programs refuse a fraction outside -1 to 2 as they read it; the
       // check says so, with the field as written.
       {ssp + ", line 2, columns 1-8: a structure fraction outside -1 to 2 (protein \"P001\"), found \"  1.0E30\""}},
      {"ellipticity instead of delta epsilon", [](auto& cd, auto&) { cd[8].replace(0, 6, "-80.00"); },
       {cdp + ", line 3: \"P001\" has -80.00 at 185 nm, below the plausible -30.0"}},
      {"a fraction that is not a number", [](auto&, auto& ss) { ss[1].replace(16, 8, "   x.100"); },
       {ssp + ", line 2: fraction 3 of \"P001\" (columns 17-24): not a number, \"   x.100\""}},
      {"a value too large at the first wavelength", [](auto& cd, auto&) { cd[3].replace(0, 6, " 80.00"); },
       {cdp + ", line 3: \"P001\" has 80.00 at 260 nm, above the plausible 40.0"}},
      {"a spectrum of zeros",
       [](auto& cd, auto&) {
         for (int l = 17; l <= 22; ++l)
           for (std::size_t c = 0; c < cd[static_cast<std::size_t>(l)].size(); c += 6)
             cd[static_cast<std::size_t>(l)].replace(c, 6, "  0.00");
       },
       {cdp + ", line 17: the spectrum of \"P003\" is zero throughout the valid range 260-178 nm"}},
      {"a duplicate protein",
       [](auto& cd, auto&) {
         for (int l = 1; l <= 6; ++l) cd[static_cast<std::size_t>(23 + l)] = cd[static_cast<std::size_t>(16 + l)];
       },
       {cdp + ", line 24: \"P004\" has the same spectrum over 260-178 nm as \"P003\" (line 17): a duplicate protein"}},
  };
  for (const Broken& b : cases) {
    SCOPED_TRACE(b.what);
    auto cd = lines_of(cd_good), ss = lines_of(ss_good);
    b.change(cd, ss);
    write_file(tmp / "CDDATA.29", joined(cd));
    write_file(tmp / "SSDATA.29", joined(ss));
    InDir in(tmp.path());
    cdref::CheckResult r = cdref::check_set(*cdsec::find_ref_set(1), {});
    EXPECT_GT(r.problems(), 0);
    std::vector<std::string> texts;
    for (const cdref::Finding& f : r.findings) texts.push_back((f.problem ? "problem: " : "note: ") + f.text);
    for (const std::string& want : b.expected) {
      bool found = false;
      for (const std::string& t : texts) found = found || t.find(want) != std::string::npos;
      EXPECT_TRUE(found) << "wanted: " << want << "\ngot:\n" << joined(texts);
    }
  }
}

// Past 30 layout faults in one file, the rest of it is summarised in one line.
TEST(CdrefCheck, LayoutFaultsOfAFileAreCapped) {
  ScratchDir tmp("cdref-check");
  make_set(tmp, 1, 10);
  auto cd = lines_of(read_file(tmp / "CDDATA.29"));
  for (std::size_t l = 10; l <= 15; ++l) cd[l] = std::string(cd[l].size(), ' ');  // 90 blank values of protein 2
  write_file(tmp / "CDDATA.29", joined(cd));
  InDir in(tmp.path());
  const cdref::CheckResult r = cdref::check_set(*cdsec::find_ref_set(1), {});
  int blank = 0, further = 0;
  for (const cdref::Finding& f : r.findings) {
    blank += f.text.find("is blank and reads as 0") != std::string::npos;
    further += f.text.find("CDDATA.29: further layout problems not listed") != std::string::npos;
  }
  EXPECT_EQ(blank, 30);
  EXPECT_EQ(further, 1);
}

// Too many proteins for the programs, too few for KESTRA; a scale factor and
// a sixth fraction that set 5 does not read are notes, not problems.
TEST(CdrefCheck, CountsScaleFactorsAndTheFiveClassSet) {
  ScratchDir many("cdref-check"), few("cdref-check"), one("cdref-check"), five("cdref-check");
  make_set(many, 1, 51);
  make_set(few, 4, 5);
  make_set(one, 4, 1);
  auto r = run(sh_quote(kMkrefs) + " --set 5 --count 9 --seed 4 --scale 2 --out " + sh_quote(five.str()), five);
  ASSERT_EQ(r.status, 0);
  write_file(five / "SSDATA.P2", edited(read_file(five / "SSDATA.P2"), 1, -1, lines_of(read_file(five / "SSDATA.P2"))[1] + "   0.000"));
  const std::vector<std::tuple<const ScratchDir*, int, std::string, std::string>> cases = {
      {&many, 1, "51 proteins; the programs hold at most 50 (MORVAN3 stops, KESTRA reads the first 50)", ""},
      {&few, 4, "5 proteins; KESTRA combines eight at a time and needs at least 8", ""},
      {&one, 4, "CDDATA.43: 1 protein; KESTRA combines eight", ""},
      {&five, 5, "", "CDDATA.P2, line 3: scale factor 2.000: MORVAN3 multiplies the values by it, KESTRA ignores it"},
      {&five, 5, "", "SSDATA.P2, line 2: field 6 is not used by this set of 5 classes"},
  };
  for (const auto& [dir, set, problem, note] : cases) {
    InDir in(dir->path());
    const cdref::CheckResult c = cdref::check_set(*cdsec::find_ref_set(set), {});
    std::string notes;
    for (const auto& f : c.findings) notes += f.text + "\n";
    EXPECT_NE(joined(problems_of(c)).find(problem), std::string::npos) << joined(problems_of(c));
    EXPECT_EQ(c.problems() == 0, problem.empty()) << joined(problems_of(c));
    EXPECT_NE(notes.find(note), std::string::npos) << notes;
  }
}

TEST(CdrefCheck, CommandLineExitStatusAndDirectory) {
  ScratchDir tmp("cdref-check"), elsewhere("cdref-else");
  make_set(tmp, 3, 9);
  make_set(elsewhere, 1, 9);
  ::setenv("CDSEC_REFDIR", elsewhere.str().c_str(), 1);
  auto r = run(sh_quote(kCdref) + " check --set 3 --dir " + sh_quote(tmp.str()), tmp);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("9 proteins; no problems"), std::string::npos) << r.out;
  // Set 1 is not in the directory checked: found through CDSEC_REFDIR,
  // which --dir does not accept.
  r = run(sh_quote(kCdref) + " check --set 1 --dir " + sh_quote(tmp.str()), tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("CDDATA.29: not in " + fs::canonical(tmp.path()).string() + " (found elsewhere)"), std::string::npos) << r.out;
  // Without --set every set found is checked; a broken one fails the run.
  write_file(tmp / "SSDATA.37", read_file(tmp / "SSDATA.37").substr(0, 20));
  r = run("cd " + sh_quote(tmp.str()) + " && " + sh_quote(kCdref) + " check", tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Set 1 (CDDATA.29, SSDATA.29): " + fs::canonical(elsewhere.path()).string()), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Set 3 (CDDATA.37, SSDATA.37)"), std::string::npos) << r.out;
  // The cdref of the build tree finds the other sets in the source tree.
  EXPECT_NE(r.out.find("Set 2 (CDDATA.23, SSDATA.23): " + kData.string() + "/CDDATA.23"), std::string::npos) << r.out;
  // A copy of cdref that finds no set anywhere fails too.
  ScratchDir empty("cdref-empty");
  fs::copy_file(kCdref, empty / "cdref");
  r = run("cd " + sh_quote(empty.str()) + " && env -u CDSEC_REFDIR ./cdref check", tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("No reference set found"), std::string::npos) << r.out;
  // The last set of the catalogue, and numbers on either side of it.
  r = run(sh_quote(kCdref) + " check --set 8 --dir " + sh_quote(kData.string()), tmp);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("45 proteins; no problems"), std::string::npos) << r.out;
  for (const char* set : {"0", "9"}) {
    r = run(sh_quote(kCdref) + " check --set " + set, tmp);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(std::string("--set ") + set + ": expected a whole number from 1 to 8"), std::string::npos) << r.err;
  }
  ::unsetenv("CDSEC_REFDIR");
}

// ---------------------------------------------------------------- list and lookup order

// The catalogue and where each set is read from, as reviewed: the working
// directory first, then CDSEC_REFDIR, then, for the cdref of the build tree,
// the source tree's data.
TEST(CdrefList, ShowsWhereEachSetIsReadFrom) {
  ScratchDir cwd("cdref-list");
  make_set(cwd, 1, 9);
  std::string out;
  for (const std::string& env : {"CDSEC_REFDIR=" + sh_quote(kData.string()), std::string("CDSEC_REFDIR=")}) {
    const auto r = run("cd " + sh_quote(cwd.str()) + " && " + env + " " + sh_quote(kCdref) + " list", cwd);
    ASSERT_EQ(r.status, 0) << r.err;
    out += r.out;
  }
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {fs::canonical(cwd.path()).string(), "@HERE@"}, {CDSEC_SOURCE_DIR, "@SOURCE@"}})
    for (auto p = out.find(from); p != std::string::npos; p = out.find(from)) out.replace(p, from.size(), to);
  EXPECT_EQ(reviewed(fs::path(CDSEC_SOURCE_DIR) / "tests" / "cdref" / "expected" / "list.txt", out), out);
}

// ---------------------------------------------------------------- measured data

TEST(CdrefMeasured, ImportsTheSharedMeasuredSpectra) {
  const fs::path src = fs::path(CDSEC_SHARED_DIR) / "refdata" / "pcddb83";
  if (!fs::exists(src / "spectra.csv") || !fs::exists(src / "fractions.csv"))
    GTEST_SKIP() << "no measured data in " << src;
  ScratchDir tmp("cdref-pcddb");
  NoFallback none;
  // DSSP has no regular/distorted split and no PPII: the mapping is an
  // approximation.  Alpha helix is taken as regular helix; 3-10 and pi
  // helix as distorted helix; all strands as regular strand; isolated
  // bridges as distorted strand; H-bonded turns as turns; everything else
  // as unordered.
  const std::string map =
      " --map 'H(r)=alpha_helix_H' --map 'H(d)=helix_310_G+pi_helix_I'"
      " --map 'S(r)=antiparallel_beta_A1+antiparallel_beta_A2+parallel_beta_P' --map 'S(d)=bridge_B'"
      " --map Trn=turn_T --map Unrd=other_O";
  const std::string base = sh_quote(kCdref) + " import --spectra " + sh_quote((src / "spectra.csv").string()) +
                           " --fractions " + sh_quote((src / "fractions.csv").string()) + map;
  fs::create_directories(tmp / "soluble");
  fs::create_directories(tmp / "membrane");

  // All 83 are too many; 56 soluble still too many; the data stop at 180 nm.
  auto r = run(base + " --set 1 --out " + sh_quote((tmp / "soluble").string()) + " --fill extrapolate-linear", tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("83 proteins selected; the programs hold at most 50"), std::string::npos) << r.err;
  r = run(base + " --set 1 --where kind=soluble --limit 50 --out " + sh_quote((tmp / "soluble").string()), tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("179-178 nm: all 50 proteins"), std::string::npos) << r.err;

  r = run(base + " --set 1 --where kind=soluble --limit 50 --fill extrapolate-linear --out " +
              sh_quote((tmp / "soluble").string()),
          tmp);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("179-178 nm lie inside the valid range of set 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("50 proteins; no problems"), std::string::npos) << r.out;

  // Spot values against the source table: the first soluble protein at 222
  // and 190 nm, and its fractions summed as mapped.
  const cdref::CsvTable sp = cdref::read_csv((src / "spectra.csv").string()), fr = cdref::read_csv((src / "fractions.csv").string());
  const auto first = std::find_if(sp.rows.begin(), sp.rows.end(), [&](const cdref::CsvRow& row) {
    return row.cells[static_cast<std::size_t>(sp.column("kind"))] == "soluble";
  });
  ASSERT_NE(first, sp.rows.end());
  const auto frow = std::find_if(fr.rows.begin(), fr.rows.end(), [&](const cdref::CsvRow& row) { return row.cells[0] == first->cells[0]; });
  ASSERT_NE(frow, fr.rows.end());
  auto cell = [](const cdref::CsvTable& t, const cdref::CsvRow& row, const char* col) {
    return std::stof(row.cells[static_cast<std::size_t>(t.column(col))]);
  };
  {
    InDir in(tmp / "soluble");
    cdsec::RefSetReader reader;
    reader.open(*cdsec::find_ref_set(1));
    cdsec::RefProtein p;
    ASSERT_TRUE(reader.next(p, false, 6));
    EXPECT_EQ(p.name, first->cells[0]);
    EXPECT_NEAR(p.cd(260 - 222 + 1), cell(sp, *first, "222"), 0.0051f);
    EXPECT_NEAR(p.cd(260 - 190 + 1), cell(sp, *first, "190"), 0.0051f);
    EXPECT_NEAR(p.ss(1), cell(fr, *frow, "alpha_helix_H"), 0.0006f);
    EXPECT_NEAR(p.ss(3), cell(fr, *frow, "antiparallel_beta_A1") + cell(fr, *frow, "antiparallel_beta_A2") + cell(fr, *frow, "parallel_beta_P"),
                0.0006f);
    int n = 1;
    while (reader.next(p, false, 6)) ++n;
    EXPECT_EQ(n, 50);
  }

  // The 27 membrane proteins as a set for 240-190 nm: filling 179-178 nm is
  // still needed for the file, and reported as outside the valid range.
  r = run(base + " --set 4 --where kind=membrane --fill extrapolate-linear --out " + sh_quote((tmp / "membrane").string()),
          tmp);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("179-178 nm lie outside the valid range of set 4: the analyses do not use them."), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("27 proteins; no problems"), std::string::npos) << r.out;
}

}  // namespace
