// cdref convert: each unit family against values worked by hand from its
// formula, the readers on exports written here (a header block, an HT
// column, 0.1 and 0.5 nm steps, decimal commas, each separator), the order,
// gap and range rules, header/option conflicts, the atomic append, the JSON
// record, and a converted spectrum read by the builder and analysed by both
// programs.
#include "cdref/convert.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <tuple>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/text_input.hpp"
#include "tests/tool_run.hpp"
#include "cdref/instrument.hpp"
#include "cdref/summary.hpp"

namespace {

namespace fs = std::filesystem;
using cdref::ConvertError;
using cdref::Unit;
using cdsec::ReadError;
using cdsec_test::read_file;
using cdsec_test::run;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;
using cdsec_test::write_file;

const std::string kCdref = CDREF_BINARY;
const fs::path kRepo = CDSEC_SOURCE_DIR;

template <class F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// ---------------------------------------------------------------- exports written for the tests

struct Row {
  double wl, cd, ht;
};

// Rows from `from` to `to` nm in steps of `step`; cd and ht as functions of
// the wavelength.
std::vector<Row> rows(
    double from, double to, double step, const std::function<double(double)>& cd,
    const std::function<double(double)>& ht = [](double) { return 250.0; }) {
  std::vector<Row> out;
  const int n = static_cast<int>(std::lround(std::abs(to - from) / step));
  for (int i = 0; i <= n; ++i) {
    double w = from + (to > from ? 1 : -1) * i * step;
    w = std::round(w * 1000.0) / 1000.0;
    out.push_back({w, cd(w), ht(w)});
  }
  return out;
}

std::string fmt(double v, int decimals, bool comma) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (comma)
    for (char& c : s)
      if (c == '.') c = ',';
  return s;
}

struct Style {
  std::string sep = "\t";
  bool comma = false;  // decimal commas
  bool ht = true;
  int decimals = 4;
};

// The JASCO-style export: header block, XYDATA, rows, an extended block.
std::string jasco(const std::vector<Row>& r, const std::string& yunits = "CD [mdeg]", Style s = {},
                  const std::string& xunits = "NANOMETERS", int npoints = -1) {
  std::string t =
      "TITLE\tsample\nDATA TYPE\t\nORIGIN\tJASCO\nOWNER\t\nDATE\t24/05/03\nTIME\t10:12:45\n"
      "SPECTROMETER/DATA SYSTEM\tJ-815\nRESOLUTION\t\nDELTAX\t-0.1\n";
  t += "XUNITS\t" + xunits + "\n";
  t += "YUNITS\t" + yunits + "\n";
  if (s.ht) t += "Y2UNITS\tHT [V]\n";
  t += "FIRSTX\t" + fmt(r.front().wl, 4, false) + "\nLASTX\t" + fmt(r.back().wl, 4, false) + "\n";
  t += "NPOINTS\t" + std::to_string(npoints < 0 ? static_cast<int>(r.size()) : npoints) + "\nXYDATA\n";
  for (const Row& x : r) {
    t += fmt(x.wl, 1, s.comma) + s.sep + fmt(x.cd, s.decimals, s.comma);
    if (s.ht) t += s.sep + fmt(x.ht, 1, s.comma);
    t += "\n";
  }
  t += "\n##### Extended Information\n[Comments]\nSample name\tlysozyme\n";
  return t;
}

// Delimited text: free header lines, then a names line, then rows.
std::string delimited(const std::vector<Row>& r, Style s, const std::string& names, const std::string& preamble = "") {
  std::string t = preamble + names + "\n";
  for (const Row& x : r) {
    t += fmt(x.wl, 2, s.comma) + s.sep + fmt(x.cd, s.decimals, s.comma);
    if (s.ht) t += s.sep + fmt(x.ht, 1, s.comma);
    t += "\n";
  }
  return t;
}

double wave(double w) { return 10.0 * std::sin(w / 7.0) - 2.0; }
double linear(double w) { return 0.25 * w - 50.0; }

// ---------------------------------------------------------------- the whole conversion, as a user runs it

struct Outcome {
  int status;
  std::string out, err;
};

Outcome convert(const std::vector<std::string>& args) {
  static const ScratchDir logs("cdref-convert-runs");
  std::string command = sh_quote(kCdref) + " convert";
  for (const std::string& a : args) command += " " + sh_quote(a);
  const cdsec_test::RunResult r = run(command, logs);
  return {r.status, r.out, r.err};
}

// The two-column file: wavelength and value per line.
std::vector<std::pair<int, float>> two_columns(const fs::path& p) {
  std::vector<std::pair<int, float>> out;
  cdsec::LineReader in;
  in.open(p.string());
  std::string line;
  while (in.next(line)) {
    float v[2];
    EXPECT_EQ(cdsec::parse_free_reals(line, v), 2) << line;
    out.emplace_back(static_cast<int>(v[0]), v[1]);
  }
  return out;
}

// ================================================================ units

float de(Unit u, const cdref::UnitParams& p, float v) {
  return cdref::to_delta_epsilon(cdref::plan_conversion(u, p), v);
}

cdref::UnitParams mass(float c, float l, cdref::PathUnit lu, float mrw) {
  cdref::UnitParams p;
  p.conc_given = p.path_given = true;
  p.conc = c;
  p.conc_unit = cdref::ConcUnit::kMgPerMl;
  p.path = l;
  p.path_unit = lu;
  p.mrw = mrw;
  return p;
}

cdref::UnitParams molar(float c, cdref::ConcUnit cu, float l, int n) {
  cdref::UnitParams p;
  p.conc_given = p.path_given = true;
  p.conc = c;
  p.conc_unit = cu;
  p.path = l;
  p.path_unit = cdref::PathUnit::kCm;
  p.residues = n;
  return p;
}

// [theta]_MRW = theta * MRW / (10 l c) and delta epsilon = [theta]_MRW / 3298.2:
// 10 mdeg, MRW 110, 0.1 cm, 0.5 mg/mL give 2200 deg cm2 dmol-1, 0.66703.
// With 20 uM of a 129-residue protein: 10 / (10 * 2e-5 * 0.1 * 129) = 3875.97,
// 1.17518.  A degree is 1000 mdeg; 1 mm is 0.1 cm; 20 uM = 0.02 mM = 2e-5 M.
TEST(CdrefConvertUnits, EllipticityWithMassOrMolarConcentration) {
  const cdref::UnitParams m = mass(0.5f, 0.1f, cdref::PathUnit::kCm, 110.0f);
  EXPECT_NEAR(de(Unit::kMdeg, m, 10.0f), 0.6670305f, 2e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, m, -10.0f), -0.6670305f, 2e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, mass(0.5f, 1.0f, cdref::PathUnit::kMm, 110.0f), 10.0f), 0.6670305f, 2e-6f);
  EXPECT_NEAR(de(Unit::kDeg, m, 0.01f), 0.6670305f, 2e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, mass(1.0f, 0.1f, cdref::PathUnit::kCm, 110.0f), 10.0f), 0.6670305f / 2, 2e-6f);

  EXPECT_NEAR(de(Unit::kMdeg, molar(20.0f, cdref::ConcUnit::kMicromolar, 0.1f, 129), 10.0f), 1.1751771f, 5e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, molar(0.02f, cdref::ConcUnit::kMillimolar, 0.1f, 129), 10.0f), 1.1751771f, 5e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, molar(2e-5f, cdref::ConcUnit::kMolar, 0.1f, 129), 10.0f), 1.1751771f, 5e-6f);
  EXPECT_NEAR(de(Unit::kDeg, molar(20.0f, cdref::ConcUnit::kMicromolar, 0.1f, 129), 0.01f), 1.1751771f, 5e-6f);
}

// [theta] per mole of protein / n, then / 3298.2: -1.2e6 with 100 residues is
// -12000 per residue, -3.63835.  Mean residue ellipticity 3298.2 is 1.
TEST(CdrefConvertUnits, MolarAndMeanResidueEllipticity) {
  cdref::UnitParams n100;
  n100.residues = 100;
  EXPECT_NEAR(de(Unit::kMolarEllipticity, n100, -1.2e6f), -3.6383482f, 2e-6f);
  cdref::UnitParams none;
  EXPECT_FLOAT_EQ(de(Unit::kMre, none, 3298.2f), 1.0f);
  EXPECT_NEAR(de(Unit::kMre, none, -16491.0f), -5.0f, 1e-6f);
  EXPECT_FLOAT_EQ(de(Unit::kDeltaEpsilon, none, -7.125f), -7.125f);
}

// delta A = delta epsilon * c_res * l: 1e-4 with 0.5 mg/mL of residues of
// 110 g/mol (4.545e-3 M) in 0.1 cm is 0.22; with 20 uM of 129 residues
// (2.58e-3 M of residues) 0.387597.  Through theta = 32980 delta A mdeg the
// same sample gives 0.21999: the two constants agree to 0.01 %.
TEST(CdrefConvertUnits, DeltaAbsorbance) {
  const cdref::UnitParams m = mass(0.5f, 0.1f, cdref::PathUnit::kCm, 110.0f);
  EXPECT_NEAR(de(Unit::kDeltaA, m, 1e-4f), 0.22f, 1e-6f);
  EXPECT_NEAR(de(Unit::kDeltaA, molar(20.0f, cdref::ConcUnit::kMicromolar, 0.1f, 129), 1e-4f), 0.3875969f, 2e-6f);
  EXPECT_NEAR(de(Unit::kMdeg, m, 32980.0f * 1e-4f), de(Unit::kDeltaA, m, 1e-4f), 0.22f * 1e-4f);
}

TEST(CdrefConvertUnits, MissingAndUnusedParametersAreNamed) {
  auto refused = [](Unit u, const cdref::UnitParams& p) { return message_of([&] { cdref::plan_conversion(u, p); }); };
  cdref::UnitParams none;
  EXPECT_NE(refused(Unit::kMdeg, none).find("--conc"), std::string::npos);
  cdref::UnitParams conc_only = mass(0.5f, 0.1f, cdref::PathUnit::kCm, 110.0f);
  conc_only.path_given = false;
  EXPECT_NE(refused(Unit::kMdeg, conc_only).find("--path"), std::string::npos);
  EXPECT_NE(refused(Unit::kDeltaA, mass(0.5f, 0.1f, cdref::PathUnit::kCm, 0.0f)).find("--mrw"), std::string::npos);
  EXPECT_NE(refused(Unit::kDeg, molar(20.0f, cdref::ConcUnit::kMicromolar, 0.1f, 0)).find("--residues"),
            std::string::npos);
  EXPECT_NE(refused(Unit::kMolarEllipticity, none).find("--residues"), std::string::npos);

  // A number given but not used by the unit is refused, never ignored.
  cdref::UnitParams with_mrw_and_residues = mass(0.5f, 0.1f, cdref::PathUnit::kCm, 110.0f);
  with_mrw_and_residues.residues = 129;
  EXPECT_NE(refused(Unit::kMdeg, with_mrw_and_residues).find("--residues"), std::string::npos);
  cdref::UnitParams molar_with_mrw = molar(20.0f, cdref::ConcUnit::kMicromolar, 0.1f, 129);
  molar_with_mrw.mrw = 110.0f;
  EXPECT_NE(refused(Unit::kMdeg, molar_with_mrw).find("--mrw"), std::string::npos);
  EXPECT_NE(refused(Unit::kMre, mass(0.5f, 0.1f, cdref::PathUnit::kCm, 110.0f)).find("--conc is not used"),
            std::string::npos);
  cdref::UnitParams residues_only;
  residues_only.residues = 129;
  EXPECT_NE(refused(Unit::kDeltaEpsilon, residues_only).find("--residues is not used"), std::string::npos);
  EXPECT_NE(refused(Unit::kMolarEllipticity, mass(0.5f, 0.1f, cdref::PathUnit::kCm, 0.0f)).find("--conc"),
            std::string::npos);
}

TEST(CdrefConvertUnits, HeaderTextsNameUnits) {
  using cdref::unit_bit;
  EXPECT_EQ(cdref::units_named_by("CD [mdeg]"), unit_bit(Unit::kMdeg));
  EXPECT_EQ(cdref::units_named_by("CD(mdeg)"), unit_bit(Unit::kMdeg));
  EXPECT_EQ(cdref::units_named_by("Ellipticity [deg]"), unit_bit(Unit::kDeg));
  EXPECT_EQ(cdref::units_named_by("Mol. Ellip. [deg cm2 dmol-1]"),
            unit_bit(Unit::kMolarEllipticity) | unit_bit(Unit::kMre));
  EXPECT_EQ(cdref::units_named_by("Mean residue ellipticity"), unit_bit(Unit::kMre));
  EXPECT_EQ(cdref::units_named_by("MRE (deg cm2 dmol-1)"), unit_bit(Unit::kMre));
  EXPECT_EQ(cdref::units_named_by("Mol. CD [M-1 cm-1]"), unit_bit(Unit::kDeltaEpsilon));
  EXPECT_EQ(cdref::units_named_by("Delta epsilon"), unit_bit(Unit::kDeltaEpsilon));
  EXPECT_EQ(cdref::units_named_by("Delta A"), unit_bit(Unit::kDeltaA));
  EXPECT_EQ(cdref::units_named_by("HT [V]"), 0u);
  EXPECT_EQ(cdref::units_named_by("CD"), 0u);
}

// ================================================================ readers

TEST(CdrefConvertReaders, JascoExportWithHeaderAndHt) {
  ScratchDir dir("convert-read");
  const auto r = rows(260.0, 180.0, 0.1, wave, [](double w) { return 200.0 + (260.0 - w) * 2.0; });
  write_file(dir / "lyso.txt", jasco(r));
  const cdref::Measurement m = cdref::read_measurement((dir / "lyso.txt").string(), {});
  EXPECT_EQ(m.format, cdref::ExportFormat::kInstrument);
  EXPECT_EQ(m.xydata_line, 16);
  ASSERT_EQ(m.points.size(), 801u);
  EXPECT_EQ(m.points.front().line, 17);
  EXPECT_FLOAT_EQ(m.points.front().wl, 260.0f);
  EXPECT_FLOAT_EQ(m.points[1].wl, 259.9f);
  EXPECT_FLOAT_EQ(m.points[1].cd, std::stof(fmt(wave(259.9), 4, false)));
  EXPECT_FLOAT_EQ(m.points[1].ht, 200.2f);
  EXPECT_TRUE(m.has_ht);
  EXPECT_EQ(m.ht.number, 3);
  EXPECT_EQ(m.y_units.text, "CD [mdeg]");
  EXPECT_EQ(m.y_units.line, 11);
  EXPECT_EQ(m.x_units.text, "NANOMETERS");
  EXPECT_EQ(m.npoints_declared, 801);
  EXPECT_EQ(m.trailing_lines, 3);  // the extended block after the data
  EXPECT_EQ(m.separator, cdref::Separator::kTab);
}

// The same rows with every separator, with decimal points and with decimal
// commas, read to the same numbers.
TEST(CdrefConvertReaders, EverySeparatorAndDecimalCommas) {
  ScratchDir dir("convert-sep");
  const auto r = rows(250.0, 190.0, 0.5, wave);
  struct Case {
    std::string sep;
    bool comma;
    cdref::Separator expect;
  };
  const std::vector<Case> cases = {
      {"\t", false, cdref::Separator::kTab},     {"\t", true, cdref::Separator::kTab},
      {",", false, cdref::Separator::kComma},    {";", false, cdref::Separator::kSemicolon},
      {";", true, cdref::Separator::kSemicolon}, {"  ", false, cdref::Separator::kBlank},
      {" ", true, cdref::Separator::kBlank}};
  for (const Case& c : cases) {
    Style s;
    s.sep = c.sep;
    s.comma = c.comma;
    const std::string names = std::string("Wavelength") + c.sep + "CD" + c.sep + "HT";
    write_file(dir / "d.txt", delimited(r, s, names, "Sample: test\nCuvette 1 mm\n"));
    SCOPED_TRACE("separator \"" + c.sep + "\"" + (c.comma ? " with decimal commas" : ""));
    const cdref::Measurement m = cdref::read_measurement((dir / "d.txt").string(), {});
    EXPECT_EQ(m.format, cdref::ExportFormat::kDelimited);
    EXPECT_EQ(m.separator, c.expect);
    EXPECT_EQ(m.header_lines, 3);
    EXPECT_EQ(m.names_line, 3);
    EXPECT_EQ(m.decimal_commas, c.comma ? 3 * static_cast<int>(r.size()) : 0);
    ASSERT_EQ(m.points.size(), r.size());
    for (std::size_t i = 0; i < r.size(); i += 17) {
      EXPECT_FLOAT_EQ(m.points[i].wl, static_cast<float>(r[i].wl));
      EXPECT_FLOAT_EQ(m.points[i].cd, std::stof(fmt(r[i].cd, 4, false)));
    }
    EXPECT_TRUE(m.has_ht);  // named "HT" in the header
  }
  // A spreadsheet's CSV quotes the fields that hold a decimal comma.
  write_file(dir / "q.csv", "\"Wavelength\",\"CD\"\n\"200,5\",\"-1,25\"\n\"200,0\",\"-1,5\"\n");
  const cdref::Measurement q = cdref::read_measurement((dir / "q.csv").string(), {});
  EXPECT_EQ(q.separator, cdref::Separator::kComma);
  ASSERT_EQ(q.points.size(), 2u);
  EXPECT_FLOAT_EQ(q.points[0].wl, 200.5f);
  EXPECT_FLOAT_EQ(q.points[0].cd, -1.25f);
  // --decimal point refuses a comma the reader would otherwise take as one.
  write_file(dir / "c.txt", "200,5 -1,25\n200,0 -1,5\n");
  cdref::ReadOptions point;
  point.decimal = cdref::DecimalMark::kPoint;
  EXPECT_NE(message_of([&] { cdref::read_measurement((dir / "c.txt").string(), point); }).find("no row of numbers"),
            std::string::npos);
}

TEST(CdrefConvertReaders, ColumnsByNumberOrNameAndUnitsFromTheName) {
  ScratchDir dir("convert-cols");
  std::string t = "# exported\nWavelength (nm);HT (V);CD [mdeg];Abs\n";
  for (int w = 240; w >= 190; --w)
    t += std::to_string(w) + ";" + std::to_string(300 + (240 - w)) + ";" + fmt(linear(w), 3, true) + ";0,5\n";
  write_file(dir / "n.csv", t);
  cdref::ReadOptions by_name;
  by_name.x.name = "Wavelength";
  by_name.y.name = "CD";
  const cdref::Measurement m = cdref::read_measurement((dir / "n.csv").string(), by_name);
  EXPECT_EQ(m.x.number, 1);
  EXPECT_EQ(m.y.number, 3);
  EXPECT_EQ(m.ht.number, 2);  // found by its name
  EXPECT_EQ(m.y_units.text, "CD [mdeg]");
  EXPECT_EQ(m.y_units.line, 2);
  EXPECT_FLOAT_EQ(m.points[0].cd, static_cast<float>(linear(240)));
  EXPECT_FLOAT_EQ(m.points[0].ht, 300.0f);

  cdref::ReadOptions by_number;
  by_number.x.number = 1;
  by_number.y.number = 3;
  by_number.ht.none = true;
  const cdref::Measurement k = cdref::read_measurement((dir / "n.csv").string(), by_number);
  EXPECT_FALSE(k.has_ht);
  EXPECT_FLOAT_EQ(k.points[50].cd, static_cast<float>(linear(190)));

  cdref::ReadOptions missing;
  missing.y.name = "Ellipticity";
  const std::string e = message_of([&] { cdref::read_measurement((dir / "n.csv").string(), missing); });
  EXPECT_NE(e.find("line 2: no column is named \"Ellipticity\""), std::string::npos) << e;
  EXPECT_NE(e.find("3 \"CD [mdeg]\""), std::string::npos) << e;

  // By default the CD is the column after the wavelength that is neither
  // the HT nor the absorbance; a CD column chosen on the HT is refused.
  const cdref::Measurement d = cdref::read_measurement((dir / "n.csv").string(), {});
  EXPECT_EQ(d.y.number, 3);
  EXPECT_EQ(d.ht.number, 2);
  cdref::ReadOptions on_ht;
  on_ht.y.number = 2;
  const std::string h = message_of([&] { cdref::read_measurement((dir / "n.csv").string(), on_ht); });
  EXPECT_NE(h.find("holds the HT voltage"), std::string::npos) << h;

  cdref::ReadOptions too_far;
  too_far.y.number = 7;
  EXPECT_NE(message_of([&] { cdref::read_measurement((dir / "n.csv").string(), too_far); }).find("column 7 is chosen"),
            std::string::npos);
}

TEST(CdrefConvertReaders, BrokenFilesNameTheLine) {
  ScratchDir dir("convert-broken");
  const fs::path f = dir / "f.txt";
  auto error = [&](const std::string& text, cdref::ReadOptions o = {}) {
    write_file(f, text);
    return message_of([&] { cdref::read_measurement(f.string(), o); });
  };
  const std::string name = f.string();
  const auto r = rows(200.0, 195.0, 1.0, linear);

  // NPOINTS that disagree with the rows: the file was cut short.
  EXPECT_NE(error(jasco(r, "CD [mdeg]", {}, "NANOMETERS", 9)).find(name + ", line 15: NPOINTS says 9 points, but 6"),
            std::string::npos);
  // Rows after text that ended the data.
  EXPECT_NE(error("200 1.0\n199 1.1\nend of scan\n198 1.2\n").find(name + ", line 4: a row of numbers after the data"),
            std::string::npos);
  // A row without the HT column that the rows before it had.
  EXPECT_NE(error("w\tcd\tHT\n200\t1.0\t300\n199\t1.1\n").find(name + ", line 3: 2 fields, but the HT is column 3"),
            std::string::npos);
  // An empty field where the CD should be.
  EXPECT_NE(error("200\t1.0\t300\n199\t\t310\n").find(name + ", line 2: no number in column 2"), std::string::npos);
  EXPECT_NE(error("").find("the file is empty"), std::string::npos);
  EXPECT_NE(error("Wavelength CD\nnone measured\n").find("no row of numbers in the 2 lines read"), std::string::npos);
  EXPECT_NE(error("XUNITS\tNANOMETERS\nXYDATA\nnot a number\n")
                .find(name + ", line 3: expected a row of numbers after XYDATA"),
            std::string::npos);
  cdref::ReadOptions jasco_names;
  jasco_names.y.name = "CD";
  EXPECT_NE(error(jasco(r), jasco_names).find("choose them by number"), std::string::npos);
  cdref::ReadOptions forced;
  forced.format = cdref::ExportFormat::kInstrument;
  EXPECT_NE(error("200 1.0\n199 1.1\n", forced).find("not an instrument export"), std::string::npos);
  // A header line of numbers taken for data: the message says how to skip it.
  const std::string dated = error("2024;05;03\nWavelength;CD\n200;1,0\n199;1,1\n");
  EXPECT_NE(dated.find("line 3: a row of numbers after the data ended at line 2"), std::string::npos) << dated;
  cdref::ReadOptions skip;
  skip.skip = 1;
  write_file(f, "2024;05;03\nWavelength;CD\n200;1,0\n199;1,1\n");
  EXPECT_EQ(cdref::read_measurement(f.string(), skip).points.size(), 2u);
}

// ================================================================ wavelengths

cdref::Measurement measured(const std::vector<std::pair<float, float>>& wl_cd) {
  cdref::Measurement m;
  m.path = "spectrum.txt";
  int line = 1;
  for (auto [w, v] : wl_cd) m.points.push_back({line++, w, v, 0.0f});
  return m;
}

TEST(CdrefConvertWavelengths, DuplicatesAndOrderNameTheLine) {
  EXPECT_EQ(message_of([] {
              cdref::order_points(measured({{200, 1}, {199, 2}, {199, 3}}));
            }),
            "spectrum.txt, line 3: the wavelength 199 nm again (line 2 has it too): one value per wavelength");
  EXPECT_EQ(message_of([] {
              cdref::order_points(measured({{200, 1}, {199, 2}, {198, 3}, {198.5f, 3}}));
            }),
            "spectrum.txt, line 4: the wavelength 198.5 nm breaks the descending order of lines 1-3 (line 3: 198 nm)");
  EXPECT_NE(message_of([] {
              cdref::order_points(measured({{200, 1}}));
            }).find("at least two wavelengths"),
            std::string::npos);
  // Ascending wavelengths are turned to run from the long to the short end.
  const cdref::Ordered up = cdref::order_points(measured({{190, 1}, {190.5f, 2}, {191.5f, 3}}));
  EXPECT_TRUE(up.ascending);
  EXPECT_FLOAT_EQ(up.points.front().wl, 191.5f);
  EXPECT_EQ(up.points.front().line, 3);
  EXPECT_FLOAT_EQ(up.min_step, 0.5f);
  EXPECT_FLOAT_EQ(up.max_step, 1.0f);
}

// Linear data are reproduced exactly by linear interpolation; the grid
// stays inside the measured range (no extrapolation) and inside the
// wavelengths of the reference sets.
TEST(CdrefConvertWavelengths, GridInsideTheMeasuredRange) {
  std::vector<cdref::MeasuredPoint> p;
  std::vector<float> v;
  for (int i = 0; i <= 140; ++i) {
    const float w = 259.75f - 0.5f * static_cast<float>(i);  // 259.75 .. 189.75
    p.push_back({i + 1, w, 0.0f, 0.0f});
    v.push_back(static_cast<float>(linear(w)));
  }
  const cdref::Grid g = cdref::resample(p, v, static_cast<int>(p.size()), 178, 260, false, "s");
  EXPECT_EQ(g.longer, 259);
  EXPECT_EQ(g.shorter, 190);
  ASSERT_EQ(g.values.size(), 70u);
  EXPECT_EQ(g.interpolated, 70);
  EXPECT_EQ(g.measured, 0);
  for (std::size_t i = 0; i < g.values.size(); ++i)
    EXPECT_NEAR(g.values[i], linear(259 - static_cast<int>(i)), 1e-4) << 259 - static_cast<int>(i) << " nm";

  // Points beyond the reference sets' wavelengths, and kept = 100: only the
  // first 100 points (259.75 .. 210.25) count.
  const cdref::Grid cut = cdref::resample(p, v, 100, 178, 240, false, "s");
  EXPECT_EQ(cut.longer, 240);
  EXPECT_EQ(cut.shorter, 211);

  EXPECT_NE(message_of([&] { cdref::resample(p, v, 141, 100, 150, false, "s"); }).find("no whole nanometre"),
            std::string::npos);
}

TEST(CdrefConvertWavelengths, GapsOfMoreThanTwoNm) {
  std::vector<cdref::MeasuredPoint> p = {{10, 210, 0, 0}, {11, 208, 0, 0}, {12, 205, 0, 0}, {13, 204, 0, 0}};
  std::vector<float> v = {1, 2, 5, 6};
  const std::string e = message_of([&] { cdref::resample(p, v, 4, 178, 260, false, "s.txt"); });
  EXPECT_EQ(e,
            "s.txt, lines 11-12: 3 nm between 208 nm and 205 nm without a measurement (more than 2 nm); "
            "--allow-gaps interpolates across it");
  const cdref::Grid g = cdref::resample(p, v, 4, 178, 260, true, "s.txt");
  ASSERT_EQ(g.gaps.size(), 1u);
  EXPECT_EQ(g.gaps[0].grid_points, 2);  // 207 and 206
  ASSERT_EQ(g.values.size(), 7u);
  EXPECT_FLOAT_EQ(g.values[0], 1.0f);  // 210, measured
  EXPECT_FLOAT_EQ(g.values[1], 1.5f);  // 209
  EXPECT_FLOAT_EQ(g.values[3], 3.0f);  // 207
  EXPECT_FLOAT_EQ(g.values[4], 4.0f);  // 206
  EXPECT_EQ(g.measured, 4);
  // 2 nm exactly is a step, not a gap.
  std::vector<cdref::MeasuredPoint> two = {{1, 210, 0, 0}, {2, 208, 0, 0}};
  EXPECT_TRUE(cdref::resample(two, {1, 2}, 2, 178, 260, false, "s").gaps.empty());
}

TEST(CdrefConvertWavelengths, HtAndMinimumWavelengthCuts) {
  std::vector<cdref::MeasuredPoint> p;
  for (int i = 0; i <= 20; ++i)
    p.push_back({i + 1, 200.0f - static_cast<float>(i), 0.0f, 400.0f + 20.0f * static_cast<float>(i)});
  // HT 600 at 190 nm is not above the limit; 620 at 189 is.
  cdref::RangeOptions r;
  cdref::Cut c = cdref::cut_short_end(p, true, r);
  EXPECT_EQ(c.ht_at, 11);
  EXPECT_EQ(c.kept, 11);
  EXPECT_FLOAT_EQ(c.max_ht, 600.0f);
  // A point back under the limit after the first one above stays cut.
  p[13].ht = 100.0f;
  EXPECT_EQ(cdref::cut_short_end(p, true, r).kept, 11);
  r.ht_max = 700.0f;
  EXPECT_EQ(cdref::cut_short_end(p, true, r).kept, 16);
  r.min_given = true;
  r.min_wl = 193.0f;
  c = cdref::cut_short_end(p, true, r);
  EXPECT_EQ(c.min_at, 8);
  EXPECT_EQ(c.kept, 8);  // 200 .. 193
  EXPECT_EQ(cdref::cut_short_end(p, false, r).kept, 8);
}

TEST(CdrefConvertWavelengths, TheCatalogueDecidesTheRangeAndTheFewestPoints) {
  const cdref::CatalogueSpan s = cdref::catalogue_span();
  EXPECT_EQ(s.longest, 260);
  EXPECT_EQ(s.shortest, 178);
  EXPECT_EQ(s.min_points, 51);  // 240-190 nm
  EXPECT_EQ(s.min_sets, "4, 7, 8");
}

// ================================================================ the command

class CdrefConvert : public ::testing::Test {
 protected:
  ScratchDir dir{"convert"};
  std::string path(const std::string& name) const { return (dir / name).string(); }
  static std::vector<std::string> mdeg_params() {
    return {"--conc", "0.2", "--conc-unit", "mg/mL", "--path", "0.1", "--path-unit", "cm", "--mrw", "110"};
  }
  std::vector<std::string> args(const std::string& file, std::vector<std::string> more) const {
    std::vector<std::string> a = {path(file)};
    a.insert(a.end(), more.begin(), more.end());
    return a;
  }
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// mdeg for a delta epsilon with c = 0.2 mg/mL, l = 0.1 cm, MRW = 110.
double mdeg_of(double de) { return de * 3298.2 * 10.0 * 0.1 * 0.2 / 110.0; }

TEST_F(CdrefConvert, ExportTwoColumnsWithTheHtCut) {
  // 0.1 nm steps; the HT passes 600 V at 185.9 nm.
  const auto r = rows(
      265.0, 175.0, 0.1, [](double w) { return mdeg_of(linear(w) / 10.0); },
      [](double w) { return w >= 186.0 ? 300.0 : 700.0; });
  write_file(dir / "s.txt", jasco(r));
  const Outcome o = convert(
      args("s.txt", mdeg_params() + std::vector<std::string>{"--out", path("s.de"), "--record", path("s.json")}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("HT limit 600 V (default; --ht-max to change): HT 700 V at 185.9 nm (line"), std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("whole nm from 260 to 186: 75 points, 75 measured, 0 interpolated"), std::string::npos);
  EXPECT_NE(o.out.find("the reference sets cover 260-178 nm"), std::string::npos);
  EXPECT_NE(o.out.find("set 3 suggested"), std::string::npos);
  const auto lines = two_columns(dir / "s.de");
  ASSERT_EQ(lines.size(), 75u);
  EXPECT_EQ(lines.front().first, 260);
  EXPECT_EQ(lines.back().first, 186);
  for (const auto& [w, v] : lines) EXPECT_NEAR(v, linear(w) / 10.0, 2e-5) << w << " nm";

  // The record holds the same steps and values.
  const nlohmann::json rec = nlohmann::json::parse(read_file(dir / "s.json"));
  EXPECT_EQ(rec["result"], "converted");
  std::vector<std::string> steps;
  for (const auto& s : rec["steps"]) steps.push_back(s["step"]);
  EXPECT_EQ(steps, (std::vector<std::string>{"read", "columns", "units", "parameters", "formula", "order", "values",
                                             "range", "grid", "set", "check", "output"}));
  EXPECT_EQ(rec["steps"][7]["ht_cut"]["wavelength_nm"], 185.9);
  EXPECT_EQ(rec["steps"][3]["mrw"], 110.0);
  ASSERT_EQ(rec["spectrum"]["delta_epsilon"].size(), 75u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(rec["spectrum"]["wavelength_nm"][i], lines[i].first);
    EXPECT_FLOAT_EQ(rec["spectrum"]["delta_epsilon"][i].get<float>(), lines[i].second);
  }

  // A higher limit keeps more; no HT column means no cut and a warning.
  const Outcome higher =
      convert(args("s.txt", mdeg_params() + std::vector<std::string>{"--out", path("h.de"), "--ht-max", "800"}));
  ASSERT_EQ(higher.status, 0) << higher.err;
  EXPECT_NE(higher.out.find("HT limit 800 V (--ht-max): not exceeded (highest 700 V)"), std::string::npos);
  EXPECT_EQ(two_columns(dir / "h.de").back().first, 178);
  Style no_ht;
  no_ht.ht = false;
  write_file(dir / "n.txt", jasco(r, "CD [mdeg]", no_ht));
  const Outcome none = convert(args("n.txt", mdeg_params() + std::vector<std::string>{"--out", path("n.de")}));
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_NE(none.out.find("warning:    no HT column"), std::string::npos);
  const Outcome ht_without =
      convert(args("n.txt", mdeg_params() + std::vector<std::string>{"--out", path("x.de"), "--ht-max", "500"}));
  EXPECT_EQ(ht_without.status, 1);
  EXPECT_NE(ht_without.err.find("has no HT column"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "x.de"));
}

// Half-nanometre steps, ascending, decimal commas in a semicolon file: the
// whole nanometres are the measured points, in the other order.
TEST_F(CdrefConvert, AscendingHalfNanometreStepsMatchDescending) {
  const auto down = rows(250.0, 185.0, 0.5, [](double w) { return mdeg_of(wave(w)); });
  const auto up = rows(185.0, 250.0, 0.5, [](double w) { return mdeg_of(wave(w)); });
  Style semi;
  semi.sep = ";";
  semi.comma = true;
  semi.ht = false;
  write_file(dir / "down.txt", jasco(down, "CD [mdeg]", semi));
  write_file(dir / "up.csv", delimited(up, semi, "nm;CD (mdeg)"));
  ASSERT_EQ(convert(args("down.txt", mdeg_params() + std::vector<std::string>{"--out", path("d.de")})).status, 0);
  const Outcome o = convert(args("up.csv", mdeg_params() + std::vector<std::string>{"--out", path("u.de")}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("ascending from 185 nm to 250 nm, steps of 0.5 nm; reversed"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("values with a decimal comma"), std::string::npos);
  EXPECT_EQ(read_file(dir / "u.de"), read_file(dir / "d.de"));
  const auto lines = two_columns(dir / "u.de");
  ASSERT_EQ(lines.size(), 66u);
  for (const auto& [w, v] : lines) EXPECT_NEAR(v, wave(w), 5e-5) << w << " nm";
}

TEST_F(CdrefConvert, HeaderAndOptionConflicts) {
  const auto r = rows(250.0, 185.0, 1.0, [](double w) { return mdeg_of(wave(w)); });
  write_file(dir / "s.txt", jasco(r));
  // The header says mdeg; --units mre disagrees.
  Outcome o = convert(args("s.txt", {"--units", "mre", "--out", path("o.de")}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find(path("s.txt") + ", line 11: the header gives the CD values as mdeg (YUNITS \"CD [mdeg]\"), but "
                                       "--units says mre"),
            std::string::npos)
      << o.err;
  // Overriding the header on purpose, the values are taken as mre.
  o = convert(args("s.txt", {"--units", "mre", "--ignore-header-units", "--out", path("o.de")}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NEAR(two_columns(dir / "o.de").front().second, mdeg_of(wave(250)) / 3298.2, 1e-6);
  // Agreeing with the header is fine.
  EXPECT_EQ(
      convert(args("s.txt", std::vector<std::string>{"--units", "mdeg", "--out", path("a.de")} + mdeg_params())).status,
      0);
  // No unit in the header and none given.
  write_file(dir / "plain.txt", "250 1.0\n249 1.1\n");
  o = convert(args("plain.txt", {"--out", path("p.de")}));
  EXPECT_NE(o.err.find("the header does not name the units"), std::string::npos);
  // "Mol. Ellip." may be per protein or per residue: the user must say.
  write_file(dir / "mol.txt", jasco(r, "Mol. Ellip. [deg cm2 dmol-1]"));
  o = convert(args("mol.txt", {"--out", path("m.de")}));
  EXPECT_NE(o.err.find("can be per protein or per residue"), std::string::npos) << o.err;
  EXPECT_EQ(convert(args("mol.txt", {"--units", "mre", "--out", path("m.de")})).status, 0);
  // A header unit that needs parameters the user did not give.
  o = convert(args("s.txt", {"--out", path("q.de"), "--conc", "0.2", "--conc-unit", "mg/mL"}));
  EXPECT_NE(o.err.find("needs the path length"), std::string::npos);
  // Wavelengths that are not nanometres; a melt at one wavelength.
  write_file(dir / "t.txt", jasco(r, "CD [mdeg]", {}, "MICROMETERS"));
  o = convert(args("t.txt", mdeg_params() + std::vector<std::string>{"--out", path("t.de")}));
  EXPECT_NE(o.err.find("line 10: the wavelengths must be in nanometres"), std::string::npos) << o.err;
  write_file(dir / "t.txt", jasco(r, "CD [mdeg]", {}, "TEMPERATURE [C]"));
  o = convert(args("t.txt", mdeg_params() + std::vector<std::string>{"--out", path("t.de")}));
  EXPECT_NE(o.err.find("line 10: XUNITS \"TEMPERATURE [C]\": this export follows the signal against temperature at "
                       "one wavelength (a thermal melt), not a spectrum"),
            std::string::npos)
      << o.err;
  for (const char* f : {"p.de", "q.de", "t.de"}) EXPECT_FALSE(fs::exists(dir / f)) << f;
}

TEST_F(CdrefConvert, CommandLineIsChecked) {
  // Every usage error: the reason after the subcommand's name, status 2.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "FILE is required"},
      {{"f"}, "convert needs --out FILE or --append INPUT"},
      {{"f", "--out", "a", "--append", "b", "--title", "t"}, "--out and --append: choose one"},
      {{"f", "--append", "INPUT"}, "--append needs --title T, the title of the job"},
      {{"f", "--out", "a", "--conc", "1"}, "--conc needs --conc-unit mg/mL|M|mM|uM"},
      {{"f", "--out", "a", "--path", "1", "--path-unit", "inch"}, "--path-unit inch: cm or mm"},
      {{"f", "--out", "a", "--conc", "-1", "--conc-unit", "M"}, "--conc -1: expected a positive number"},
      {{"f", "--out", "a", "--columns", "1"}, "--columns 1: X,Y, X,Y,HT or X,Y1,Y2,..."},
      {{"f", "--out", "a", "--spectra", "3-1"}, "--spectra 3-1: a list such as 1,3-5"},
      {{"f", "--out", "a", "--basis", "3"}, "--basis is for --append"},
      {{"f", "g", "--out", "a"}, "not expected: g"},
      {{"f", "--out", "a", "--ignore-header-units"}, "--ignore-header-units needs --units"},
      {{"f", "--append", "I", "--title", "t", "--basis", "9"}, "--basis 9: expected a whole number from 1 to 8"},
      {{"f", "--out"}, "--out needs a value"},
      {{"f", "--out", "a", "--units", "furlongs"},
       "--units furlongs: mdeg, deg, molar-ellipticity, mre, delta-a or delta-epsilon"},
  };
  for (const auto& [a, why] : cases) {
    const Outcome o = convert(a);
    EXPECT_EQ(o.status, 2) << why;
    EXPECT_NE(o.err.find("cdref convert: "), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(why), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("Run 'cdref convert --help'"), std::string::npos) << o.err;
  }
}

TEST_F(CdrefConvert, TooFewPointsForAnySet) {
  const auto r = rows(260.0, 200.0, 1.0, [](double w) { return wave(w); });
  write_file(dir / "s.txt", jasco(r, "delta epsilon"));
  // Set 4 (suggested from 200 nm) covers 240-190: 41 points of it.
  Outcome o = convert(args("s.txt", {"--append", path("INPUT"), "--title", "short"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("only 41 points (240-200 nm) lie in the valid range of set 4, 240-190 nm; no reference set is "
                       "built on fewer than 51 (sets 4, 7, 8)"),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(fs::exists(dir / "INPUT"));
  // Set 1 covers 260-178: all 61 points.
  o = convert(args("s.txt", {"--append", path("INPUT"), "--title", "short", "--basis", "1"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("61 points inside the valid range of set 1"), std::string::npos);
}

TEST_F(CdrefConvert, ImplausibleValuesWarnOrAreRefused) {
  // A mean residue weight ten times too large: values ten times too large.
  const auto r = rows(250.0, 185.0, 1.0, [](double w) { return mdeg_of(wave(w)); });
  write_file(dir / "s.txt", jasco(r));
  auto with_mrw = [&](const std::string& mrw, const std::string& out) {
    return convert(args("s.txt", {"--conc", "0.2", "--conc-unit", "mg/mL", "--path", "0.1", "--path-unit", "cm",
                                  "--mrw", mrw, "--out", path(out)}));
  };
  Outcome o = with_mrw("1100", "s.de");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("warning:    the mean residue weight 1100 g/mol is far from"), std::string::npos);
  EXPECT_NE(o.out.find("more than 30 in magnitude: a unit or a parameter"), std::string::npos);
  // The right MRW: no warning.
  o = with_mrw("110", "t.de");
  EXPECT_EQ(o.out.find("warning"), std::string::npos) << o.out;
  // The molecular weight of the protein given as MRW: values too large for
  // the job file are refused.
  o = with_mrw("14300", "u.de");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("the value at 250 nm, -1450.1587, does not fit the 8 columns"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(dir / "u.de"));
}

// A refused conversion leaves INPUT byte for byte as it was.
TEST_F(CdrefConvert, AppendIsAtomic) {
  const auto good = rows(260.0, 178.0, 1.0, wave);
  write_file(dir / "good.txt", jasco(good, "delta epsilon"));
  ASSERT_EQ(convert(args("good.txt", {"--append", path("INPUT"), "--title", "first"})).status, 0);
  const std::string before = read_file(dir / "INPUT");

  auto gap = good;
  gap.erase(gap.begin() + 30, gap.begin() + 34);
  write_file(dir / "gap.txt", jasco(gap, "delta epsilon"));
  auto dup = good;
  dup[40].wl = dup[39].wl;
  write_file(dir / "dup.txt", jasco(dup, "delta epsilon"));
  write_file(dir / "mdeg.txt", jasco(good));
  const std::vector<std::vector<std::string>> refused = {
      {path("gap.txt"), "--append", path("INPUT"), "--title", "gap"},
      {path("dup.txt"), "--append", path("INPUT"), "--title", "duplicate"},
      {path("mdeg.txt"), "--append", path("INPUT"), "--title", "no parameters"},
      {path("mdeg.txt"), "--units", "mre", "--append", path("INPUT"), "--title", "conflict"},
      {path("good.txt"), "--append", path("INPUT"), "--title", std::string(41, 'x')},
      {path("good.txt"), "--append", path("INPUT"), "--title", "cut", "--min-wavelength", "230"},
      {path("missing.txt"), "--append", path("INPUT"), "--title", "missing"},
      {path("good.txt"), "--append", path("good.txt"), "--title", "itself"},
  };
  for (const auto& a : refused) {
    SCOPED_TRACE(a[0] + " " + a.back());
    const Outcome o = convert(a);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("is as it was"), std::string::npos) << o.err;
    EXPECT_EQ(read_file(dir / "INPUT"), before);
  }
  EXPECT_EQ(read_file(dir / "good.txt"), jasco(good, "delta epsilon"));
  EXPECT_NE(convert(refused[0]).err.find("--allow-gaps"), std::string::npos);
  EXPECT_NE(convert(refused[1]).err.find("line 57: the wavelength 221 nm again (line 56 has it too)"),
            std::string::npos);

  // A file that is not a job file is not appended to, nor one whose last
  // job is followed by a blank line (it would begin a job of its own).
  write_file(dir / "notes", "my notes\n");
  const Outcome o = convert(args("good.txt", {"--append", path("notes"), "--title", "x"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("notes does not read to its end as jobs (" + path("notes") + ", line 2: the file ends"),
            std::string::npos)
      << o.err;
  EXPECT_EQ(read_file(dir / "notes"), "my notes\n");
  write_file(dir / "INPUT.blank", before + "\n");
  const Outcome blank = convert(args("good.txt", {"--append", path("INPUT.blank"), "--title", "x"}));
  EXPECT_NE(blank.err.find("INPUT.blank, line 25: the file ends"), std::string::npos) << blank.err;
  EXPECT_EQ(read_file(dir / "INPUT.blank"), before + "\n");
  // Nor one the user has write-protected (whoever runs it).
  fs::permissions(dir / "INPUT", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const Outcome protect = convert(args("good.txt", {"--append", path("INPUT"), "--title", "x"}));
  EXPECT_NE(protect.err.find(path("INPUT") + " is write-protected"), std::string::npos) << protect.err;
  EXPECT_EQ(read_file(dir / "INPUT"), before);
  fs::permissions(dir / "INPUT", fs::perms::owner_write, fs::perm_options::add);

  // The binary: a refusal has status 1 and leaves INPUT alone too.
  const cdsec_test::RunResult r =
      run(sh_quote(kCdref) + " convert " + sh_quote(path("gap.txt")) + " --append " + sh_quote(path("INPUT")) +
              " --title gap --record " + sh_quote(path("gap.json")),
          dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(read_file(dir / "INPUT"), before);
  const nlohmann::json rec = nlohmann::json::parse(read_file(dir / "gap.json"));
  EXPECT_EQ(rec["result"], "refused");
  EXPECT_NE(rec["error"].get<std::string>().find("without a measurement"), std::string::npos);

  // A second good job follows the first; both read back.
  ASSERT_EQ(convert(args("good.txt", {"--append", path("INPUT"), "--title", "second", "--basis", "2"})).status, 0);
  const std::string after = read_file(dir / "INPUT");
  EXPECT_EQ(after.substr(0, before.size()), before);
  cdsec::LineReader in;
  in.open(path("INPUT"));
  cdsec::JobReader jr(in);
  std::vector<std::string> titles;
  std::vector<int> sets;
  while (jr.begin()) {
    int iprint, ibasis;
    jr.read_print_basis(iprint, ibasis);
    titles.push_back(jr.read_title(6));
    sets.push_back(ibasis);
    float first, last, factor;
    jr.read_range(first, last, factor);
    EXPECT_EQ(first, 260.0f);
    EXPECT_EQ(last, 178.0f);
    cdsec::Vector<100> cd;
    jr.read_cd(83, 100, cd);
    EXPECT_NEAR(cd(1), wave(260), 6e-4);
    EXPECT_NEAR(cd(83), wave(178), 6e-4);
    jr.skip_after_cd();
    jr.skip_guess();
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"first ", "second"}));
  EXPECT_EQ(sets, (std::vector<int>{1, 2}));
}

TEST_F(CdrefConvert, OutputFileIsNotReplacedUnlessForced) {
  write_file(dir / "s.txt", jasco(rows(260.0, 178.0, 1.0, wave), "delta epsilon"));
  write_file(dir / "s.de", "keep\n");
  Outcome o = convert(args("s.txt", {"--out", path("s.de")}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("exists; add --force"), std::string::npos);
  EXPECT_EQ(read_file(dir / "s.de"), "keep\n");
  o = convert(args("s.txt", {"--out", path("s.de"), "--force"}));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(two_columns(dir / "s.de").size(), 83u);
  o = convert(args("s.txt", {"--out", path("s.txt"), "--force"}));
  EXPECT_NE(o.err.find("is the file being read"), std::string::npos);
}

// Texts of the file go into the record; a header in Latin-1 ("\xB5" for
// micro) must not stop it from being written.
TEST_F(CdrefConvert, RecordOfAFileThatIsNotUtf8) {
  write_file(dir / "latin1.txt", jasco(rows(260.0, 178.0, 1.0, wave), "Delta epsilon (\xB5M)"));
  const Outcome o = convert(args("latin1.txt", {"--out", path("l.de"), "--record", path("l.json")}));
  ASSERT_EQ(o.status, 0) << o.err;
  const nlohmann::json rec = nlohmann::json::parse(read_file(dir / "l.json"));
  EXPECT_EQ(rec["result"], "converted");
  EXPECT_EQ(rec["steps"][2]["header"]["text"], "Delta epsilon (\xEF\xBF\xBDM)");  // U+FFFD for the byte
  // The refusal that quotes the text is recorded too.
  const Outcome b = convert(args("latin1.txt", {"--units", "mdeg", "--out", path("b.de"), "--record", path("b.json")}));
  EXPECT_EQ(b.status, 1);
  const nlohmann::json bad = nlohmann::json::parse(read_file(dir / "b.json"));
  EXPECT_EQ(bad["result"], "refused");
  EXPECT_NE(bad["error"].get<std::string>().find("but --units says mdeg"), std::string::npos);
}

// ================================================================ series

// An instrument export of several spectra: the header, then after XYDATA one
// block per channel (CD, HT, absorbance), each with its row of series
// values and one row per wavelength.
struct SeriesStyle {
  std::string sep = "\t";
  bool comma = false;  // decimal commas
  bool crlf = false;
  int channels = 3;
  bool extended = true;
};

using Signal = std::function<double(double wl, double t)>;

double melt_cd(double w, double t) { return wave(w) * (1.0 - t / 200.0); }
double melt_ht(double w, double t) { return 200.0 + (260.0 - w) * 4.0 + t; }

std::string channel_export(const std::vector<double>& series, double from, double to, double step, SeriesStyle s,
                           const Signal& cd = melt_cd, const Signal& ht = melt_ht) {
  const std::string nl = s.crlf ? "\r\n" : "\n";
  const bool csv = s.sep == ",";
  const std::string pad = csv ? ",,,," : "";
  auto line = [&](const std::string& key, const std::string& value) { return key + s.sep + value + pad + nl; };
  const char* units[] = {"CD [mdeg]", "HT [V]", "ABSORBANCE"};
  std::string t = line("TITLE", "melt") + line("DATA TYPE", "") + line("ORIGIN", "JASCO") +
                  line("DATE", "29/04/2024") + line("SPECTROMETER/DATA SYSTEM", "JASCO Corp., J-1500, Rev. 1.00") +
                  line("DELTAX", fmt(-step, 1, s.comma)) + line("XUNITS", "NANOMETERS");
  for (int c = 0; c < s.channels; ++c) t += line(c == 0 ? "YUNITS" : "Y" + std::to_string(c + 1) + "UNITS", units[c]);
  const auto r = rows(from, to, step, linear);
  t += line("FIRSTX", fmt(from, 1, s.comma)) + line("LASTX", fmt(to, 1, s.comma)) +
       line("NPOINTS", std::to_string(r.size())) + line("FIRSTY", fmt(cd(from, series[0]), 4, s.comma)) + "XYDATA" + nl;
  for (int c = 0; c < s.channels; ++c) {
    t += "Channel " + std::to_string(c + 1) + pad + nl;
    for (double v : series) t += s.sep + fmt(v, 1, s.comma);
    t += nl;
    for (const Row& x : r) {
      t += fmt(x.wl, 1, s.comma);
      for (double v : series)
        t += s.sep + fmt(c == 0 ? cd(x.wl, v) : c == 1 ? ht(x.wl, v) : 0.5 + x.wl / 1000.0, c == 1 ? 1 : 4, s.comma);
      t += nl;
    }
  }
  if (s.extended)
    t += nl + "##### Extended Information" + nl + "[Comments]" + nl + line("Sample name", "lysozyme") +
         line("Concentration", fmt(0.2, 1, s.comma) + " mg/mL") + line("Band width", "1 nm");
  return t;
}

// Every layout variant reads to the same numbers: both separators, both
// decimal marks, CRLF and LF, 1 to 3 channels, 1 and several spectra, the
// padded header rows with unquoted commas, with and without the Extended
// Information block.
TEST(CdrefConvertSeries, ChannelBlocksInEveryVariant) {
  ScratchDir dir("convert-series-read");
  struct Case {
    SeriesStyle style;
    std::vector<double> series;
  };
  const std::vector<Case> cases = {
      {{"\t", false, false, 3, true}, {20.0, 25.1, 30.0, 35.0, 40.0}},
      {{"\t", true, true, 2, false}, {20.0, 25.1, 30.0}},
      {{",", false, true, 3, true}, {25.0}},
      {{",", false, false, 1, false}, {20.0, 40.0, 60.0, 80.0}},
      {{"\t", true, false, 1, true}, {37.0}},
  };
  for (const Case& c : cases) {
    const SeriesStyle& st = c.style;
    SCOPED_TRACE("separator \"" + st.sep + "\"" + (st.comma ? ", decimal commas" : "") + (st.crlf ? ", CRLF" : "") +
                 ", " + std::to_string(st.channels) + " channels, " + std::to_string(c.series.size()) + " spectra");
    write_file(dir / "s.txt", channel_export(c.series, 260.0, 190.0, 0.5, st));
    const std::vector<cdref::Measurement> all = cdref::read_spectra((dir / "s.txt").string(), {});
    ASSERT_EQ(all.size(), c.series.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
      const cdref::Measurement& m = all[k];
      EXPECT_EQ(m.spectrum, static_cast<int>(k) + 1);
      EXPECT_EQ(m.spectra, static_cast<int>(c.series.size()));
      EXPECT_EQ(m.series_label, fmt(c.series[k], 1, st.comma));
      EXPECT_EQ(m.channels, st.channels);
      EXPECT_EQ(m.channel, 1);
      EXPECT_EQ(m.has_ht, st.channels >= 2);
      EXPECT_EQ(m.y_units.text, "CD [mdeg]");
      EXPECT_EQ(m.npoints_declared, 141);
      ASSERT_EQ(m.points.size(), 141u);
      for (std::size_t i = 0; i < m.points.size(); i += 23) {
        const cdref::MeasuredPoint& p = m.points[i];
        EXPECT_FLOAT_EQ(p.wl, static_cast<float>(260.0 - 0.5 * static_cast<double>(i)));
        EXPECT_FLOAT_EQ(p.cd, std::stof(fmt(melt_cd(p.wl, c.series[k]), 4, false)));
        if (m.has_ht) {
          EXPECT_FLOAT_EQ(p.ht, std::stof(fmt(melt_ht(p.wl, c.series[k]), 1, false)));
          EXPECT_EQ(p.ht_line, p.line + 143);  // the same row of the next block
        }
      }
      bool found = false;
      for (const cdref::HeaderEntry& h : m.header)
        if (h.key == "SPECTROMETER/DATA SYSTEM") found = h.value == "JASCO Corp., J-1500, Rev. 1.00";
      EXPECT_TRUE(found);
      if (st.extended) {
        ASSERT_EQ(m.extended.size(), 4u);
        EXPECT_EQ(m.extended[1].key, "Sample name");
        EXPECT_EQ(m.extended[1].value, "lysozyme");
        EXPECT_EQ(m.extended[2].value, fmt(0.2, 1, st.comma) + " mg/mL");
      } else {
        EXPECT_EQ(m.extended_line, 0);
      }
    }
  }
}

// Broken and ambiguous series name the line and what is wrong; a value
// that is not finite is named where it stands.
TEST(CdrefConvertSeries, FaultsNameTheLine) {
  ScratchDir dir("convert-series-faults");
  const fs::path f = dir / "f.txt";
  auto error = [&](const std::string& text, cdref::ReadOptions o = {}) {
    write_file(f, text);
    return message_of([&] { cdref::read_spectra(f.string(), o); });
  };
  const std::string good = channel_export({20.0, 30.0}, 200.0, 195.0, 1.0, {});
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const std::string name = f.string();
  struct Case {
    std::string text;
    std::string message;
    cdref::ReadOptions options = {};
  };
  cdref::ReadOptions channel4, by_columns;
  channel4.channel = 4;
  by_columns.y.number = 3;
  const std::vector<Case> cases = {
      {replaced("199.0\t", "199.0\tnan\t"), name + ", line 19: 4 fields, but the series row (line 17) names 2 spectra"},
      {replaced("YUNITS\tCD [mdeg]", "YUNITS\tSignal"), "no channel's units say CD (1 \"Signal\", 2 \"HT [V]\""},
      {good, "--channel 4: the file has 3 channels (1 \"CD [mdeg]\", 2 \"HT [V]\", 3 \"ABSORBANCE\")", channel4},
      {good, "choose the CD channel with --channel N, not columns with --columns", by_columns},
      {replaced("Channel 2\n\t20.0\t30.0", "Channel 2\n\t20.0\t35.0"),
       name + ", line 25: the series values of Channel 2 differ from those of Channel 1 (line 17)"},
      {replaced("Channel 2\n", "Channel 3\n"), name + ", line 24: channel 2 expected here"},
      {replaced("XUNITS\tNANOMETERS", "XUNITS\tTemperature [C]"), "(a thermal melt), not a spectrum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_NE(error(c.text, c.options).find(c.message), std::string::npos) << error(c.text, c.options);
  }
  // A value that is not a number is named with its line and column.
  std::string t = good;
  const std::size_t row = t.find("\n198.0\t") + 1;
  const std::size_t tab = t.find('\t', t.find('\t', row) + 1);
  t.replace(tab + 1, t.find_first_of("\t\n", tab + 1) - tab - 1, "-Inf");
  EXPECT_NE(error(t).find(name + ", line 20: the CD value \"-Inf\" (column 3) is not a finite number"),
            std::string::npos)
      << error(t);
  EXPECT_NE(error("Wavelength\tCD\n200\t1.5\n199\tNaN\n").find(name + ", line 3: the CD value \"NaN\" (column 2)"),
            std::string::npos);
  // "222,-29,9" under "Wavelength,CD": refused, unless the columns are chosen.
  const std::string shifted = "Wavelength,CD\n222,-29,9\n221,-28,4\n";
  EXPECT_NE(error(shifted).find(name + ", line 2: 3 fields, but line 1 names 2 columns"), std::string::npos)
      << error(shifted);
  EXPECT_NE(error("Wavelength,CD\n223,-30\n222,-29,9\n").find(name + ", line 3: 3 fields, but line 1 names 2"),
            std::string::npos);
  cdref::ReadOptions chosen;
  chosen.x.number = 1;
  chosen.y.number = 2;
  write_file(f, shifted);
  EXPECT_FLOAT_EQ(cdref::read_measurement(f.string(), chosen).points[0].cd, -29.0f);
}

// Wide tables: every numeric column after the wavelength, or the ones
// chosen, each a spectrum labelled by its header.
TEST(CdrefConvertSeries, WideTablesFromSpreadsheets) {
  ScratchDir dir("convert-wide");
  std::string t = "exported from a spreadsheet\nnm;20 C;40 C;60 C;HT\n";
  for (int w = 250; w >= 190; --w)
    t += std::to_string(w) + ";" + fmt(melt_cd(w, 20), 3, true) + ";" + fmt(melt_cd(w, 40), 3, true) + ";" +
         fmt(melt_cd(w, 60), 3, true) + ";" + std::to_string(300 + (250 - w)) + "\n";
  write_file(dir / "w.csv", t);
  const auto all = cdref::read_spectra((dir / "w.csv").string(), {});
  ASSERT_EQ(all.size(), 3u);
  const char* labels[] = {"20 C", "40 C", "60 C"};
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(all[k].series_label, labels[k]);
    EXPECT_EQ(all[k].y.number, static_cast<int>(k) + 2);
    EXPECT_EQ(all[k].ht.number, 5);
    EXPECT_FLOAT_EQ(all[k].points[10].cd, std::stof(fmt(melt_cd(240, 20.0 + 20.0 * static_cast<double>(k)), 3, false)));
  }
  cdref::ReadOptions two;
  two.x.number = 1;
  two.y.number = 4;
  two.third.number = 2;
  const auto chosen = cdref::read_spectra((dir / "w.csv").string(), two);
  ASSERT_EQ(chosen.size(), 2u);
  EXPECT_EQ(chosen[0].series_label, "60 C");
  EXPECT_EQ(chosen[1].series_label, "20 C");
  // The form X,Y,HT names the HT column third, as before.
  cdref::ReadOptions ht;
  ht.x.number = 1;
  ht.y.number = 2;
  ht.third.name = "HT";
  const auto one = cdref::read_spectra((dir / "w.csv").string(), ht);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].ht.number, 5);
}

// The series through the conversion: one HT glitch in one spectrum sets the
// common range (and is reported with it); --own-range keeps each
// spectrum's own; all jobs go to INPUT in file order with their titles, or
// none.
TEST(CdrefConvertSeries, CommonAndOwnRangeAndTheAtomicAppend) {
  ScratchDir dir("convert-series");
  const std::vector<double> temps = {20.0, 25.1, 30.0, 35.0};
  // HT rises towards the short end and crosses 600 V at 180 nm; in the
  // spectrum at 30 C one value at 185.0 nm is a glitch of 900 V.
  const auto ht = [](double w, double t) {
    if (t == 30.0 && std::abs(w - 185.0) < 1e-6) return 900.0;
    return 200.0 + (260.0 - w) * 5.0;
  };
  const auto de = [](double w, double t) { return mdeg_of(wave(w) * (1.0 - t / 100.0)); };
  write_file(dir / "melt.txt", channel_export(temps, 260.0, 178.0, 0.5, {}, de, ht));
  cdref::ConvertOptions o;
  o.file = (dir / "melt.txt").string();
  o.params = {true, 0.2f, cdref::ConcUnit::kMgPerMl, true, 0.1f, cdref::PathUnit::kCm, 0, 110.0f};
  o.append = (dir / "INPUT").string();
  o.title = "lysozyme";
  o.series_unit = "C";
  o.record = (dir / "melt.json").string();
  std::ostringstream out, err;
  ASSERT_EQ(cdref::run_convert(o, out, err), 0) << err.str();
  EXPECT_NE(out.str().find("common range of the series: 260 nm to 185.5 nm, set by spectrum 3 (30.0): its HT reaches "
                           "900 V at 185 nm (line "),
            std::string::npos)
      << out.str();

  auto jobs = [&](const fs::path& p) {
    std::vector<std::tuple<std::string, int, int>> v;  // title, first, last
    cdsec::LineReader in;
    in.open(p.string());
    cdsec::JobReader jr(in);
    while (jr.begin()) {
      int iprint, ibasis;
      jr.read_print_basis(iprint, ibasis);
      std::string title = jr.read_title(40);
      while (!title.empty() && title.back() == ' ') title.pop_back();
      float first, last, factor;
      jr.read_range(first, last, factor);
      cdsec::Vector<100> cd;
      const int n = static_cast<int>(first - last) + 1;
      jr.read_cd(n, 100, cd);
      for (int i = 1; i <= n; i += 7) EXPECT_NEAR(cd(i), wave(first - static_cast<float>(i - 1)) * (1.0 - std::stod(title.substr(9)) / 100.0), 6e-4) << title;
      jr.skip_after_cd();
      jr.skip_guess();
      v.emplace_back(title, static_cast<int>(first), static_cast<int>(last));
    }
    return v;
  };
  using J = std::tuple<std::string, int, int>;
  EXPECT_EQ(jobs(dir / "INPUT"), (std::vector<J>{{"lysozyme 20.0 C", 260, 186}, {"lysozyme 25.1 C", 260, 186},
                                                 {"lysozyme 30.0 C", 260, 186}, {"lysozyme 35.0 C", 260, 186}}));
  const nlohmann::json rec = nlohmann::json::parse(read_file(dir / "melt.json"));
  ASSERT_EQ(rec["spectra"].size(), 4u);
  EXPECT_EQ(rec["spectra"][1]["title"], "lysozyme 25.1 C");
  bool reported = false;
  for (const auto& step : rec["steps"]) {
    if (step["step"] == "range") {
      EXPECT_EQ(step["common"]["set_by"]["spectrum"], 3);
      EXPECT_EQ(step["common"]["shorter_nm"], 185.5);
      reported = true;
    }
    if (step["step"] == "spectra") {
      EXPECT_EQ(step["spectra"][0]["ht_cut"]["wavelength_nm"], 179.5);  // its own cut, kept in the record
      EXPECT_EQ(step["spectra"][2]["ht_cut"]["wavelength_nm"], 185.0);
    }
  }
  EXPECT_TRUE(reported);

  // Each its own range, spectra 2 to 3 only.
  o.own_range = true;
  o.spectra = {2, 3};
  o.append = (dir / "INPUT.own").string();
  o.record.clear();
  ASSERT_EQ(cdref::run_convert(o, out, err), 0) << err.str();
  EXPECT_EQ(jobs(dir / "INPUT.own"), (std::vector<J>{{"lysozyme 25.1 C", 260, 180}, {"lysozyme 30.0 C", 260, 186}}));

  // Refusals leave INPUT byte for byte as it was: a title too long for one
  // series value, a spectrum beyond the file, a value that is not finite
  // in the last spectrum, --out for several spectra.
  const std::string before = read_file(dir / "INPUT");
  o = cdref::ConvertOptions{};
  o.file = (dir / "melt.txt").string();
  o.params = {true, 0.2f, cdref::ConcUnit::kMgPerMl, true, 0.1f, cdref::PathUnit::kCm, 0, 110.0f};
  o.append = (dir / "INPUT").string();
  struct Refusal {
    std::function<void(cdref::ConvertOptions&)> change;
    std::string message;
  };
  std::string broken = read_file(dir / "melt.txt");
  const std::size_t at = broken.find("\n221.0\t") + 1;
  const std::size_t eol = broken.find('\n', at);
  broken.replace(broken.rfind('\t', eol) + 1, eol - broken.rfind('\t', eol) - 1, "inf");
  write_file(dir / "broken.txt", broken);
  const std::vector<Refusal> refusals = {
      {[](cdref::ConvertOptions& c) { c.title = std::string(34, 'x'); c.series_unit = "C"; },
       "characters; a job's title holds 40, so --title may have 33 here"},
      {[](cdref::ConvertOptions& c) { c.title = "t"; c.spectra = {2, 5}; }, "--spectra 5: "},
      {[&](cdref::ConvertOptions& c) { c.title = "t"; c.file = (dir / "broken.txt").string(); },
       "the CD value \"inf\" (column 5) is not a finite number"},
      {[&](cdref::ConvertOptions& c) { c.append.clear(); c.out_file = (dir / "x.de").string(); },
       "--out writes one spectrum"},
  };
  for (const Refusal& r : refusals) {
    cdref::ConvertOptions c = o;
    r.change(c);
    SCOPED_TRACE(r.message);
    std::ostringstream o2, e2;
    EXPECT_EQ(cdref::run_convert(c, o2, e2), 1);
    EXPECT_NE(e2.str().find(r.message), std::string::npos) << e2.str();
    EXPECT_EQ(read_file(dir / "INPUT"), before);
  }
  EXPECT_FALSE(fs::exists(dir / "x.de"));
}

// ================================================================ end to end

// The first job of the demo INPUT, its spectrum and its lines as written.
struct DemoJob {
  std::string title;
  std::vector<float> cd;  // 260 .. 178 nm
  std::string text;
};

DemoJob demo_job() {
  DemoJob d;
  const fs::path input = kRepo / "examples" / "INPUT";
  cdsec::LineReader in;
  in.open(input.string());
  cdsec::JobReader jr(in);
  EXPECT_TRUE(jr.begin());
  int iprint, ibasis;
  jr.read_print_basis(iprint, ibasis);
  d.title = jr.read_title(40);
  float first, last, factor;
  jr.read_range(first, last, factor);
  EXPECT_EQ(first, 260.0f);
  EXPECT_EQ(last, 178.0f);
  cdsec::Vector<100> cd;
  jr.read_cd(83, 100, cd);
  for (int i = 1; i <= 83; ++i) d.cd.push_back(cd(i));
  jr.skip_after_cd();
  jr.skip_guess();
  const std::string all = read_file(input);
  std::size_t end = 0;
  for (int k = 0; k < in.line_no(); ++k) end = all.find('\n', end) + 1;
  d.text = all.substr(0, end);
  while (!d.title.empty() && d.title.back() == ' ') d.title.pop_back();
  return d;
}

// The measured signal of that spectrum: 0.1 nm steps from 265 to 172 nm,
// linear between the whole nanometres, noise beyond the HT limit below
// 177.7 nm and a flat tail above 260 nm.
std::vector<Row> demo_rows(const DemoJob& d, const std::function<double(double)>& signal_of_de) {
  return rows(
      265.0, 172.0, 0.1,
      [&](double w) {
        if (w > 260.0) return signal_of_de(d.cd.front());
        if (w < 178.0) return (static_cast<int>(w * 10) % 2 ? 1 : -1) * 500.0;
        const double x = 260.0 - w;
        const int i = std::min(static_cast<int>(x), 81);
        const double t = x - i;
        return signal_of_de(d.cd[static_cast<std::size_t>(i)] * (1 - t) + d.cd[static_cast<std::size_t>(i + 1)] * t);
      },
      [](double w) { return w >= 177.75 ? 280.0 + (260.0 - w) : 900.0; });
}

TEST_F(CdrefConvert, ConvertedSpectrumIsTheJobAndBothProgramsAnalyseIt) {
  const DemoJob d = demo_job();
  ASSERT_EQ(d.cd.size(), 83u);

  // mdeg with a mass concentration, a tab-separated export with an HT column.
  write_file(dir / "alpha.txt", jasco(demo_rows(d, mdeg_of)));
  const Outcome o = convert(
      args("alpha.txt", mdeg_params() + std::vector<std::string>{"--append", path("INPUT"), "--title", d.title}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("HT 900 V at 177.7 nm"), std::string::npos) << o.out;
  EXPECT_EQ(read_file(dir / "INPUT"), d.text);

  // delta A with a molar concentration, ascending, decimal commas, blanks.
  const auto da = [](double de) { return de * 2e-5 * 129 * 0.1; };  // delta A = delta epsilon c_res l
  auto up = demo_rows(d, da);
  std::reverse(up.begin(), up.end());
  Style blank;
  blank.sep = "   ";
  blank.comma = true;
  blank.decimals = 9;
  write_file(dir / "up.txt", delimited(up, blank, "lambda   dA   HT", "Measured 2024-05-03\n"));
  const Outcome u =
      convert(args("up.txt", {"--conc", "20", "--conc-unit", "uM", "--path", "1", "--path-unit", "mm", "--residues",
                              "129", "--units", "delta-a", "--append", path("INPUT2"), "--title", d.title}));
  ASSERT_EQ(u.status, 0) << u.err;
  EXPECT_EQ(read_file(dir / "INPUT2"), d.text);

  // The builder reads the two-column file into the same job.
  ASSERT_EQ(convert(args("alpha.txt", mdeg_params() + std::vector<std::string>{"--out", path("s101.de")})).status, 0);
  fs::create_directory(dir / "inbuild");
  fs::copy_file(dir / "s101.de", dir / "inbuild" / "s101.de");
  write_file(dir / "answers", "0\n" + d.title + "\n1\n260\n178\n0\ns101.de\n0\n");
  const cdsec_test::RunResult b = run("(cd " + sh_quote((dir / "inbuild").string()) + " && " +
                                          sh_quote(INBUILD_BINARY) + " < " + sh_quote(path("answers")) + ")",
                                      dir);
  EXPECT_EQ(b.status, 0) << b.out << b.err;
  EXPECT_EQ(read_file(dir / "inbuild" / "INPUT"), d.text);

  // Both programs analyse the converted job.
  const std::string env = "CDSEC_REFDIR=" + sh_quote((kRepo / "data").string()) + " KESTRA_SEED=1 ";
  for (const char* prog : {MORVAN3_BINARY, KESTRA_BINARY}) {
    const cdsec_test::RunResult r =
        run("cd " + sh_quote(dir.str()) + " && " + env + sh_quote(prog) + " < /dev/null", dir);
    EXPECT_EQ(r.status, 0) << prog << "\n" << r.err;
  }
  const std::string summary = read_file(dir / "ProtSS.out");
  ASSERT_NE(summary.find(" PROGRAM:     MORVAN3"), std::string::npos) << summary;
  ASSERT_NE(summary.find(" PROGRAM:     KESTRA"), std::string::npos) << summary;
  // The helix (H(r) + H(d)) of each result lies near the fractions the
  // synthetic sample was made from.
  const std::string truth = read_file(kRepo / "examples" / "SAMPLES.txt");
  const std::size_t at = truth.find(" S101 ");
  ASSERT_NE(at, std::string::npos);
  std::istringstream t(truth.substr(at));
  std::string name, set, fold;
  float h1, h2;
  t >> name >> set >> fold >> h1 >> h2;
  int records = 0;
  for (std::size_t p = summary.find(" Fractions:"); p != std::string::npos; p = summary.find(" Fractions:", p + 1)) {
    std::istringstream f(summary.substr(p + 11));
    float a, b2;
    f >> a >> b2;
    EXPECT_NEAR(a + b2, h1 + h2, 0.1f) << summary;
    ++records;
  }
  EXPECT_EQ(records, 2);
}

// A melt made of two demo spectra (all-alpha to all-beta) in the
// instrument's layout: converted to five jobs, analysed by both programs,
// and read back by cdref summary as one series whose helix falls.
TEST_F(CdrefConvert, SeriesThroughBothProgramsAndTheSeriesSummary) {
  std::vector<std::vector<float>> cd;
  {
    cdsec::LineReader in;
    in.open((kRepo / "examples" / "INPUT").string());
    cdsec::JobReader jr(in);
    for (int j = 0; j < 2 && jr.begin(); ++j) {
      int iprint, ibasis;
      jr.read_print_basis(iprint, ibasis);
      jr.read_title(40);
      float first, last, factor;
      jr.read_range(first, last, factor);
      cdsec::Vector<100> v;
      jr.read_cd(83, 100, v);
      cd.emplace_back(v.data(), v.data() + 83);
      jr.skip_after_cd();
      jr.skip_guess();
    }
  }
  ASSERT_EQ(cd.size(), 2u);
  const std::vector<double> temps = {20, 30, 40, 50, 60};
  const auto signal = [&](double w, double t) {
    const std::size_t i = static_cast<std::size_t>(std::lround(260.0 - w));
    const double folded = (60.0 - t) / 40.0;
    return mdeg_of(folded * cd[0][i] + (1.0 - folded) * cd[1][i]);
  };
  write_file(dir / "melt.txt",
             channel_export(temps, 260.0, 178.0, 1.0, {}, signal, [](double, double) { return 300.0; }));
  cdref::ConvertOptions o;
  o.file = path("melt.txt");
  o.params = {true, 0.2f, cdref::ConcUnit::kMgPerMl, true, 0.1f, cdref::PathUnit::kCm, 0, 110.0f};
  o.append = path("INPUT");
  o.title = "mix";
  o.series_unit = "C";
  std::ostringstream out, err;
  ASSERT_EQ(cdref::run_convert(o, out, err), 0) << err.str();

  const std::string env = "CDSEC_REFDIR=" + sh_quote((kRepo / "data").string()) + " KESTRA_SEED=1 CDSEC_DETAILS=" +
                          sh_quote(path("details")) + " ";
  fs::create_directory(dir / "details");
  for (const char* prog : {MORVAN3_BINARY, KESTRA_BINARY}) {
    const cdsec_test::RunResult r =
        run("cd " + sh_quote(dir.str()) + " && " + env + sh_quote(prog) + " < /dev/null", dir);
    EXPECT_EQ(r.status, 0) << prog << "\n" << r.err;
  }
  for (const std::string& details : {std::string(), path("details")}) {
    SCOPED_TRACE(details.empty() ? "ProtSS.out alone" : "with run records");
    const cdref::SummaryTable t = cdref::build_summary(path("ProtSS.out"), details);
    const std::vector<cdref::SeriesGroup> groups = cdref::find_series(t);
    ASSERT_EQ(groups.size(), 1u);
    const cdref::SeriesGroup& g = groups[0];
    EXPECT_EQ(g.name, "mix");
    EXPECT_EQ(g.unit, "C");
    EXPECT_EQ(g.values, temps);
    EXPECT_EQ(g.methods, (std::vector<std::string>{"MORVAN3/1", "KESTRA/1"}));
    EXPECT_EQ(t.notes.empty(), !details.empty());
    // The change and the largest step, against the consensus at each point.
    for (int k = 0; k < cdref::kGroups; ++k) {
      const auto& c = g.change[static_cast<std::size_t>(k)];
      if (!c.present) continue;
      std::vector<double> mean;
      for (std::size_t i : g.samples) {
        const cdref::Consensus& cs = t.samples[i].consensus[static_cast<std::size_t>(k)];
        ASSERT_EQ(cs.n, 2) << cdref::group_name(k);
        std::vector<double> v;
        for (const std::string& m : g.methods) v.push_back(*cdref::series_value(t, g, &i - g.samples.data(), m, k));
        EXPECT_NEAR(cs.mean, (v[0] + v[1]) / 2, 1e-6);
        mean.push_back(cs.mean);
      }
      EXPECT_NEAR(c.first_to_last, mean.back() - mean.front(), 1e-12);
      double step = 0;
      for (std::size_t p = 1; p < mean.size(); ++p)
        if (std::abs(mean[p] - mean[p - 1]) > std::abs(step)) step = mean[p] - mean[p - 1];
      EXPECT_NEAR(c.step, step, 1e-12);
    }
    // From all-alpha to all-beta: the helix falls, the strand rises.
    EXPECT_LT(g.change[cdref::kHelix].first_to_last, -0.3);
    EXPECT_GT(g.change[cdref::kStrand].first_to_last, 0.2);

    const std::string text = cdref::series_text(t);
    EXPECT_NE(text.find("Series \"mix\" (C): 5 points from 20 C to 60 C"), std::string::npos) << text;
    const nlohmann::json j = nlohmann::json::parse(cdref::series_json(t));
    ASSERT_EQ(j["series"].size(), 1u);
    EXPECT_EQ(j["series"][0]["titles"][4], "mix 60.0 C");
    EXPECT_NEAR(j["series"][0]["groups"]["Helix"]["change"]["first_to_last"].get<double>(),
                g.change[cdref::kHelix].first_to_last, 1e-12);
    const std::string csv = cdref::series_csv(t);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 5 * 4 * 3);  // 5 points, 4 groups, 2 methods + consensus
    const std::string svg = cdref::series_svg(t);
    std::size_t bands = 0;
    for (std::size_t q = svg.find("class=\"band\""); q != std::string::npos; q = svg.find("class=\"band\"", q + 1)) ++bands;
    EXPECT_EQ(bands, 4u);
  }
}

}  // namespace
