// cdref scale: the fit minimum over a ladder of factors, the all-basis
// factor, the combination and the warning, and whole runs on synthetic
// spectra at their own scale and scaled by 10 and by 0.1.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/tools/tool_run.hpp"
#include "tools/cdref/scale.hpp"

namespace {

using cdsec_test::read_file;
using cdsec_test::run;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;
using cdsec_test::write_file;
using json = nlohmann::json;
namespace fs = std::filesystem;

const std::string kCdref = CDREF_BINARY, kMkrefs = CDSEC_MKREFS, kMorvan = CDSEC_MORVAN3, kKestra = CDSEC_KESTRA;

std::vector<cdref::ScanPoint> parabola_scan(const std::vector<double>& ladder, double best) {
  std::vector<cdref::ScanPoint> s;
  for (double f : ladder) {
    const double d = std::log(f) - std::log(best);
    s.push_back({f, true, 0, 0.05 + d * d});
  }
  return s;
}

TEST(ScaleSignals, TheFitMinimumIsFoundBetweenLadderStepsAndAtItsEnds) {
  const std::vector<double> ladder = cdref::default_scale_ladder();
  ASSERT_GE(ladder.size(), 10u);
  EXPECT_DOUBLE_EQ(ladder.front(), 0.0398);
  EXPECT_DOUBLE_EQ(ladder.back(), 25.1189);
  int edge = 9;
  double best = 0;
  // A minimum between two steps: the parabola in log factor finds it.
  auto f = cdref::best_fit_factor(parabola_scan(ladder, 2.2), &edge, &best);
  ASSERT_TRUE(f.has_value());
  EXPECT_NEAR(*f, 2.2, 1e-6);
  EXPECT_EQ(edge, 0);
  EXPECT_GT(best, 0.05);
  // Points without a fit are passed over.
  auto s = parabola_scan(ladder, 0.3);
  for (auto& p : s)
    if (std::fabs(p.factor - 0.3981) < 1e-3) p.ok = false;
  f = cdref::best_fit_factor(s, &edge, &best);
  ASSERT_TRUE(f.has_value());
  EXPECT_NEAR(*f, 0.2512, 1e-3);  // the best point left has no neighbour on one side
  // A minimum beyond the ladder's end lies at the end, and says so.
  f = cdref::best_fit_factor(parabola_scan(ladder, 100), &edge, &best);
  ASSERT_TRUE(f.has_value());
  EXPECT_DOUBLE_EQ(*f, ladder.back());
  EXPECT_EQ(edge, 1);
  f = cdref::best_fit_factor(parabola_scan(ladder, 0.001), &edge, &best);
  EXPECT_EQ(edge, -1);
  for (auto& p : s) p.ok = false;
  EXPECT_FALSE(cdref::best_fit_factor(s, &edge, &best).has_value());

  EXPECT_DOUBLE_EQ(*cdref::all_basis_factor(0.5), 2.0);
  EXPECT_FALSE(cdref::all_basis_factor(0.01).has_value());
  EXPECT_FALSE(cdref::all_basis_factor(-0.3).has_value());
  EXPECT_FALSE(cdref::all_basis_factor(NAN).has_value());
}

TEST(ScaleSignals, TheWarningComesFromTheCombinedFactorAndNamesTheMistake) {
  cdref::JobScale j;
  j.program[0].all_basis_factor = 12.0;
  j.program[0].fit_factor = 8.0;
  cdref::judge(j);
  ASSERT_TRUE(j.combined.has_value());
  EXPECT_NEAR(*j.combined, std::sqrt(96.0), 1e-9);
  EXPECT_TRUE(j.warning);
  EXPECT_NE(j.resembles.find("mm entered as cm"), std::string::npos) << j.resembles;

  j = {};
  j.program[0].fit_factor = 0.08;
  j.program[1].fit_factor = 0.12;
  cdref::judge(j);
  EXPECT_TRUE(j.warning);
  EXPECT_NE(j.resembles.find("mg/mL entered as mM"), std::string::npos) << j.resembles;

  // Signals that point both ways cancel.
  j = {};
  j.program[0].all_basis_factor = 4.0;
  j.program[0].fit_factor = 0.3;
  cdref::judge(j);
  EXPECT_FALSE(j.warning);
  EXPECT_TRUE(j.resembles.empty());

  j = {};
  cdref::judge(j);
  EXPECT_FALSE(j.combined.has_value());
  EXPECT_FALSE(j.warning);

  EXPECT_NE(cdref::mistake_resembled(1000).find("millidegrees"), std::string::npos);
  EXPECT_NE(cdref::mistake_resembled(1.0 / 3300).find("not converted"), std::string::npos);
  EXPECT_EQ(cdref::mistake_resembled(1.0), "");
}

// The INPUT with every job's factor set to `factor`.
std::string scaled(const std::string& input, const std::string& factor) {
  std::string out, line, prev;
  std::size_t at = 0;
  while (at < input.size()) {
    const std::size_t nl = input.find('\n', at);
    line = input.substr(at, nl - at);
    at = nl == std::string::npos ? input.size() : nl + 1;
    if (prev.find("WL_Begin") != std::string::npos) {
      char buf[64];
      double a = 0, b = 0, c = 0;
      EXPECT_EQ(std::sscanf(line.c_str(), "%lf %lf %lf", &a, &b, &c), 3) << line;
      std::snprintf(buf, sizeof buf, "%12.4f%12.4f%12.4f", a, b, std::stod(factor));
      line = buf;
    }
    out += line + "\n";
    prev = line;
  }
  return out;
}

TEST(ScaleCommand, SyntheticSpectraScaledBy10OrBy0point1AreWarnedAboutAndUnscaledOnesAreNot) {
  ScratchDir dir("scale");
  const fs::path input = dir / "INPUT";
  auto r = run(sh_quote(kMkrefs) + " --samples 4 --seed 11 --set 4", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = r.out;
  write_file(input, text);
  write_file(dir / "INPUT-10", scaled(text, "10"));
  write_file(dir / "INPUT-0.1", scaled(text, "0.1"));
  const std::string env = "CDSEC_REFDIR=" + sh_quote(std::string(CDSEC_SOURCE_DIR) + "/data") + " ";
  for (const std::string which : {"INPUT", "INPUT-10", "INPUT-0.1"}) {
    const fs::path js = dir / (which + ".json");
    r = run(env + sh_quote(kCdref) + " scale " + sh_quote((dir / which).string()) + " --only MORVAN3 --morvan " +
                sh_quote(kMorvan) + " --json " + sh_quote(js.string()),
            dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("job 4/4"), std::string::npos) << r.err;
    const json j = json::parse(read_file(js));
    ASSERT_EQ(j["jobs"].size(), 4u);
    for (const json& job : j["jobs"]) {
      const json& m = job["programs"]["MORVAN3"];
      ASSERT_FALSE(m["fit_factor"].is_null()) << job.dump();
      ASSERT_FALSE(job["combined_factor"].is_null()) << job.dump();
      const double c = job["combined_factor"].get<double>();
      if (which == "INPUT") {
        EXPECT_FALSE(job["warning"].get<bool>()) << job.dump();
      } else {
        EXPECT_TRUE(job["warning"].get<bool>()) << job.dump();
        // The suggestion points the right way.
        EXPECT_TRUE(which == "INPUT-10" ? c < 0.5 : c > 2.0) << job.dump();
      }
    }
    if (which != "INPUT") {
      EXPECT_NE(r.out.find("WARNING"), std::string::npos) << r.out;
    }
  }
}

TEST(ScaleCommand, KestraScansOneJobAndBadArgumentsAreRefused) {
  ScratchDir dir("scale-k");
  const fs::path input = dir / "INPUT";
  auto r = run(sh_quote(kMkrefs) + " --samples 2 --seed 3 --set 4", dir);
  ASSERT_EQ(r.status, 0) << r.err;
  write_file(input, r.out);
  const std::string env = "CDSEC_REFDIR=" + sh_quote(std::string(CDSEC_SOURCE_DIR) + "/data") + " KESTRA_SEED=99 ";
  const fs::path js = dir / "k.json";
  r = run(env + sh_quote(kCdref) + " scale " + sh_quote(input.string()) + " --job 2 --factors 0.25,0.5,1,2,4 --morvan " +
              sh_quote(kMorvan) + " --kestra " + sh_quote(kKestra) + " --json " + sh_quote(js.string()),
          dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(read_file(js));
  ASSERT_EQ(j["jobs"].size(), 1u);
  EXPECT_EQ(j["jobs"][0]["job"], 2);
  const json& k = j["jobs"][0]["programs"]["KESTRA"];
  ASSERT_EQ(k["scan"].size(), 5u);
  int fits = 0;
  for (const json& p : k["scan"]) fits += p["normalised_rmsd"].is_null() ? 0 : 1;
  EXPECT_GE(fits, 3) << k.dump();
  EXPECT_FALSE(k["fit_factor"].is_null());

  EXPECT_EQ(run(sh_quote(kCdref) + " scale", dir).status, 2);
  EXPECT_EQ(run(sh_quote(kCdref) + " scale " + sh_quote(input.string()) + " --factors 1,2", dir).status, 2);
  EXPECT_EQ(run(sh_quote(kCdref) + " scale " + sh_quote(input.string()) + " --only NONE", dir).status, 2);
  r = run(env + sh_quote(kCdref) + " scale " + sh_quote(input.string()) + " --job 3 --morvan " + sh_quote(kMorvan) +
              " --kestra " + sh_quote(kKestra),
          dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no job 3"), std::string::npos) << r.err;
  write_file(dir / "BAD", "#\n# x\n      0         4\n#\n#\nt\n#\n#\n 240.0 190.0 1.0\n#\n#\n 1.0 2.x\n");
  r = run(env + sh_quote(kCdref) + " scale " + sh_quote((dir / "BAD").string()) + " --only MORVAN3 --morvan " + sh_quote(kMorvan), dir);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 12"), std::string::npos) << r.err;
}

}  // namespace
