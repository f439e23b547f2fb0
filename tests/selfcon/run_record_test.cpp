// MORVAN3 with CDSEC_DETAILS: every golden case again with unchanged
// outputs, the run records of completed, failed and stopped jobs against the
// program's own reports, a record that cannot be written, an empty value.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/sha256.hpp"
#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace cdsec_test;
using nlohmann::json;

const fs::path kGolden = fs::path(CDSEC_SOURCE_DIR) / "tests/golden/MORVAN3";
const std::vector<std::string> kReports = {"MORVAN3.OUT", "BASIS", "CalcCD.OUT", "ProtSS.out"};

// Jobs 1 and 2 complete (factor 1 and 0), job 3 fails in the first stage
// (factor -1), job 4 is stopped by the driver (its range misses the set).
void prepare(const fs::path& dir) {
  const fs::path in = kGolden / "factor_zero_and_minus_one/in";
  fs::copy_file(in / "CDDATA.29", dir / "CDDATA.29");
  fs::copy_file(in / "SSDATA.29", dir / "SSDATA.29");
  cdsec_test::write_file(dir / "INPUT",
                         read_file(in / "INPUT") + read_file(kGolden / "range_outside_set/in/INPUT"));
}

RunResult morvan3(const fs::path& dir, const std::string& env, const ScratchDir& scratch) {
  return cdsec_test::run("cd " + sh_quote(dir.string()) + " && env -u CDSEC_REFDIR -u CDSEC_DETAILS " + env + " " +
                             sh_quote(MORVAN3_BINARY),
                         scratch);
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& head) {
  std::vector<std::string> v;
  for (const std::string& l : lines_of(text))
    if (l.rfind(head, 0) == 0) v.push_back(l);
  return v;
}

// A line as a layout writes it, without its newline.
template <class... A>
std::string line(std::string_view layout, const A&... a) {
  const std::string s = cdsec::format(layout, a...);
  return s.substr(0, s.size() - 1);
}

std::vector<float> floats(const json& j) { return j.get<std::vector<float>>(); }

// The report's line of the all-basis fractions and their sum, the line after
// the heading of each job's estimate.
std::vector<std::string> all_basis_lines(const std::string& report) {
  const std::vector<std::string> l = lines_of(report);
  std::vector<std::string> v;
  for (std::size_t i = 0; i + 4 < l.size(); ++i)
    if (l[i].rfind(" Solution Corresponding to All proteins in the Basis", 0) == 0) v.push_back(l[i + 4]);
  return v;
}

// The `count` solution lines of job k's last rule-4 pass: the lines that
// end at the blank line before its final-solution heading.
std::vector<std::string> rule4_lines(const std::string& report, int k, std::size_t count) {
  const std::vector<std::string> l = lines_of(report);
  int seen = -1;
  for (std::size_t i = 0; i < l.size(); ++i) {
    if (l[i].rfind(" Final Solution: Aver. of", 0) != 0 || ++seen != k) continue;
    if (i < count + 1) break;
    return {l.begin() + static_cast<std::ptrdiff_t>(i - 1 - count), l.begin() + static_cast<std::ptrdiff_t>(i - 1)};
  }
  return {};
}

std::string all_basis_line(const json& record) {
  const std::vector<float> f = floats(record["all_basis"]["fractions"]);
  return line("[5X, 7F7.3]", std::span<const float>(f), record["all_basis"]["sum"].get<float>());
}

// One run of the four jobs with records, shared by the tests.  That records
// leave the reports alone, every golden case run again shows.
class Morvan3Record : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    with_ = std::make_unique<ScratchDir>("rec-with");
    details_ = std::make_unique<ScratchDir>("rec-details");
    prepare(with_->path());
    r_with_ = morvan3(with_->path(), "CDSEC_DETAILS=" + sh_quote(details_->str()), *with_);
  }
  static void TearDownTestSuite() { with_.reset(), details_.reset(); }
  static json record(const std::string& name) {
    return json::parse(read_file(details_->path() / name));  // throws on invalid JSON
  }
  static std::string report(const std::string& name) { return read_file(with_->path() / name); }
  static inline std::unique_ptr<ScratchDir> with_, details_;
  static inline RunResult r_with_;
};

const std::vector<std::string> kNames = {"MORVAN3-0001-Factor_1.json", "MORVAN3-0002-Factor_0.json",
                                         "MORVAN3-0003-Factor_-1.json",
                                         "MORVAN3-0004-Measured_above_the_set_s_range.json"};

// The parts of a record the reports do not show, for every job: what was
// read and where from.  The sha256 entries stand for the digests of the
// files named.
json provenance(const json& j) {
  json p;
  for (const char* key : {"job", "title", "ibasis", "input", "references", "range_nm", "factor", "labels", "status"})
    p[key] = j[key];
  return p;
}

TEST_F(Morvan3Record, RecordsMatchTheReports) {
  const std::string input_sha = cdsec::sha256_file_hex(with_->path() / "INPUT").value();
  auto sha = [&](const char* f) { return cdsec::sha256_file_hex(with_->path() / f).value(); };
  const std::string refs = R"j("references": [
      {"name": "CDDATA.29", "path": "CDDATA.29", "origin": "working directory", "sha256": ")j" + sha("CDDATA.29") + R"j("},
      {"name": "SSDATA.29", "path": "SSDATA.29", "origin": "working directory", "sha256": ")j" + sha("SSDATA.29") + R"j("}],
      "range_nm": {"longer": 260.0, "shorter": 178.0, "points": 83}, )j";
  const std::string input = R"j("input": {"path": "INPUT", "sha256": ")j" + input_sha +
                            R"j("}, "ibasis": 1, "labels": ["H(r)", "H(d)", "S(r)", "S(d)", "Trn", "Unrd"], )j";
  const json want[4] = {
      json::parse("{" + input + refs + R"j("job": 1, "title": "Factor 1", "factor": 1.0, "status": "completed"})j"),
      json::parse("{" + input + refs + R"j("job": 2, "title": "Factor 0", "factor": 1.0, "status": "completed"})j"),
      json::parse("{" + input + refs + R"j("job": 3, "title": "Factor -1", "factor": -1.0, "status": "failed"})j"),
      json::parse("{" + input + R"j("job": 4, "title": "Measured above the set's range", "factor": 1.0,
          "status": "failed", "references": [], "range_nm": null})j")};
  EXPECT_EQ(r_with_.status, 1);  // job 4 stops the run
  EXPECT_EQ(names_in(details_->path()), kNames);
  EXPECT_EQ(names_in(with_->path()), (std::vector<std::string>{"BASIS", "CDDATA.29", "CalcCD.OUT", "INPUT",
                                                                 "MORVAN3.OUT", "ProtSS.out", "SSDATA.29"}));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(provenance(record(kNames[k])), want[k]) << kNames[k];

  const std::string out = report("MORVAN3.OUT"), protss = report("ProtSS.out");
  const std::vector<std::string> fractions = lines_starting(protss, " Fractions:");
  const std::vector<std::string> rmsd = lines_starting(protss, " RMSD(Exp-Calc):");
  const std::vector<std::string> finals = lines_starting(out, " Final Solution: Aver. of");
  const std::vector<std::string> all_basis = all_basis_lines(out);
  ASSERT_EQ(fractions.size(), 2u);
  ASSERT_EQ(rmsd.size(), 2u);
  ASSERT_EQ(finals.size(), 2u);
  ASSERT_EQ(all_basis.size(), 3u);
  // CalcCD.OUT: a header and one line per point for each completed job.
  const std::vector<std::string> calccd = lines_of(report("CalcCD.OUT"));
  std::size_t at = 0;
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(kNames[k]);
    const json j = record(kNames[k]);
    EXPECT_TRUE(j["failure"].is_null());
    const std::vector<float> f = floats(j["fractions"]);
    ASSERT_EQ(f.size(), 6u);
    EXPECT_EQ(line(R"([" Fractions:", 6F8.3])", std::span<const float>(f)), fractions[k]);
    EXPECT_EQ(line(R"([" RMSD(Exp-Calc):", F10.3])", j["rmsd"].get<float>()), rmsd[k]);
    EXPECT_EQ(all_basis[static_cast<std::size_t>(k)], all_basis_line(j));

    // The solutions are those averaged into the final fractions, listed,
    // rounded, by the last pass of rule 4 just before it: running number,
    // position, subset size, singular vectors, fractions.
    const json& sols = j["solutions"];
    EXPECT_EQ(line(R"([" Final Solution: Aver. of", I3, " Solns"])", static_cast<int>(sols.size())), finals[k]);
    const std::vector<std::string> kept = rule4_lines(out, k, sols.size());
    ASSERT_EQ(kept.size(), sols.size());
    ASSERT_GE(sols.size(), 1u);
    for (std::size_t m = 0; m < sols.size(); ++m) {
      std::istringstream fields(kept[m]);
      int number = 0, pos = 0, nbas = 0, nsv = 0;
      fields >> number >> pos >> nbas >> nsv;
      EXPECT_EQ(number, static_cast<int>(m + 1)) << kept[m];
      EXPECT_EQ(sols[m]["nbas"], nbas) << kept[m];
      EXPECT_EQ(sols[m]["ns"], nsv) << kept[m];
      for (int c = 0; c < 6; ++c) {
        float printed = 0;
        fields >> printed;
        EXPECT_NEAR(sols[m]["fractions"][c].get<float>(), printed, 0.0005 + 1e-6) << kept[m];
      }
    }
    // The statistics (checked in the frame's tests) are of those solutions:
    // their mean is the float average the report prints.
    EXPECT_EQ(j["statistics"]["count"], sols.size());
    for (int c = 0; c < 6; ++c) EXPECT_NEAR(j["statistics"]["mean"][c].get<double>(), f[c], 1e-6) << c;

    // The spectra are the CalcCD.OUT table at full precision.
    const json& sp = j["spectra"];
    ASSERT_EQ(sp["calculated"].size(), 83u);
    ASSERT_LT(at, calccd.size());
    EXPECT_EQ(calccd[at++], "    WL(nm)   Expt_CD   Calc_CD");
    for (std::size_t i = 0; i < 83 && at < calccd.size(); ++i)
      EXPECT_EQ(line("[3F10.2]", sp["wavelength_nm"][i].get<float>(), sp["experimental"][i].get<float>(),
                     sp["calculated"][i].get<float>()),
                calccd[at++])
          << "point " << i + 1;
  }
  EXPECT_EQ(at, calccd.size());

  // Job 3 fails in the first stage: the all-basis estimate made before it
  // stays, with the measured spectrum (job 1's negated), and no result.
  const json j = record(kNames[2]);
  EXPECT_NE(j["failure"].get<std::string>().find("first stage"), std::string::npos) << j["failure"];
  for (const char* key : {"fractions", "rmsd", "statistics"}) EXPECT_TRUE(j[key].is_null()) << key;
  EXPECT_EQ(j["solutions"], json::array());
  EXPECT_TRUE(j["spectra"]["calculated"].is_null());
  EXPECT_EQ(all_basis[2], all_basis_line(j));
  const std::vector<float> e = floats(j["spectra"]["experimental"]),
                           e1 = floats(record(kNames[0])["spectra"]["experimental"]);
  ASSERT_EQ(e.size(), 83u);
  for (int i = 0; i < 83; ++i) EXPECT_EQ(e[i], -e1[i]);
  // Job 4 is stopped by the driver before its range was fitted.
  const json s = record(kNames[3]);
  EXPECT_NE(s["failure"].get<std::string>().find(
                "fitted to the valid range 260.0 to 178.0 nm of reference set 1, gives no CD values"),
            std::string::npos)
      << s["failure"];
  EXPECT_TRUE(s["all_basis"].is_null());
  EXPECT_EQ(s["spectra"]["experimental"], json::array());
}

// A record that cannot be written is a warning; the analysis goes on.
TEST_F(Morvan3Record, WriteFailureDoesNotStopTheRun) {
  ScratchDir with("rec-wwith"), details("rec-wdetails");
  prepare(with.path());
  fs::create_directory(details / kNames[0]);  // in the way of job 1's record
  const RunResult w = morvan3(with.path(), "CDSEC_DETAILS=" + sh_quote(details.str()), with);
  EXPECT_EQ(w.status, r_with_.status);
  EXPECT_EQ(w.out, r_with_.out);
  EXPECT_NE(w.err.find("warning: run record"), std::string::npos) << w.err;
  EXPECT_NE(w.err.find(kNames[0]), std::string::npos) << w.err;
  for (const std::string& f : kReports) EXPECT_EQ(read_file(with / f), read_file(with_->path() / f)) << f;
  EXPECT_EQ(names_in(details.path()), kNames) << "the other records are written";
}

// Every reviewed MORVAN3 case, run again with CDSEC_DETAILS: the same
// outputs as reviewed, a readable record for each job, completed records
// exactly where a summary record was appended, and the failure named.
TEST(Morvan3RecordGolden, EveryCaseKeepsItsOutputs) {
  const std::map<std::string, std::string> failures = {
      {"first_stage_failure", "first stage"},       {"second_stage_failure", "second stage"},
      {"rule4_failure", "rule 4"},                  {"overflow", "stopped: more than 50 reference proteins"},
      {"bad_cd_value", "stopped: "},                {"missing_guess_line", "stopped: "},
      {"range_outside_set", "stopped: "},           {"bad_ibasis", "stopped: "}};
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(kGolden)) {
    const fs::path c = entry.path();
    if (!fs::is_directory(c / "in") || fs::exists(c / "env")) continue;
    ++cases;
    const std::string name = c.filename().string();
    SCOPED_TRACE(name);
    ScratchDir scratch("rec-golden"), details("rec-gdetails");
    EXPECT_EQ(cdsec_test::rerun_golden_case(c, MORVAN3_BINARY, {"CDSEC_DETAILS=" + details.str()}, scratch / "r", scratch),
              "");
    const fs::path work = scratch / "r" / "work";

    // Records: jobs 1..N, each valid JSON; completed ones match the summary records written.
    std::vector<std::string> records = names_in(details.path());
    int completed = 0;
    std::string failures_text;
    for (std::size_t i = 0; i < records.size(); ++i) {
      char prefix[32];
      std::snprintf(prefix, sizeof prefix, "MORVAN3-%04d-", static_cast<int>(i + 1));
      ASSERT_EQ(records[i].rfind(prefix, 0), 0u) << records[i];
      const json j = json::parse(read_file(details / records[i]));
      EXPECT_EQ(j["job"], static_cast<int>(i + 1));
      if (j["status"] == "completed")
        ++completed;
      else
        failures_text += j["failure"].get<std::string>() + "\n";
    }
    const std::string before = fs::exists(c / "in/ProtSS.out") ? read_file(c / "in/ProtSS.out") : "";
    EXPECT_EQ(completed, static_cast<int>(lines_starting(read_file(work / "ProtSS.out"), " PROGRAM:     MORVAN3").size() -
                                          lines_starting(before, " PROGRAM:     MORVAN3").size()));
    if (const auto f = failures.find(name); f != failures.end()) {
      EXPECT_NE(failures_text.find(f->second), std::string::npos) << failures_text;
    }
    if (name == "bad_cd_value") {  // stopped among the values; its factor 0 is read as 1
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(json::parse(read_file(details / records[0]))["factor"], 1.0);
    }
  }
  EXPECT_GE(cases, 15);
}

}  // namespace
