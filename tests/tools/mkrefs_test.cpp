// The reference-set generator: the bundled sets and the demo job file are what
// it writes (the programs' tests read them, which pins their layout), the model
// behaves like protein CD, sets on request follow their options.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <set>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "tests/tool_run.hpp"

namespace {

using namespace cdsec_test;

const fs::path kData = fs::path(CDSEC_SOURCE_DIR) / "data";
const std::string kMkrefs = CDSEC_MKREFS;

struct Entry {
  std::string name, scale;  // scale: columns 6-11 of the name line as written
  std::array<float, 83> cd{};
  std::vector<int> milli;  // fractions in thousandths
  float at(int nm) const { return cd[static_cast<std::size_t>(260 - nm)]; }
};

// A set as the programs read it: two heading lines, then per protein a name
// line and six lines of 6-column values; SSDATA a name and a fraction line.
std::vector<Entry> read_set(const fs::path& dir, const std::string& suffix) {
  const auto cd = lines_of(read_file(dir / ("CDDATA." + suffix)));
  const auto ss = lines_of(read_file(dir / ("SSDATA." + suffix)));
  std::vector<Entry> out;
  for (std::size_t at = 2; at + 6 < cd.size(); at += 7) {
    Entry e{cd[at].substr(1, 4), cd[at].substr(std::min<std::size_t>(5, cd[at].size())), {}, {}};
    for (std::size_t k = 0; k < 83; ++k) e.cd[k] = std::stof(cd[at + 1 + k / 15].substr(6 * (k % 15), 6));
    const std::size_t p = 2 * out.size();
    EXPECT_EQ(ss.at(p), " " + e.name);
    for (std::size_t f = 0; f + 8 <= ss.at(p + 1).size(); f += 8)
      e.milli.push_back(static_cast<int>(std::lround(std::stof(ss[p + 1].substr(f, 8)) * 1000.0f)));
    out.push_back(e);
  }
  EXPECT_EQ(ss.size(), 2 * out.size()) << "SSDATA." << suffix;
  return out;
}

std::vector<Entry> one_set(const ScratchDir& dir, const std::string& args, const std::string& suffix) {
  const auto r = run(sh_quote(kMkrefs) + " " + args + " --out " + sh_quote(dir.str()), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return read_set(dir.path(), suffix);
}

float pearson(const std::vector<float>& a, const std::vector<float>& b) {
  const double n = static_cast<double>(a.size()), ma = std::accumulate(a.begin(), a.end(), 0.0) / n,
               mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    sab += (a[i] - ma) * (b[i] - mb), saa += (a[i] - ma) * (a[i] - ma), sbb += (b[i] - mb) * (b[i] - mb);
  return static_cast<float>(sab / std::sqrt(saa * sbb));
}

TEST(Mkrefs, BundledSetsAndTheDemoJobFileAreWhatItWrites) {
  ScratchDir tmp("mkrefs");
  auto r = run(sh_quote(kMkrefs) + " --out " + sh_quote(tmp.str()), tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> made = names_in(tmp.path()), bundled;
  for (const std::string& n : names_in(kData))
    if (n.rfind("CDDATA.", 0) == 0 || n.rfind("SSDATA.", 0) == 0) bundled.push_back(n);
  EXPECT_EQ(made, bundled) << "data/ holds exactly the 16 set files the generator writes";
  for (const std::string& n : made) EXPECT_EQ(read_file(tmp / n), read_file(kData / n)) << n;
  EXPECT_EQ(made.size(), 16u);

  const fs::path examples = fs::path(CDSEC_SOURCE_DIR) / "examples", build = fs::path(kMkrefs).parent_path().parent_path();
  r = run(sh_quote((examples / "make-input.sh").string()) + " " + sh_quote(build.string()) + " " + sh_quote(tmp.str()), tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tmp / "INPUT"), read_file(examples / "INPUT"));
  EXPECT_EQ(read_file(tmp / "SAMPLES.txt"), read_file(examples / "SAMPLES.txt"));
}

// The demo jobs, read by the programs' job reader: none is close to a protein
// of the set it names (samples and sets come from separate random streams).
TEST(Mkrefs, DemoSamplesAreJobsOfNoBundledProtein) {
  cdsec::LineReader in;
  in.open((fs::path(CDSEC_SOURCE_DIR) / "examples" / "INPUT").string());
  cdsec::JobReader job(in);
  std::vector<int> sets;
  while (job.begin()) {
    int iprint, ibasis;
    float first, last, factor;
    cdsec::Vector<100> cd;
    job.read_print_basis(iprint, ibasis);
    sets.push_back(ibasis);
    job.read_title(40);
    job.read_range(first, last, factor);
    const int n = static_cast<int>(first - last) + 1, k0 = 260 - static_cast<int>(first);
    job.read_cd(n, 100, cd);
    job.skip_after_cd();
    job.skip_guess();
    for (const Entry& e : read_set(kData, std::string(cdsec::find_ref_set(ibasis)->suffix))) {
      double d = 0;
      for (int i = 1; i <= n; ++i) d += std::pow(cd(i) - e.cd[static_cast<std::size_t>(k0 + i - 1)], 2);
      EXPECT_GT(std::sqrt(d / n), 0.1) << "job " << sets.size() << " is almost " << e.name;
    }
  }
  EXPECT_EQ(sets, (std::vector<int>{1, 1, 1, 6}));
}

// Helix drives the 222/208/192 nm bands, strands give the weaker sheet
// bands, unfolded chains their band near 198 nm and only in the sets for
// unfolding conditions; sets share proteins, identical inside the valid range.
TEST(Mkrefs, BundledSpectraBehaveLikeProteinCd) {
  const auto set1 = read_set(kData, "29");
  std::vector<float> helix, v222, v208, v192;
  int helical = 0, stranded = 0;
  for (const Entry& e : set1) {
    helix.push_back(static_cast<float>(e.milli[0] + e.milli[1]) / 1000.0f);
    v222.push_back(e.at(222)), v208.push_back(e.at(208)), v192.push_back(e.at(192));
    if (e.milli[0] + e.milli[1] >= 600) {  // maximum at 188-196 nm, two minima of like depth, crossing at 198-206
      ++helical;
      const int top = 260 - static_cast<int>(std::max_element(e.cd.begin(), e.cd.end()) - e.cd.begin());
      EXPECT_TRUE(top >= 188 && top <= 196 && std::max(e.at(222), e.at(208)) < -4.5f &&
                  std::abs(e.at(208) / e.at(222) - 1) < 0.3f && e.at(206) < 0 && e.at(198) > 0)
          << e.name << " peaks at " << top;
    }
    if (e.milli[2] + e.milli[3] >= 400) {  // negative near 217, positive near 195-197, weaker than helix
      ++stranded;
      EXPECT_TRUE(e.at(217) < -1.0f && std::max(e.at(197), e.at(195)) > 0.5f && e.at(222) > -4.0f) << e.name;
    }
  }
  EXPECT_TRUE(pearson(helix, v222) < -0.9f && pearson(helix, v208) < -0.9f && pearson(helix, v192) > 0.9f);
  EXPECT_TRUE(helical >= 3 && stranded >= 3);

  for (int k = 1; k <= 8; ++k) {
    int unfolded = 0;
    for (const Entry& e : read_set(kData, std::string(cdsec::find_ref_set(k)->suffix))) {
      if (e.name[0] != 'D') continue;
      ++unfolded;
      EXPECT_TRUE(e.milli[5] >= 550 && e.milli[0] + e.milli[1] <= 60) << e.name;
      auto low = std::min_element(e.cd.begin() + 20, e.cd.begin() + 71);  // 240-190 nm
      const int nm = 260 - static_cast<int>(low - e.cd.begin());
      EXPECT_TRUE(nm >= 195 && nm <= 202 && *low < -3.0f) << e.name << " has its minimum at " << nm;
    }
    EXPECT_EQ(unfolded, (k == 6 || k == 7) ? 5 : 0) << "set " << k;
  }

  const auto set3 = read_set(kData, "37"), set7 = read_set(kData, "48");
  for (std::size_t p = 0; p < set1.size(); ++p) {
    const Entry &e1 = set1[p], &e3 = set3[p], &e7 = set7[p];
    ASSERT_EQ(e1.name + e1.name, e3.name + e7.name);
    EXPECT_EQ(e1.milli, e3.milli) << e1.name;
    EXPECT_TRUE(std::equal(&e1.cd[20], &e1.cd[76], &e3.cd[20]) && std::equal(&e1.cd[20], &e1.cd[71], &e7.cd[20]))
        << e1.name << " differs inside 240-185 nm from set 3 or inside 240-190 nm from set 7";
    int differs_outside = 0;
    for (std::size_t i = 0; i < 83; i = i == 19 ? 76 : i + 1) differs_outside += e1.cd[i] != e3.cd[i];
    EXPECT_GT(differs_outside, 20) << e1.name << ": data outside a set's range carry extra noise";
  }
}

TEST(Mkrefs, SetsOnRequestFollowTheirOptions) {
  ScratchDir a("mkrefs-a"), b("mkrefs-b"), c("mkrefs-c"), d("mkrefs-d");
  const auto set = one_set(a, "--set 1 --count 51 --seed 5", "29");
  one_set(b, "--set 1 --count 51 --seed 5", "29");
  one_set(c, "--set 1 --count 51 --seed 6", "29");
  for (const char* f : {"CDDATA.29", "SSDATA.29"}) EXPECT_EQ(read_file(a / f), read_file(b / f)) << f;
  EXPECT_NE(read_file(a / "CDDATA.29"), read_file(c / "CDDATA.29"));
  ASSERT_EQ(set.size(), 51u);
  EXPECT_EQ(set.front().name + set.back().name, "P001P051");
  for (const Entry& e : set) EXPECT_EQ(e.milli[0] + e.milli[1] + e.milli[2] + e.milli[3] + e.milli[4] + e.milli[5], 1000);
  const auto small = one_set(d, "--set 1 --count 5 --seed 5", "29");  // proteins do not depend on those after
  for (std::size_t p = 0; p < 5; ++p) EXPECT_EQ(small.at(p).cd, set[p].cd);

  // A prefix, more names than decimal digits give, a scale factor written, not applied.
  const auto scaled = one_set(b, "--set 4 --count 120 --seed 2 --name-prefix XY --scale 2", "43");
  const auto plain = one_set(c, "--set 4 --count 120 --seed 2 --name-prefix XY", "43");
  ASSERT_EQ(scaled.size(), 120u);
  std::set<std::string> names;
  for (std::size_t p = 0; p < scaled.size(); ++p) {
    EXPECT_TRUE(scaled[p].name.rfind("XY", 0) == 0 && names.insert(scaled[p].name).second) << scaled[p].name;
    EXPECT_EQ(scaled[p].scale + "|" + plain[p].scale, " 2.000|");
    EXPECT_EQ(scaled[p].cd, plain[p].cd);
  }

  // Five classes for set 5; every eighth protein of a set for unfolding
  // conditions is unfolded-like.
  for (const Entry& e : one_set(d, "--set 5 --count 8 --seed 3", "P2")) EXPECT_EQ(e.milli.size(), 5u) << e.name;
  const auto set7 = one_set(d, "--set 7 --count 16 --seed 3", "48");
  ASSERT_EQ(set7.size(), 16u);
  EXPECT_TRUE(set7[7].milli[5] >= 550 && set7[15].milli[5] >= 550);
  EXPECT_GT(set7[0].milli[0] + set7[4].milli[0], 500);
}

TEST(Mkrefs, RefusesBadArgumentsWithTheReason) {
  ScratchDir tmp("mkrefs-args");
  const std::string out = " --out " + tmp.str();
  const std::pair<std::string, std::string> cases[] = {
      {"--set 9 --count 3 --seed 1" + out, "--set 9: expected a whole number from 1 to 8"},
      {"--set 1 --count 0 --seed 1" + out, "--count 0: expected a whole number"},
      {"--set 1 --count 3" + out, "--set, --count and --seed go together"},
      {"--set 1 --count 40 --seed 1 --name-prefix ABC" + out, "--count 40: at most 35 unique names"},
      {"--set 1 --count 3 --seed 1 --name-prefix ABCD" + out, "--name-prefix: 1 to 3 characters"},
      {"--samples 2 --set 1", "--samples needs --set and --seed"},
      {"--samples 2 --set 1 --seed 1 --range 178 260", "--range FIRST LAST: FIRST must be the longer wavelength"},
      {out + " --frobnicate", "unknown argument --frobnicate"},
      {"--set 1", "--out DIR is needed"},
      {"--samples 1 --set 1 --seed 1 --fold helical", "--fold helical: one of all-alpha, all-beta, alpha/beta"},
      {out + " --fold unfolded", "--range, --fold and --truth belong to --samples"},
  };
  for (const auto& [args, reason] : cases) {
    auto r = run(sh_quote(kMkrefs) + " " + args, tmp);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("cdsec_mkrefs: " + reason), std::string::npos) << args << "\n" << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
  }
  auto r = run(sh_quote(kMkrefs) + " --out " + sh_quote((tmp / "missing").string()), tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a directory"), std::string::npos) << r.err;
  EXPECT_TRUE(names_in(tmp.path()).empty()) << "the refused runs wrote nothing";
}

}  // namespace
