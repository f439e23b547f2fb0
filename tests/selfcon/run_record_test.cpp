// MORVAN3 with CDSEC_DETAILS: the run records of completed, failed and
// stopped jobs against the program's own reports, unchanged reports and the
// refusal of an unusable directory (where the reference files were found:
// tests/frame/package_test.cpp).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/sha256.hpp"
#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using cdsec_test::lines_of;
using cdsec_test::names_in;
using cdsec_test::read_file;
using cdsec_test::RunResult;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;
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

template <class... A>
std::string line(std::string_view layout, const A&... a) {
  std::ostringstream o;
  cdsec::put(o, layout, a...);
  std::string s = o.str();
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
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

class Morvan3Record : public ::testing::Test {
 protected:
  void SetUp() override {
    plain_ = std::make_unique<ScratchDir>("rec-plain");
    with_ = std::make_unique<ScratchDir>("rec-with");
    details_ = std::make_unique<ScratchDir>("rec-details");
    prepare(plain_->path());
    prepare(with_->path());
    r_plain_ = morvan3(plain_->path(), "", *plain_);
    r_with_ = morvan3(with_->path(), "CDSEC_DETAILS=" + sh_quote(details_->str()), *with_);
  }
  json record(const std::string& name) const {
    return json::parse(read_file(details_->path() / name));  // throws on invalid JSON
  }
  std::unique_ptr<ScratchDir> plain_, with_, details_;
  RunResult r_plain_, r_with_;
};

const std::vector<std::string> kNames = {"MORVAN3-0001-Factor_1.json", "MORVAN3-0002-Factor_0.json",
                                         "MORVAN3-0003-Factor_-1.json",
                                         "MORVAN3-0004-Measured_above_the_set_s_range.json"};

TEST_F(Morvan3Record, ReportsAreUnchanged) {
  EXPECT_EQ(r_plain_.status, 1);  // job 4 stops the run
  EXPECT_EQ(r_with_.status, r_plain_.status);
  EXPECT_EQ(r_with_.out, r_plain_.out);
  EXPECT_EQ(r_with_.err, r_plain_.err);
  for (const std::string& f : kReports) {
    ASSERT_TRUE(fs::exists(plain_->path() / f)) << f;
    EXPECT_EQ(read_file(with_->path() / f), read_file(plain_->path() / f)) << f;
  }
  // Nothing else appears in the working directory.
  EXPECT_EQ(names_in(with_->path()), names_in(plain_->path()));
}

TEST_F(Morvan3Record, OneRecordPerJob) { EXPECT_EQ(names_in(details_->path()), kNames); }

TEST_F(Morvan3Record, CompletedJobsMatchTheReports) {
  const std::string protss = read_file(with_->path() / "ProtSS.out");
  const std::vector<std::string> fractions = lines_starting(protss, " Fractions:");
  const std::vector<std::string> rmsd = lines_starting(protss, " RMSD(Exp-Calc):");
  const std::vector<std::string> finals =
      lines_starting(read_file(with_->path() / "MORVAN3.OUT"), " Final Solution: Aver. of");
  ASSERT_EQ(fractions.size(), 2u);
  ASSERT_EQ(rmsd.size(), 2u);
  ASSERT_EQ(finals.size(), 2u);
  // CalcCD.OUT: a header and one line per point for each completed job.
  const std::vector<std::string> calccd = lines_of(read_file(with_->path() / "CalcCD.OUT"));
  std::size_t at = 0;
  const std::string input_sha = cdsec::sha256_file_hex(with_->path() / "INPUT").value();

  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(kNames[k]);
    const json j = record(kNames[k]);
    EXPECT_EQ(j["job"], k + 1);
    EXPECT_EQ(j["title"], k == 0 ? "Factor 1" : "Factor 0");
    EXPECT_EQ(j["status"], "completed");
    EXPECT_TRUE(j["failure"].is_null());
    EXPECT_EQ(j["ibasis"], 1);
    EXPECT_EQ(j["factor"].get<float>(), 1.0f);
    EXPECT_EQ(j["input"]["path"], "INPUT");
    EXPECT_EQ(j["input"]["sha256"], input_sha);
    EXPECT_EQ(j["labels"], json::parse(R"x(["H(r)", "H(d)", "S(r)", "S(d)", "Trn", "Unrd"])x"));
    EXPECT_EQ(j["range_nm"]["longer"].get<float>(), 260.0f);
    EXPECT_EQ(j["range_nm"]["shorter"].get<float>(), 178.0f);
    EXPECT_EQ(j["range_nm"]["points"], 83);

    const std::vector<float> f = floats(j["fractions"]);
    ASSERT_EQ(f.size(), 6u);
    EXPECT_EQ(line(R"([" Fractions:", 6F8.3])", std::span<const float>(f)), fractions[k]);
    EXPECT_EQ(line(R"([" RMSD(Exp-Calc):", F10.3])", j["rmsd"].get<float>()), rmsd[k]);

    // The solutions are those averaged into the final fractions.
    const json& sols = j["solutions"];
    EXPECT_EQ(line(R"([" Final Solution: Aver. of", I3, " Solns"])", static_cast<int>(sols.size())), finals[k]);
    ASSERT_GE(sols.size(), 1u);
    // ... and listed, rounded, by the last pass of rule 4 just before it:
    // running number, position, subset size, singular vectors, fractions.
    const std::vector<std::string> kept = rule4_lines(read_file(with_->path() / "MORVAN3.OUT"), k, sols.size());
    ASSERT_EQ(kept.size(), sols.size());
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
    EXPECT_EQ(j["statistics"]["count"], sols.size());
    for (int c = 0; c < 6; ++c) {
      double sum = 0, lo = 1e9, hi = -1e9;
      for (const json& s : sols) {
        EXPECT_GE(s["nbas"].get<int>(), 1);
        EXPECT_GE(s["ns"].get<int>(), 1);
        const double v = s["fractions"][c].get<float>();
        sum += v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
      EXPECT_NEAR(j["statistics"]["mean"][c].get<double>(), sum / static_cast<double>(sols.size()), 1e-12);
      EXPECT_NEAR(j["statistics"]["mean"][c].get<double>(), f[c], 1e-6);  // the float average of the same values
      EXPECT_EQ(j["statistics"]["min"][c].get<double>(), lo);
      EXPECT_EQ(j["statistics"]["max"][c].get<double>(), hi);
      EXPECT_GE(j["statistics"]["sd"][c].get<double>(), 0.0);
      EXPECT_LE(j["statistics"]["sd"][c].get<double>(), hi - lo);
    }
    EXPECT_EQ(all_basis_lines(read_file(with_->path() / "MORVAN3.OUT"))[static_cast<std::size_t>(k)],
              all_basis_line(j));

    // The spectra are the CalcCD.OUT table at full precision.
    const json& sp = j["spectra"];
    ASSERT_EQ(sp["wavelength_nm"].size(), 83u);
    ASSERT_EQ(sp["calculated"].size(), 83u);
    ASSERT_LT(at, calccd.size());
    EXPECT_EQ(calccd[at++], "    WL(nm)   Expt_CD   Calc_CD");
    for (std::size_t i = 0; i < 83; ++i) {
      ASSERT_LT(at, calccd.size());
      EXPECT_EQ(line("[3F10.2]", sp["wavelength_nm"][i].get<float>(), sp["experimental"][i].get<float>(),
                     sp["calculated"][i].get<float>()),
                calccd[at++])
          << "point " << i + 1;
    }

    ASSERT_EQ(j["references"].size(), 2u);
    EXPECT_EQ(j["references"][0]["name"], "CDDATA.29");
    EXPECT_EQ(j["references"][1]["name"], "SSDATA.29");
    for (const json& r : j["references"]) {
      EXPECT_EQ(r["origin"], "working directory");
      EXPECT_EQ(r["path"], r["name"]);
      EXPECT_EQ(r["sha256"], cdsec::sha256_file_hex(with_->path() / r["name"].get<std::string>()).value());
    }
  }
  EXPECT_EQ(at, calccd.size());
}

TEST_F(Morvan3Record, FailedAndStoppedJobs) {
  const json first = record(kNames[0]);
  const json j = record(kNames[2]);
  EXPECT_EQ(j["status"], "failed");
  EXPECT_NE(j["failure"].get<std::string>().find("first stage"), std::string::npos) << j["failure"];
  EXPECT_TRUE(j["fractions"].is_null());
  EXPECT_TRUE(j["rmsd"].is_null());
  EXPECT_EQ(j["solutions"], json::array());
  EXPECT_TRUE(j["statistics"].is_null());
  EXPECT_TRUE(j["spectra"]["calculated"].is_null());
  EXPECT_EQ(j["factor"].get<float>(), -1.0f);
  EXPECT_EQ(j["references"].size(), 2u);
  // The all-basis estimate is made before the first stage; the report shows
  // it rounded.
  ASSERT_EQ(j["all_basis"]["fractions"].size(), 6u);
  EXPECT_EQ(all_basis_lines(read_file(with_->path() / "MORVAN3.OUT"))[2], all_basis_line(j));
  const std::vector<float> e = floats(j["spectra"]["experimental"]), e1 = floats(first["spectra"]["experimental"]);
  ASSERT_EQ(e.size(), 83u);
  for (int i = 0; i < 83; ++i) EXPECT_EQ(e[i], -e1[i]);

  const json s = record(kNames[3]);
  EXPECT_EQ(s["status"], "failed");
  EXPECT_NE(s["failure"].get<std::string>().find("fitted to the valid range 260.0 to 178.0 nm of reference set 1, gives no CD values"), std::string::npos) << s["failure"];
  EXPECT_TRUE(s["range_nm"].is_null());
  EXPECT_TRUE(s["all_basis"].is_null());
  EXPECT_EQ(s["references"], json::array());
  EXPECT_EQ(s["spectra"]["experimental"], json::array());
  EXPECT_EQ(s["title"], "Measured above the set's range");
}

TEST_F(Morvan3Record, ARunAgainReplacesTheRecords) {
  const std::string before = read_file(details_->path() / kNames[0]);
  const RunResult again = morvan3(with_->path(), "CDSEC_DETAILS=" + sh_quote(details_->str()), *with_);
  EXPECT_EQ(again.status, r_with_.status);
  EXPECT_EQ(names_in(details_->path()), kNames);  // no temporary files left
  // Only the input digest could differ, and INPUT has not changed.
  EXPECT_EQ(read_file(details_->path() / kNames[0]), before);
}

// A record that cannot be written is a warning; the analysis goes on.
TEST(Morvan3RecordWrite, FailureDoesNotStopTheRun) {
  ScratchDir plain("rec-wplain"), with("rec-wwith"), details("rec-wdetails");
  prepare(plain.path());
  prepare(with.path());
  fs::create_directory(details / kNames[0]);  // in the way of job 1's record
  const RunResult p = morvan3(plain.path(), "", plain);
  const RunResult w = morvan3(with.path(), "CDSEC_DETAILS=" + sh_quote(details.str()), with);
  EXPECT_EQ(w.status, p.status);
  EXPECT_EQ(w.out, p.out);
  EXPECT_NE(w.err.find("warning: run record"), std::string::npos) << w.err;
  EXPECT_NE(w.err.find(kNames[0]), std::string::npos) << w.err;
  for (const std::string& f : kReports) EXPECT_EQ(read_file(with / f), read_file(plain / f)) << f;
  EXPECT_TRUE(fs::exists(details / kNames[1]));
  EXPECT_TRUE(fs::exists(details / kNames[3]));
}

// An unusable directory is refused before any report file is touched.
TEST(Morvan3RecordRefusal, UnusableDirectory) {
  ScratchDir work("rec-refuse");
  prepare(work.path());
  cdsec_test::write_file(work / "MORVAN3.OUT", "an earlier report\n");
  cdsec_test::write_file(work / "a-file", "x");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {(work / "no-such-dir").string(), "does not exist"},
      {(work / "a-file").string(), "is not a directory"},
      {"/proc", "cannot be written"}};
  for (const auto& [dir, why] : cases) {
    SCOPED_TRACE(dir);
    const RunResult r = morvan3(work.path(), "CDSEC_DETAILS=" + sh_quote(dir), work);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("MORVAN3: CDSEC_DETAILS"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(work / "MORVAN3.OUT"), "an earlier report\n");
    for (const char* f : {"BASIS", "CalcCD.OUT", "ProtSS.out"}) EXPECT_FALSE(fs::exists(work / f)) << f;
  }
}

// An empty value is the same as none.
TEST(Morvan3RecordRefusal, EmptyValueIsUnset) {
  ScratchDir work("rec-empty");
  prepare(work.path());
  const RunResult r = morvan3(work.path(), "CDSEC_DETAILS=", work);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("CDSEC_DETAILS"), std::string::npos) << r.err;
  EXPECT_TRUE(fs::exists(work / "ProtSS.out"));
  for (const std::string& n : names_in(work.path())) EXPECT_EQ(n.find(".json"), std::string::npos) << n;
}

}  // namespace

namespace {

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// Every reviewed MORVAN3 case, run again with CDSEC_DETAILS: the same
// outputs as reviewed, a readable record for each job, completed records
// exactly where a summary record was appended, and the failure named.
TEST(Morvan3RecordGolden, EveryCaseKeepsItsOutputs) {
  const std::vector<std::pair<std::string, std::string>> failures = {
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
    ScratchDir work("rec-golden"), details("rec-gdetails");
    EXPECT_EQ(cdsec_test::rerun_golden_case(c, MORVAN3_BINARY, "CDSEC_DETAILS=" + sh_quote(details.str()), work),
              std::vector<std::string>{});

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
    EXPECT_EQ(completed, count_of(read_file(work / "ProtSS.out"), " PROGRAM:     MORVAN3") -
                             count_of(before, " PROGRAM:     MORVAN3"));
    for (const auto& [case_name, text] : failures)
      if (case_name == name) {
        EXPECT_NE(failures_text.find(text), std::string::npos) << failures_text;
      }
  }
  EXPECT_GE(cases, 15);
}

}  // namespace
