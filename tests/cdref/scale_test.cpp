// cdref scale: the fit minimum over a ladder of factors, the all-basis
// factor, the combination and the warning, and whole runs on synthetic
// spectra at their own scale and scaled by 10 and by 0.1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/tool_run.hpp"
#include "cdref/scale.hpp"

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
    cdref::ScanPoint p;
    p.factor = f;
    p.ok = true;
    p.normalised = 0.05 + d * d;
    s.push_back(p);
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

}

// A ladder whose all-basis sums follow `sum(factor)`.
template <class F>
std::vector<cdref::ScanPoint> sums_scan(const std::vector<double>& ladder, F sum) {
  std::vector<cdref::ScanPoint> s;
  for (double f : ladder) {
    cdref::ScanPoint p;
    p.factor = f;
    p.all_basis_sum = sum(f);
    s.push_back(p);
  }
  return s;
}

TEST(ScaleSignals, TheAllBasisSumCrossesOneBetweenLadderPointsOrBeyondTheLadder) {
  const std::vector<double> ladder = cdref::default_scale_ladder();
  int edge = 9;
  // Linear in log factor, the interpolation is exact: 1 at 2.2, between
  // the points 1.58 and 2.51.
  auto f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return 1 + 0.2 * std::log(x / 2.2); }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_NEAR(*f, 2.2, 1e-9);
  EXPECT_EQ(edge, 0);
  // A sum proportional to the factor: the crossing lies between the two
  // points around 1 / 0.3, where linear interpolation in log factor puts it.
  const double x0 = std::log(3.9811), x1 = std::log(2.5119), y0 = 0.3 * 3.9811, y1 = 0.3 * 2.5119;
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return 0.3 * x; }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_NEAR(std::log(*f), x1 + (1 - y1) / (y0 - y1) * (x0 - x1), 1e-6);
  EXPECT_GT(*f, 2.5119);
  EXPECT_LT(*f, 3.9811);
  EXPECT_EQ(edge, 0);
  // A point on the ladder that sums to exactly 1 is the crossing.
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return x / 0.3981; }), &edge);
  EXPECT_NEAR(*f, 0.3981, 1e-9);
  // Points without a sum are passed over: the crossing comes from the
  // points on either side of the gap.
  auto s = sums_scan(ladder, [](double x) { return 1 + 0.2 * std::log(x / 2.2); });
  for (auto& p : s)
    if (std::fabs(p.factor - 1.5849) < 1e-3 || std::fabs(p.factor - 2.5119) < 1e-3) p.all_basis_sum.reset();
  f = cdref::all_basis_crossing(s, &edge);
  EXPECT_NEAR(*f, 2.2, 1e-9);
  s[3].all_basis_sum = NAN;
  EXPECT_NEAR(*cdref::all_basis_crossing(s, &edge), 2.2, 1e-9);

  // No crossing on the ladder: the factor lies beyond its end.
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return 0.01 * x; }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_DOUBLE_EQ(*f, ladder.back());
  EXPECT_EQ(edge, 1);
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return 50 * x; }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_DOUBLE_EQ(*f, ladder.front());
  EXPECT_EQ(edge, -1);

  // Not monotone: of two rises through 1 the one nearer the given scale
  // counts (near 0.18 rather than near 7; near 4.6 rather than near 0.07);
  // a fall through 1 is no crossing.
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return x < 0.25 ? 0.5 : x < 2 ? 2.0 : x < 8 ? 0.5 : 2.0; }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_GT(*f, 0.1585);
  EXPECT_LT(*f, 0.2512);
  EXPECT_EQ(edge, 0);
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return x < 0.1 ? 0.5 : x < 2 ? 2.0 : x < 4 ? 0.5 : 2.0; }), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_GT(*f, 3.9811);
  EXPECT_LT(*f, 6.3096);
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return 2 - std::log10(x); }), &edge);
  EXPECT_FALSE(f.has_value());
  EXPECT_EQ(edge, 0);
  // A sum that is negative anywhere does not follow the magnitude, even
  // where it rises through 1 further up.
  f = cdref::all_basis_crossing(sums_scan(ladder, [](double x) { return x < 0.3 ? -0.05 : 0.4 * x; }), &edge);
  EXPECT_FALSE(f.has_value());
  EXPECT_EQ(edge, 0);
  // Too few sums to follow.
  s = sums_scan(ladder, [](double x) { return x; });
  for (std::size_t k = 1; k < s.size(); ++k) s[k].all_basis_sum.reset();
  EXPECT_FALSE(cdref::all_basis_crossing(s, &edge).has_value());
  EXPECT_FALSE(cdref::all_basis_crossing({}, &edge).has_value());
}

TEST(ScaleSignals, AcceptableCombinationsAreFullFromTheFirstFactorThatStaysAtTheLargestCount) {
  const std::vector<double> ladder = {0.1, 0.2, 0.4, 0.8, 1.6, 3.2};
  auto scan = [&](std::vector<int> counts) {
    std::vector<cdref::ScanPoint> s;
    for (std::size_t k = 0; k < ladder.size(); ++k) {
      cdref::ScanPoint p;
      p.factor = ladder[k];
      if (counts[k] >= 0) p.valid = counts[k];
      s.push_back(p);
    }
    return s;
  };
  int edge = 9;
  // A count that reaches the largest once on the way up does not count;
  // the one it stays at does.
  auto f = cdref::full_combinations_factor(scan({5, 400, 0, 120, 400, 400}), &edge);
  ASSERT_TRUE(f.has_value());
  EXPECT_DOUBLE_EQ(*f, 1.6);
  EXPECT_EQ(edge, 0);
  // Factors without a count (-1 here) are passed over.
  f = cdref::full_combinations_factor(scan({-1, 30, 400, -1, 400, -1}), &edge);
  EXPECT_DOUBLE_EQ(*f, 0.4);
  // Full from the ladder's first count: the factor lies below the ladder.
  f = cdref::full_combinations_factor(scan({-1, 250, 250, 250, 250, 250}), &edge);
  EXPECT_DOUBLE_EQ(*f, 0.2);
  EXPECT_EQ(edge, -1);
  // A count that falls again at the top, no counts above 0, one count only.
  EXPECT_FALSE(cdref::full_combinations_factor(scan({0, 400, 400, 400, 400, 380}), &edge).has_value());
  EXPECT_FALSE(cdref::full_combinations_factor(scan({0, 0, 0, 0, -1, 0}), &edge).has_value());
  EXPECT_FALSE(cdref::full_combinations_factor(scan({-1, -1, -1, 400, -1, -1}), &edge).has_value());
}

TEST(ScaleSignals, EachSuggestionIsJudgedAgainstItsTypicalValueAndTheTighterSignalsWeighMore) {
  using cdref::Signal;
  const double m_ab = cdref::signal_spread(Signal::kMorvanAllBasis).typical;
  const double m_fit = cdref::signal_spread(Signal::kMorvanFit).typical;
  const double k_valid = cdref::signal_spread(Signal::kKestraValid).typical;
  // A suggestion at its typical value: the spectrum looks right.
  cdref::JobScale j;
  j.program[0].all_basis_factor = m_ab;
  cdref::judge(j);
  ASSERT_TRUE(j.combined.has_value());
  EXPECT_NEAR(*j.combined, 1.0, 1e-12);
  EXPECT_FALSE(j.warning);
  ASSERT_TRUE(j.signals[0].has_value());
  EXPECT_LT(j.signals[0]->low, 1.0);
  EXPECT_GT(j.signals[0]->high, 1.0);
  EXPECT_NEAR(j.signals[0]->low * j.signals[0]->high, 1.0, 1e-12);  // symmetric in log factor
  for (std::size_t i = 1; i < j.signals.size(); ++i) EXPECT_FALSE(j.signals[i].has_value());

  // Ten times its typical value: about 10 times too small.
  j = {};
  j.program[0].all_basis_factor = 10 * m_ab;
  j.program[0].fit_factor = 10 * m_fit;
  cdref::judge(j);
  EXPECT_NEAR(*j.combined, 10.0, 1e-9);
  EXPECT_TRUE(j.warning);
  EXPECT_NE(j.resembles.find("mm entered as cm"), std::string::npos) << j.resembles;

  // KESTRA's combinations full only far below their typical factor.
  j = {};
  j.program[1].valid_factor = k_valid / 9;
  j.program[1].valid_edge = -1;
  cdref::judge(j);
  EXPECT_TRUE(j.warning);
  EXPECT_TRUE(j.signals[4]->beyond);
  EXPECT_NE(j.resembles.find("mg/mL entered as mM"), std::string::npos) << j.resembles;

  // Signals pointing both ways by the same amount: the one with the
  // smaller spread on measured proteins (the all-basis sum) prevails, but
  // only in part.
  ASSERT_LT(cdref::signal_spread(Signal::kMorvanAllBasis).spread, cdref::signal_spread(Signal::kMorvanFit).spread);
  j = {};
  j.program[0].all_basis_factor = 2.5 * m_ab;
  j.program[0].fit_factor = m_fit / 2.5;
  cdref::judge(j);
  EXPECT_GT(*j.combined, 1.2);
  EXPECT_LT(*j.combined, 2.5);
  EXPECT_FALSE(j.warning);
  EXPECT_TRUE(j.resembles.empty());
  // Just inside and just outside the band.
  j = {};
  j.program[0].all_basis_factor = 0.95 * cdref::kWarnBand * m_ab;
  cdref::judge(j);
  EXPECT_FALSE(j.warning);
  j.program[0].all_basis_factor = 1.05 * cdref::kWarnBand * m_ab;
  cdref::judge(j);
  EXPECT_TRUE(j.warning);
  j.program[0].all_basis_factor = m_ab / (1.05 * cdref::kWarnBand);
  cdref::judge(j);
  EXPECT_TRUE(j.warning);

  // No usable suggestion: nothing to judge.
  j = {};
  j.program[0].fit_factor = 0.0;
  j.program[1].fit_factor = NAN;
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
  // The counts of acceptable combinations come from KESTRA's report; the
  // factor they are full from is one whose count is the largest.
  int counts = 0, most = -1;
  for (const json& p : k["scan"])
    if (!p["valid_combinations"].is_null()) {
      ++counts;
      most = std::max(most, p["valid_combinations"].get<int>());
    }
  EXPECT_GE(counts, 3) << k.dump();
  EXPECT_GT(most, 0) << k.dump();
  ASSERT_FALSE(k["full_combinations_factor"].is_null()) << k.dump();
  bool found = false;
  for (const json& p : k["scan"])
    found = found || (p["factor"] == k["full_combinations_factor"] && p["valid_combinations"] == most);
  EXPECT_TRUE(found) << k.dump();
  // Every signal in the job's list carries its suggestion and estimate.
  const json& sig = j["jobs"][0]["signals"];
  ASSERT_GE(sig.size(), 3u) << j.dump();
  for (const json& x : sig) {
    EXPECT_GT(x["suggested_factor"].get<double>(), 0) << x.dump();
    EXPECT_NEAR(x["estimate"].get<double>(), x["suggested_factor"].get<double>() / x["typical_when_right"].get<double>(), 1e-9);
    EXPECT_LT(x["range_80"][0].get<double>(), x["estimate"].get<double>());
    EXPECT_GT(x["range_80"][1].get<double>(), x["estimate"].get<double>());
  }
  EXPECT_TRUE(j["jobs"][0]["warning"].is_boolean());

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
