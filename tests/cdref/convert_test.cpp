// cdref convert: each unit family against values worked by hand, the readers
// on exports written here (header blocks, HT columns, 0.1 and 0.5 nm steps,
// decimal commas, every separator, channel blocks, wide tables), the grid and
// cut rules, every refusal through the command line naming file, line and
// value (an appended INPUT left byte for byte as it was), the record compared
// whole with the reviewed one, and converted spectra read by the builder,
// analysed by both programs and summarised as a series.
#include "cdref/convert.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "frame/job.hpp"
#include "frame/text_input.hpp"
#include "tests/cdref/helpers.hpp"
#include "tests/tool_run.hpp"
#include "cdref/instrument.hpp"

namespace {

using namespace cdsec_test;
using namespace cdref_test;
using cdref::Unit;
using json = nlohmann::json;

const std::string kCdref = CDREF_BINARY;
const fs::path kRepo = CDSEC_SOURCE_DIR;

// ---------------------------------------------------------------- exports written for the tests

struct Row {
  double wl, cd, ht;
};

// Rows from `from` to `to` nm in steps of `step`, cd and ht functions of the wavelength.
std::vector<Row> rows(double from, double to, double step, const std::function<double(double)>& cd,
                      const std::function<double(double)>& ht = [](double) { return 250.0; }) {
  std::vector<Row> out;
  const int n = static_cast<int>(std::lround(std::abs(to - from) / step));
  for (int i = 0; i <= n; ++i) {
    const double w = std::round((from + (to > from ? 1 : -1) * i * step) * 1000.0) / 1000.0;
    out.push_back({w, cd(w), ht(w)});
  }
  return out;
}

std::string fmt(double v, int decimals, bool comma = false) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (comma) std::replace(s.begin(), s.end(), '.', ',');
  return s;
}

struct Style {
  std::string sep = "\t";
  bool comma = false;  // decimal commas
  bool ht = true;
  int decimals = 4;
};

// The instrument's export: header block, XYDATA, rows, an extended block.
std::string jasco(const std::vector<Row>& r, const std::string& yunits = "CD [mdeg]", Style s = {},
                  const std::string& xunits = "NANOMETERS", int npoints = -1) {
  std::string t =
      "TITLE\tsample\nDATA TYPE\t\nORIGIN\tJASCO\nOWNER\t\nDATE\t24/05/03\nTIME\t10:12:45\n"
      "SPECTROMETER/DATA SYSTEM\tJ-815\nRESOLUTION\t\nDELTAX\t-0.1\nXUNITS\t" + xunits + "\nYUNITS\t" + yunits + "\n";
  if (s.ht) t += "Y2UNITS\tHT [V]\n";
  t += "FIRSTX\t" + fmt(r.front().wl, 4) + "\nLASTX\t" + fmt(r.back().wl, 4) + "\n";
  t += "NPOINTS\t" + std::to_string(npoints < 0 ? static_cast<int>(r.size()) : npoints) + "\nXYDATA\n";
  for (const Row& x : r)
    t += fmt(x.wl, 1, s.comma) + s.sep + fmt(x.cd, s.decimals, s.comma) + (s.ht ? s.sep + fmt(x.ht, 1, s.comma) : "") + "\n";
  return t + "\n##### Extended Information\n[Comments]\nSample name\tlysozyme\n";
}

// Delimited text: free header lines, then a names line, then rows.
std::string delimited(const std::vector<Row>& r, Style s, const std::string& names, const std::string& preamble = "") {
  std::string t = preamble + names + "\n";
  for (const Row& x : r)
    t += fmt(x.wl, 2, s.comma) + s.sep + fmt(x.cd, s.decimals, s.comma) + (s.ht ? s.sep + fmt(x.ht, 1, s.comma) : "") + "\n";
  return t;
}

double wave(double w) { return 10.0 * std::sin(w / 7.0) - 2.0; }
double linear(double w) { return 0.25 * w - 50.0; }
// mdeg for a delta epsilon with c = 0.2 mg/mL, l = 0.1 cm, MRW = 110.
double mdeg_of(double de) { return de * 3298.2 * 10.0 * 0.1 * 0.2 / 110.0; }
const std::string kMdegParams = " --conc 0.2 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 110";

// An instrument export of several spectra: the header, then after XYDATA a
// block per channel (CD, HT, absorbance), each a row of series values and a
// row per wavelength.
struct SeriesStyle {
  std::string sep = "\t";
  bool comma = false, crlf = false;
  int channels = 3;
  bool extended = true;
};
using Signal = std::function<double(double wl, double t)>;
double melt_cd(double w, double t) { return wave(w) * (1.0 - t / 200.0); }
double melt_ht(double w, double t) { return 200.0 + (260.0 - w) * 4.0 + t; }

std::string channel_export(const std::vector<double>& series, double from, double to, double step, SeriesStyle s,
                           const Signal& cd = melt_cd, const Signal& ht = melt_ht) {
  const std::string nl = s.crlf ? "\r\n" : "\n", pad = s.sep == "," ? ",,,," : "";
  auto line = [&](const std::string& key, const std::string& value) { return key + s.sep + value + pad + nl; };
  const char* units[] = {"CD [mdeg]", "HT [V]", "ABSORBANCE"};
  std::string t = line("TITLE", "melt") + line("DATA TYPE", "") + line("ORIGIN", "JASCO") + line("DATE", "29/04/2024") +
                  line("SPECTROMETER/DATA SYSTEM", "JASCO Corp., J-1500, Rev. 1.00") +
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

RunResult convert(const ScratchDir& dir, const std::string& args) {
  return run("cd " + sh_quote(dir.str()) + " && " + sh_quote(kCdref) + " convert " + args, dir);
}

// A two-column file: wavelength and value per line.
std::vector<std::pair<int, float>> two_columns(const fs::path& p) {
  std::vector<std::pair<int, float>> out;
  for (const std::string& line : lines_of(read_file(p))) {
    float v[2];
    EXPECT_EQ(cdsec::parse_free_reals(line, v), 2) << line;
    out.emplace_back(static_cast<int>(v[0]), v[1]);
  }
  return out;
}

// ================================================================ units

// [theta]_MRW = theta MRW / (10 l c) and delta epsilon = [theta]_MRW / 3298.2:
// 10 mdeg, MRW 110, 0.1 cm, 0.5 mg/mL give 2200 deg cm2 dmol-1, 0.66703.
// 20 uM of a 129-residue protein: 10 / (10 * 2e-5 * 0.1 * 129) = 3875.97,
// 1.17518.  Per mole of protein / n: -1.2e6 with 100 residues is -3.63835.
// delta A = delta epsilon c_res l: 1e-4 with 0.5 mg/mL of residues of 110
// g/mol in 0.1 cm is 0.22; with 20 uM of 129 residues 0.387597.
TEST(CdrefConvertUnits, EachFamilyAgainstWorkedValues) {
  using CU = cdref::ConcUnit;
  using PU = cdref::PathUnit;
  const cdref::UnitParams mass{true, 0.5f, CU::kMgPerMl, true, 0.1f, PU::kCm, 0, 110.0f};
  auto with = [](float c, CU cu, float l, PU lu, int n, float mrw) { return cdref::UnitParams{true, c, cu, true, l, lu, n, mrw}; };
  const cdref::UnitParams molar = with(20.0f, CU::kMicromolar, 0.1f, PU::kCm, 129, 0), none{};
  cdref::UnitParams n100;
  n100.residues = 100;
  const std::vector<std::tuple<Unit, cdref::UnitParams, float, double, double>> cases = {
      {Unit::kMdeg, mass, 10.0f, 0.6670305, 2e-6},
      {Unit::kMdeg, mass, -10.0f, -0.6670305, 2e-6},
      {Unit::kMdeg, with(0.5f, CU::kMgPerMl, 1.0f, PU::kMm, 0, 110.0f), 10.0f, 0.6670305, 2e-6},
      {Unit::kDeg, mass, 0.01f, 0.6670305, 2e-6},
      {Unit::kMdeg, with(1.0f, CU::kMgPerMl, 0.1f, PU::kCm, 0, 110.0f), 10.0f, 0.6670305 / 2, 2e-6},
      {Unit::kMdeg, molar, 10.0f, 1.1751771, 5e-6},
      {Unit::kMdeg, with(0.02f, CU::kMillimolar, 0.1f, PU::kCm, 129, 0), 10.0f, 1.1751771, 5e-6},
      {Unit::kMdeg, with(2e-5f, CU::kMolar, 0.1f, PU::kCm, 129, 0), 10.0f, 1.1751771, 5e-6},
      {Unit::kDeg, molar, 0.01f, 1.1751771, 5e-6},
      {Unit::kMolarEllipticity, n100, -1.2e6f, -3.6383482, 2e-6},
      {Unit::kMre, none, 3298.2f, 1.0, 1e-6},
      {Unit::kMre, none, -16491.0f, -5.0, 1e-6},
      {Unit::kDeltaEpsilon, none, -7.125f, -7.125, 0},
      {Unit::kDeltaA, mass, 1e-4f, 0.22, 1e-6},
      {Unit::kDeltaA, molar, 1e-4f, 0.3875969, 2e-6},
  };
  auto de = [](Unit u, const cdref::UnitParams& p, float v) { return cdref::to_delta_epsilon(cdref::plan_conversion(u, p), v); };
  for (const auto& [u, p, in, want, tol] : cases) EXPECT_NEAR(de(u, p, in), want, tol) << cdref::unit_name(u) << " " << in;
  // Through theta = 32980 delta A mdeg the same sample gives 0.21999: the two constants agree to 0.01 %.
  EXPECT_NEAR(de(Unit::kMdeg, mass, 32980.0f * 1e-4f), de(Unit::kDeltaA, mass, 1e-4f), 0.22f * 1e-4f);

  // A number missing is named; one given but not used is refused, never ignored.
  cdref::UnitParams conc_only = mass, residues_only;
  conc_only.path_given = false;
  residues_only.residues = 129;
  const std::vector<std::tuple<Unit, cdref::UnitParams, std::string>> refused = {
      {Unit::kMdeg, none, "--conc"},
      {Unit::kMdeg, conc_only, "--path"},
      {Unit::kDeltaA, with(0.5f, CU::kMgPerMl, 0.1f, PU::kCm, 0, 0), "--mrw"},
      {Unit::kDeg, with(20.0f, CU::kMicromolar, 0.1f, PU::kCm, 0, 0), "--residues"},
      {Unit::kMolarEllipticity, none, "--residues"},
      {Unit::kMdeg, with(0.5f, CU::kMgPerMl, 0.1f, PU::kCm, 129, 110.0f), "--residues"},
      {Unit::kMdeg, with(20.0f, CU::kMicromolar, 0.1f, PU::kCm, 129, 110.0f), "--mrw"},
      {Unit::kMre, mass, "--conc is not used"},
      {Unit::kDeltaEpsilon, residues_only, "--residues is not used"},
      {Unit::kMolarEllipticity, with(0.5f, CU::kMgPerMl, 0.1f, PU::kCm, 0, 0), "--conc"},
  };
  for (const auto& c : refused) {
    const std::string m = message_of([&] { cdref::plan_conversion(std::get<0>(c), std::get<1>(c)); });
    EXPECT_NE(m.find(std::get<2>(c)), std::string::npos) << cdref::unit_name(std::get<0>(c)) << ": " << m;
  }

  using cdref::unit_bit;
  const std::vector<std::pair<std::string, unsigned>> headers = {
      {"CD [mdeg]", unit_bit(Unit::kMdeg)}, {"CD(mdeg)", unit_bit(Unit::kMdeg)}, {"Ellipticity [deg]", unit_bit(Unit::kDeg)},
      {"Mol. Ellip. [deg cm2 dmol-1]", unit_bit(Unit::kMolarEllipticity) | unit_bit(Unit::kMre)},
      {"Mean residue ellipticity", unit_bit(Unit::kMre)}, {"MRE (deg cm2 dmol-1)", unit_bit(Unit::kMre)},
      {"Mol. CD [M-1 cm-1]", unit_bit(Unit::kDeltaEpsilon)}, {"Delta epsilon", unit_bit(Unit::kDeltaEpsilon)},
      {"Delta A", unit_bit(Unit::kDeltaA)}, {"HT [V]", 0u}, {"CD", 0u}};
  for (const auto& [text, bits] : headers) EXPECT_EQ(cdref::units_named_by(text), bits) << text;
}

// ================================================================ readers

// The same rows with every separator, decimal points and commas, read to the same numbers.
TEST(CdrefConvertReaders, EverySeparatorAndDecimalMark) {
  ScratchDir dir("convert-sep");
  const auto r = rows(250.0, 190.0, 0.5, wave);
  const std::vector<std::tuple<std::string, bool, cdref::Separator>> cases = {
      {"\t", false, cdref::Separator::kTab},        {"\t", true, cdref::Separator::kTab},
      {",", false, cdref::Separator::kComma},       {";", false, cdref::Separator::kSemicolon},
      {";", true, cdref::Separator::kSemicolon},    {"  ", false, cdref::Separator::kBlank},
      {" ", true, cdref::Separator::kBlank}};
  for (const auto& [sep, comma, expect] : cases) {
    SCOPED_TRACE("separator \"" + sep + "\"" + (comma ? " with decimal commas" : ""));
    write_file(dir / "d.txt", delimited(r, {sep, comma}, "Wavelength" + sep + "CD" + sep + "HT", "Sample: test\nCuvette 1 mm\n"));
    const cdref::Measurement m = cdref::read_measurement((dir / "d.txt").string(), {});
    EXPECT_EQ(m.format, cdref::ExportFormat::kDelimited);
    EXPECT_EQ(m.separator, expect);
    EXPECT_TRUE(m.header_lines == 3 && m.names_line == 3 && m.has_ht);  // HT named in the header
    EXPECT_EQ(m.decimal_commas, comma ? 3 * static_cast<int>(r.size()) : 0);
    ASSERT_EQ(m.points.size(), r.size());
    for (std::size_t i = 0; i < r.size(); i += 17)
      EXPECT_TRUE(m.points[i].wl == static_cast<float>(r[i].wl) && m.points[i].cd == std::stof(fmt(r[i].cd, 4))) << i;
  }
  // A spreadsheet's CSV quotes the fields that hold a decimal comma.
  write_file(dir / "q.csv", "\"Wavelength\",\"CD\"\n\"200,5\",\"-1,25\"\n\"200,0\",\"-1,5\"\n");
  const cdref::Measurement q = cdref::read_measurement((dir / "q.csv").string(), {});
  EXPECT_EQ(q.separator, cdref::Separator::kComma);
  ASSERT_EQ(q.points.size(), 2u);
  EXPECT_TRUE(q.points[0].wl == 200.5f && q.points[0].cd == -1.25f);
}

// Every layout variant of channel blocks reads to the same numbers: both
// separators, both decimal marks, CRLF and LF, 1 to 3 channels, 1 and
// several spectra, padded header rows, with and without the extended block.
TEST(CdrefConvertReaders, ChannelBlocksInEveryVariant) {
  ScratchDir dir("convert-series-read");
  const std::vector<std::pair<SeriesStyle, std::vector<double>>> cases = {
      {{"\t", false, false, 3, true}, {20.0, 25.1, 30.0, 35.0, 40.0}}, {{"\t", true, true, 2, false}, {20.0, 25.1, 30.0}},
      {{",", false, true, 3, true}, {25.0}}, {{",", false, false, 1, false}, {20.0, 40.0, 60.0, 80.0}},
      {{"\t", true, false, 1, true}, {37.0}}};
  for (const auto& [st, series] : cases) {
    SCOPED_TRACE("separator \"" + st.sep + "\"" + (st.comma ? ", decimal commas" : "") + (st.crlf ? ", CRLF" : "") + ", " +
                 std::to_string(st.channels) + " channels, " + std::to_string(series.size()) + " spectra");
    // Header values with trailing blanks, as some instruments pad them.
    std::string text = channel_export(series, 260.0, 190.0, 0.5, st);
    for (std::size_t at = text.find("CD [mdeg]"); at != std::string::npos; at = text.find("CD [mdeg]", at + 1))
      text.insert(at + 9, "  ");
    write_file(dir / "s.txt", text);
    const std::vector<cdref::Measurement> all = cdref::read_spectra((dir / "s.txt").string(), {});
    ASSERT_EQ(all.size(), series.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
      const cdref::Measurement& m = all[k];
      EXPECT_TRUE(m.spectrum == static_cast<int>(k) + 1 && m.spectra == static_cast<int>(series.size()));
      EXPECT_EQ(m.series_label, fmt(series[k], 1, st.comma));
      EXPECT_TRUE(m.channels == st.channels && m.channel == 1 && m.has_ht == (st.channels >= 2));
      EXPECT_TRUE(m.y_units.text == "CD [mdeg]" && m.npoints_declared == 141);
      ASSERT_EQ(m.points.size(), 141u);
      for (std::size_t i = 0; i < m.points.size(); i += 23) {
        const cdref::MeasuredPoint& p = m.points[i];
        EXPECT_FLOAT_EQ(p.wl, static_cast<float>(260.0 - 0.5 * static_cast<double>(i)));
        EXPECT_FLOAT_EQ(p.cd, std::stof(fmt(melt_cd(p.wl, series[k]), 4)));
        if (m.has_ht) {
          EXPECT_TRUE(p.ht == std::stof(fmt(melt_ht(p.wl, series[k]), 1)) && p.ht_line == p.line + 143);
        }
      }
      bool found = false;
      for (const cdref::HeaderEntry& h : m.header) found = found || h.value == "JASCO Corp., J-1500, Rev. 1.00";
      EXPECT_TRUE(found);
      if (!st.extended) {
        EXPECT_EQ(m.extended_line, 0);
      } else {
        ASSERT_EQ(m.extended.size(), 4u);
        EXPECT_EQ(m.extended[1].key + "=" + m.extended[1].value + "|" + m.extended[2].value,
                  "Sample name=lysozyme|" + fmt(0.2, 1, st.comma) + " mg/mL");
      }
    }
  }
  // Wide tables: every numeric column after the wavelength, or those chosen
  // (X,Y,HT names the HT third), each a spectrum labelled by its header.
  std::string w = "exported from a spreadsheet\nnm;20 C;40 C;60 C;HT\n";
  for (int nm = 250; nm >= 190; --nm)
    w += std::to_string(nm) + ";" + fmt(melt_cd(nm, 20), 3, true) + ";" + fmt(melt_cd(nm, 40), 3, true) + ";" +
         fmt(melt_cd(nm, 60), 3, true) + ";" + std::to_string(300 + (250 - nm)) + "\n";
  write_file(dir / "w.csv", w);
  const auto wide = cdref::read_spectra((dir / "w.csv").string(), {});
  ASSERT_EQ(wide.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(wide[k].series_label, std::to_string(20 + 20 * k) + " C");
    EXPECT_TRUE(wide[k].y.number == static_cast<int>(k) + 2 && wide[k].ht.number == 5);
    EXPECT_FLOAT_EQ(wide[k].points[10].cd, std::stof(fmt(melt_cd(240, 20.0 + 20.0 * static_cast<double>(k)), 3)));
  }
  cdref::ReadOptions two, ht;
  two.x.number = ht.x.number = 1;
  two.y.number = 4;
  two.third.number = 2;
  ht.y.number = 2;
  ht.third.name = "HT";
  const auto chosen = cdref::read_spectra((dir / "w.csv").string(), two), one = cdref::read_spectra((dir / "w.csv").string(), ht);
  ASSERT_TRUE(chosen.size() == 2u && one.size() == 1u);
  EXPECT_EQ(chosen[0].series_label + "|" + chosen[1].series_label, "60 C|20 C");
  EXPECT_EQ(one[0].ht.number, 5);
}

// ================================================================ the grid and the cuts

// Linear data are reproduced exactly by linear interpolation; the grid stays
// inside the measured range and the reference sets' wavelengths.
TEST(CdrefConvertGrid, InsideTheMeasuredRangeAcrossAllowedGapsAndCutByHtOrWavelength) {
  std::vector<cdref::MeasuredPoint> p;
  std::vector<float> v;
  for (int i = 0; i <= 140; ++i) {
    const float w = 259.75f - 0.5f * static_cast<float>(i);  // 259.75 .. 189.75
    p.push_back({i + 1, w, 0.0f, 0.0f});
    v.push_back(static_cast<float>(linear(w)));
  }
  const cdref::Grid g = cdref::resample(p, v, static_cast<int>(p.size()), 178, 260, false, "s");
  EXPECT_TRUE(g.longer == 259 && g.shorter == 190 && g.interpolated == 70 && g.measured == 0);
  ASSERT_EQ(g.values.size(), 70u);
  for (std::size_t i = 0; i < g.values.size(); ++i) EXPECT_NEAR(g.values[i], linear(259 - static_cast<int>(i)), 1e-4) << i;
  // Only the first 100 points (259.75 .. 210.25) kept, the sets ending at 240.
  const cdref::Grid cut = cdref::resample(p, v, 100, 178, 240, false, "s");
  EXPECT_TRUE(cut.longer == 240 && cut.shorter == 211) << cut.longer << "-" << cut.shorter;
  EXPECT_NE(message_of([&] { cdref::resample(p, v, 141, 100, 150, false, "s"); }).find("no whole nanometre"), std::string::npos);

  // Across an allowed gap of 3 nm (208 to 205): 207 and 206 interpolated.
  const std::vector<cdref::MeasuredPoint> gap = {{10, 210, 0, 0}, {11, 208, 0, 0}, {12, 205, 0, 0}, {13, 204, 0, 0}};
  const cdref::Grid a = cdref::resample(gap, {1, 2, 5, 6}, 4, 178, 260, true, "s.txt");
  ASSERT_TRUE(a.gaps.size() == 1u && a.values.size() == 7u);
  EXPECT_TRUE(a.gaps[0].grid_points == 2 && a.measured == 4);
  EXPECT_EQ(a.values, (std::vector<float>{1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f}));
  EXPECT_TRUE(cdref::resample({{1, 210, 0, 0}, {2, 208, 0, 0}}, {1, 2}, 2, 178, 260, false, "s").gaps.empty());  // 2 nm: a step

  // HT 600 V at 190 nm is not above the limit, 620 at 189 is; a point back
  // under it stays cut; a higher limit; --min-wavelength.
  std::vector<cdref::MeasuredPoint> h;
  for (int i = 0; i <= 20; ++i) h.push_back({i + 1, 200.0f - static_cast<float>(i), 0.0f, 400.0f + 20.0f * static_cast<float>(i)});
  cdref::RangeOptions r;
  cdref::Cut c = cdref::cut_short_end(h, true, r);
  EXPECT_TRUE(c.ht_at == 11 && c.kept == 11 && c.max_ht == 600.0f);
  h[13].ht = 100.0f;
  EXPECT_EQ(cdref::cut_short_end(h, true, r).kept, 11);
  r.ht_max = 700.0f;
  EXPECT_EQ(cdref::cut_short_end(h, true, r).kept, 16);
  r.min_given = true;
  r.min_wl = 193.0f;
  c = cdref::cut_short_end(h, true, r);
  EXPECT_TRUE(c.min_at == 8 && c.kept == 8 && cdref::cut_short_end(h, false, r).kept == 8);  // 200 .. 193

  const cdref::CatalogueSpan s = cdref::catalogue_span();
  EXPECT_TRUE(s.longest == 260 && s.shortest == 178 && s.min_points == 51 && s.min_sets == "4, 7, 8");  // 240-190 nm
}

// ================================================================ the command

// Every usage error: the reason after the subcommand's name, status 2.
TEST(CdrefConvert, CommandLineIsChecked) {
  ScratchDir dir("convert-args");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "FILE is required"},
      {"f", "convert needs --out FILE or --append INPUT"},
      {"f --out a --append b --title t", "--out and --append: choose one"},
      {"f --append INPUT", "--append needs --title T, the title of the job"},
      {"f --out a --title t", "--title is for --append"},
      {"f --append I --force --title t", "--force is for --out"},
      {"f --out a --conc 1", "--conc needs --conc-unit mg/mL|M|mM|uM"},
      {"f --out a --conc-unit M", "--conc-unit needs --conc"},
      {"f --out a --path 1 --path-unit inch", "--path-unit inch: cm or mm"},
      {"f --out a --path-unit cm", "--path-unit needs --path"},
      {"f --out a --conc -1 --conc-unit M", "--conc -1: expected a positive number"},
      {"f --out a --columns 1", "--columns 1: X,Y, X,Y,HT or X,Y1,Y2,..."},
      {"f --out a --spectra 3-1", "--spectra 3-1: a list such as 1,3-5"},
      {"f --out a --basis 3", "--basis is for --append"},
      {"f g --out a", "The following argument was not expected: g"},
      {"f --out a --ignore-header-units", "--ignore-header-units needs --units"},
      {"f --append I --title t --basis 9", "--basis 9: expected a whole number from 1 to 8"},
      {"f --out", "--out needs a value"},
      {"f --out a --units furlongs", "--units furlongs: mdeg, deg, molar-ellipticity, mre, delta-a or delta-epsilon"},
  };
  for (const auto& [args, why] : cases) {
    const RunResult o = convert(dir, args);
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_NE(o.err.find("cdref convert: " + why), std::string::npos) << args << "\n" << o.err;
    EXPECT_NE(o.err.find("Run 'cdref convert --help'"), std::string::npos) << o.err;
  }
}

// Refusals name the file, the line and the value; nothing is written, and
// an INPUT appended to is left byte for byte as it was.
TEST(CdrefConvert, RefusalsNameFileLineAndValueAndWriteNothing) {
  ScratchDir dir("convert-refused");
  const auto good = rows(260.0, 178.0, 1.0, wave), r6 = rows(200.0, 195.0, 1.0, linear);
  write_file(dir / "good.txt", jasco(good, "delta epsilon"));
  ASSERT_EQ(convert(dir, "good.txt --append INPUT --title first").status, 0);
  const std::string before = read_file(dir / "INPUT");
  write_file(dir / "INPUT.blank", before + "\n");
  write_file(dir / "notes", "my notes\n");
  write_file(dir / "ro", before);
  fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const std::string series = channel_export({20.0, 30.0}, 200.0, 195.0, 1.0, {});
  auto changed = [](std::string t, const std::string& from, const std::string& to) { return t.replace(t.find(from), from.size(), to); };
  std::string inf = series;
  const std::size_t row = inf.find("\n198.0\t") + 1, tab = inf.find('\t', inf.find('\t', row) + 1);
  inf.replace(tab + 1, inf.find_first_of("\t\n", tab + 1) - tab - 1, "-Inf");
  auto gap = good, dup = good;
  gap.erase(gap.begin() + 30, gap.begin() + 34);
  dup[40].wl = dup[39].wl;
  const auto r = rows(250.0, 185.0, 1.0, [](double w) { return mdeg_of(wave(w)); });
  const std::string de = " --units delta-epsilon --out no.de", app = " --append INPUT --title t", p = kMdegParams + " --out no.de";
  struct Case {
    std::string file, text, args, message;
  };
  const std::vector<Case> cases = {
      // Readers.
      {"f.txt", jasco(r6, "CD [mdeg]", {}, "NANOMETERS", 9), p, "f.txt, line 15: NPOINTS says 9 points, but 6"},
      {"f.txt", "200 1.0\n199 1.1\nend of scan\n198 1.2\n", de, "f.txt, line 4: a row of numbers after the data"},
      {"f.txt", "w\tcd\tHT\n200\t1.0\t300\n199\t1.1\n", de, "f.txt, line 3: 2 fields, but the HT is column 3"},
      {"f.txt", "200\t1.0\t300\n199\t\t310\n", de, "f.txt, line 2: no number in column 2"},
      {"f.txt", "", de, "the file is empty"},
      {"f.txt", "Wavelength CD\nnone measured\n", de, "no row of numbers in the 2 lines read"},
      {"f.txt", "XUNITS\tNANOMETERS\nXYDATA\nnot a number\n", de, "f.txt, line 3: expected a row of numbers after XYDATA"},
      {"f.txt", jasco(r6), p + " --columns Wavelength,CD", "choose them by number"},
      {"f.txt", "200 1.0\n199 1.1\n", de + " --format jasco", "not an instrument export"},
      {"f.txt", "2024;05;03\nWavelength;CD\n200;1,0\n199;1,1\n", de, "line 3: a row of numbers after the data ended at line 2"},
      {"f.txt", "200,5 -1,25\n200,0 -1,5\n", de + " --decimal point", "no row of numbers"},
      {"f.txt", "Wavelength,CD\n222,-29,9\n221,-28,4\n", de, "f.txt, line 2: 3 fields, but line 1 names 2 columns"},
      {"f.txt", "Wavelength,CD\n223,-30\n222,-29,9\n", de, "f.txt, line 3: 3 fields, but line 1 names 2"},
      {"f.txt", "Wavelength\tCD\n200\t1.5\n199\tNaN\n", de, "f.txt, line 3: the CD value \"NaN\" (column 2)"},
      {"n.csv", "W;HT (V);CD [mdeg]\n200;300;1\n199;301;2\n", p + " --columns 1,Ellipticity",
       "line 1: no column is named \"Ellipticity\""},
      {"n.csv", "W;HT (V);CD [mdeg]\n200;300;1\n199;301;2\n", p + " --columns 1,2", "holds the HT voltage"},
      {"n.csv", "W;HT (V);CD [mdeg]\n200;300;1\n199;301;2\n", p + " --columns 1,7", "column 7 is chosen"},
      // Channel blocks.
      {"m.txt", changed(series, "199.0\t", "199.0\tnan\t"), p, "m.txt, line 19: 4 fields, but the series row (line 17) names 2 spectra"},
      {"m.txt", changed(series, "YUNITS\tCD [mdeg]", "YUNITS\tSignal"), p, "no channel's units say CD (1 \"Signal\", 2 \"HT [V]\""},
      // A header without channel 1's units: the channels are not guessed past the hole.
      {"m.txt", changed(changed(series, "YUNITS\tCD [mdeg]\n", ""), "Y2UNITS\tHT [V]", "Y2UNITS\tCD [mdeg]"), p,
       "no channel's units say CD ("},
      {"m.txt", series, p + " --channel 4", "--channel 4: the file has 3 channels (1 \"CD [mdeg]\", 2 \"HT [V]\", 3 \"ABSORBANCE\")"},
      {"m.txt", series, p + " --columns 1,3", "choose the CD channel with --channel N, not columns with --columns"},
      {"m.txt", changed(series, "Channel 2\n\t20.0\t30.0", "Channel 2\n\t20.0\t35.0"), p,
       "m.txt, line 25: the series values of Channel 2 differ from those of Channel 1 (line 17)"},
      {"m.txt", changed(series, "Channel 2\n", " Channel 3 \n"), p, "m.txt, line 24: channel 2 expected here, found \"Channel 3\"\n"},
      {"m.txt", inf, p, "m.txt, line 20: the CD value \"-Inf\" (column 3) is not a finite number"},
      // Wavelengths.
      {"w.txt", "200 1\n199 2\n199 3\n", de, "w.txt, line 3: the wavelength 199 nm again (line 2 has it too): one value per wavelength"},
      {"w.txt", "200 1\n199 2\n198 3\n198.5 3\n", de, "w.txt, line 4: the wavelength 198.5 nm breaks the descending order of lines 1-3 (line 3: 198 nm)"},
      {"w.txt", "200 1\n", de, "at least two wavelengths"},
      {"w.txt", "210 1\n208 2\n205 5\n204 6\n", de,
       "w.txt, lines 2-3: 3 nm between 208 nm and 205 nm without a measurement (more than 2 nm); --allow-gaps interpolates across it"},
      // Units and header.
      {"s.txt", jasco(r), " --units mre --out no.de",
       "s.txt, line 11: the header gives the CD values as mdeg (YUNITS \"CD [mdeg]\"), but --units says mre"},
      {"s.txt", jasco(r), " --out no.de --conc 0.2 --conc-unit mg/mL", "needs the path length"},
      {"p.txt", "250 1.0\n249 1.1\n", " --out no.de", "p.txt: the header does not name the units of the CD values; give --units"},
      {"mol.txt", jasco(r, "Mol. Ellip. [deg cm2 dmol-1]"), " --out no.de", "can be per protein or per residue"},
      {"t.txt", jasco(r, "CD [mdeg]", {}, "MICROMETERS"), p, "t.txt, line 10: the wavelengths must be in nanometres"},
      {"t.txt", jasco(r, "CD [mdeg]", {}, "TEMPERATURE [C]"), p,
       "t.txt, line 10: XUNITS \"TEMPERATURE [C]\": this export follows the signal against temperature at one wavelength "
       "(a thermal melt), not a spectrum"},
      {"n.txt", jasco(r, "CD [mdeg]", Style{"\t", false, false}), p + " --ht-max 500", "has no HT column"},
      // The molecular weight given as MRW: values too large for the job file.
      {"s.txt", jasco(r), " --conc 0.2 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 14300 --out no.de",
       "the value at 250 nm, -1450.1587, does not fit the 8 columns"},
      // Too few points in the suggested set's range: set 4 covers 240-190.
      {"short.txt", jasco(rows(260.0, 200.0, 1.0, wave), "delta epsilon"), app,
       "only 41 points (240-200 nm) lie in the valid range of set 4, 240-190 nm; no reference set is built on fewer than 51 (sets 4, 7, 8)"},
      // Appending: every refusal leaves INPUT as it was.
      {"gap.txt", jasco(gap, "delta epsilon"), app, "without a measurement (more than 2 nm); --allow-gaps"},
      {"dup.txt", jasco(dup, "delta epsilon"), app, "line 57: the wavelength 221 nm again (line 56 has it too)"},
      {"mdeg.txt", jasco(good), app, "is as it was"},
      {"mdeg.txt", jasco(good), " --units mre" + app, "is as it was"},
      {"good.txt", jasco(good, "delta epsilon"), " --append INPUT --title " + std::string(41, 'x'), "is as it was"},
      {"good.txt", jasco(good, "delta epsilon"), app + " --min-wavelength 230", "is as it was"},
      {"missing.txt", "", app, "is as it was"},
      {"good.txt", jasco(good, "delta epsilon"), " --append good.txt --title t", "is as it was"},
      {"good.txt", jasco(good, "delta epsilon"), " --append notes --title t", "notes does not read to its end as jobs (notes, line 2: the file ends"},
      {"good.txt", jasco(good, "delta epsilon"), " --append INPUT.blank --title t", "INPUT.blank, line 25: the file ends"},
      {"good.txt", jasco(good, "delta epsilon"), " --append ro --title t", "ro is write-protected"},
      // An output file is not replaced unless forced, nor the file being read.
      {"good.txt", jasco(good, "delta epsilon"), " --out INPUT", "exists; add --force"},
      {"good.txt", jasco(good, "delta epsilon"), " --out good.txt --force", "is the file being read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + c.args + ": " + c.message);
    if (c.file != "missing.txt") write_file(dir / c.file, c.text);
    const RunResult o = convert(dir, c.file + c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(dir / "no.de"));
  }
  EXPECT_EQ(read_file(dir / "INPUT"), before);
  EXPECT_EQ(read_file(dir / "INPUT.blank"), before + "\n");
  EXPECT_EQ(read_file(dir / "notes"), "my notes\n");
  EXPECT_EQ(read_file(dir / "ro"), before);
  EXPECT_EQ(read_file(dir / "good.txt"), jasco(good, "delta epsilon"));
  fs::permissions(dir / "ro", fs::perms::owner_write, fs::perm_options::add);
}

// What the refusals above send elsewhere, done right: the header overridden
// on purpose, agreed with, or the per-residue unit named; a header line of
// numbers skipped; shifted fields read by chosen columns; the set named;
// the mean residue weight plausible or not.
TEST(CdrefConvert, TheRightOptionsConvertWhatWasRefused) {
  ScratchDir dir("convert-right");
  const auto r = rows(250.0, 185.0, 1.0, [](double w) { return mdeg_of(wave(w)); });
  write_file(dir / "s.txt", jasco(r));
  write_file(dir / "mol.txt", jasco(r, "Mol. Ellip. [deg cm2 dmol-1]"));
  std::string dated = "2024;05;03\nWavelength;CD\n", shifted = "Wavelength,CD\n";
  for (int w = 240; w >= 190; --w) dated += std::to_string(w) + ";1,0\n", shifted += std::to_string(w) + ",-29,9\n";
  write_file(dir / "dated.txt", dated);
  write_file(dir / "shifted.txt", shifted);
  write_file(dir / "short.txt", jasco(rows(260.0, 200.0, 1.0, wave), "delta epsilon"));
  // By default the CD is the column after the wavelength that is neither the
  // HT (found by its name) nor the absorbance.
  std::string n = "# exported\nWavelength (nm);HT (V);CD [mdeg];Abs\n";
  for (int w = 240; w >= 190; --w) n += std::to_string(w) + ";" + std::to_string(300 + (240 - w)) + ";" + fmt(mdeg_of(linear(w)), 4, true) + ";0,5\n";
  write_file(dir / "n.csv", n);
  // Half-nanometre steps, ascending, decimal commas in a semicolon file: the
  // whole nanometres are the measured points, in the other order.
  const Style semi{";", true, false};
  write_file(dir / "down.txt", jasco(rows(250.0, 185.0, 0.5, [](double w) { return mdeg_of(wave(w)); }), "CD [mdeg]", semi));
  write_file(dir / "up.csv", delimited(rows(185.0, 250.0, 0.5, [](double w) { return mdeg_of(wave(w)); }), semi, "nm;CD (mdeg)"));
  const std::vector<std::tuple<std::string, std::string, int>> cases = {  // args, a line of stdout, points
      {"s.txt --units mre --ignore-header-units --out a.de", "", 66},
      {"s.txt --units mdeg" + kMdegParams + " --out b.de", "", 66},
      {"s.txt --units mdeg --conc 0,2 --conc-unit mg/mL --path 0,1 --path-unit cm --mrw 110 --out m.de", "", 66},
      {"mol.txt --units mre --out c.de", "", 66},
      {"dated.txt --skip 1 --units delta-epsilon --out d.de", "", 51},
      {"shifted.txt --columns 1,2 --units delta-epsilon --out e.de", "", 51},
      {"short.txt --append INPUT --title short --basis 1", "61 points inside the valid range of set 1", -1},
      {"s.txt" + kMdegParams + " --append INPUT8 --title last --basis 8", "51 points inside the valid range of set 8", -1},
      {"n.csv" + kMdegParams + " --out h.de", "HT column 2 \"HT (V)\" (header", 51},
      {"n.csv" + kMdegParams + " --columns Wavelength,CD --out i.de", "CD column 3 \"CD [mdeg]\"", 51},
      {"n.csv" + kMdegParams + " --columns 1,3,none --out j.de", "no HT column", 51},
      {"down.txt" + kMdegParams + " --out k.de", "values with a decimal comma", 66},
      {"up.csv" + kMdegParams + " --out l.de", "ascending from 185 nm to 250 nm, steps of 0.5 nm; reversed", 66},
      {"s.txt --conc 0.2 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 1100 --out f.de",
       "warning:    the mean residue weight 1100 g/mol is far from", 66},
      {"s.txt --conc 0.2 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 1100 --out g.de",
       "more than 30 in magnitude: a unit or a parameter", 66},
  };
  for (const auto& [args, said, points] : cases) {
    const RunResult o = convert(dir, args);
    ASSERT_EQ(o.status, 0) << args << "\n" << o.err;
    EXPECT_NE(o.out.find(said), std::string::npos) << args << "\n" << o.out;
    const std::string out = args.substr(args.rfind(' ') + 1);
    if (points >= 0) {
      EXPECT_EQ(two_columns(dir / out).size(), static_cast<std::size_t>(points)) << args;
    }
  }
  EXPECT_NEAR(two_columns(dir / "a.de").front().second, mdeg_of(wave(250)) / 3298.2, 1e-6);
  EXPECT_FLOAT_EQ(two_columns(dir / "e.de").front().second, -29.0f);
  for (const char* f : {"h.de", "i.de", "j.de"}) EXPECT_NEAR(two_columns(dir / f).front().second, linear(240), 1e-4) << f;
  EXPECT_EQ(read_file(dir / "l.de"), read_file(dir / "k.de"));
  EXPECT_EQ(read_file(dir / "m.de"), read_file(dir / "b.de"));  // decimal commas in the parameters
  for (const auto& [w, v] : two_columns(dir / "l.de")) EXPECT_NEAR(v, wave(w), 5e-5) << w << " nm";
  EXPECT_EQ(convert(dir, "s.txt" + kMdegParams + " --out f.de --force").out.find("warning"), std::string::npos);  // MRW 110
  // The magnitude warning names the strongest value written, where it is.
  const auto g = two_columns(dir / "g.de");
  const auto strongest = std::max_element(g.begin(), g.end(), [](const auto& a, const auto& b) {
    return std::abs(a.second) < std::abs(b.second);
  });
  const RunResult again = convert(dir, "s.txt --conc 0.2 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 1100 --out g.de --force");
  EXPECT_NE(again.out.find(" delta epsilon at " + std::to_string(strongest->first) + " nm, more than 30"), std::string::npos)
      << again.out;
}

// 0.1 nm steps whose HT passes 600 V at 185.9 nm: the two-column file, its
// record as reviewed, a higher limit, no HT column.
TEST(CdrefConvert, ExportTwoColumnsWithTheHtCutAndItsRecord) {
  ScratchDir dir("convert-ht");
  const auto r = rows(265.0, 175.0, 0.1, [](double w) { return mdeg_of(linear(w) / 10.0); },
                      [](double w) { return w >= 186.0 ? 300.0 : 700.0; });
  write_file(dir / "s.txt", jasco(r));
  RunResult o = convert(dir, "s.txt" + kMdegParams + " --out s.de --record s.json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(reviewed(kRepo / "tests" / "cdref" / "expected" / "convert" / "ht-cut.txt", o.out), o.out);
  const auto lines = two_columns(dir / "s.de");
  ASSERT_EQ(lines.size(), 75u);
  EXPECT_TRUE(lines.front().first == 260 && lines.back().first == 186);
  for (const auto& [w, v] : lines) EXPECT_NEAR(v, linear(w) / 10.0, 2e-5) << w << " nm";
  json rec = json::parse(read_file(dir / "s.json"));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(rec["spectrum"]["wavelength_nm"][i], lines[i].first);
    EXPECT_FLOAT_EQ(rec["spectrum"]["delta_epsilon"][i].get<float>(), lines[i].second);
  }
  rec.erase("version");  // of the build
  rec.erase("commit");
  const std::string text = rec.dump(1);
  EXPECT_EQ(reviewed(kRepo / "tests" / "cdref" / "expected" / "convert" / "ht-cut.json", text), text);

  o = convert(dir, "s.txt" + kMdegParams + " --out h.de --ht-max 800");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("HT limit 800 V (--ht-max): not exceeded (highest 700 V)"), std::string::npos) << o.out;
  EXPECT_EQ(two_columns(dir / "h.de").back().first, 178);
  write_file(dir / "n.txt", jasco(r, "CD [mdeg]", Style{"\t", false, false}));
  o = convert(dir, "n.txt" + kMdegParams + " --out n.de");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("warning:    no HT column"), std::string::npos);
  // A refusal is recorded too; a header in Latin-1 ("\xB5" for micro) does
  // not stop the record, which holds U+FFFD for the byte.
  write_file(dir / "latin1.txt", jasco(rows(260.0, 178.0, 1.0, wave), "Delta epsilon (\xB5M)"));
  ASSERT_EQ(convert(dir, "latin1.txt --out l.de --record l.json").status, 0);
  EXPECT_EQ(json::parse(read_file(dir / "l.json"))["steps"][2]["header"]["text"], "Delta epsilon (\xEF\xBF\xBDM)");
  EXPECT_EQ(convert(dir, "latin1.txt --units mdeg --out b.de --record b.json").status, 1);
  rec = json::parse(read_file(dir / "b.json"));
  EXPECT_EQ(rec["result"], "refused");
  EXPECT_NE(rec["error"].get<std::string>().find("but --units says mdeg"), std::string::npos);
}

// A series: one HT glitch in one spectrum sets the common range (and is
// reported with it); --own-range keeps each spectrum's own; all jobs go to
// INPUT in file order with their titles, or, on a refusal, none.
TEST(CdrefConvert, SeriesCommonAndOwnRangeAndTheAtomicAppend) {
  ScratchDir dir("convert-series");
  // HT crosses 600 V at 180 nm; at 30 C one value at 185.0 nm is a glitch of 900 V.
  const auto ht = [](double w, double t) { return t == 30.0 && std::abs(w - 185.0) < 1e-6 ? 900.0 : 200.0 + (260.0 - w) * 5.0; };
  const auto cd = [](double w, double t) { return mdeg_of(wave(w) * (1.0 - t / 100.0)); };
  write_file(dir / "melt.txt", channel_export({20.0, 25.1, 30.0, 35.0}, 260.0, 178.0, 0.5, {}, cd, ht));
  const std::string melt = "melt.txt" + kMdegParams + " --series-unit C";
  RunResult o = convert(dir, melt + " --append INPUT --title lysozyme --record melt.json");
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("common range of the series: 260 nm to 185.5 nm, set by spectrum 3 (30.0): its HT reaches 900 V at 185 nm (line "),
            std::string::npos) << o.out;
  auto ranges = [](const fs::path& p) {
    std::vector<std::string> v;
    for (const Job& j : jobs_of(p)) {
      v.push_back(j.title + " " + fmt(j.first, 0) + "-" + fmt(j.last, 0));
      for (std::size_t i = 0; i < j.cd.size(); i += 7)
        EXPECT_NEAR(j.cd[i], wave(j.first - static_cast<float>(i)) * (1.0 - std::stod(j.title.substr(9)) / 100.0), 6e-4) << j.title;
    }
    return v;
  };
  EXPECT_EQ(ranges(dir / "INPUT"), (std::vector<std::string>{"lysozyme 20.0 C 260-186", "lysozyme 25.1 C 260-186",
                                                            "lysozyme 30.0 C 260-186", "lysozyme 35.0 C 260-186"}));
  const json rec = json::parse(read_file(dir / "melt.json"));
  EXPECT_EQ(rec["spectra"][1]["title"], "lysozyme 25.1 C");
  int reported = 0;
  for (const json& step : rec["steps"]) {
    if (step["step"] == "range") reported += step["common"]["set_by"]["spectrum"] == 3 && step["common"]["shorter_nm"] == 185.5;
    if (step["step"] == "spectra")  // each spectrum's own cut, kept in the record
      reported += step["spectra"][0]["ht_cut"]["wavelength_nm"] == 179.5 && step["spectra"][2]["ht_cut"]["wavelength_nm"] == 185.0;
    if (step["step"] == "output")  // the jobs appended, numbered on from the first
      reported += step["jobs"][3]["job"] == 4 && step["jobs"][3]["title"] == "lysozyme 35.0 C";
  }
  EXPECT_EQ(reported, 3) << rec.dump(1);
  ASSERT_EQ(convert(dir, melt + " --own-range --spectra 2-3 --append INPUT.own --title lysozyme").status, 0);
  EXPECT_EQ(ranges(dir / "INPUT.own"), (std::vector<std::string>{"lysozyme 25.1 C 260-180", "lysozyme 30.0 C 260-186"}));

  // A title too long for a series value, a spectrum beyond the file, a value
  // that is not finite in the last spectrum, --out for several spectra.
  const std::string before = read_file(dir / "INPUT");
  std::string broken = read_file(dir / "melt.txt");
  const std::size_t at = broken.find("\n221.0\t") + 1, eol = broken.find('\n', at);
  broken.replace(broken.rfind('\t', eol) + 1, eol - broken.rfind('\t', eol) - 1, "inf");
  write_file(dir / "broken.txt", broken);
  const std::vector<std::pair<std::string, std::string>> refusals = {
      {melt + " --append INPUT --title " + std::string(34, 'x'), "characters; a job's title holds 40, so --title may have 33 here"},
      {melt + " --append INPUT --title t --spectra 2,5", "--spectra 5: "},
      {"broken.txt" + kMdegParams + " --append INPUT --title t", "the CD value \"inf\" (column 5) is not a finite number"},
      {melt + " --out x.de", "--out writes one spectrum"},
  };
  for (const auto& [args, message] : refusals) {
    o = convert(dir, args);
    EXPECT_EQ(o.status, 1) << args;
    EXPECT_NE(o.err.find(message), std::string::npos) << o.err;
    EXPECT_EQ(read_file(dir / "INPUT"), before);
  }
  EXPECT_FALSE(fs::exists(dir / "x.de"));
}

// ================================================================ end to end

// The first jobs of the demo INPUT: each one's values and lines as written.
std::vector<std::pair<Job, std::string>> demo_jobs() {
  const std::string all = read_file(kRepo / "examples" / "INPUT");
  const std::vector<Job> jobs = jobs_of(kRepo / "examples" / "INPUT");
  std::vector<std::pair<Job, std::string>> v;
  std::size_t b = 0;
  for (const Job& j : jobs) {
    std::size_t e = b;
    for (int k = 0; k < 11 + static_cast<int>(j.cd.size() + 9) / 10 + 3; ++k) e = all.find('\n', e) + 1;
    v.emplace_back(j, all.substr(b, e - b));
    b = e;
  }
  return v;
}

// The measured signal of a demo spectrum: 0.1 nm steps from 265 to 172 nm,
// linear between the whole nanometres, noise beyond the HT limit below
// 177.7 nm and a flat tail above 260 nm.
std::vector<Row> demo_rows(const Job& d, const std::function<double(double)>& signal_of_de) {
  return rows(265.0, 172.0, 0.1,
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

TEST(CdrefConvertEndToEnd, ConvertedSpectrumIsTheJobAndBothProgramsAnalyseIt) {
  ScratchDir dir("convert-e2e");
  const auto [d, text] = demo_jobs().front();
  ASSERT_EQ(d.cd.size(), 83u);
  // mdeg with a mass concentration, a tab-separated export with an HT column.
  write_file(dir / "alpha.txt", jasco(demo_rows(d, mdeg_of)));
  RunResult o = convert(dir, "alpha.txt" + kMdegParams + " --append INPUT --title " + sh_quote(d.title));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("HT 900 V at 177.7 nm"), std::string::npos) << o.out;
  EXPECT_EQ(read_file(dir / "INPUT"), text);
  // delta A with a molar concentration, ascending, decimal commas, blanks.
  auto up = demo_rows(d, [](double de) { return de * 2e-5 * 129 * 0.1; });  // delta A = delta epsilon c_res l
  std::reverse(up.begin(), up.end());
  write_file(dir / "up.txt", delimited(up, {"   ", true, true, 9}, "lambda   dA   HT", "Measured 2024-05-03\n"));
  o = convert(dir, "up.txt --conc 20 --conc-unit uM --path 1 --path-unit mm --residues 129 --units delta-a --append INPUT2 --title " +
                       sh_quote(d.title));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(read_file(dir / "INPUT2"), text);

  // The builder reads the two-column file into the same job.
  ASSERT_EQ(convert(dir, "alpha.txt" + kMdegParams + " --out s101.de").status, 0);
  fs::create_directory(dir / "inbuild");
  fs::copy_file(dir / "s101.de", dir / "inbuild" / "s101.de");
  write_file(dir / "answers", "0\n" + d.title + "\n1\n260\n178\n0\ns101.de\n0\n");
  const RunResult b = run("(cd " + sh_quote((dir / "inbuild").string()) + " && " + sh_quote(INBUILD_BINARY) + " < " +
                              sh_quote((dir / "answers").string()) + ")", dir);
  EXPECT_EQ(b.status, 0) << b.out << b.err;
  EXPECT_EQ(read_file(dir / "inbuild" / "INPUT"), text);

  // Both programs analyse it; the helix of each result lies near the
  // fractions the synthetic sample was made from.
  for (const char* prog : {CDSEC_MORVAN3, CDSEC_KESTRA}) {
    const RunResult r = run("cd " + sh_quote(dir.str()) + " && CDSEC_REFDIR=" + sh_quote((kRepo / "data").string()) +
                                " KESTRA_SEED=1 " + sh_quote(prog) + " < /dev/null", dir);
    EXPECT_EQ(r.status, 0) << prog << "\n" << r.err;
  }
  const std::string summary = read_file(dir / "ProtSS.out"), truth = read_file(kRepo / "examples" / "SAMPLES.txt");
  ASSERT_NE(truth.find(" S101 "), std::string::npos);
  std::istringstream t(truth.substr(truth.find(" S101 ")));
  std::string name, set, fold;
  float h1, h2;
  t >> name >> set >> fold >> h1 >> h2;
  int records = 0;
  for (std::size_t p = summary.find(" Fractions:"); p != std::string::npos; p = summary.find(" Fractions:", p + 1), ++records) {
    std::istringstream f(summary.substr(p + 11));
    float a, b2;
    f >> a >> b2;
    EXPECT_NEAR(a + b2, h1 + h2, 0.1f) << summary;
  }
  EXPECT_EQ(records, 2);
}

// A melt made of two demo spectra (all-alpha to all-beta) in the
// instrument's layout: converted to five jobs, analysed by both programs, and
// read back by cdref summary --series as one series whose helix falls, its
// changes those of the consensus worked out here from each method's values.
TEST(CdrefConvertEndToEnd, SeriesThroughBothProgramsAndTheSeriesSummary) {
  ScratchDir dir("convert-melt");
  const auto demo = demo_jobs();
  const std::vector<double> temps = {20, 30, 40, 50, 60};
  const auto signal = [&](double w, double t) {
    const std::size_t i = static_cast<std::size_t>(std::lround(260.0 - w));
    return mdeg_of((60.0 - t) / 40.0 * demo[0].first.cd[i] + (t - 20.0) / 40.0 * demo[1].first.cd[i]);
  };
  write_file(dir / "melt.txt", channel_export(temps, 260.0, 178.0, 1.0, {}, signal, [](double, double) { return 300.0; }));
  ASSERT_EQ(convert(dir, "melt.txt" + kMdegParams + " --series-unit C --append INPUT --title mix").status, 0);
  // A spectrum on its own beside the series.
  write_file(dir / "one.txt", jasco(rows(260.0, 178.0, 1.0, [&](double w) { return signal(w, 20.0); })));
  ASSERT_EQ(convert(dir, "one.txt" + kMdegParams + " --append INPUT --title lone").status, 0);
  fs::create_directory(dir / "details");
  for (const char* prog : {CDSEC_MORVAN3, CDSEC_KESTRA}) {
    const RunResult r = run("cd " + sh_quote(dir.str()) + " && CDSEC_REFDIR=" + sh_quote((kRepo / "data").string()) +
                                " KESTRA_SEED=1 CDSEC_DETAILS=details " + sh_quote(prog) + " < /dev/null", dir);
    EXPECT_EQ(r.status, 0) << prog << "\n" << r.err;
  }
  for (const std::string details : {"", " --details details"}) {
    SCOPED_TRACE(details.empty() ? "ProtSS.out alone" : "with run records");
    const RunResult r = run("cd " + sh_quote(dir.str()) + " && " + sh_quote(kCdref) + " summary --series" + details +
                                " --json s.json --csv s.csv --svg s.svg", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // Every output as reviewed; the consensus and its changes are worked
    // out again below from each method's values.
    const fs::path expected = kRepo / "tests" / "cdref" / "expected" / "series";
    const std::string stem = details.empty() ? "plain" : "details";
    EXPECT_EQ(reviewed(expected / (stem + ".txt"), r.out), r.out);
    for (const char* ext : {"json", "csv", "svg"}) {
      const std::string got = read_file(dir / (std::string("s.") + ext));
      EXPECT_EQ(reviewed(expected / (stem + "." + ext), got), got) << ext;
    }
    const json j = json::parse(read_file(dir / "s.json"));
    EXPECT_EQ(j["notes"].empty(), !details.empty());
    ASSERT_EQ(j["series"].size(), 1u);
    const json& s = j["series"][0];
    EXPECT_TRUE(s["name"] == "mix" && s["unit"] == "C" && s["titles"][4] == "mix 60.0 C") << s.dump();
    EXPECT_EQ(s["values"].get<std::vector<double>>(), temps);
    EXPECT_EQ(s["methods"].get<std::vector<std::string>>(), (std::vector<std::string>{"MORVAN3/1", "KESTRA/1"}));
    for (const auto& [group, g] : s["groups"].items()) {
      std::vector<double> mean;
      for (std::size_t i = 0; i < temps.size(); ++i) {
        const double a = g["methods"]["MORVAN3/1"][i].get<double>(), b = g["methods"]["KESTRA/1"][i].get<double>();
        EXPECT_NEAR(g["consensus"]["mean"][i].get<double>(), (a + b) / 2, 1e-6) << group;
        mean.push_back((a + b) / 2);
      }
      double step = 0;
      for (std::size_t p = 1; p < mean.size(); ++p)
        if (std::abs(mean[p] - mean[p - 1]) > std::abs(step)) step = mean[p] - mean[p - 1];
      EXPECT_NEAR(g["change"]["first_to_last"].get<double>(), mean.back() - mean.front(), 1e-6) << group;
      EXPECT_NEAR(g["change"]["largest_step"].get<double>(), step, 1e-6) << group;
    }
    EXPECT_LT(s["groups"]["Helix"]["change"]["first_to_last"].get<double>(), -0.3);  // all-alpha to all-beta
    EXPECT_GT(s["groups"]["Strand"]["change"]["first_to_last"].get<double>(), 0.2);
    EXPECT_EQ(xml_error(dir / "s.svg", dir), "");
  }
}

}  // namespace
