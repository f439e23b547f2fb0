// cdref analyse end to end: the example export and a two-spectrum run with
// the real programs, the report read back as XML and held against the CSV.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/tool_run.hpp"
#include "frame/sha256.hpp"
#include "cdref/csv.hpp"

namespace {

namespace fs = std::filesystem;
using cdsec_test::read_file;
using cdsec_test::run;
using cdsec_test::RunResult;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;
using cdsec_test::write_file;

const std::string kCdref = CDREF_BINARY;
const std::string kExample = std::string(CDSEC_SOURCE_DIR) + "/examples/alphabeta.txt";
const std::string kParameters = " --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5";

// Reads report.html with an XML parser (so it must be well-formed XHTML) and
// prints what the test compares, one tab-separated fact per line.
constexpr const char* kReader = R"(import sys, xml.etree.ElementTree as ET
H = '{http://www.w3.org/1999/xhtml}'
S = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
for sec in root.iter(H + 'section'):
    if sec.get('class') == 'series' and sec.find(S + 'svg') is not None:
        print('series', '', sep='\t')
    if sec.get('class') != 'sample':
        continue
    t = sec.get('data-title')
    print('sample', t, sep='\t')
    for svg in sec.iter(S + 'svg'):
        for p in svg.iter(S + 'path'):
            if p.get('class') == 'fit' and p.get('d', '').count('L') > 10:
                print('fit', t, p.get('data-method'), sep='\t')
    for tr in sec.iter(H + 'tr'):
        m, c = tr.get('data-method'), tr.get('data-consensus')
        for td in tr.iter(H + 'td'):
            g, v = td.get('data-group'), (td.text or '').strip()
            if m and td.get('data-field') == 'rmsd':
                print('rmsd', t, m, v, sep='\t')
            if m and g:
                print('cell', t, m, g, v, sep='\t')
            if c and g:
                print('consensus', t, c, g, v, sep='\t')
    for li in sec.iter(H + 'li'):
        print('note', t, ''.join(li.itertext()), sep='\t')
    for sp in sec.iter(H + 'span'):
        print('magnitude', t, ''.join(sp.itertext()), sep='\t')
)";

struct Report {
  bool parsed = false;
  std::string error;
  std::vector<std::vector<std::string>> facts;
  std::vector<std::vector<std::string>> of(const std::string& kind) const {
    std::vector<std::vector<std::string>> r;
    for (const auto& f : facts)
      if (f[0] == kind) r.push_back(f);
    return r;
  }
};

Report read_report(const fs::path& html, const ScratchDir& dir) {
  write_file(dir / "reader.py", kReader);
  const RunResult r = run("python3 " + sh_quote((dir / "reader.py").string()) + " " + sh_quote(html.string()), dir);
  Report rep;
  rep.parsed = r.status == 0;
  rep.error = r.err;
  for (const std::string& line : cdsec_test::lines_of(r.out)) {
    std::vector<std::string> f;
    std::size_t b = 0;
    for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
    f.push_back(line.substr(b));
    rep.facts.push_back(f);
  }
  return rep;
}

bool have_python() { return std::system("python3 -c 'import xml.etree.ElementTree' > /dev/null 2>&1") == 0; }

std::string analyse(const std::string& args) {
  return "CDSEC_REFDIR=" + sh_quote(std::string(CDSEC_SOURCE_DIR) + "/data") + " " + sh_quote(kCdref) + " analyse " + args;
}

// Every number of the report's tables is the CSV's, and every method with
// a result has its calculated spectrum drawn.
void expect_report_matches_csv(const Report& rep, const fs::path& csv_path, std::size_t samples) {
  ASSERT_TRUE(rep.parsed) << rep.error;
  EXPECT_EQ(rep.of("sample").size(), samples);
  const cdref::CsvTable csv = cdref::read_csv(csv_path.string());
  auto col = [&](const char* n) { return static_cast<std::size_t>(csv.column(n)); };
  std::map<std::vector<std::string>, std::string> cells, consensus, rmsd;
  for (const auto& f : rep.of("cell")) cells[{f[1], f[2], f[3]}] = f[4];
  for (const auto& f : rep.of("consensus")) consensus[{f[1], f[2], f[3]}] = f[4];
  for (const auto& f : rep.of("rmsd")) rmsd[{f[1], f[2]}] = f[3];
  std::set<std::vector<std::string>> fits, with_result;
  for (const auto& f : rep.of("fit")) fits.insert({f[1], f[2]});
  int compared = 0;
  for (const cdref::CsvRow& row : csv.rows) {
    const auto& c = row.cells;
    if (c[col("level")] != "group") continue;
    const std::string sample = c[col("sample")], group = c[col("class")];
    if (c[col("source")] == "consensus") {
      for (const char* k : {"mean", "sd", "min", "max"})
        EXPECT_EQ((consensus[{sample, k, group}]), c[col(std::string(k) == "mean" ? "fraction" : k)]) << sample << " " << k;
      EXPECT_EQ((consensus[{sample, "flag", group}]), c[col("flag")]);
      ++compared;
      continue;
    }
    const std::string method = c[col("source")] + "/" + c[col("ibasis")];
    EXPECT_EQ((cells[{sample, method, group}]), c[col("fraction")]) << sample << " " << method << " " << group;
    EXPECT_EQ((rmsd[{sample, method}]), c[col("rmsd")]) << sample << " " << method;
    if (c[col("result")] == "ok") with_result.insert({sample, method});
    ++compared;
  }
  EXPECT_GT(compared, 0);
  EXPECT_EQ(fits, with_result);
}

TEST(CdrefAnalyse, TheExampleExportGivesAReportWhoseNumbersAreTheCsvs) {
  if (!have_python()) GTEST_SKIP() << "python3 is needed to read the report as XML";
  ScratchDir dir("cdref-analyse");
  const fs::path out = dir / "ab";
  const RunResult r = run(analyse(sh_quote(kExample) + kParameters + " --out " + sh_quote(out.string())), dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  // The HT cut at the short end leaves 260-182 nm: the native sets whose
  // range that covers, and the report says why.
  EXPECT_NE(r.out.find("Sets 3, 4, 5 and 8: the sets for native proteins"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Report: " + (out / "report.html").string()), std::string::npos);
  const Report rep = read_report(out / "report.html", dir);
  expect_report_matches_csv(rep, out / "summary.csv", 1);
  EXPECT_EQ(rep.of("fit").size(), 8u);  // two programs, four sets
  const auto notes = rep.of("note");
  bool ht = false;
  for (const auto& n : notes) ht = ht || n[2].find("HT cut") != std::string::npos;
  EXPECT_TRUE(ht);
  ASSERT_EQ(rep.of("magnitude").size(), 1u);
  EXPECT_NE(rep.of("magnitude")[0][2].find("plausible"), std::string::npos);
  // Provenance: the export's digest and the seed.
  const std::string html = read_file(out / "report.html");
  EXPECT_NE(html.find(*cdsec::sha256_file_hex(kExample)), std::string::npos);
  EXPECT_NE(html.find("KESTRA_SEED</th><td>1<"), std::string::npos);

  // An existing DIR is refused and left as it was.
  const std::string before = read_file(out / "summary.csv");
  const RunResult again = run(analyse(sh_quote(kExample) + kParameters + " --no-scale --out " + sh_quote(out.string())), dir);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("exists; add --force"), std::string::npos) << again.err;
  EXPECT_EQ(read_file(out / "summary.csv"), before);
}

// The example export as a two-spectrum series in channel blocks: the
// example at 20 C and a flat spectrum, which no reference protein
// resembles, at 90 C.
std::string two_spectrum_series() {
  const std::string ex = read_file(kExample);
  const std::size_t data = ex.find("XYDATA\n") + 7;
  std::string cd = "Channel 1\n\t20.0\t90.0\n", ht = "Channel 2\n\t20.0\t90.0\n";
  for (const std::string& row : cdsec_test::lines_of(ex.substr(data))) {
    const std::size_t t1 = row.find('\t'), t2 = row.find('\t', t1 + 1);
    if (t2 == std::string::npos) continue;
    const std::string wl = row.substr(0, t1), v = row.substr(t1 + 1, t2 - t1 - 1), h = row.substr(t2 + 1);
    cd += wl + "\t" + v + "\t0.0000\n";
    ht += wl + "\t" + h + "\t" + h + "\n";
  }
  return ex.substr(0, data) + cd + ht;
}

TEST(CdrefAnalyse, ASeriesWithOneSpectrumWithoutAnyResultGivesStatus3AndNamesIt) {
  if (!have_python()) GTEST_SKIP() << "python3 is needed to read the report as XML";
  ScratchDir dir("cdref-analyse-series");
  write_file(dir / "melt.txt", two_spectrum_series());
  const fs::path out = dir / "melt";
  const RunResult r = run(analyse(sh_quote((dir / "melt.txt").string()) + kParameters +
                                  " --title sample --series-unit C --sets 3,4 --no-scale --out " + sh_quote(out.string())),
                          dir);
  ASSERT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("\"sample 90.0 C\" has no result from any method"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("KESTRA set 4, \"sample 90.0 C\": "), std::string::npos) << r.err;
  const Report rep = read_report(out / "report.html", dir);
  expect_report_matches_csv(rep, out / "summary.csv", 2);
  EXPECT_EQ(rep.of("series").size(), 1u);
  bool named = false;
  for (const auto& n : rep.of("note"))
    named = named || (n[1] == "sample 90.0 C" && n[2].find("gave no result") != std::string::npos);
  EXPECT_TRUE(named);
}

TEST(CdrefAnalyse, ARefusedConversionLeavesNoDirectory) {
  ScratchDir dir("cdref-analyse-refused");
  const fs::path out = dir / "nothing";
  // Millidegrees without the concentration.
  const RunResult r = run(analyse(sh_quote(kExample) + " --out " + sh_quote(out.string())), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("was refused"), std::string::npos) << r.err;
  for (const std::string& n : cdsec_test::names_in(dir.path())) EXPECT_EQ(n.find("nothing"), std::string::npos) << n;
}

}  // namespace
