// cdref summary: ProtSS.out records of both programs and many runs grouped
// by sample, damaged records reported and passed over, the class groups of
// the different sets, consensus, spread and disagreement, the methods' own
// spread from run records, and the CSV, JSON and SVG outputs.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "frame/summary.hpp"
#include "tests/tool_run.hpp"
#include "cdref/summary.hpp"

namespace {

using cdsec_test::read_file;
using cdsec_test::run;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;
using cdsec_test::write_file;
using json = nlohmann::json;
namespace fs = std::filesystem;

const std::string kCdref = CDREF_BINARY;
constexpr std::array<std::string_view, 6> kSplit{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
constexpr std::array<std::string_view, 6> kSet2{"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"};
constexpr std::array<std::string_view, 5> kSet5{"AHel", "BSht", "Turn", "PP2 ", "Unrd"};

void add(const fs::path& file, cdsec::SummaryProgram p, const std::string& title, int ibasis,
         std::span<const std::string_view> labels, std::vector<float> f, float rmsd) {
  cdsec::append_summary_record(file.string(), {p, title, ibasis, labels, f, rmsd});
}
constexpr auto kM = cdsec::SummaryProgram::kSelfConsistent;
constexpr auto kK = cdsec::SummaryProgram::kVariableSelection;

int lines_of(const fs::path& f) {
  const std::string t = read_file(f);
  return static_cast<int>(std::count(t.begin(), t.end(), '\n'));
}

// Two runs of both programs on sample A, sample B and a damaged record in
// between, and sets of the other class schemes.
struct Fixture {
  ScratchDir dir{"summary"};
  fs::path protss = dir / "ProtSS.out";
  int damaged_line = 0, last_m_line = 0;
  Fixture() {
    add(protss, kM, "Lysozyme A", 1, kSplit, {0.20f, 0.10f, 0.15f, 0.05f, 0.20f, 0.30f}, 0.150f);  // replaced below
    add(protss, kK, "Lysozyme A", 1, kSplit, {0.25f, 0.10f, 0.10f, 0.05f, 0.20f, 0.30f}, 0.120f);
    add(protss, kM, "Other B", 4, kSplit, {0.05f, 0.05f, 0.30f, 0.10f, 0.20f, 0.30f}, 0.090f);
    // A record cut short: its Fractions line holds text, not numbers.
    damaged_line = lines_of(protss) + 1;
    write_file(protss, read_file(protss) + std::string(80, '_') + "\n\n SAMPLE:  Lysozyme A\n PROGRAM:     MORVAN3\n"
                                              " Protein Set: 29 Reference Set\n Structure:    H(r)    H(d)\n"
                                              " Fractions:   0.5x0   0.200\n RMSD(Exp-Calc):     0.100\n");
    last_m_line = lines_of(protss) + 1;
    add(protss, kM, "Lysozyme A", 1, kSplit, {0.30f, 0.10f, 0.10f, 0.05f, 0.15f, 0.30f}, 0.100f);
    add(protss, kK, "Lysozyme A", 2, kSet2, {0.40f, 0.05f, 0.25f, 0.10f, 0.05f, 0.15f}, 0.200f);
    add(protss, kK, "Other B", 5, kSet5, {0.12f, 0.40f, 0.20f, 0.08f, 0.20f}, 0.110f);
  }
};

const cdref::Method* method(const cdref::SampleSummary& s, const std::string& name) {
  for (const cdref::Method& m : s.methods)
    if (m.name() == name) return &m;
  return nullptr;
}

TEST(SummaryTable, RecordsOfSeveralRunsGroupBySampleAndTheDamagedOneIsReportedAndSkipped) {
  Fixture f;
  const cdref::SummaryTable t = cdref::build_summary(f.protss.string(), "");
  ASSERT_EQ(t.problems.size(), 1u);
  EXPECT_NE(t.problems[0].find("line " + std::to_string(f.damaged_line)), std::string::npos) << t.problems[0];
  EXPECT_NE(t.problems[0].find("0.5x0"), std::string::npos) << t.problems[0];
  EXPECT_EQ(t.records, 6);
  ASSERT_EQ(t.samples.size(), 2u);
  const cdref::SampleSummary& a = t.samples[0];
  EXPECT_EQ(a.title, "Lysozyme A");
  ASSERT_EQ(a.methods.size(), 3u);
  // The later MORVAN3 record of set 1 replaces the first, in the first's place.
  EXPECT_EQ(a.methods[0].name(), "MORVAN3/1");
  EXPECT_EQ(a.methods[0].replaced, 1);
  EXPECT_EQ(a.methods[0].entry.line, f.last_m_line);
  EXPECT_FLOAT_EQ(a.methods[0].entry.fractions(1), 0.30f);
  EXPECT_EQ(a.methods[1].name(), "KESTRA/1");
  EXPECT_EQ(a.methods[2].name(), "KESTRA/2");
  const cdref::SampleSummary& b = t.samples[1];
  EXPECT_EQ(b.title, "Other B");
  ASSERT_EQ(b.methods.size(), 2u);
  EXPECT_EQ(b.methods[1].name(), "KESTRA/5");  // " 37 " with five classes is set 5

  // The command reports the damage on stderr, with the line, and goes on.
  const auto r = run(sh_quote(kCdref) + " summary " + sh_quote(f.protss.string()), f.dir);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("line " + std::to_string(f.damaged_line)), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("Sample \"Lysozyme A\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 earlier record replaced"), std::string::npos) << r.out;
}

TEST(SummaryTable, GroupsFollowEachSetsLabelsAndTheConsensusIsTheirMeanWithSpreadAndFlag) {
  Fixture f;
  const cdref::SummaryTable t = cdref::build_summary(f.protss.string(), "");
  const cdref::SampleSummary& a = t.samples[0];
  // KESTRA/2: helix AHel + 3/10, unordered Unrd + PP2, PPII its own.
  const cdref::Method& k2 = *method(a, "KESTRA/2");
  EXPECT_NEAR(*k2.group[cdref::kHelix], 0.45, 1e-6);
  EXPECT_NEAR(*k2.group[cdref::kStrand], 0.25, 1e-6);
  EXPECT_NEAR(*k2.group[cdref::kTurn], 0.10, 1e-6);
  EXPECT_NEAR(*k2.group[cdref::kUnordered], 0.20, 1e-6);
  EXPECT_NEAR(*k2.group[cdref::kPPII], 0.05, 1e-6);
  EXPECT_FALSE(method(a, "MORVAN3/1")->group[cdref::kPPII].has_value());
  // Helix: MORVAN3/1 0.40, KESTRA/1 0.35, KESTRA/2 0.45.
  const cdref::Consensus& h = a.consensus[cdref::kHelix];
  EXPECT_EQ(h.n, 3);
  EXPECT_NEAR(h.mean, 0.40, 1e-6);
  EXPECT_NEAR(h.sd, 0.05, 1e-6);
  EXPECT_NEAR(h.max - h.min, 0.10, 1e-6);
  EXPECT_FALSE(h.disagree);  // 0.100 is not more than 0.10
  // Strand: 0.15, 0.15, 0.25: range 0.10 again; turn 0.15, 0.20, 0.10.
  EXPECT_NEAR(a.consensus[cdref::kStrand].mean, 0.55 / 3, 1e-6);
  // Unordered: 0.30, 0.30, 0.20.
  EXPECT_NEAR(a.consensus[cdref::kUnordered].sd, std::sqrt((2 * (0.1 / 3) * (0.1 / 3) + (0.2 / 3) * (0.2 / 3)) / 2), 1e-6);
  EXPECT_EQ(a.consensus[cdref::kPPII].n, 1);
  // Sample B: helix 0.10 (MORVAN3/4) and 0.12 (KESTRA/5 AHel); strand 0.40 and 0.40;
  // unordered 0.30 against 0.08 + 0.20.
  const cdref::SampleSummary& b = t.samples[1];
  EXPECT_NEAR(b.consensus[cdref::kHelix].mean, 0.11, 1e-6);
  EXPECT_NEAR(b.consensus[cdref::kUnordered].max - b.consensus[cdref::kUnordered].min, 0.02, 1e-6);

  // Flags: more than 0.10 apart, nothing for one method.
  const cdref::Consensus c = cdref::consensus_of({0.30, 0.45, 0.36});
  EXPECT_NEAR(c.mean, 0.37, 1e-12);
  EXPECT_NEAR(c.sd, std::sqrt((0.0049 + 0.0064 + 0.0001) / 2), 1e-9);
  EXPECT_TRUE(c.disagree);
  EXPECT_FALSE(cdref::consensus_of({0.300, 0.400}).disagree);
  EXPECT_TRUE(cdref::consensus_of({0.300, 0.401}).disagree);
  const cdref::Consensus one = cdref::consensus_of({0.9});
  EXPECT_EQ(one.sd, 0.0);
  EXPECT_FALSE(one.disagree);
  EXPECT_EQ(cdref::groups_of_label("Trn "), 1u << cdref::kTurn);
  EXPECT_EQ(cdref::groups_of_label("XXXX"), 0u);
}

TEST(SummaryTable, RecordsWithoutAResultAreShownAndLeftOutOfTheConsensus) {
  ScratchDir dir("summary-none");
  const fs::path p = dir / "ProtSS.out";
  add(p, kM, "S", 1, kSplit, {0.30f, 0.10f, 0.10f, 0.10f, 0.20f, 0.20f}, 0.1f);
  add(p, kK, "S", 1, kSplit, {0, 0, 0, 0, 0, 0}, 0.9f);  // empty helix window
  add(p, kK, "S", 3, kSplit, {NAN, 0.1f, 0.1f, 0.1f, 0.2f, 0.2f}, 0.2f);
  const cdref::SummaryTable t = cdref::build_summary(p.string(), "");
  ASSERT_EQ(t.samples.size(), 1u);
  const auto& s = t.samples[0];
  EXPECT_TRUE(method(s, "MORVAN3/1")->no_result.empty());
  EXPECT_NE(method(s, "KESTRA/1")->no_result.find("helix window"), std::string::npos);
  EXPECT_NE(method(s, "KESTRA/3")->no_result.find("not a number"), std::string::npos);
  EXPECT_EQ(s.consensus[cdref::kHelix].n, 1);
  EXPECT_NEAR(s.consensus[cdref::kHelix].mean, 0.40, 1e-6);
}

// A run record in the agreed layout, for a job with the given solutions.
json run_record(const std::string& program, int job, const std::string& title, int ibasis,
                const std::vector<std::vector<double>>& sols, double rmsd) {
  const std::size_t ns = sols.front().size();
  json j;
  j["format"] = "cdsec-run-record";
  j["format_version"] = 1;
  j["package_version"] = "0.1.0";
  j["program"] = program;
  j["job"] = job;
  j["title"] = title;
  j["ibasis"] = ibasis;
  j["input"] = {{"path", "INPUT"}, {"sha256", std::string(64, '0')}};
  j["references"] = json::array();
  j["range_nm"] = {{"longer", 240.0}, {"shorter", 190.0}, {"points", 51}};
  j["factor"] = 1.0;
  j["labels"] = json::array();
  for (std::size_t c = 0; c < ns; ++c) j["labels"].push_back(std::string(kSplit[c]).substr(0, kSplit[c].find_last_not_of(' ') + 1));
  j["status"] = "completed";
  j["failure"] = nullptr;
  j["all_basis"] = {{"fractions", sols.front()}, {"sum", 1.0}};
  std::vector<double> mean(ns, 0), sd(ns, 0), mn(ns, 1e9), mx(ns, -1e9);
  for (const auto& s : sols)
    for (std::size_t c = 0; c < ns; ++c) {
      mean[c] += s[c] / static_cast<double>(sols.size());
      mn[c] = std::min(mn[c], s[c]);
      mx[c] = std::max(mx[c], s[c]);
    }
  for (const auto& s : sols)
    for (std::size_t c = 0; c < ns; ++c) sd[c] += (s[c] - mean[c]) * (s[c] - mean[c]) / static_cast<double>(sols.size() - 1);
  for (double& v : sd) v = std::sqrt(v);
  j["fractions"] = mean;
  j["rmsd"] = rmsd;
  j["solutions"] = json::array();
  for (std::size_t i = 0; i < sols.size(); ++i) j["solutions"].push_back({{"nbas", 10 + i}, {"ns", 5}, {"fractions", sols[i]}});
  j["statistics"] = {{"count", sols.size()}, {"mean", mean}, {"sd", sd}, {"min", mn}, {"max", mx}};
  j["spectra"] = {{"wavelength_nm", {240.0, 239.0}}, {"experimental", {1.0, 2.0}}, {"calculated", {1.0, 2.0}}};
  return j;
}

TEST(SummaryDetails, EachMethodGainsTheSpreadOfItsOwnSolutionsAndBadRecordsAreNamed) {
  ScratchDir dir("summary-details");
  const fs::path p = dir / "ProtSS.out", d = dir / "details";
  fs::create_directories(d);
  // Three solutions: helix (H(r) + H(d)) 0.40, 0.50, 0.45; their mean is what ProtSS.out shows.
  const std::vector<std::vector<double>> sols = {{0.30, 0.10, 0.10, 0.10, 0.20, 0.20},
                                                 {0.35, 0.15, 0.05, 0.05, 0.20, 0.20},
                                                 {0.25, 0.20, 0.15, 0.05, 0.15, 0.20}};
  add(p, kM, "Sample one", 4, kSplit, {0.300f, 0.150f, 0.100f, 0.067f, 0.183f, 0.200f}, 0.111f);
  add(p, kK, "Sample one", 4, kSplit, {0.300f, 0.150f, 0.100f, 0.067f, 0.183f, 0.200f}, 0.222f);
  add(p, kM, "Sample two", 4, kSplit, {0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, 0.3f);
  write_file(d / "MORVAN3-0001-Sample_one.json", run_record("MORVAN3", 1, "Sample one", 4, sols, 0.1112).dump());
  // KESTRA's record: statistics that are not those of its solutions.
  json bad = run_record("KESTRA", 1, "Sample one", 4, sols, 0.2221);
  bad["statistics"]["max"][0] = 0.9;
  write_file(d / "KESTRA-0001-Sample_one.json", bad.dump());
  // A record for sample two whose fractions are not those of its ProtSS.out entry.
  write_file(d / "MORVAN3-0002-Sample_two.json", run_record("MORVAN3", 2, "Sample two", 4, sols, 0.3).dump());
  write_file(d / "MORVAN3-0003-broken.json", "{\"format\": \"cdsec-run-record\", ");

  const cdref::SummaryTable t = cdref::build_summary(p.string(), d.string());
  ASSERT_EQ(t.samples.size(), 2u);
  const cdref::Method& m = t.samples[0].methods[0];
  ASSERT_TRUE(m.details.has_value());
  EXPECT_EQ(m.details->solutions, 3);
  EXPECT_NEAR(m.details->classes[0].sd, 0.05, 1e-9);
  EXPECT_NEAR(m.details->classes[0].min, 0.25, 1e-12);
  EXPECT_NEAR(m.details->classes[1].max, 0.20, 1e-12);
  const auto& helix = m.details->groups[cdref::kHelix];
  ASSERT_TRUE(helix.has_value());
  EXPECT_NEAR(helix->sd, 0.05, 1e-6);
  EXPECT_NEAR(helix->min, 0.40, 1e-6);
  EXPECT_NEAR(helix->max, 0.50, 1e-6);
  EXPECT_NEAR(m.details->groups[cdref::kStrand]->sd, std::sqrt(1.0 / 300), 1e-6);  // 0.20, 0.10, 0.20
  EXPECT_FALSE(t.samples[0].methods[1].details.has_value());
  EXPECT_FALSE(t.samples[1].methods[0].details.has_value());
  int statistics = 0, broken = 0, unmatched = 0;
  for (const std::string& s : t.problems) {
    statistics += s.find("KESTRA-0001-Sample_one.json") != std::string::npos && s.find("statistics") != std::string::npos;
    broken += s.find("MORVAN3-0003-broken.json") != std::string::npos && s.find("not JSON") != std::string::npos;
    unmatched += s.find("do not hold its fractions") != std::string::npos && s.find("Sample two") != std::string::npos;
  }
  EXPECT_EQ(statistics, 1);
  EXPECT_EQ(broken, 1);
  EXPECT_EQ(unmatched, 1);

  // A failed run record makes the entry one without a result.
  json failed = run_record("KESTRA", 1, "Sample one", 4, sols, 0.2221);
  failed["status"] = "failed";
  failed["failure"] = "fewer than five valid solutions";
  failed["all_basis"]["fractions"] = {0.300, 0.150, 0.100, 0.067, 0.183, 0.200};
  write_file(d / "KESTRA-0001-Sample_one.json", failed.dump());
  const cdref::SummaryTable t2 = cdref::build_summary(p.string(), d.string());
  EXPECT_NE(t2.samples[0].methods[1].no_result.find("fewer than five"), std::string::npos);
  EXPECT_EQ(t2.samples[0].consensus[cdref::kHelix].n, 1);
}

TEST(SummaryOutputs, CsvAndJsonHoldTheTableAndTheSvgIsWellFormedXml) {
  Fixture f;
  add(f.protss, kK, "Odd <title> & \"quotes\" \x01 \xff", 1, kSplit, {0.1f, 0.1f, 0.3f, 0.1f, 0.2f, 0.2f}, 0.1f);
  add(f.protss, kM, "Odd <title> & \"quotes\" \x01 \xff", 1, kSplit, {0.4f, 0.1f, 0.1f, 0.1f, 0.1f, 0.2f}, 0.1f);
  const fs::path csv = f.dir / "t.csv", js = f.dir / "t.json", svg = f.dir / "t.svg";
  const auto r = run(sh_quote(kCdref) + " summary " + sh_quote(f.protss.string()) + " --csv " + sh_quote(csv.string()) +
                         " --json " + sh_quote(js.string()) + " --svg " + sh_quote(svg.string()),
                     f.dir);
  ASSERT_EQ(r.status, 0) << r.err;

  const json j = json::parse(read_file(js));
  ASSERT_EQ(j["samples"].size(), 3u);
  const json& a = j["samples"][0];
  EXPECT_EQ(a["title"], "Lysozyme A");
  EXPECT_EQ(a["methods"].size(), 3u);
  EXPECT_NEAR(a["consensus"]["Helix"]["mean"].get<double>(), 0.40, 1e-6);
  EXPECT_EQ(a["consensus"]["Helix"]["disagree"], false);
  const json& odd = j["samples"][2];
  EXPECT_NEAR(odd["consensus"]["Helix"]["range"].get<double>(), 0.30, 1e-6);
  EXPECT_EQ(odd["consensus"]["Helix"]["disagree"], true);
  EXPECT_EQ(j["problems"].size(), 1u);

  const std::string c = read_file(csv);
  EXPECT_EQ(c.substr(0, c.find('\n')), "sample,source,ibasis,protss_line,rmsd,level,class,fraction,sd,min,max,n,result,flag");
  EXPECT_NE(c.find("Lysozyme A,consensus,,,,group,Helix,0.4000,0.0500,0.3500,0.4500,3,ok,\n"), std::string::npos) << c;
  EXPECT_NE(c.find(",consensus,,,,group,Helix,0.3500,0.2121,0.2000,0.5000,2,ok,differ\n"), std::string::npos) << c;
  EXPECT_NE(c.find("Lysozyme A,KESTRA,2,"), std::string::npos);
  EXPECT_NE(c.find(",group,PPII,0.050,"), std::string::npos);
  // The title with a quote is quoted and its quotes doubled.
  EXPECT_NE(c.find("\"Odd <title> & \"\"quotes\"\""), std::string::npos);

  const std::string s = read_file(svg);
  EXPECT_EQ(s.find("<script"), std::string::npos);
  EXPECT_EQ(s.find("href"), std::string::npos);
  EXPECT_NE(s.find("Odd &lt;title&gt; &amp; &quot;quotes&quot; ? ?"), std::string::npos);
  // Well-formed: tags nest, and no bare '<' or '&' stands in text.
  std::vector<std::string> open;
  bool nested = true;
  for (std::size_t i = s.find("<svg"); i < s.size() && nested;) {
    const std::size_t lt = s.find('<', i);
    if (lt == std::string::npos) break;
    const std::string text = s.substr(i, lt - i);
    for (std::size_t a = text.find('&'); a != std::string::npos; a = text.find('&', a + 1))
      nested = nested && (text.compare(a, 5, "&amp;") == 0 || text.compare(a, 4, "&lt;") == 0 ||
                          text.compare(a, 4, "&gt;") == 0 || text.compare(a, 6, "&quot;") == 0 || text.compare(a, 6, "&apos;") == 0);
    const std::size_t gt = s.find('>', lt);
    ASSERT_NE(gt, std::string::npos);
    const std::string tag = s.substr(lt + 1, gt - lt - 1);
    ASSERT_EQ(tag.find('<'), std::string::npos) << tag;
    if (tag.front() == '/') {
      nested = nested && !open.empty() && open.back() == tag.substr(1);
      if (!open.empty()) open.pop_back();
    } else if (tag.back() != '/') {
      open.push_back(tag.substr(0, tag.find(' ')));
    }
    i = gt + 1;
  }
  EXPECT_TRUE(nested);
  EXPECT_TRUE(open.empty());
  if (std::system("command -v xmllint > /dev/null 2>&1") == 0) {
    const auto x = run("xmllint --noout " + sh_quote(svg.string()), f.dir);
    EXPECT_EQ(x.status, 0) << x.err;
  }
}

TEST(SummaryCommand, MissingFileAndBadArgumentsAreRefused) {
  ScratchDir dir("summary-args");
  auto r = run("cd " + sh_quote(dir.str()) + " && " + sh_quote(kCdref) + " summary", dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ProtSS.out"), std::string::npos) << r.err;
  r = run(sh_quote(kCdref) + " summary --csv", dir);
  EXPECT_EQ(r.status, 2);
  r = run(sh_quote(kCdref) + " summary a b", dir);
  EXPECT_EQ(r.status, 2);
  write_file(dir / "ProtSS.out", "");
  r = run(sh_quote(kCdref) + " summary " + sh_quote((dir / "ProtSS.out").string()) + " --details " + sh_quote((dir / "nope").string()), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nope"), std::string::npos);
}

}  // namespace

namespace {

// Titles longer than KESTRA keeps: samples are keyed by the whole title,
// and a KESTRA title of 50 characters joins the one MORVAN3 title it
// begins, or stays alone when it begins several.
TEST(SummaryTitles, WholeTitlesAndKestrasFiftyCharacters) {
  ScratchDir dir("summary-titles");
  const fs::path p = dir / "ProtSS.out";
  const std::string stem(48, 's');
  const std::vector<float> f = {0.2f, 0.1f, 0.1f, 0.1f, 0.2f, 0.3f};
  add(p, kM, stem + "ab one", 1, kSplit, f, 0.1f);
  add(p, kM, stem + "ab two", 1, kSplit, f, 0.1f);
  add(p, kK, stem + "ab two", 1, kSplit, f, 0.1f);  // cut to stem + "ab": fits both
  add(p, kM, "cd " + stem + " x", 1, kSplit, f, 0.1f);
  add(p, kK, "cd " + stem + " x", 1, kSplit, f, 0.1f);  // cut to 50: fits one
  const cdref::SummaryTable t = cdref::build_summary(p.string(), "");
  std::vector<std::pair<std::string, std::size_t>> samples;
  for (const auto& s : t.samples) samples.emplace_back(s.title, s.methods.size());
  EXPECT_EQ(samples, (std::vector<std::pair<std::string, std::size_t>>{
                         {stem + "ab one", 1}, {stem + "ab two", 1}, {stem + "ab", 1}, {"cd " + stem + " x", 2}}));
  ASSERT_EQ(t.problems.size(), 1u);
  EXPECT_NE(t.problems[0].find("which begin 2 titles of MORVAN3 records"), std::string::npos) << t.problems[0];
  // Without run records, KESTRA's failures cannot be told from results.
  ASSERT_EQ(t.notes.size(), 1u);
  EXPECT_NE(t.notes[0].find("ProtSS.out alone cannot tell such a record from a result: 2 KESTRA records"),
            std::string::npos)
      << t.notes[0];
}

// Titles of a series: the name, the trailing number and its unit.
TEST(SummarySeries, TitlesSplitIntoNameNumberAndUnit) {
  struct Case {
    std::string title;
    bool series;
    std::string name;
    double value;
    std::string unit;
  };
  const std::vector<Case> cases = {
      {"lysozyme 25.1 C", true, "lysozyme", 25.1, "C"},  {"lysozyme 25,5 C", true, "lysozyme", 25.5, "C"},
      {"lyso pH 7.0", true, "lyso pH", 7.0, ""},        {"GdmCl 2.5M", true, "GdmCl", 2.5, "M"},
      {"sample T90", true, "sample T", 90.0, ""},       {"ab-3 mM", true, "ab-", 3.0, "mM"},
      {"melt -5 C", true, "melt", -5.0, "C"},           {"lysozyme", false, "", 0, ""},
      {"lysozyme 25 unfolded", false, "", 0, ""},        {"12", true, "", 12.0, ""},
  };
  for (const Case& c : cases) {
    std::string name, unit;
    double v = 0;
    EXPECT_EQ(cdref::split_series_title(c.title, name, v, unit), c.series) << c.title;
    if (!c.series) continue;
    EXPECT_EQ(name, c.name) << c.title;
    EXPECT_DOUBLE_EQ(v, c.value) << c.title;
    EXPECT_EQ(unit, c.unit) << c.title;
  }
}

}  // namespace
