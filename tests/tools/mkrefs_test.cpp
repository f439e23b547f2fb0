// The reference-set generator: the bundled sets in data/ are exactly what it
// makes, every file has the fixed-column layout the programs read, and the
// model behaves like protein CD (helix content drives the 222/208/192 nm
// bands, unfolded-state proteins only where they belong).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/refsets.hpp"
#include "frame/text_input.hpp"
#include "tests/tool_run.hpp"

namespace {

using cdsec_test::fs::path;
using cdsec_test::read_file;
using cdsec_test::run;
using cdsec_test::ScratchDir;
using cdsec_test::sh_quote;

const path kData = path(CDSEC_SOURCE_DIR) / "data";
const std::string kMkrefs = CDSEC_MKREFS;

struct Entry {
  std::string name, ss_name;
  float scale = 0;
  bool scale_blank = true;
  std::array<float, 83> cd{};
  std::array<int, 6> milli{};  // fractions in thousandths
  int nfields = 0;             // fraction fields on the line
};

// Reads a set with the fixed-column readers and checks the layout on the
// way: a blank column 1, 15 values of 6 columns on lines 1-5 of a spectrum
// and 8 on line 6, fraction fields of 8 columns with 3 decimals.
std::vector<Entry> read_set(const path& dir, const std::string& suffix) {
  std::vector<Entry> out;
  cdsec::LineReader cd, ss;
  cd.open((dir / ("CDDATA." + suffix)).string());
  ss.open((dir / ("SSDATA." + suffix)).string());
  std::string line;
  EXPECT_TRUE(cd.skip());
  EXPECT_TRUE(cd.skip());
  while (cd.next(line)) {
    Entry e;
    cdsec::FixedLine nl(line, cd);
    EXPECT_EQ(line[0], ' ') << cd.name() << " line " << cd.line_no();
    e.name = nl.A(2, 4);
    e.scale_blank = line.size() <= 5 || line.find_first_not_of(' ', 5) == std::string::npos;
    e.scale = nl.F(6, 6, 3);
    EXPECT_LE(line.size(), 11u);
    for (int l = 0; l < 6; ++l) {
      cd.require(line, "CD values");
      int n = l < 5 ? 15 : 8;
      EXPECT_EQ(line.size(), static_cast<std::size_t>(6 * n)) << cd.name() << " line " << cd.line_no();
      cdsec::FixedLine vl(line, cd);
      for (int k = 0; k < n; ++k) {
        EXPECT_EQ(line[static_cast<std::size_t>(6 * k + 3)], '.') << cd.name() << " line " << cd.line_no();
        e.cd[static_cast<std::size_t>(15 * l + k)] = vl.F(1 + 6 * k, 6, 2);
      }
    }
    ss.require(line, "an SSDATA name line");
    EXPECT_EQ(line[0], ' ');
    e.ss_name = cdsec::FixedLine(line, ss).A(2, 4);
    ss.require(line, "an SSDATA fraction line");
    EXPECT_EQ(line.size() % 8, 0u);
    e.nfields = static_cast<int>(line.size() / 8);
    cdsec::FixedLine fl(line, ss);
    for (int k = 0; k < e.nfields && k < 6; ++k)
      e.milli[static_cast<std::size_t>(k)] = static_cast<int>(std::lround(fl.F(1 + 8 * k, 8, 3) * 1000.0f));
    out.push_back(e);
  }
  EXPECT_FALSE(ss.next(line)) << "SSDATA." << suffix << " holds more proteins than CDDATA." << suffix;
  return out;
}

float at(const Entry& e, int nm) { return e.cd[static_cast<std::size_t>(260 - nm)]; }

float pearson(const std::vector<float>& a, const std::vector<float>& b) {
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
  ma /= static_cast<double>(a.size());
  mb /= static_cast<double>(b.size());
  double sab = 0, saa = 0, sbb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return static_cast<float>(sab / std::sqrt(saa * sbb));
}

struct Expected {
  int ibasis;
  const char* suffix;
  int count, nfields;
};
constexpr Expected kSets[] = {{1, "29", 29, 6}, {2, "23", 23, 6}, {3, "37", 37, 6}, {4, "43", 43, 6},
                              {5, "P2", 30, 5}, {6, "42", 42, 6}, {7, "48", 48, 6}, {8, "CA", 45, 6}};

// ---------------------------------------------------------------- bundled sets

TEST(MkrefsBundled, GeneratorRewritesTheCommittedFilesByteForByte) {
  ScratchDir tmp("mkrefs");
  auto r = run(sh_quote(kMkrefs) + " --out " + sh_quote(tmp.str()), tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  int files = 0;
  for (const Expected& s : kSets) {
    for (const char* kind : {"CDDATA.", "SSDATA."}) {
      std::string name = std::string(kind) + s.suffix;
      ASSERT_TRUE(cdsec_test::fs::exists(kData / name)) << name << " missing from data/";
      EXPECT_EQ(read_file(tmp / name), read_file(kData / name)) << name << " differs from the generator's output";
      ++files;
    }
  }
  // Nothing else is written, and data/ holds no stale set files.
  int made = 0;
  for (const auto& f : cdsec_test::fs::directory_iterator(tmp.path()))
    if (f.path().filename().string().rfind("run", 0) != 0) ++made;
  EXPECT_EQ(made, files);
  int bundled = 0;
  for (const auto& f : cdsec_test::fs::directory_iterator(kData)) {
    std::string n = f.path().filename().string();
    if (n.rfind("CDDATA.", 0) == 0 || n.rfind("SSDATA.", 0) == 0) ++bundled;
  }
  EXPECT_EQ(bundled, files);
}

TEST(MkrefsBundled, HelixContentDrivesTheHelixBands) {
  auto set = read_set(kData, "29");
  std::vector<float> helix, v222, v208, v192;
  for (const Entry& e : set) {
    helix.push_back(static_cast<float>(e.milli[0] + e.milli[1]) / 1000.0f);
    v222.push_back(at(e, 222));
    v208.push_back(at(e, 208));
    v192.push_back(at(e, 192));
  }
  EXPECT_LT(pearson(helix, v222), -0.9f);
  EXPECT_LT(pearson(helix, v208), -0.9f);
  EXPECT_GT(pearson(helix, v192), 0.9f);
  // A mostly helical protein: maximum at 188-196 nm, two minima near 208 and
  // 222 nm of similar depth, zero crossing between 198 and 206 nm.
  int checked = 0;
  for (const Entry& e : set) {
    if (e.milli[0] + e.milli[1] < 600) continue;
    ++checked;
    int imax = 0;
    for (int j = 0; j < 83; ++j)
      if (e.cd[static_cast<std::size_t>(j)] > e.cd[static_cast<std::size_t>(imax)]) imax = j;
    EXPECT_GE(260 - imax, 188) << e.name;
    EXPECT_LE(260 - imax, 196) << e.name;
    EXPECT_LT(at(e, 222), -4.5f) << e.name;
    EXPECT_LT(at(e, 208), -4.5f) << e.name;
    EXPECT_NEAR(at(e, 208) / at(e, 222), 1.0f, 0.3f) << e.name;
    EXPECT_LT(at(e, 206), 0.0f) << e.name;
    EXPECT_GT(at(e, 198), 0.0f) << e.name;
  }
  EXPECT_GE(checked, 3);
}

TEST(MkrefsBundled, StrandRichProteinsShowTheSheetBands) {
  auto set = read_set(kData, "29");
  int checked = 0;
  for (const Entry& e : set) {
    if (e.milli[2] + e.milli[3] < 400) continue;
    ++checked;
    // Negative band near 216-218 nm, positive near 195-198 nm, far weaker
    // than a helix spectrum.
    EXPECT_LT(at(e, 217), -1.0f) << e.name;
    EXPECT_GT(std::max(at(e, 197), at(e, 195)), 0.5f) << e.name;
    EXPECT_GT(at(e, 222), -4.0f) << e.name;
  }
  EXPECT_GE(checked, 3);
}

TEST(MkrefsBundled, UnfoldedStateProteinsOnlyInTheSetsForUnfoldingConditions) {
  for (const Expected& s : kSets) {
    SCOPED_TRACE(std::string("set ") + s.suffix);
    int unfolded = 0;
    for (const Entry& e : read_set(kData, s.suffix)) {
      if (e.name[0] != 'D') continue;
      ++unfolded;
      EXPECT_GE(e.milli[5], 550) << e.name;                  // Unrd
      EXPECT_LE(e.milli[0] + e.milli[1], 60) << e.name;      // next to no helix
      // The strong negative band of the unfolded chain near 195-202 nm.
      int imin = 260 - 240;
      for (int nm = 240; nm >= 190; --nm)
        if (at(e, nm) < e.cd[static_cast<std::size_t>(imin)]) imin = 260 - nm;
      EXPECT_GE(260 - imin, 195) << e.name;
      EXPECT_LE(260 - imin, 202) << e.name;
      EXPECT_LT(e.cd[static_cast<std::size_t>(imin)], -3.0f) << e.name;
    }
    EXPECT_EQ(unfolded, (s.ibasis == 6 || s.ibasis == 7) ? 5 : 0);
  }
}

TEST(MkrefsBundled, SharedProteinsAgreeInsideTheValidRangeOnly) {
  auto set1 = read_set(kData, "29"), set3 = read_set(kData, "37"), set7 = read_set(kData, "48");
  ASSERT_EQ(set1[0].name, set3[0].name);
  ASSERT_EQ(set1[0].name, set7[0].name);
  for (std::size_t p = 0; p < set1.size(); ++p) {
    int differs_outside = 0;
    for (int nm = 260; nm >= 178; --nm) {
      bool inside3 = nm <= 240 && nm >= 185;
      if (inside3)
        EXPECT_EQ(at(set1[p], nm), at(set3[p], nm)) << set1[p].name << " at " << nm << " nm";
      else if (at(set1[p], nm) != at(set3[p], nm))
        ++differs_outside;
    }
    // Data outside a set's range carry extra noise.
    EXPECT_GT(differs_outside, 20) << set1[p].name;
    EXPECT_EQ(set1[p].milli, set3[p].milli) << set1[p].name;
    for (int nm = 240; nm >= 190; --nm) EXPECT_EQ(at(set1[p], nm), at(set7[p], nm));
  }
}

// ---------------------------------------------------------------- sets on request

std::string one_set(const ScratchDir& dir, const std::string& args) {
  auto r = run(sh_quote(kMkrefs) + " " + args + " --out " + sh_quote(dir.str()), dir);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.err;
}

TEST(MkrefsSetOnRequest, CountNamesAndReproducibility) {
  ScratchDir a("mkrefs-a"), b("mkrefs-b"), c("mkrefs-c");
  one_set(a, "--set 1 --count 51 --seed 5");
  one_set(b, "--set 1 --count 51 --seed 5");
  one_set(c, "--set 1 --count 51 --seed 6");
  EXPECT_EQ(read_file(a / "CDDATA.29"), read_file(b / "CDDATA.29"));
  EXPECT_EQ(read_file(a / "SSDATA.29"), read_file(b / "SSDATA.29"));
  EXPECT_NE(read_file(a / "CDDATA.29"), read_file(c / "CDDATA.29"));
  auto set = read_set(a.path(), "29");
  ASSERT_EQ(set.size(), 51u);
  EXPECT_EQ(set.front().name, "P001");
  EXPECT_EQ(set.back().name, "P051");
  for (const Entry& e : set) EXPECT_EQ(e.milli[0] + e.milli[1] + e.milli[2] + e.milli[3] + e.milli[4] + e.milli[5], 1000);
  // A protein does not depend on how many follow it.
  ScratchDir d("mkrefs-d");
  one_set(d, "--set 1 --count 5 --seed 5");
  auto small = read_set(d.path(), "29");
  ASSERT_EQ(small.size(), 5u);
  for (std::size_t p = 0; p < 5; ++p) EXPECT_EQ(small[p].cd, set[p].cd);
}

TEST(MkrefsSetOnRequest, PrefixScaleAndLongSets) {
  ScratchDir a("mkrefs-a"), b("mkrefs-b");
  one_set(a, "--set 4 --count 120 --seed 2 --name-prefix XY --scale 2");
  one_set(b, "--set 4 --count 120 --seed 2 --name-prefix XY");
  auto scaled = read_set(a.path(), "43"), plain = read_set(b.path(), "43");
  ASSERT_EQ(scaled.size(), 120u);
  std::set<std::string> names;
  for (std::size_t p = 0; p < scaled.size(); ++p) {
    EXPECT_EQ(scaled[p].name.substr(0, 2), "XY");
    EXPECT_TRUE(names.insert(scaled[p].name).second) << scaled[p].name;
    EXPECT_FALSE(scaled[p].scale_blank);
    EXPECT_EQ(scaled[p].scale, 2.0f);
    EXPECT_TRUE(plain[p].scale_blank);
    EXPECT_EQ(scaled[p].cd, plain[p].cd);  // the factor is written, not applied
  }
}

TEST(MkrefsSetOnRequest, ClassStructureFollowsTheSet) {
  ScratchDir a("mkrefs-a");
  one_set(a, "--set 5 --count 8 --seed 3");
  one_set(a, "--set 7 --count 16 --seed 3");
  for (const Entry& e : read_set(a.path(), "P2")) EXPECT_EQ(e.nfields, 5) << e.name;
  auto set7 = read_set(a.path(), "48");
  ASSERT_EQ(set7.size(), 16u);
  // Every eighth protein of a set for unfolding conditions is unfolded-like.
  EXPECT_GE(set7[7].milli[5], 550);
  EXPECT_GE(set7[15].milli[5], 550);
  int folded_helix = 0;
  for (int p : {0, 4}) folded_helix += set7[static_cast<std::size_t>(p)].milli[0];
  EXPECT_GT(folded_helix, 500);
}

// ---------------------------------------------------------------- samples

TEST(MkrefsSamples, PrintedAsJobsInTheBuilderLayout) {
  ScratchDir tmp("mkrefs-samples");
  auto r = run(sh_quote(kMkrefs) + " --samples 3 --seed 11 --set 3 --truth " + sh_quote((tmp / "truth").string()), tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  cdsec_test::write_file(tmp / "INPUT", r.out);

  // Line by line as the INPUT builder writes a job.
  std::vector<std::string> lines;
  std::size_t b = 0;
  for (std::size_t e; (e = r.out.find('\n', b)) != std::string::npos; b = e + 1) lines.push_back(r.out.substr(b, e - b));
  ASSERT_EQ(lines.size(), 3u * (11 + 6 + 3));
  EXPECT_EQ(lines[0], "#" + std::string(50, ' '));
  EXPECT_EQ(lines[1], "# PRINT   Basis_1    Basis_2     Basis_3    SEGMENT");
  EXPECT_EQ(lines[2], "      0         3          0           0          1");
  EXPECT_EQ(lines[4], "# 1 Title Line" + std::string(37, ' '));
  EXPECT_EQ(lines[5].size(), 40u);
  EXPECT_EQ(lines[7], "#     WL_Begin     WL_End       Factor" + std::string(13, ' '));
  EXPECT_EQ(lines[8], "    240.0000    185.0000      1.0000");
  EXPECT_EQ(lines[10], "# CDDATA (Long->Short Wavelength; 260 - 178 LIMITS ");
  EXPECT_EQ(lines[11].size(), 80u);
  EXPECT_EQ(lines[16].size(), 48u);  // 56 values: five lines of ten and six
  EXPECT_EQ(lines[18], "#  IGuess  Str1   Str2   Str3   Str4   Str5    Str6");
  EXPECT_EQ(lines[19], "        0" + std::string(42, ' '));

  // And read back by the job reader of the analysis programs.
  cdsec::LineReader in;
  in.open((tmp / "INPUT").string());
  cdsec::JobReader job(in);
  int jobs = 0;
  std::set<std::string> titles;
  while (job.begin()) {
    ++jobs;
    int iprint, ibasis, iguess;
    float first, last, factor;
    cdsec::Vector<100> cd;
    cdsec::Vector<6> guess;
    job.read_print_basis(iprint, ibasis);
    EXPECT_EQ(iprint, 0);
    EXPECT_EQ(ibasis, 3);
    titles.insert(job.read_title(40));
    job.read_range(first, last, factor);
    EXPECT_EQ(first, 240.0f);
    EXPECT_EQ(last, 185.0f);
    EXPECT_EQ(factor, 1.0f);
    job.read_cd(56, 100, cd);
    job.skip_after_cd();
    job.read_guess(6, iguess, guess);
    EXPECT_EQ(iguess, 0);
  }
  EXPECT_EQ(jobs, 3);
  EXPECT_EQ(titles.size(), 3u);

  // The fractions the samples were made from: a heading, one line each.
  std::string truth = read_file(tmp / "truth");
  EXPECT_EQ(truth.substr(0, truth.find('\n')),
            " Name Set Fold          H(r)   H(d)   S(r)   S(d)   Trn    Unrd");
  EXPECT_NE(truth.find(" P001  3  all-alpha"), std::string::npos) << truth;
  EXPECT_NE(truth.find(" P003  3 alpha/beta"), std::string::npos) << truth;
}

TEST(MkrefsSamples, BelongToNoBundledSet) {
  ScratchDir tmp("mkrefs-samples");
  auto r = run(sh_quote(kMkrefs) + " --samples 5 --seed 1969 --set 1", tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  cdsec_test::write_file(tmp / "INPUT", r.out);
  cdsec::LineReader in;
  in.open((tmp / "INPUT").string());
  cdsec::JobReader job(in);
  auto set = read_set(kData, "29");
  int jobs = 0;
  while (job.begin()) {
    ++jobs;
    int iprint, ibasis, iguess;
    float first, last, factor;
    cdsec::Vector<100> cd;
    cdsec::Vector<6> guess;
    job.read_print_basis(iprint, ibasis);
    job.read_title(40);
    job.read_range(first, last, factor);
    ASSERT_EQ(first - last + 1, 83.0f);
    job.read_cd(83, 100, cd);
    job.skip_after_cd();
    job.read_guess(6, iguess, guess);
    for (const Entry& e : set) {
      double d = 0;
      for (int j = 0; j < 83; ++j) d += (cd(j + 1) - e.cd[static_cast<std::size_t>(j)]) * (cd(j + 1) - e.cd[static_cast<std::size_t>(j)]);
      EXPECT_GT(std::sqrt(d / 83), 0.1) << "sample " << jobs << " is almost reference protein " << e.name;
    }
  }
  EXPECT_EQ(jobs, 5);
}

// ---------------------------------------------------------------- the demo job file

TEST(MkrefsDemo, ExampleInputIsWhatMakeInputWrites) {
  ScratchDir tmp("mkrefs-demo");
  const path build = path(kMkrefs).parent_path().parent_path();
  const path examples = path(CDSEC_SOURCE_DIR) / "examples";
  auto r = run(sh_quote((examples / "make-input.sh").string()) + " " + sh_quote(build.string()) + " " + sh_quote(tmp.str()), tmp);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(tmp / "INPUT"), read_file(examples / "INPUT"));
  EXPECT_EQ(read_file(tmp / "SAMPLES.txt"), read_file(examples / "SAMPLES.txt"));

  // Four jobs, three for set 1 over 260-178 nm and one for set 6 over
  // 240-185 nm, none of them a protein of the set it names.
  cdsec::LineReader in;
  in.open((examples / "INPUT").string());
  cdsec::JobReader job(in);
  const int want_set[] = {1, 1, 1, 6};
  int jobs = 0;
  while (job.begin()) {
    ASSERT_LT(jobs, 4);
    int iprint, ibasis, iguess;
    float first, last, factor;
    cdsec::Vector<100> cd;
    cdsec::Vector<6> guess;
    job.read_print_basis(iprint, ibasis);
    EXPECT_EQ(ibasis, want_set[jobs]);
    EXPECT_EQ(job.read_title(40).rfind("Synthetic sample S", 0), 0u);
    job.read_range(first, last, factor);
    const cdsec::RefSetInfo& set = *cdsec::find_ref_set(ibasis);
    EXPECT_EQ(first, set.long_limit);
    EXPECT_EQ(last, set.short_limit);
    int n = static_cast<int>(first - last) + 1;
    job.read_cd(n, 100, cd);
    job.skip_after_cd();
    job.read_guess(set.ns, iguess, guess);
    EXPECT_EQ(iguess, 0);
    const int k0 = 260 - static_cast<int>(first);
    for (const Entry& e : read_set(kData, std::string(set.suffix))) {
      double d = 0;
      for (int i = 1; i <= n; ++i) {
        double x = cd(i) - e.cd[static_cast<std::size_t>(k0 + i - 1)];
        d += x * x;
      }
      EXPECT_GT(std::sqrt(d / n), 0.1) << "job " << jobs + 1 << " is almost " << e.name;
    }
    ++jobs;
  }
  EXPECT_EQ(jobs, 4);
  std::string samples = read_file(examples / "SAMPLES.txt");
  EXPECT_NE(samples.find(" S601  6   unfolded"), std::string::npos) << samples;
}

// ---------------------------------------------------------------- command line

TEST(MkrefsCommandLine, RefusesBadArgumentsWithTheReason) {
  ScratchDir tmp("mkrefs-args");
  struct Case {
    std::string args, reason;
  } cases[] = {
      {"--set 9 --count 3 --seed 1 --out " + tmp.str(), "--set 9: expected a whole number from 1 to 8"},
      {"--set 1 --count 0 --seed 1 --out " + tmp.str(), "--count 0: expected a whole number"},
      {"--set 1 --count 3 --out " + tmp.str(), "--set, --count and --seed go together"},
      {"--set 1 --count 40 --seed 1 --name-prefix ABC --out " + tmp.str(), "--count 40: at most 35 unique names"},
      {"--set 1 --count 3 --seed 1 --name-prefix ABCD --out " + tmp.str(), "--name-prefix: 1 to 3 characters"},
      {"--samples 2 --set 1", "--samples needs --set and --seed"},
      {"--samples 2 --set 1 --seed 1 --range 178 260", "--range FIRST LAST: FIRST must be the longer wavelength"},
      {"--out " + tmp.str() + " --frobnicate", "unknown argument --frobnicate"},
      {"--set 1", "--out DIR is needed"},
      {"--samples 1 --set 1 --seed 1 --fold helical", "--fold helical: one of all-alpha, all-beta, alpha/beta"},
      {"--out " + tmp.str() + " --fold unfolded", "--range, --fold and --truth belong to --samples"},
  };
  for (const Case& c : cases) {
    auto r = run(sh_quote(kMkrefs) + " " + c.args, tmp);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_NE(r.err.find("cdsec_mkrefs: " + c.reason), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << c.args;
  }
  auto r = run(sh_quote(kMkrefs) + " --out " + sh_quote((tmp / "missing").string()), tmp);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("not a directory"), std::string::npos) << r.err;
  // Nothing was written by the refused runs.
  for (const auto& f : cdsec_test::fs::directory_iterator(tmp.path()))
    EXPECT_EQ(f.path().filename().string().rfind("run", 0), 0u) << f.path();
}

}  // namespace
