// The run record: statistics of the averaged solutions, the file name, the
// whole JSON text of a completed, a failed and a variable-selection record,
// the check of CDSEC_DETAILS and the atomic write.
#include "frame/run_record.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "frame/package.hpp"
#include "frame/sha256.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;
using cdsec::RecordProgram;
using cdsec::RecordSolution;
using cdsec::RunRecord;
using cdsec::run_record_file_name;
using namespace cdsec_test;
using nlohmann::ordered_json;

namespace {

RecordSolution sol(int nbas, int ns, std::vector<float> f) {
  RecordSolution s;
  s.nbas = nbas;
  s.ns = ns;
  s.fractions = std::move(f);
  return s;
}

// ---------------------------------------------------------------- statistics

TEST(RunRecordStatistics, MeanSampleSdMinMaxPerClass) {
  // Class 1: 0.25, 0.5, 0.75 -> mean 0.5, sd sqrt((0.0625 + 0 + 0.0625) / 2) = 0.25.
  // Class 2: all 1 -> sd 0.  Class 3: -0.03, 0.01, 0.02 -> mean 0, sd sqrt(0.0014 / 2),
  // to the rounding of the float values, taken in double.
  const std::vector<RecordSolution> s = {sol(7, 3, {0.25f, 1.0f, -0.03f}), sol(8, 3, {0.75f, 1.0f, 0.01f}),
                                         sol(9, 2, {0.5f, 1.0f, 0.02f})};
  const cdsec::RecordStatistics st = cdsec::solution_statistics(s);
  EXPECT_EQ(st.count, 3);
  EXPECT_EQ(st.mean, (std::vector<double>{0.5, 1.0, st.mean[2]}));
  EXPECT_NEAR(st.mean[2], 0.0, 1e-9);
  EXPECT_EQ(st.sd, (std::vector<double>{0.25, 0.0, st.sd[2]}));
  EXPECT_NEAR(st.sd[2], std::sqrt(0.0014 / 2.0), 1e-8);
  EXPECT_EQ(st.min, (std::vector<double>{0.25, 1.0, double{-0.03f}}));
  EXPECT_EQ(st.max, (std::vector<double>{0.75, 1.0, double{0.02f}}));

  const cdsec::RecordStatistics one = cdsec::solution_statistics(std::vector{sol(5, 1, {0.3f, 0.7f})});
  EXPECT_EQ(one.count, 1);
  EXPECT_EQ(one.mean, (std::vector<double>{0.3f, 0.7f}));
  EXPECT_EQ(one.sd, (std::vector<double>{0.0, 0.0}));
  EXPECT_EQ(one.min, one.mean);
  EXPECT_EQ(one.max, one.mean);
  const cdsec::RecordStatistics none = cdsec::solution_statistics({});
  EXPECT_EQ(none.count, 0);
  EXPECT_TRUE(none.mean.empty());
}

// ---------------------------------------------------------------- file name

TEST(RunRecordFileName, TitleRule) {
  const auto m = RecordProgram::kMorvan3;
  std::string padded = "Hen egg lysozyme pH 7";
  padded.resize(64, ' ');
  const std::pair<std::string, std::string> cases[] = {
      {padded, "Hen_egg_lysozyme_pH_7"},
      {"a/b\\c:d", "a_b_c_d"},
      {"../../etc/passwd", "etc_passwd"},  // no way out of the directory
      {".hidden", "hidden"},               // and no hidden file
      {"  two  blanks  ", "two_blanks"},
      {"a__b -- c.d", "a_b_--_c.d"},
      {"Lysozym \xC3\xA4 (pH 7)", "Lysozym_pH_7_"},
      {"", "untitled"},
      {std::string(64, ' '), "untitled"},
      {"._._", "untitled"},
      {"\t\n", "untitled"},
      // Cut to 48 characters, counted after merging and stripping.
      {std::string(40, 'A') + " " + std::string(30, 'B'), std::string(40, 'A') + "_" + std::string(7, 'B')},
      {"___" + std::string(50, 'x'), std::string(48, 'x')},
  };
  for (const auto& [title, name] : cases) EXPECT_EQ(run_record_file_name(m, 1, title), "MORVAN3-0001-" + name + ".json");
  EXPECT_EQ(run_record_file_name(RecordProgram::kKestra, 12, "Myoglobin"), "KESTRA-0012-Myoglobin.json");
  EXPECT_EQ(run_record_file_name(m, 12345, "x"), "MORVAN3-12345-x.json");
}

// ---------------------------------------------------------------- JSON text

RunRecord completed_record() {
  RunRecord r;
  r.program = RecordProgram::kMorvan3;
  r.job = 2;
  r.title = "Test \"protein\"   ";
  r.ibasis = 4;
  r.input = {"", "INPUT", "", std::string(64, 'a')};
  r.references = {{"CDDATA.43", "/data/CDDATA.43", "installed", std::string(64, 'b')},
                  {"SSDATA.43", "SSDATA.43", "working directory", ""}};
  r.has_range = true;
  r.longer_nm = 240.0f;
  r.shorter_nm = 190.0f;
  r.points = 51;
  r.factor = 1.5f;
  const std::vector<std::string_view> labels = {"H(r)", "H(d)", "Trn "};
  cdsec::set_labels(r, labels);
  r.warnings = {"a note"};
  r.has_all_basis = true;
  r.all_basis = {0.3f, 0.2f, 0.45f};
  r.all_basis_sum = 0.95f;
  r.fractions = {0.5f, 0.1f, 0.4f};
  r.rmsd = 0.123f;
  r.solutions = {sol(7, 3, {0.25f, 0.5f, 0.25f}), sol(9, 2, {0.75f, 0.5f, 0.5f})};
  const std::vector<float> exp = {1.0f, 2.5f, -0.1f}, calc = {1.1f, 2.4f, 0.0f};
  cdsec::set_spectra(r, 240.0f, exp, calc);
  return r;
}

// The record as parsed, with the package's version and commit checked and
// then masked.
ordered_json parsed(const RunRecord& r) {
  ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  EXPECT_EQ(j["package_version"], cdsec::package_version());
  EXPECT_TRUE(j["package_commit"].is_string());
  j["package_version"] = j["package_commit"] = "@";
  return j;
}

// The whole record, parsed, against the reviewed one (tests/frame/expected).
void expect_as_reviewed(const RunRecord& r, const std::string& name) {
  const ordered_json got = parsed(r);
  const fs::path file = fs::path(CDSEC_SOURCE_DIR) / "tests" / "frame" / "expected" / name;
  EXPECT_EQ(ordered_json::parse(cdsec_test::reviewed(file, got.dump(1) + "\n")), got) << file;
}

TEST(RunRecordJson, CompletedRecordWhole) {
  // Keys in order; floats come back bit for bit; the title loses its
  // trailing blanks, the labels theirs; a digest never taken is null.
  expect_as_reviewed(completed_record(), "completed.json");
}

// Failed and stopped jobs: the programs' records (tests/selfcon and
// tests/varsel run_record_test.cpp).  Here a KESTRA record filled by that
// program's fillers: its solutions carry their trial.
TEST(RunRecordJson, KestraRecordsWhole) {
  RunRecord k;
  k.program = RecordProgram::kKestra;
  k.job = 5;
  cdsec::set_range(k, 240.0f, 190.0f, 51, 2.0f);
  const std::vector<float> ab = {0.1f, 0.2f}, fin = {0.3f, 0.4f}, t1 = {0.25f, 0.5f}, t2 = {0.75f, 0.5f};
  cdsec::set_all_basis(k, ab, 0.3f);
  cdsec::set_final(k, fin, 0.07f);
  cdsec::add_trial_solution(k, 17, t1);
  cdsec::add_trial_solution(k, 4711, t2);
  const std::vector<float> exp = {1.0f, 2.0f};
  cdsec::set_spectra(k, 190.0f, exp, {});
  expect_as_reviewed(k, "kestra.json");
}

TEST(RunRecordJson, AlwaysValidJson) {
  RunRecord r = completed_record();
  r.title = "Bad \xFF\xFE bytes \x01 and \"quotes\"\\";
  r.references[0].path = "/odd\npath/\xC3";
  r.rmsd = std::numeric_limits<float>::quiet_NaN();
  r.fractions[1] = std::numeric_limits<float>::infinity();
  r.solutions[0].fractions[0] = -std::numeric_limits<float>::infinity();
  const ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  EXPECT_EQ(j["title"], "Bad \xEF\xBF\xBD\xEF\xBF\xBD bytes \x01 and \"quotes\"\\");
  EXPECT_EQ(j["references"][0]["path"], "/odd\npath/\xEF\xBF\xBD");
  EXPECT_TRUE(j["rmsd"].is_null());
  EXPECT_TRUE(j["fractions"][1].is_null());
  EXPECT_TRUE(j["solutions"][0]["fractions"][0].is_null());
  EXPECT_TRUE(j["statistics"]["mean"][0].is_null());  // -inf enters the mean
}

// ---------------------------------------------------------------- provenance

TEST(RunRecordFiles, OriginsAndDigests) {
  using From = cdsec::RefFileLocation::From;
  const std::pair<From, const char*> origins[] = {{From::kWorkingDir, "working directory"},
                                                  {From::kRefDirVariable, "CDSEC_REFDIR"},
                                                  {From::kInstalled, "installed"},
                                                  {From::kSourceTree, "source tree"}};
  for (auto [from, name] : origins) EXPECT_EQ(cdsec::origin_name(from), name);
  ScratchDir d("record");
  const fs::path f = d / "CDDATA.29";
  std::ofstream(f, std::ios::binary) << "abc";
  const cdsec::RecordFile rf = cdsec::describe_reference({f.string(), From::kRefDirVariable});
  EXPECT_EQ(rf.name, "CDDATA.29");
  EXPECT_EQ(rf.path, f.string());
  EXPECT_EQ(rf.origin, "CDSEC_REFDIR");
  EXPECT_EQ(rf.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(cdsec::describe_input((d / "missing").string()).sha256, "");
  // A file never found is not listed among the references.
  RunRecord r;
  cdsec::add_references(r, {f.string(), From::kInstalled}, {});
  ASSERT_EQ(r.references.size(), 1u);
  EXPECT_EQ(r.references[0].origin, "installed");
}

// ---------------------------------------------------------------- CDSEC_DETAILS

TEST(DetailsDirectory, UnsetEmptyWritableAndRefused) {
  for (const char* v : {static_cast<const char*>(nullptr), ""}) {
    const cdsec::DetailsDirectory d = cdsec::details_directory(v);
    EXPECT_FALSE(d.enabled);
    EXPECT_TRUE(d.error.empty());
  }
  ScratchDir t("record");
  const cdsec::DetailsDirectory ok = cdsec::details_directory(t.str().c_str());
  EXPECT_TRUE(ok.enabled);
  EXPECT_TRUE(ok.error.empty());
  EXPECT_EQ(ok.dir, t.path());
  EXPECT_TRUE(names_in(t.path()).empty()) << "the probe is left behind";

  const fs::path file = t / "a-file";
  std::ofstream(file) << "x";
  std::vector<std::pair<fs::path, std::string>> cases = {{t / "no-such-dir", "does not exist"},
                                                         {file, "is not a directory"}};
#ifndef _WIN32
  // /proc takes no new files, whoever asks.
  if (fs::is_directory("/proc")) cases.push_back({"/proc", "cannot be written"});
#endif
  // Nor does a read-only folder, unless the permissions do not bind (root).
  const fs::path ro = t / "read-only";
  fs::create_directory(ro);
  fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
  if (!std::ofstream(ro / "try")) cases.push_back({ro, "cannot be written"});
  for (const auto& [p, why] : cases) {
    const cdsec::DetailsDirectory d = cdsec::details_directory(p.string().c_str());
    EXPECT_FALSE(d.enabled) << p;
    EXPECT_NE(d.error.find("CDSEC_DETAILS"), std::string::npos) << d.error;
    EXPECT_NE(d.error.find(p.string()), std::string::npos) << d.error;
    EXPECT_NE(d.error.find(why), std::string::npos) << d.error;
  }
  fs::permissions(ro, fs::perms::owner_all);
}

// ---------------------------------------------------------------- writing

TEST(WriteRunRecord, WritesAndReplacesUnderItsNameAndWarnsWhenItCannot) {
  ScratchDir t("record");
  RunRecord r = completed_record();
  std::ostringstream warn;
  ASSERT_TRUE(cdsec::write_run_record(t.path(), r, warn));
  const std::string name = "MORVAN3-0002-Test_protein_.json";
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{name});
  EXPECT_EQ(read_file(t / name), cdsec::run_record_json(r));
  r.rmsd = 0.5f;
  ASSERT_TRUE(cdsec::write_run_record(t.path(), r, warn));
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{name});  // replaced, no temporary left
  EXPECT_EQ(read_file(t / name), cdsec::run_record_json(r));
  EXPECT_TRUE(warn.str().empty());

  // A directory where the record should go cannot be replaced by a file;
  // nor can a record go into a folder that is gone.
  ScratchDir u("record");
  fs::create_directory(u / name);
  EXPECT_FALSE(cdsec::write_run_record(u.path(), r, warn));
  EXPECT_NE(warn.str().find("warning"), std::string::npos) << warn.str();
  EXPECT_NE(warn.str().find(name), std::string::npos) << warn.str();
  EXPECT_EQ(names_in(u.path()), std::vector<std::string>{name});
  std::ostringstream warn2;
  EXPECT_FALSE(cdsec::write_run_record(u / "gone", r, warn2));
  EXPECT_NE(warn2.str().find("warning"), std::string::npos);
}

TEST(RunRecorder, FillsTheInputOnceAndWritesOnlyWhenEnabled) {
  ScratchDir t("record");
  const fs::path input = t / "INPUT";
  std::ofstream(input, std::ios::binary) << "abc";
  const fs::path out = t / "out";
  fs::create_directory(out);
  cdsec::RunRecorder on(RecordProgram::kKestra, input.string(), cdsec::details_directory(out.string().c_str()));
  ASSERT_TRUE(on.enabled());
  RunRecord r = on.begin(7);
  EXPECT_EQ(r.program, RecordProgram::kKestra);
  EXPECT_EQ(r.job, 7);
  EXPECT_EQ(r.input.path, input.string());
  EXPECT_EQ(r.input.sha256, cdsec::sha256_hex("abc"));
  r.title = "Seven";
  on.write(r);
  EXPECT_EQ(names_in(out), std::vector<std::string>{"KESTRA-0007-Seven.json"});

  cdsec::RunRecorder off(RecordProgram::kKestra, input.string(), cdsec::details_directory(nullptr));
  EXPECT_FALSE(off.enabled());
  EXPECT_FALSE(off.refused());
  RunRecord s = off.begin(8);
  s.title = "Eight";
  off.write(s);
  EXPECT_EQ(names_in(out), std::vector<std::string>{"KESTRA-0007-Seven.json"});
}

}  // namespace
