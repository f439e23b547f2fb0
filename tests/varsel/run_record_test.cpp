// KESTRA with CDSEC_DETAILS: every reviewed case keeps its outputs, the
// records of completed jobs agree with the program's own reports (the
// solutions inside the helix window, their trial numbers, the spectra and
// the summary record), failed and stopped jobs say why, and the records do not
// depend on the thread count.  (An unusable directory: the golden case
// details_refused.)
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

#include "frame/layout.hpp"
#include "frame/summary.hpp"
#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace cdsec_test;
using nlohmann::json;

const fs::path kGolden = fs::path(CDSEC_SOURCE_DIR) / "tests/golden/KESTRA";

// A line as a layout writes it, without its newline.
template <class... A>
std::string line(std::string_view layout, const A&... a) {
  const std::string s = cdsec::format(layout, a...);
  return s.substr(0, s.size() - 1);
}

std::vector<float> floats(const json& j) { return j.get<std::vector<float>>(); }

// A golden case run again with CDSEC_DETAILS (and `extra` KEY=VALUE words).
struct Rerun {
  std::unique_ptr<ScratchDir> scratch, details;
  fs::path work;
  std::string differing;
  std::vector<json> records;  // in job order
  std::vector<std::string> names;
};

Rerun rerun(const std::string& name, std::vector<std::string> extra = {}) {
  Rerun r;
  r.scratch = std::make_unique<ScratchDir>("krec-work");
  r.details = std::make_unique<ScratchDir>("krec-details");
  extra.push_back("CDSEC_DETAILS=" + r.details->str());
  r.differing = cdsec_test::rerun_golden_case(kGolden / name, KESTRA_BINARY, extra, *r.scratch / "r", *r.scratch);
  r.work = *r.scratch / "r" / "work";
  r.names = names_in(r.details->path());
  for (const std::string& n : r.names) r.records.push_back(json::parse(read_file(r.details->path() / n)));
  return r;
}

// Every reviewed case, and per record what is sure whatever the case: the
// job's number in the name and the record, and a result exactly when the
// job completed.
TEST(KestraRecordGolden, EveryCaseKeepsItsOutputsAndWritesValidRecords) {
  int cases = 0;
  for (const auto& entry : fs::directory_iterator(kGolden)) {
    const fs::path c = entry.path();
    // (A case that names its own CDSEC_DETAILS is left to its own run.)
    if (!fs::is_directory(c / "in") || read_file(c / "env").find("CDSEC_DETAILS") != std::string::npos) continue;
    ++cases;
    SCOPED_TRACE(c.filename().string());
    const Rerun r = rerun(c.filename().string());
    EXPECT_EQ(r.differing, "");
    for (std::size_t i = 0; i < r.records.size(); ++i) {
      char prefix[32];
      std::snprintf(prefix, sizeof prefix, "KESTRA-%04d-", static_cast<int>(i + 1));
      EXPECT_EQ(r.names[i].rfind(prefix, 0), 0u) << r.names[i];
      const json& j = r.records[i];
      EXPECT_EQ(j["program"], "KESTRA");
      EXPECT_EQ(j["job"], static_cast<int>(i + 1));
      const bool completed = j["status"] == "completed";
      EXPECT_EQ(j["failure"].is_null(), completed);
      EXPECT_EQ(j["fractions"].is_null(), !completed);
      EXPECT_EQ(j["solutions"].empty(), !completed);
    }
  }
  EXPECT_GE(cases, 12);
}

// The 400-valid case in detail: the record holds what the reports printed.
TEST(KestraRecord, CompletedJobAgreesWithTheReports) {
  const Rerun r = rerun("set1_400_valid");
  ASSERT_EQ(r.records.size(), 1u);
  const json& j = r.records[0];
  const std::string report = read_file(r.work / "Kestra.out");
  EXPECT_EQ(j["status"], "completed");
  EXPECT_EQ(j["ibasis"], 1);
  ASSERT_EQ(j["references"].size(), 2u);
  EXPECT_EQ(j["references"][0]["name"], "CDDATA.29");
  EXPECT_EQ(j["references"][0]["origin"], "working directory");

  // The selected lines of the helix window: line m shows solution m's
  // fractions, in trial order; the final fractions are their average.
  const std::vector<float> fin = floats(j["fractions"]);
  const std::size_t ns = fin.size();
  const json& sol = j["solutions"];
  const std::size_t icntf_at = report.find(" icntf=");
  ASSERT_NE(icntf_at, std::string::npos);
  EXPECT_EQ(std::stoi(report.substr(icntf_at + 7, 4)), static_cast<int>(sol.size()));
  const std::vector<std::string> lines = lines_of(report);
  auto at = std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.find(" Hmin:") != l.npos; });
  ASSERT_GE(lines.end() - at, static_cast<std::ptrdiff_t>(sol.size() + 1));
  long long previous_trial = 0;
  std::vector<double> mean(ns, 0.0);
  for (std::size_t m = 0; m < sol.size(); ++m) {
    const std::vector<float> f = floats(sol[m]["fractions"]);
    ASSERT_EQ(f.size(), ns);
    const std::string& l = *++at;
    EXPECT_EQ(l.substr(0, 8), line("[2X, I6]", static_cast<int>(m + 1)));
    EXPECT_EQ(l.substr(14), line("[6F6.2]", std::span<const float>(f))) << l;
    const long long trial = sol[m]["trial"].get<long long>();
    EXPECT_GT(trial, previous_trial);
    EXPECT_LE(trial, 100000);
    previous_trial = trial;
    for (std::size_t k = 0; k < ns; ++k) mean[k] += f[k] / static_cast<double>(sol.size());
  }
  for (std::size_t k = 0; k < ns; ++k) EXPECT_NEAR(fin[k], mean[k], 1e-5);

  // The spectra are reconCD.out's experimental and calculated columns.
  const std::vector<std::string> recon = lines_of(read_file(r.work / "reconCD.out"));
  const std::vector<float> wl = floats(j["spectra"]["wavelength_nm"]), ex = floats(j["spectra"]["experimental"]),
                           calc = floats(j["spectra"]["calculated"]);
  ASSERT_EQ(recon.size(), wl.size() + 1);
  EXPECT_EQ(j["range_nm"]["points"], static_cast<int>(wl.size()));
  for (std::size_t i = 0; i < wl.size(); ++i) {
    EXPECT_EQ(recon[i + 1].substr(0, 20), line("[2F10.2]", wl[i], ex[i]));
    EXPECT_EQ(recon[i + 1].substr(30, 10), line("[F10.2]", calc[i]));
  }

  // ...and the summary record holds the fractions and the RMSD.
  const std::vector<cdsec::SummaryEntry> s = cdsec::read_summary_records((r.work / "ProtSS.out").string());
  ASSERT_EQ(s.size(), 1u);
  for (std::size_t k = 0; k < ns; ++k) EXPECT_NEAR(s[0].fractions(static_cast<int>(k + 1)), fin[k], 0.0005f);
  EXPECT_NEAR(s[0].rmsd, j["rmsd"].get<float>(), 0.0005f);

  // The all-basis estimate is the helix the report names H0 from.
  const std::vector<float> ab = floats(j["all_basis"]["fractions"]);
  const std::size_t h0_at = report.find("all basis proteins is ");
  ASSERT_NE(h0_at, std::string::npos);
  EXPECT_EQ(report.substr(h0_at + 22, 6), line("[F6.3]", ab[0] + ab[1]));
}

TEST(KestraRecord, FailedAndStoppedJobsSayWhy) {
  const Rerun empty = rerun("empty_window"), few = rerun("fewer_than_eight"), stop = rerun("stop_bad_cd_value");
  ASSERT_EQ(empty.records.size(), 1u);
  EXPECT_EQ(empty.records[0]["failure"], "no valid solution inside the helix window");
  EXPECT_TRUE(empty.records[0]["all_basis"].is_object());
  EXPECT_TRUE(empty.records[0]["spectra"]["calculated"].is_null());
  ASSERT_EQ(few.records.size(), 1u);
  EXPECT_EQ(few.records[0]["failure"].get<std::string>().rfind("fewer than five valid solutions (", 0), 0u);
  EXPECT_TRUE(few.records[0]["all_basis"].is_object());
  // The second job's bad CD value stops the run; its record says so.
  ASSERT_EQ(stop.records.size(), 2u);
  EXPECT_EQ(stop.records[0]["failure"], "fewer than five valid solutions (0)");
  const std::string why = stop.records[1]["failure"].get<std::string>();
  EXPECT_EQ(why.rfind("stopped: ", 0), 0u);
  EXPECT_NE(why.find("-1.2.3"), std::string::npos) << why;
}

TEST(KestraRecord, RecordsDoNotDependOnTheThreadCount) {
  const Rerun one = rerun("set1_400_valid", {"CDSEC_THREADS=1"});
  const Rerun three = rerun("set1_400_valid", {"CDSEC_THREADS=3"});
  ASSERT_EQ(one.names, three.names);
  for (const std::string& n : one.names)
    EXPECT_EQ(read_file(*one.details / n), read_file(*three.details / n)) << n;
}

}  // namespace
