// cdref summary through its command line: ProtSS.out records of both programs
// and several runs, with and without run records, compared whole with the
// reviewed outputs in expected/summary (text, messages, CSV, JSON, SVG), the
// consensus and the methods' own spread against values worked here, the
// titles of series, and the refusals.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "frame/summary.hpp"
#include "tests/tool_run.hpp"
#include "cdref/summary.hpp"

namespace {

using namespace cdsec_test;
using json = nlohmann::json;

const std::string kCdref = CDREF_BINARY;
const fs::path kExpected = fs::path(CDSEC_SOURCE_DIR) / "tests" / "cdref" / "expected" / "summary";
constexpr std::array<std::string_view, 6> kSplit{"H(r)", "H(d)", "S(r)", "S(d)", "Trn ", "Unrd"};
constexpr std::array<std::string_view, 6> kSet2{"AHel", "3/10", "BSht", "Turn", "PP2 ", "Unrd"};
constexpr std::array<std::string_view, 5> kSet5{"AHel", "BSht", "Turn", "PP2 ", "Unrd"};
constexpr auto kM = cdsec::SummaryProgram::kSelfConsistent;
constexpr auto kK = cdsec::SummaryProgram::kVariableSelection;

void add(const fs::path& file, cdsec::SummaryProgram p, const std::string& title, int ibasis,
         std::span<const std::string_view> labels, std::vector<float> f, float rmsd) {
  cdsec::append_summary_record(file.string(), {p, title, ibasis, labels, f, rmsd});
}

// Sample A: two runs of both programs, a damaged record between them (text in
// its Fractions line), the later MORVAN3 record of set 1 replacing the first,
// and KESTRA on set 2 (helix AHel + 3/10, PPII its own).  Sample B in sets 4
// and 5 (five classes).  A title to escape whose methods disagree; results
// that are none (an empty helix window, not a number); titles longer than
// KESTRA keeps, one of them beginning two MORVAN3 titles.
void write_records(const fs::path& p) {
  add(p, kM, "Lysozyme A", 1, kSplit, {0.20f, 0.10f, 0.15f, 0.05f, 0.20f, 0.30f}, 0.150f);
  add(p, kK, "Lysozyme A", 1, kSplit, {0.25f, 0.10f, 0.10f, 0.05f, 0.20f, 0.30f}, 0.120f);
  add(p, kM, "Other B", 4, kSplit, {0.05f, 0.05f, 0.30f, 0.10f, 0.20f, 0.30f}, 0.090f);
  write_file(p, read_file(p) + std::string(80, '_') + "\n\n SAMPLE:  Lysozyme A\n PROGRAM:     MORVAN3\n"
                                  " Protein Set: 29 Reference Set\n Structure:    H(r)    H(d)\n"
                                  " Fractions:   0.5x0   0.200\n RMSD(Exp-Calc):     0.100\n");
  add(p, kM, "Lysozyme A", 1, kSplit, {0.30f, 0.10f, 0.10f, 0.05f, 0.15f, 0.30f}, 0.100f);
  add(p, kK, "Lysozyme A", 2, kSet2, {0.40f, 0.05f, 0.25f, 0.10f, 0.05f, 0.15f}, 0.200f);
  add(p, kK, "Other B", 5, kSet5, {0.12f, 0.40f, 0.20f, 0.08f, 0.20f}, 0.110f);
  const std::string odd = "Odd <title> & \"quotes\" \x01 \xff \x1b[2J \xc2\x9b";
  add(p, kK, odd, 1, kSplit, {0.1f, 0.1f, 0.3f, 0.1f, 0.2f, 0.2f}, 0.1f);
  add(p, kM, odd, 1, kSplit, {0.4f, 0.1f, 0.1f, 0.1f, 0.1f, 0.2f}, 0.1f);
  add(p, kM, "None", 1, kSplit, {0.30f, 0.10f, 0.10f, 0.10f, 0.20f, 0.20f}, 0.1f);
  add(p, kK, "None", 1, kSplit, {0, 0, 0, 0, 0, 0}, 0.9f);
  add(p, kK, "None", 3, kSplit, {NAN, 0.1f, 0.1f, 0.1f, 0.2f, 0.2f}, 0.2f);
  const std::string stem(48, 's');
  const std::vector<float> f = {0.2f, 0.1f, 0.1f, 0.1f, 0.2f, 0.3f};
  for (const std::string& t : {stem + "ab one", stem + "ab two", "cd " + stem + " x"}) add(p, kM, t, 1, kSplit, f, 0.1f);
  for (const std::string& t : {stem + "ab two", "cd " + stem + " x"}) add(p, kK, t, 1, kSplit, f, 0.1f);
}

// A run record in the agreed layout for a job with these solutions.
json run_record(const std::string& program, int job, const std::string& title, const std::vector<std::vector<double>>& sols,
                double rmsd) {
  const std::size_t ns = sols.front().size(), n = sols.size();
  std::vector<double> mean(ns, 0), sd(ns, 0), mn(ns, 1e9), mx(ns, -1e9);
  for (const auto& s : sols)
    for (std::size_t c = 0; c < ns; ++c)
      mean[c] += s[c] / static_cast<double>(n), mn[c] = std::min(mn[c], s[c]), mx[c] = std::max(mx[c], s[c]);
  for (const auto& s : sols)
    for (std::size_t c = 0; c < ns; ++c) sd[c] += (s[c] - mean[c]) * (s[c] - mean[c]) / static_cast<double>(n - 1);
  for (double& v : sd) v = std::sqrt(v);
  json j = {{"format", "cdsec-run-record"}, {"format_version", 1}, {"package_version", "0.1.0"}, {"program", program},
            {"job", job}, {"title", title}, {"ibasis", 4}, {"input", {{"path", "INPUT"}, {"sha256", std::string(64, '0')}}},
            {"references", json::array()}, {"range_nm", {{"longer", 240.0}, {"shorter", 190.0}, {"points", 51}}},
            {"factor", 1.0}, {"labels", {"H(r)", "H(d)", "S(r)", "S(d)", "Trn", "Unrd"}}, {"status", "completed"},
            {"failure", nullptr}, {"all_basis", {{"fractions", sols.front()}, {"sum", 1.0}}}, {"fractions", mean},
            {"rmsd", rmsd}, {"solutions", json::array()},
            {"statistics", {{"count", n}, {"mean", mean}, {"sd", sd}, {"min", mn}, {"max", mx}}},
            {"spectra", {{"wavelength_nm", {240.0, 239.0}}, {"experimental", {1.0, 2.0}}, {"calculated", {1.0, 2.0}}}}};
  for (std::size_t i = 0; i < n; ++i) j["solutions"].push_back({{"nbas", 10 + i}, {"ns", 5}, {"fractions", sols[i]}});
  return j;
}

// Sample one: MORVAN3's record with three solutions (helix 0.40, 0.50,
// 0.45, whose mean ProtSS.out shows), KESTRA's with statistics that are not
// its solutions'; sample two: a record whose fractions are not those of its
// entry; a file that is not JSON.  Then KESTRA's record as failed.
const std::vector<std::vector<double>> kSols = {{0.30, 0.10, 0.10, 0.10, 0.20, 0.20},
                                                {0.35, 0.15, 0.05, 0.05, 0.20, 0.20},
                                                {0.25, 0.20, 0.15, 0.05, 0.15, 0.20}};
void write_details(const fs::path& p, const fs::path& d, bool kestra_failed) {
  fs::create_directories(d);
  add(p, kM, "Sample one", 4, kSplit, {0.300f, 0.150f, 0.100f, 0.067f, 0.183f, 0.200f}, 0.111f);
  add(p, kK, "Sample one", 4, kSplit, {0.300f, 0.150f, 0.100f, 0.067f, 0.183f, 0.200f}, 0.222f);
  add(p, kM, "Sample two", 4, kSplit, {0.5f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, 0.3f);
  write_file(d / "MORVAN3-0001-Sample_one.json", run_record("MORVAN3", 1, "Sample one", kSols, 0.1112).dump());
  json k = run_record("KESTRA", 1, "Sample one", kSols, 0.2221);
  k["statistics"]["max"][0] = 0.9;
  if (kestra_failed) {
    k = run_record("KESTRA", 1, "Sample one", kSols, 0.2221);
    k["status"] = "failed";
    k["failure"] = "fewer than five valid solutions";
    k["all_basis"]["fractions"] = {0.300, 0.150, 0.100, 0.067, 0.183, 0.200};
  }
  write_file(d / "KESTRA-0001-Sample_one.json", k.dump());
  write_file(d / "MORVAN3-0002-Sample_two.json", run_record("MORVAN3", 2, "Sample two", kSols, 0.3).dump());
  write_file(d / "MORVAN3-0003-broken.json", "{\"format\": \"cdsec-run-record\", ");
}

RunResult summary(const ScratchDir& dir, const std::string& args) {
  return run("cd " + sh_quote(dir.str()) + " && " + sh_quote(kCdref) + " summary " + args, dir);
}

void expect_outputs_as_reviewed(const ScratchDir& dir, const RunResult& r, const std::string& name) {
  EXPECT_EQ(reviewed(kExpected / (name + ".txt"), r.out), r.out);
  EXPECT_EQ(reviewed(kExpected / (name + ".stderr"), r.err), r.err);
  for (const char* ext : {"csv", "json", "svg"}) {
    const std::string got = read_file(dir / (std::string("t.") + ext));
    EXPECT_EQ(reviewed(kExpected / (name + "." + ext), got), got) << ext;
  }
  EXPECT_EQ(xml_error(dir / "t.svg", dir), "");
}

const json& group(const json& j, const std::string& sample, const std::string& g) {
  for (const json& s : j["samples"])
    if (s["title"].get<std::string>().rfind(sample, 0) == 0) return s["consensus"][g];
  throw std::runtime_error("no sample " + sample);
}

TEST(Summary, RecordsOfManyRunsAsReviewed) {
  ScratchDir dir("summary");
  write_records(dir / "ProtSS.out");
  const RunResult r = summary(dir, "ProtSS.out --csv t.csv --json t.json --svg t.svg");
  EXPECT_EQ(r.status, 0) << r.err;
  expect_outputs_as_reviewed(dir, r, "records");
  // Worked here: helix of A is MORVAN3/1 0.40, KESTRA/1 0.35, KESTRA/2 0.45
  // (0.100 apart is not more than 0.10); unordered 0.30, 0.30, 0.20; B's
  // helix 0.10 and 0.12 (AHel of set 5); the odd title's 0.50 and 0.20.
  const json j = json::parse(read_file(dir / "t.json"));
  const json& h = group(j, "Lysozyme A", "Helix");
  EXPECT_EQ(h["n"], 3);
  EXPECT_NEAR(h["mean"].get<double>(), 0.40, 1e-6);
  EXPECT_NEAR(h["sd"].get<double>(), 0.05, 1e-6);
  EXPECT_EQ(h["disagree"], false);
  EXPECT_NEAR(group(j, "Lysozyme A", "Unordered")["sd"].get<double>(), std::sqrt(1.0 / 300), 1e-6);
  EXPECT_NEAR(group(j, "Other B", "Helix")["mean"].get<double>(), 0.11, 1e-6);
  EXPECT_EQ(group(j, "Odd <title>", "Helix")["disagree"], true);
  EXPECT_EQ(group(j, "None", "Helix")["n"], 1);  // the empty window and the NaN are no results
  EXPECT_TRUE(cdref::consensus_of({0.300, 0.401}).disagree);
  EXPECT_FALSE(cdref::consensus_of({0.300, 0.400}).disagree);
}

TEST(Summary, RunRecordsGiveEachMethodItsOwnSpread) {
  ScratchDir dir("summary-details");
  for (const bool failed : {false, true}) {
    write_file(dir / "ProtSS.out", "");
    write_details(dir / "ProtSS.out", dir / "details", failed);
    const RunResult r = summary(dir, "ProtSS.out --details details --csv t.csv --json t.json --svg t.svg");
    EXPECT_EQ(r.status, 0) << r.err;
    expect_outputs_as_reviewed(dir, r, failed ? "failed-record" : "run-records");
  }
  // MORVAN3's helix over its solutions 0.40, 0.50, 0.45; strand 0.20, 0.10, 0.20.
  const json j = json::parse(read_file(dir / "t.json"));
  const json& m = j["samples"][0]["methods"][0]["details"];
  EXPECT_EQ(m["solutions"], 3);
  EXPECT_NEAR(m["groups"]["Helix"]["sd"].get<double>(), 0.05, 1e-6);
  EXPECT_NEAR(m["groups"]["Helix"]["min"].get<double>(), 0.40, 1e-6);
  EXPECT_NEAR(m["groups"]["Helix"]["max"].get<double>(), 0.50, 1e-6);
  EXPECT_NEAR(m["groups"]["Strand"]["sd"].get<double>(), std::sqrt(1.0 / 300), 1e-6);
  EXPECT_EQ(group(j, "Sample one", "Helix")["n"], 1);  // the failed KESTRA record is no result
}

TEST(Summary, MissingFilesAndBadArgumentsAreRefused) {
  ScratchDir dir("summary-args");
  write_file(dir / "empty", "");
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"", 1, "ProtSS.out"},  {"--csv", 2, "--csv needs a value"}, {"a b", 2, "b"},
      {"empty --details nope", 1, "nope"}};
  for (const auto& [args, status, message] : cases) {
    const RunResult r = summary(dir, args);
    EXPECT_EQ(r.status, status) << args;
    EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
  }
}

// Titles of a series: the name, the trailing number and its unit.
TEST(Summary, SeriesTitlesSplitIntoNameNumberAndUnit) {
  const std::vector<std::tuple<std::string, bool, std::string, double, std::string>> cases = {
      {"lysozyme 25.1 C", true, "lysozyme", 25.1, "C"}, {"lysozyme 25,5 C", true, "lysozyme", 25.5, "C"},
      {"lyso pH 7.0", true, "lyso pH", 7.0, ""},       {"GdmCl 2.5M", true, "GdmCl", 2.5, "M"},
      {"sample T90", true, "sample T", 90.0, ""},      {"ab-3 mM", true, "ab-", 3.0, "mM"},
      {"melt -5 C", true, "melt", -5.0, "C"},          {"lysozyme", false, "", 0, ""},
      {"lysozyme 25 unfolded", false, "", 0, ""},       {"12", true, "", 12.0, ""},
  };
  for (const auto& [title, series, name, value, unit] : cases) {
    std::string n, u;
    double v = 0;
    EXPECT_EQ(cdref::split_series_title(title, n, v, u), series) << title;
    if (series) {
      EXPECT_EQ(std::make_tuple(n, v, u), std::make_tuple(name, value, unit)) << title;
    }
  }
}

}  // namespace
