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

using namespace cdsec_test;

const std::string kCdref = CDREF_BINARY;
const std::string kExample = std::string(CDSEC_SOURCE_DIR) + "/examples/alphabeta.txt";
const std::string kParameters = " --conc 0.25 --conc-unit mg/mL --path 0.1 --path-unit cm --mrw 113.5";

// Reads report.html with an XML parser (so it must be well-formed XHTML) and
// prints what the test compares, one tab-separated fact per line.
constexpr const char* kReader = R"(import sys, xml.etree.ElementTree as ET
H, S = '{http://www.w3.org/1999/xhtml}', '{http://www.w3.org/2000/svg}'
for sec in ET.parse(sys.argv[1]).getroot().iter(H + 'section'):
    if sec.get('class') == 'series' and sec.find(S + 'svg') is not None:
        print('series', '', sep='\t')
    if sec.get('class') != 'sample':
        continue
    t = sec.get('data-title')
    print('sample', t, sep='\t')
    for p in sec.iter(S + 'path'):
        if p.get('class') == 'fit' and p.get('d', '').count('L') > 10:
            print('fit', t, p.get('data-method'), sep='\t')
    # Every curve of a spectrum plot lies inside one of the plot's frames.
    for svg in sec.iter(S + 'svg'):
        if svg.get('class') != 'spectrum':
            continue
        frames = [[float(r.get(k)) for k in ('x', 'y', 'width', 'height')] for r in svg.iter(S + 'rect')]
        for p in svg.iter(S + 'path'):
            pts = [tuple(map(float, xy.split(','))) for xy in p.get('d', '').replace('M', ' ').replace('L', ' ').split()]
            if not any(all(x >= f[0] - 0.5 and x <= f[0] + f[2] + 0.5 and y >= f[1] - 0.5 and y <= f[1] + f[3] + 0.5
                           for x, y in pts) for f in frames):
                print('outside', t, p.get('class'), sep='\t')
    for g in sec.iter(S + 'g'):
        if g.get('class') == 'legend':
            print('legend', t, g.get('data-method'), (list(g.iter(S + 'text'))[1].text or '').strip(), sep='\t')
    for card in sec.iter(H + 'div'):
        if card.get('class') == 's':
            print('card', t, card.text, sep='\t')
    for tr in sec.iter(H + 'tr'):
        m, c = tr.get('data-method'), tr.get('data-consensus')
        tds = list(tr.iter(H + 'td'))
        for i, td in enumerate(tds):
            g, v = td.get('data-group'), (td.text or '').strip()
            if m and td.get('data-field') == 'rmsd':
                print('rmsd', t, m, v, sep='\t')
                print('norm', t, v, (tds[i + 1].text or '').strip(), sep='\t')
            if (m or c) and g:
                print('cell' if m else 'consensus', t, m or c, g, v, sep='\t')
    for li in sec.iter(H + 'li'):
        print('note', t, ''.join(li.itertext()), sep='\t')
    for sp in sec.iter(H + 'span'):
        print('magnitude', t, ''.join(sp.itertext()), sep='\t')
)";

// The facts of a report by kind: its fields after the kind.
using Facts = std::multimap<std::string, std::vector<std::string>>;

Facts read_report(const fs::path& html, const ScratchDir& dir) {
  write_file(dir / "reader.py", kReader);
  const RunResult r = run("python3 " + sh_quote((dir / "reader.py").string()) + " " + sh_quote(html.string()), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  Facts facts;
  for (const std::string& line : lines_of(r.out)) {
    std::vector<std::string> f;
    std::size_t b = 0;
    for (std::size_t e; (e = line.find('\t', b)) != std::string::npos; b = e + 1) f.push_back(line.substr(b, e - b));
    f.push_back(line.substr(b));
    facts.emplace(f[0], std::vector<std::string>(f.begin() + 1, f.end()));
  }
  return facts;
}

bool have_python() { return std::system("python3 -c 'import xml.etree.ElementTree' > /dev/null 2>&1") == 0; }

std::string analyse(const std::string& args) {
  return "CDSEC_REFDIR=" + sh_quote(std::string(CDSEC_SOURCE_DIR) + "/data") + " " + sh_quote(kCdref) + " analyse " + args;
}

// Every number of the report's tables is the CSV's, and every method with
// a result has its calculated spectrum drawn.
void expect_report_matches_csv(const Facts& rep, const fs::path& csv_path, std::size_t samples) {
  EXPECT_EQ(rep.count("sample"), samples);
  const cdref::CsvTable csv = cdref::read_csv(csv_path.string());
  auto col = [&](const char* n) { return static_cast<std::size_t>(csv.column(n)); };
  std::map<std::vector<std::string>, std::string> cells;
  std::set<std::vector<std::string>> fits, with_result;
  for (const auto& [kind, f] : rep) {
    if (kind == "cell" || kind == "consensus" || kind == "rmsd") cells[{kind, f[0], f[1], f.size() == 4 ? f[2] : ""}] = f.back();
    if (kind == "fit") fits.insert(f);
  }
  int compared = 0;
  for (const cdref::CsvRow& row : csv.rows) {
    const auto& c = row.cells;
    if (c[col("level")] != "group") continue;
    const std::string sample = c[col("sample")], group = c[col("class")], method = c[col("source")] + "/" + c[col("ibasis")];
    ++compared;
    if (c[col("source")] == "consensus") {
      for (const char* k : {"mean", "sd", "min", "max", "flag"})
        EXPECT_EQ((cells[{"consensus", sample, k, group}]), c[col(std::string(k) == "mean" ? "fraction" : k)]) << sample << " " << k;
      continue;
    }
    EXPECT_EQ((cells[{"cell", sample, method, group}]), c[col("fraction")]) << sample << " " << method << " " << group;
    EXPECT_EQ((cells[{"rmsd", sample, method, ""}]), c[col("rmsd")]) << sample << " " << method;
    if (c[col("result")] == "ok") with_result.insert({sample, method});
  }
  EXPECT_GT(compared, 0);
  EXPECT_EQ(fits, with_result);
  // The plot's legend gives each fitted method's RMSD as the table does.
  std::size_t legends = 0;
  for (auto [b, e] = rep.equal_range("legend"); b != e; ++b, ++legends)
    EXPECT_EQ(b->second[2], (cells[{"rmsd", b->second[0], b->second[1], ""}])) << b->second[0] << " " << b->second[1];
  EXPECT_EQ(legends, fits.size());
}

bool any_of(const Facts& rep, const std::string& kind, const std::string& sample, const std::string& text) {
  for (auto [b, e] = rep.equal_range(kind); b != e; ++b)
    if ((sample.empty() || b->second[0] == sample) && b->second.back().find(text) != std::string::npos) return true;
  return false;
}

TEST(CdrefAnalyse, TheExampleExportGivesAReportWhoseNumbersAreTheCsvs) {
  if (!have_python()) GTEST_SKIP() << "python3 is needed to read the report as XML";
  ScratchDir dir("cdref-analyse");
  const fs::path out = dir / "ab";
  // Run where the user keeps a job file and results of their own: the jobs
  // are written and run in a folder of cdref's, and these stay as they were.
  write_file(dir / "INPUT", "the user's jobs\n");
  write_file(dir / "ProtSS.out", "the user's results\n");
  const RunResult r =
      run("cd " + sh_quote(dir.str()) + " && " + analyse(sh_quote(kExample) + kParameters + " --out ab"), dir);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"INPUT", "ProtSS.out", "ab"}));
  EXPECT_EQ(read_file(dir / "INPUT") + read_file(dir / "ProtSS.out"), "the user's jobs\nthe user's results\n");
  // The HT cut at the short end leaves 260-182 nm: the native sets whose
  // range that covers, and the report says why.
  EXPECT_NE(r.out.find("Sets 3, 4, 5 and 8: the sets for native proteins"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Report: " + (out / "report.html").string()), std::string::npos);
  const Facts rep = read_report(out / "report.html", dir);
  expect_report_matches_csv(rep, out / "summary.csv", 1);
  EXPECT_EQ(rep.count("fit"), 8u);  // two programs, four sets
  EXPECT_EQ(rep.count("outside"), 0u);
  // "sd 0.0123, 8 methods": the count in words that agree with it.
  ASSERT_GT(rep.count("card"), 0u);
  for (auto [b, e] = rep.equal_range("card"); b != e; ++b) {
    const std::string& text = b->second.back();
    const int n = std::atoi(text.substr(text.rfind(", ") + 2).c_str());
    EXPECT_TRUE(text.ends_with(n == 1 ? " 1 method" : " methods")) << text;
  }
  // One spectrum: each method's normalised RMSD is its RMSD over the same
  // RMS, so the two columns are proportional (to the rounding of 3 decimals).
  double rmsd_sum = 0, norm_sum = 0;
  for (auto [b, e] = rep.equal_range("norm"); b != e; ++b)
    rmsd_sum += std::stod(b->second[1]), norm_sum += std::stod(b->second[2]);
  ASSERT_EQ(rep.count("norm"), 8u);
  for (auto [b, e] = rep.equal_range("norm"); b != e; ++b)
    EXPECT_NEAR(std::stod(b->second[2]), std::stod(b->second[1]) * norm_sum / rmsd_sum, 0.002) << b->second[1];
  // Nothing went wrong: standard error holds the progress lines alone.
  for (const std::string& l : lines_of(r.err)) EXPECT_TRUE(l.starts_with("[")) << r.err;
  EXPECT_TRUE(any_of(rep, "note", "", "HT cut"));
  EXPECT_EQ(rep.count("magnitude"), 1u);
  EXPECT_TRUE(any_of(rep, "magnitude", "", "plausible"));
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
// resembles, at 90 C: status 3, and the spectrum without a result named.
// Before it, a refused conversion.
TEST(CdrefAnalyse, ASeriesWithOneSpectrumWithoutAnyResultGivesStatus3AndNamesIt) {
  ScratchDir dir("cdref-analyse-series");
  // A refused conversion (millidegrees without the concentration) leaves no directory.
  const RunResult refused = run(analyse(sh_quote(kExample) + " --out " + sh_quote((dir / "nothing").string())), dir);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("was refused"), std::string::npos) << refused.err;
  for (const std::string& n : names_in(dir.path())) EXPECT_EQ(n.find("nothing"), std::string::npos) << n;
  // A file name longer than a title holds, its 40th byte inside a letter:
  // the title keeps the whole letters before it.
  const std::string x39(39, 'x');
  fs::copy_file(kExample, dir / (x39 + "\u03b1.txt"));
  const RunResult named = run(analyse(sh_quote((dir / (x39 + "\u03b1.txt")).string()) + kParameters +
                                      " --sets 3 --no-scale --out " + sh_quote((dir / "named").string())),
                              dir);
  ASSERT_EQ(named.status, 0) << named.out << named.err;
  EXPECT_NE(read_file(dir / "named" / "summary.csv").find("\n" + x39 + ",MORVAN3,"), std::string::npos)
      << read_file(dir / "named" / "summary.csv");
  if (!have_python()) GTEST_SKIP() << "python3 is needed to read the report as XML";
  const std::string ex = read_file(kExample);
  const std::size_t data = ex.find("XYDATA\n") + 7;
  std::string cd = "Channel 1\n\t20.0\t90.0\n", ht = "Channel 2\n\t20.0\t90.0\n";
  for (const std::string& row : lines_of(ex.substr(data))) {
    const std::size_t t1 = row.find('\t'), t2 = row.find('\t', t1 + 1);
    if (t2 == std::string::npos) continue;
    cd += row.substr(0, t2) + "\t0.0000\n";
    ht += row.substr(0, t1) + "\t" + row.substr(t2 + 1) + "\t" + row.substr(t2 + 1) + "\n";
  }
  write_file(dir / "melt.txt", ex.substr(0, data) + cd + ht);
  const fs::path out = dir / "melt";
  const RunResult r = run(analyse(sh_quote((dir / "melt.txt").string()) + kParameters +
                                  " --title sample --series-unit C --sets 3,4 --no-scale --out " + sh_quote(out.string())),
                          dir);
  ASSERT_EQ(r.status, 3) << r.out << r.err;
  EXPECT_NE(r.err.find("\"sample 90.0 C\" has no result from any method"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("KESTRA set 4, \"sample 90.0 C\": "), std::string::npos) << r.err;
  const Facts rep = read_report(out / "report.html", dir);
  expect_report_matches_csv(rep, out / "summary.csv", 2);
  EXPECT_EQ(rep.count("series"), 1u);
  EXPECT_TRUE(any_of(rep, "note", "sample 90.0 C", "gave no result"));
}

}  // namespace
