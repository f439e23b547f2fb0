// cdref scale: the three signals on constructed ladders (tables of cases with
// the factor worked out by hand), the judgement and its band, and whole runs
// on synthetic spectra at their own scale and scaled by 10 and by 0.1, one
// KESTRA scan, and the refusals (programs that die or are missing included).
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tool_run.hpp"
#include "cdref/scale.hpp"

namespace {

using namespace cdsec_test;
using json = nlohmann::json;

const std::string kCdref = CDREF_BINARY, kMkrefs = CDSEC_MKREFS, kMorvan = CDSEC_MORVAN3, kKestra = CDSEC_KESTRA;
const std::vector<double> kLadder = cdref::default_scale_ladder();  // 0.0398 .. 25.1189, five steps a decade

// The ladder with the normalised RMSD (fit) and the all-basis sum as
// functions of the factor; a NaN leaves the point without it.
std::vector<cdref::ScanPoint> scan(const std::function<double(double)>& fit, const std::function<double(double)>& sum) {
  std::vector<cdref::ScanPoint> s;
  for (double f : kLadder) {
    cdref::ScanPoint p;
    p.factor = f;
    p.normalised = fit(f);
    p.ok = !std::isnan(p.normalised);
    if (!std::isnan(sum(f))) p.all_basis_sum = sum(f);
    s.push_back(p);
  }
  return s;
}
double parabola(double x, double best) { return 0.05 + std::pow(std::log(x / best), 2); }
double none(double) { return NAN; }
bool near(double x, double y) { return std::abs(x - y) < 1e-3; }

TEST(ScaleSignals, FitMinimumAndAllBasisCrossingOnConstructedLadders) {
  ASSERT_EQ(kLadder.size(), 15u);
  EXPECT_DOUBLE_EQ(kLadder.front(), 0.0398);
  EXPECT_DOUBLE_EQ(kLadder.back(), 25.1189);
  struct Case {
    const char* what;
    std::function<double(double)> fit, sum;
    double want_fit;  // NaN: none
    int fit_edge;
    double want_crossing;  // NaN: none; else within 1e-6 (or between the two ladder points given)
    int crossing_edge;
    double lo = 0, hi = 0;
  };
  const std::vector<Case> cases = {
      // A parabola in log factor is found exactly between the ladder's
      // steps; a sum linear in log factor is interpolated exactly.
      {"both at 2.2", [](double x) { return parabola(x, 2.2); }, [](double x) { return 1 + 0.2 * std::log(x / 2.2); }, 2.2, 0, 2.2, 0},
      // The best point left (0.2512) has no neighbour on one side.
      {"fit gap", [](double x) { return near(x, 0.3981) ? NAN : parabola(x, 0.3); }, none, 0.2512, 0, NAN, 0},
      // Sums missing or NaN on either side of the crossing: the points around the gap.
      {"sum gap", none, [](double x) { return near(x, 1.5849) || near(x, 2.5119) ? NAN : 1 + 0.2 * std::log(x / 2.2); }, NAN, 0, 2.2, 0},
      {"on a point", none, [](double x) { return x / 0.3981; }, NAN, 0, 0.3981, 0},
      {"beyond the large end", [](double x) { return parabola(x, 100); }, [](double x) { return 0.01 * x; }, 25.1189, 1, 25.1189, 1},
      {"beyond the small end", [](double x) { return parabola(x, 0.001); }, [](double x) { return 50 * x; }, 0.0398, -1, 0.0398, -1},
      // Of two rises through 1 the one nearer the given scale counts.
      {"rises near 0.2 and 7", none, [](double x) { return x < 0.25 ? 0.5 : x < 2 ? 2.0 : x < 8 ? 0.5 : 2.0; }, NAN, 0, -1, 0, 0.1585, 0.2512},
      {"rises near 0.07 and 5", none, [](double x) { return x < 0.1 ? 0.5 : x < 2 ? 2.0 : x < 4 ? 0.5 : 2.0; }, NAN, 0, -1, 0, 3.9811, 6.3096},
      // A fall through 1 is no crossing, nor a rise after a negative sum.
      {"falls", none, [](double x) { return 2 - std::log10(x); }, NAN, 0, NAN, 0},
      {"negative below", none, [](double x) { return x < 0.3 ? -0.05 : 0.4 * x; }, NAN, 0, NAN, 0},
      {"one sum", none, [](double x) { return x < 0.04 ? x : NAN; }, NAN, 0, NAN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto s = scan(c.fit, c.sum);
    int edge = 9;
    double best = 0;
    const auto f = cdref::best_fit_factor(s, &edge, &best);
    ASSERT_EQ(f.has_value(), !std::isnan(c.want_fit));
    if (f) {
      EXPECT_TRUE(std::abs(*f - c.want_fit) < 1e-3 && edge == c.fit_edge && best >= 0.05) << *f << " " << edge;
    }
    edge = 9;
    const auto x = cdref::all_basis_crossing(s, &edge);
    ASSERT_EQ(x.has_value(), !std::isnan(c.want_crossing));
    if (x && c.want_crossing > 0) {
      EXPECT_NEAR(*x, c.want_crossing, 1e-6);
    }
    if (x && c.want_crossing < 0) {
      EXPECT_TRUE(*x > c.lo && *x < c.hi) << *x;
    }
    if (x || edge != 9) {
      EXPECT_EQ(edge, c.crossing_edge);
    }
  }
  int edge = 0;
  EXPECT_FALSE(cdref::all_basis_crossing({}, &edge).has_value());
}

TEST(ScaleSignals, AcceptableCombinationsAreFullFromWhereTheyStayLargest) {
  const std::vector<double> ladder = {0.1, 0.2, 0.4, 0.8, 1.6, 3.2};
  const std::vector<std::tuple<std::vector<int>, double, int>> cases = {  // counts (-1: none), factor (0: none), edge
      {{5, 400, 0, 120, 400, 400}, 1.6, 0},       // reaching the largest once on the way up does not count
      {{-1, 30, 400, -1, 400, -1}, 0.4, 0},       // factors without a count are passed over
      {{-1, 250, 250, 250, 250, 250}, 0.2, -1},   // full from the first count: below the ladder
      {{0, 400, 400, 400, 400, 380}, 0, 0},       // falls again at the top
      {{0, 0, 0, 0, -1, 0}, 0, 0},
      {{-1, -1, -1, 400, -1, -1}, 0, 0},
  };
  for (const auto& [counts, want, want_edge] : cases) {
    std::vector<cdref::ScanPoint> s(ladder.size());
    for (std::size_t k = 0; k < ladder.size(); ++k) {
      s[k].factor = ladder[k];
      if (counts[k] >= 0) s[k].valid = counts[k];
    }
    int edge = 9;
    const auto f = cdref::full_combinations_factor(s, &edge);
    EXPECT_EQ(f.value_or(0), want) << testing::PrintToString(counts);
    if (f) {
      EXPECT_EQ(edge, want_edge) << testing::PrintToString(counts);
    }
  }
}

TEST(ScaleSignals, JudgementWeighsTheTighterSignalsMoreAndWarnsOutsideTheBand) {
  using cdref::Signal;
  const double m_ab = cdref::signal_spread(Signal::kMorvanAllBasis).typical;
  const double m_fit = cdref::signal_spread(Signal::kMorvanFit).typical;
  const double k_valid = cdref::signal_spread(Signal::kKestraValid).typical;
  auto judged = [](double ab, double fit, double valid) {
    cdref::JobScale j;
    if (ab) j.program[0].all_basis_factor = ab;
    if (fit) j.program[0].fit_factor = fit;
    if (valid) j.program[1].valid_factor = valid, j.program[1].valid_edge = -1;
    cdref::judge(j);
    return j;
  };
  // At its typical value a suggestion says the spectrum is right, with a
  // range symmetric in log factor; the other signals stay empty.
  cdref::JobScale j = judged(m_ab, 0, 0);
  EXPECT_NEAR(j.combined.value_or(0), 1.0, 1e-12);
  EXPECT_FALSE(j.warning);
  ASSERT_TRUE(j.signals[0].has_value());
  EXPECT_TRUE(j.signals[0]->low < 1.0 && j.signals[0]->high > 1.0);
  EXPECT_NEAR(j.signals[0]->low * j.signals[0]->high, 1.0, 1e-12);
  for (std::size_t i = 1; i < j.signals.size(); ++i) EXPECT_FALSE(j.signals[i].has_value());
  // Ten times its typical value: ten times too small, like mm taken for cm.
  j = judged(10 * m_ab, 10 * m_fit, 0);
  EXPECT_NEAR(j.combined.value_or(0), 10.0, 1e-9);
  EXPECT_TRUE(j.warning);
  EXPECT_NE(j.resembles.find("mm entered as cm"), std::string::npos) << j.resembles;
  // Combinations full only far below their typical factor.
  j = judged(0, 0, k_valid / 9);
  EXPECT_TRUE(j.warning && j.signals[4]->beyond);
  EXPECT_NE(j.resembles.find("mg/mL entered as mM"), std::string::npos) << j.resembles;
  // Pointing both ways by the same amount, the all-basis sum (the smaller
  // spread on measured proteins) prevails, in part.
  ASSERT_LT(cdref::signal_spread(Signal::kMorvanAllBasis).spread, cdref::signal_spread(Signal::kMorvanFit).spread);
  j = judged(2.5 * m_ab, m_fit / 2.5, 0);
  EXPECT_TRUE(*j.combined > 1.2 && *j.combined < 2.5) << *j.combined;
  EXPECT_TRUE(!j.warning && j.resembles.empty());
  // Just inside and just outside the band, on both sides.
  EXPECT_FALSE(judged(0.95 * cdref::kWarnBand * m_ab, 0, 0).warning);
  EXPECT_TRUE(judged(1.05 * cdref::kWarnBand * m_ab, 0, 0).warning);
  EXPECT_TRUE(judged(m_ab / (1.05 * cdref::kWarnBand), 0, 0).warning);
  EXPECT_FALSE(judged(m_ab / (0.95 * cdref::kWarnBand), 0, 0).warning);
  // No usable suggestion: nothing to judge.
  j = {};
  j.program[0].fit_factor = 0.0;
  j.program[1].fit_factor = NAN;
  cdref::judge(j);
  EXPECT_TRUE(!j.combined && !j.warning);
  EXPECT_NE(cdref::mistake_resembled(1000).find("millidegrees"), std::string::npos);
  EXPECT_NE(cdref::mistake_resembled(1.0 / 3300).find("not converted"), std::string::npos);
  EXPECT_EQ(cdref::mistake_resembled(1.0), "");
}

// The INPUT with every job's factor set to `factor`.
std::string scaled(const std::string& input, double factor) {
  std::string out, prev;
  for (std::string line : lines_of(input)) {
    if (prev.find("WL_Begin") != std::string::npos) {
      double a = 0, b = 0;
      EXPECT_EQ(std::sscanf(line.c_str(), "%lf %lf", &a, &b), 2) << line;
      char buf[64];
      std::snprintf(buf, sizeof buf, "%12.4f%12.4f%12.4f", a, b, factor);
      line = buf;
    }
    out += line + "\n";
    prev = line;
  }
  return out;
}

const std::string kEnv = "CDSEC_REFDIR=" + sh_quote(std::string(CDSEC_SOURCE_DIR) + "/data") + " KESTRA_SEED=99 ";

std::string samples(const ScratchDir& dir, int n, int seed) {
  const auto r = run(sh_quote(kMkrefs) + " --samples " + std::to_string(n) + " --seed " + std::to_string(seed) + " --set 4", dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// A job of the JSON lists one signal for each factor its programs found, and
// no other.
void expect_a_signal_per_factor(const json& job) {
  const std::vector<std::tuple<const char*, const char*, const char*>> named = {
      {"MORVAN3", "all_basis_factor", "MORVAN3 all-basis"},
      {"MORVAN3", "fit_factor", "MORVAN3 fit"},
      {"KESTRA", "all_basis_factor", "KESTRA all-basis"},
      {"KESTRA", "fit_factor", "KESTRA fit"},
      {"KESTRA", "full_combinations_factor", "KESTRA acceptable combinations"}};
  std::size_t factors = 0;
  for (const auto& [program, key, signal] : named) {
    if (!job["programs"].contains(program) || job["programs"][program][key].is_null()) continue;
    ++factors;
    bool listed = false;
    for (const json& x : job["signals"])
      listed = listed || (x["signal"] == signal && x["suggested_factor"] == job["programs"][program][key]);
    EXPECT_TRUE(listed) << signal << ": " << job.dump();
  }
  EXPECT_EQ(job["signals"].size(), factors) << job.dump();
}

TEST(ScaleCommand, SpectraScaledBy10OrBy0point1AreWarnedAboutAndUnscaledOnesAreNot) {
  ScratchDir dir("scale");
  const std::string text = samples(dir, 4, 11);
  for (const double factor : {1.0, 10.0, 0.1}) {
    SCOPED_TRACE(factor);
    write_file(dir / "INPUT", scaled(text, factor));
    const auto r = run(kEnv + sh_quote(kCdref) + " scale " + sh_quote((dir / "INPUT").string()) + " --only MORVAN3 --morvan " +
                           sh_quote(kMorvan) + " --json " + sh_quote((dir / "s.json").string()),
                       dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("job 4/4"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("WARNING") != std::string::npos, factor != 1.0) << r.out;
    const json j = json::parse(read_file(dir / "s.json"));
    ASSERT_EQ(j["jobs"].size(), 4u);
    for (const json& job : j["jobs"]) {
      ASSERT_FALSE(job["programs"]["MORVAN3"]["fit_factor"].is_null() || job["combined_factor"].is_null()) << job.dump();
      const double c = job["combined_factor"].get<double>();
      EXPECT_EQ(job["warning"].get<bool>(), factor != 1.0) << job.dump();
      EXPECT_TRUE(factor == 1.0 || (factor > 1 ? c < 0.5 : c > 2.0)) << job.dump();  // pointing the right way
      const json& m = job["programs"]["MORVAN3"];
      EXPECT_FALSE(m["all_basis_beyond_ladder"].get<bool>() || m["fit_at_end_of_ladder"].get<bool>()) << job.dump();
      expect_a_signal_per_factor(job);
    }
  }
  // A ladder that starts above where the sum reaches 1 and the fit is best:
  // both outputs say the crossing lies beyond it and the fit at its end.
  write_file(dir / "INPUT", text);
  const auto edge = run(kEnv + sh_quote(kCdref) + " scale " + sh_quote((dir / "INPUT").string()) +
                            " --job 1 --factors 2,3,4 --only MORVAN3 --morvan " + sh_quote(kMorvan) + " --json " +
                            sh_quote((dir / "e.json").string()),
                        dir);
  ASSERT_EQ(edge.status, 0) << edge.err;
  EXPECT_NE(edge.out.find("above 1 down to factor 2.00 (beyond the ladder); fit <= factor 2.00"), std::string::npos)
      << edge.out;
  const json e = json::parse(read_file(dir / "e.json"))["jobs"][0]["programs"]["MORVAN3"];
  EXPECT_TRUE(e["all_basis_beyond_ladder"].get<bool>() && e["fit_at_end_of_ladder"].get<bool>()) << e.dump();
}

TEST(ScaleCommand, KestraScansOneJob) {
  ScratchDir dir("scale-k");
  write_file(dir / "INPUT", samples(dir, 2, 3));
  const auto r = run(kEnv + sh_quote(kCdref) + " scale " + sh_quote((dir / "INPUT").string()) +
                         " --job 2 --factors 0.25,0.5,1,2,4 --morvan " + sh_quote(kMorvan) + " --kestra " + sh_quote(kKestra) +
                         " --json " + sh_quote((dir / "k.json").string()),
                     dir);
  ASSERT_EQ(r.status, 0) << r.err;
  const json j = json::parse(read_file(dir / "k.json"));
  ASSERT_TRUE(j["jobs"].size() == 1u && j["jobs"][0]["job"] == 2) << j.dump();
  const json& k = j["jobs"][0]["programs"]["KESTRA"];
  ASSERT_EQ(k["scan"].size(), 5u);
  // The counts of acceptable combinations come from KESTRA's report; the
  // factor they are full from is one whose count is the largest.
  int fits = 0, counts = 0, most = -1;
  for (const json& p : k["scan"]) {
    fits += !p["normalised_rmsd"].is_null();
    if (!p["valid_combinations"].is_null()) ++counts, most = std::max(most, p["valid_combinations"].get<int>());
  }
  EXPECT_TRUE(fits >= 3 && counts >= 3 && most > 0 && !k["fit_factor"].is_null()) << k.dump();
  ASSERT_FALSE(k["full_combinations_factor"].is_null()) << k.dump();
  bool found = false;
  for (const json& p : k["scan"]) found = found || (p["factor"] == k["full_combinations_factor"] && p["valid_combinations"] == most);
  EXPECT_TRUE(found) << k.dump();
  expect_a_signal_per_factor(j["jobs"][0]);
  // Each signal: its suggestion over its typical value, inside its range.
  ASSERT_GE(j["jobs"][0]["signals"].size(), 3u) << j.dump();
  for (const json& x : j["jobs"][0]["signals"]) {
    const double e = x["estimate"].get<double>();
    EXPECT_NEAR(e, x["suggested_factor"].get<double>() / x["typical_when_right"].get<double>(), 1e-9);
    EXPECT_TRUE(x["range_80"][0].get<double>() < e && e < x["range_80"][1].get<double>()) << x.dump();
  }
  EXPECT_TRUE(j["jobs"][0]["warning"].is_boolean());
}

TEST(ScaleCommand, RefusalsNameTheReason) {
  ScratchDir dir("scale-refused");
  write_file(dir / "INPUT", samples(dir, 2, 3));
  write_file(dir / "die", "#!/bin/sh\nkill -9 $$\n");
  fs::permissions(dir / "die", fs::perms::owner_all);
  write_file(dir / "BAD", "#\n# x\n      0         4\n#\n#\nt\n#\n#\n 240.0 190.0 1.0\n#\n#\n 1.0 2.x\n");
  const std::string input = " " + sh_quote((dir / "INPUT").string());
  const std::string programs = " --morvan " + sh_quote(kMorvan) + " --kestra " + sh_quote(kKestra);
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"", 2, "INPUT is required"},
      {input + " --factors 1,2", 2, "--factors 1,2: at least three different factors"},
      {input + " --factors 1,2,x", 2, "numbers from 0.0001 to 10000"},
      {input + " --only NONE", 2, "--only NONE"},
      {input + " --job 0", 2, "--job 0"},
      {input + " --job 3" + programs, 1, "no job 3"},
      {" " + sh_quote((dir / "BAD").string()) + " --only MORVAN3" + programs, 1, "line 12"},
      {" " + sh_quote((dir / "none").string()) + programs, 1, "none"},
      {input + " --only MORVAN3 --morvan /no/such/MORVAN3", 1, "/no/such/MORVAN3: not an executable program"},
      // A program that fails or dies leaves the job without a signal: the check is incomplete.
      {input + " --only KESTRA --kestra /bin/false --job 1", 1, "KESTRA: all-basis not available; fit not available; "
                                                              "acceptable combinations not available [exit status 1]\n"},
      {input + " --only MORVAN3 --morvan " + sh_quote((dir / "die").string()) + " --job 2", 1,
       "MORVAN3: all-basis not available; fit not available [ended by signal 9]\n  no signal: the magnitude cannot be judged"},
  };
  for (const auto& [args, status, message] : cases) {
    const auto r = run(kEnv + sh_quote(kCdref) + " scale" + args, dir);
    EXPECT_EQ(r.status, status) << args << "\n" << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(message), std::string::npos) << args << "\n" << r.out << r.err;
  }
}

}  // namespace
