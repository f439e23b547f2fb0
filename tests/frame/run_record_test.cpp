// The run record: statistics of the averaged solutions, the file name, the
// JSON text and its keys, the check of CDSEC_DETAILS and the atomic write.
#include "frame/run_record.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "frame/package.hpp"
#include "frame/sha256.hpp"
#include "tests/tool_run.hpp"

namespace fs = std::filesystem;
using cdsec::RecordProgram;
using cdsec::RecordSolution;
using cdsec::RunRecord;
using cdsec::run_record_file_name;
using nlohmann::ordered_json;

namespace {

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> n{0};
    path_ = fs::temp_directory_path() / ("cdsec-record-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

using cdsec_test::names_in;

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
  // Class 2: all 1 -> sd 0.  Class 3: -0.03, 0.01, 0.02 -> mean 0, sd sqrt(0.0014 / 2).
  const std::vector<RecordSolution> s = {sol(7, 3, {0.25f, 1.0f, -0.03f}), sol(8, 3, {0.75f, 1.0f, 0.01f}),
                                         sol(9, 2, {0.5f, 1.0f, 0.02f})};
  const cdsec::RecordStatistics st = cdsec::solution_statistics(s);
  EXPECT_EQ(st.count, 3);
  ASSERT_EQ(st.mean.size(), 3u);
  EXPECT_DOUBLE_EQ(st.mean[0], 0.5);
  EXPECT_DOUBLE_EQ(st.sd[0], 0.25);
  EXPECT_DOUBLE_EQ(st.min[0], 0.25);
  EXPECT_DOUBLE_EQ(st.max[0], 0.75);
  EXPECT_DOUBLE_EQ(st.mean[1], 1.0);
  EXPECT_DOUBLE_EQ(st.sd[1], 0.0);
  // The statistics are taken of the float values as stored, in double.
  const double a = -0.03f, b = 0.01f, c = 0.02f, m = (a + b + c) / 3.0;
  EXPECT_DOUBLE_EQ(st.mean[2], m);
  EXPECT_NEAR(st.mean[2], 0.0, 1e-9);
  EXPECT_DOUBLE_EQ(st.sd[2], std::sqrt(((a - m) * (a - m) + (b - m) * (b - m) + (c - m) * (c - m)) / 2.0));
  EXPECT_NEAR(st.sd[2], std::sqrt(0.0014 / 2.0), 1e-8);
  EXPECT_DOUBLE_EQ(st.min[2], a);
  EXPECT_DOUBLE_EQ(st.max[2], c);
}

TEST(RunRecordStatistics, SingleAndNoSolution) {
  const std::vector<RecordSolution> one = {sol(5, 1, {0.3f, 0.7f})};
  const cdsec::RecordStatistics st = cdsec::solution_statistics(one);
  EXPECT_EQ(st.count, 1);
  EXPECT_DOUBLE_EQ(st.mean[0], double{0.3f});
  EXPECT_DOUBLE_EQ(st.sd[0], 0.0);
  EXPECT_DOUBLE_EQ(st.min[1], double{0.7f});
  EXPECT_DOUBLE_EQ(st.max[1], double{0.7f});
  const cdsec::RecordStatistics none = cdsec::solution_statistics({});
  EXPECT_EQ(none.count, 0);
  EXPECT_TRUE(none.mean.empty());
}

// ---------------------------------------------------------------- file name

TEST(RunRecordFileName, TitleRule) {
  const auto m = RecordProgram::kMorvan3;
  std::string padded = "Hen egg lysozyme pH 7";
  padded.resize(64, ' ');
  EXPECT_EQ(run_record_file_name(m, 3, padded), "MORVAN3-0003-Hen_egg_lysozyme_pH_7.json");
  EXPECT_EQ(run_record_file_name(RecordProgram::kKestra, 12, "Myoglobin"), "KESTRA-0012-Myoglobin.json");
  EXPECT_EQ(run_record_file_name(m, 1, "a/b\\c:d"), "MORVAN3-0001-a_b_c_d.json");
  // No way out of the directory, and no hidden file.
  EXPECT_EQ(run_record_file_name(m, 1, "../../etc/passwd"), "MORVAN3-0001-etc_passwd.json");
  EXPECT_EQ(run_record_file_name(m, 1, ".hidden"), "MORVAN3-0001-hidden.json");
  EXPECT_EQ(run_record_file_name(m, 1, "  two  blanks  "), "MORVAN3-0001-two_blanks.json");
  EXPECT_EQ(run_record_file_name(m, 1, "a__b -- c.d"), "MORVAN3-0001-a_b_--_c.d.json");
  EXPECT_EQ(run_record_file_name(m, 1, "Lysozym \xC3\xA4 (pH 7)"), "MORVAN3-0001-Lysozym_pH_7_.json");
  EXPECT_EQ(run_record_file_name(m, 1, ""), "MORVAN3-0001-untitled.json");
  EXPECT_EQ(run_record_file_name(m, 1, std::string(64, ' ')), "MORVAN3-0001-untitled.json");
  EXPECT_EQ(run_record_file_name(m, 1, "._._"), "MORVAN3-0001-untitled.json");
  EXPECT_EQ(run_record_file_name(m, 1, "\t\n"), "MORVAN3-0001-untitled.json");
  EXPECT_EQ(run_record_file_name(m, 12345, "x"), "MORVAN3-12345-x.json");
}

TEST(RunRecordFileName, LongTitlesAreCutTo48) {
  const std::string title = std::string(40, 'A') + " " + std::string(30, 'B');
  const std::string name = run_record_file_name(RecordProgram::kMorvan3, 2, title);
  EXPECT_EQ(name, "MORVAN3-0002-" + std::string(40, 'A') + "_" + std::string(7, 'B') + ".json");
  // The cut counts characters after merging and stripping.
  const std::string lead = "___" + std::string(50, 'x');
  EXPECT_EQ(run_record_file_name(RecordProgram::kMorvan3, 2, lead), "MORVAN3-0002-" + std::string(48, 'x') + ".json");
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
  r.has_all_basis = true;
  r.all_basis = {0.3f, 0.2f, 0.45f};
  r.all_basis_sum = 0.95f;
  r.fractions = {0.5f, 0.1f, 0.4f};
  r.rmsd = 0.123f;
  r.solutions = {sol(7, 3, {0.25f, 0.1f, 0.4f}), sol(9, 2, {0.75f, 0.1f, 0.4f})};
  const std::vector<float> exp = {1.0f, 2.5f, -0.1f}, calc = {1.1f, 2.4f, 0.0f};
  cdsec::set_spectra(r, 240.0f, exp, calc);
  return r;
}

TEST(RunRecordJson, KeysInOrderAndValues) {
  const RunRecord r = completed_record();
  const ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  std::vector<std::string> keys;
  for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
  const std::vector<std::string> want = {"format",     "format_version", "package_version", "package_commit",
                                         "program",    "job",
                                         "title",      "ibasis",         "input",           "references",
                                         "range_nm",   "factor",         "labels",          "status",  "failure",
                                         "warnings",   "all_basis",  "fractions",      "rmsd",            "solutions",
                                         "statistics", "spectra"};
  EXPECT_EQ(keys, want);
  EXPECT_EQ(j["format"], "cdsec-run-record");
  EXPECT_EQ(j["format_version"], 1);
  EXPECT_EQ(j["package_version"], cdsec::package_version());
  EXPECT_EQ(j["program"], "MORVAN3");
  EXPECT_EQ(j["job"], 2);
  EXPECT_EQ(j["title"], "Test \"protein\"");
  EXPECT_EQ(j["ibasis"], 4);
  EXPECT_EQ(j["input"], ordered_json::parse(R"({"path": "INPUT", "sha256": ")" + std::string(64, 'a') + "\"}"));
  ASSERT_EQ(j["references"].size(), 2u);
  EXPECT_EQ(j["references"][0]["name"], "CDDATA.43");
  EXPECT_EQ(j["references"][0]["path"], "/data/CDDATA.43");
  EXPECT_EQ(j["references"][0]["origin"], "installed");
  EXPECT_TRUE(j["references"][1]["sha256"].is_null());  // unreadable file
  EXPECT_EQ(j["range_nm"]["longer"].get<float>(), 240.0f);
  EXPECT_EQ(j["range_nm"]["shorter"].get<float>(), 190.0f);
  EXPECT_EQ(j["range_nm"]["points"], 51);
  EXPECT_EQ(j["factor"].get<float>(), 1.5f);
  EXPECT_EQ(j["labels"], ordered_json::parse(R"x(["H(r)", "H(d)", "Trn"])x"));
  EXPECT_EQ(j["status"], "completed");
  EXPECT_TRUE(j["failure"].is_null());
  EXPECT_EQ(j["all_basis"]["sum"].get<float>(), 0.95f);
  EXPECT_EQ(j["all_basis"]["fractions"][2].get<float>(), 0.45f);
  // Floats come back bit for bit.
  EXPECT_EQ(j["fractions"].get<std::vector<float>>(), r.fractions);
  EXPECT_EQ(j["rmsd"].get<float>(), 0.123f);
  ASSERT_EQ(j["solutions"].size(), 2u);
  EXPECT_EQ(j["solutions"][1]["nbas"], 9);
  EXPECT_EQ(j["solutions"][1]["ns"], 2);
  EXPECT_FALSE(j["solutions"][1].contains("trial"));
  EXPECT_EQ(j["solutions"][1]["fractions"].get<std::vector<float>>(), r.solutions[1].fractions);
  EXPECT_EQ(j["statistics"]["count"], 2);
  EXPECT_DOUBLE_EQ(j["statistics"]["mean"][0].get<double>(), 0.5);
  EXPECT_DOUBLE_EQ(j["statistics"]["sd"][0].get<double>(), std::sqrt(0.125));
  EXPECT_DOUBLE_EQ(j["statistics"]["min"][0].get<double>(), 0.25);
  EXPECT_DOUBLE_EQ(j["statistics"]["max"][0].get<double>(), 0.75);
  EXPECT_EQ(j["spectra"]["wavelength_nm"].get<std::vector<float>>(), (std::vector<float>{240.0f, 239.0f, 238.0f}));
  EXPECT_EQ(j["spectra"]["experimental"].get<std::vector<float>>(), r.experimental);
  EXPECT_EQ(j["spectra"]["calculated"].get<std::vector<float>>(), r.calculated);
}

TEST(RunRecordJson, FailedJobHasNoResult) {
  RunRecord r = completed_record();
  r.failure = "first stage: no solutions";
  const ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  EXPECT_EQ(j["status"], "failed");
  EXPECT_EQ(j["failure"], "first stage: no solutions");
  EXPECT_EQ(j["all_basis"]["fractions"].size(), 3u);  // the estimate made before the failure stays
  EXPECT_TRUE(j["fractions"].is_null());
  EXPECT_TRUE(j["rmsd"].is_null());
  EXPECT_EQ(j["solutions"], ordered_json::array());
  EXPECT_TRUE(j["statistics"].is_null());
  EXPECT_TRUE(j["spectra"]["calculated"].is_null());
  EXPECT_EQ(j["spectra"]["experimental"].size(), 3u);

  RunRecord early;
  early.job = 5;
  early.failure = "stopped: bad range";
  const ordered_json k = ordered_json::parse(cdsec::run_record_json(early));
  EXPECT_TRUE(k["range_nm"].is_null());
  EXPECT_TRUE(k["all_basis"].is_null());
  EXPECT_EQ(k["references"], ordered_json::array());
  EXPECT_EQ(k["title"], "");
}

TEST(RunRecordJson, KestraSolutionsCarryTheirTrial) {
  RunRecord r = completed_record();
  r.program = RecordProgram::kKestra;
  r.solutions[0].trial = 1234;
  r.solutions[1].trial = 99999;
  const ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  EXPECT_EQ(j["program"], "KESTRA");
  EXPECT_EQ(j["solutions"][0]["trial"], 1234);
  EXPECT_EQ(j["solutions"][1]["trial"], 99999);
  EXPECT_FALSE(j["solutions"][0].contains("nbas"));
  EXPECT_EQ(j["solutions"][0].size(), 2u);
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
  EXPECT_EQ(cdsec::origin_name(From::kWorkingDir), "working directory");
  EXPECT_EQ(cdsec::origin_name(From::kRefDirVariable), "CDSEC_REFDIR");
  EXPECT_EQ(cdsec::origin_name(From::kInstalled), "installed");
  EXPECT_EQ(cdsec::origin_name(From::kSourceTree), "source tree");
  TempDir d;
  const fs::path f = d.path() / "CDDATA.29";
  std::ofstream(f, std::ios::binary) << "abc";
  const cdsec::RecordFile rf = cdsec::describe_reference({f.string(), From::kRefDirVariable});
  EXPECT_EQ(rf.name, "CDDATA.29");
  EXPECT_EQ(rf.path, f.string());
  EXPECT_EQ(rf.origin, "CDSEC_REFDIR");
  EXPECT_EQ(rf.sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(cdsec::describe_input((d.path() / "missing").string()).sha256, "");
}

TEST(RunRecordFillers, FillWhatTheJsonShows) {
  TempDir d;
  std::ofstream(d.path() / "CDDATA.29") << "x";
  RunRecord r;
  r.program = RecordProgram::kKestra;
  cdsec::add_references(r, {(d.path() / "CDDATA.29").string(), cdsec::RefFileLocation::From::kInstalled}, {});
  ASSERT_EQ(r.references.size(), 1u);  // a file never found is not listed
  EXPECT_EQ(r.references[0].origin, "installed");
  cdsec::set_range(r, 240.0f, 190.0f, 51, 2.0f);
  const std::vector<float> ab = {0.1f, 0.2f}, fin = {0.3f, 0.4f}, t1 = {0.25f, 0.5f}, t2 = {0.75f, 0.5f};
  cdsec::set_all_basis(r, ab, 0.3f);
  cdsec::set_final(r, fin, 0.07f);
  cdsec::add_trial_solution(r, 17, t1);
  cdsec::add_trial_solution(r, 4711, t2);
  const std::vector<float> exp = {1.0f, 2.0f};
  cdsec::set_spectra(r, 190.0f, exp, {});
  const ordered_json j = ordered_json::parse(cdsec::run_record_json(r));
  EXPECT_EQ(j["range_nm"]["points"], 51);
  EXPECT_EQ(j["factor"].get<float>(), 2.0f);
  EXPECT_EQ(j["all_basis"]["fractions"].get<std::vector<float>>(), ab);
  EXPECT_EQ(j["fractions"].get<std::vector<float>>(), fin);
  EXPECT_EQ(j["rmsd"].get<float>(), 0.07f);
  EXPECT_EQ(j["solutions"][1]["trial"], 4711);
  EXPECT_DOUBLE_EQ(j["statistics"]["mean"][0].get<double>(), 0.5);
  EXPECT_EQ(j["spectra"]["wavelength_nm"].get<std::vector<float>>(), (std::vector<float>{190.0f, 189.0f}));
  EXPECT_EQ(j["spectra"]["calculated"], ordered_json::array());
}

// ---------------------------------------------------------------- CDSEC_DETAILS

TEST(DetailsDirectory, UnsetOrEmptyMeansNoRecords) {
  for (const char* v : {static_cast<const char*>(nullptr), ""}) {
    const cdsec::DetailsDirectory d = cdsec::details_directory(v);
    EXPECT_FALSE(d.enabled);
    EXPECT_TRUE(d.error.empty());
  }
}

TEST(DetailsDirectory, WritableDirectoryLeavesNoProbe) {
  TempDir t;
  const cdsec::DetailsDirectory d = cdsec::details_directory(t.path().c_str());
  EXPECT_TRUE(d.enabled);
  EXPECT_TRUE(d.error.empty());
  EXPECT_EQ(d.dir, t.path());
  EXPECT_TRUE(names_in(t.path()).empty());
}

TEST(DetailsDirectory, RefusalsNameTheVariableAndThePath) {
  TempDir t;
  const fs::path missing = t.path() / "no-such-dir";
  const fs::path file = t.path() / "a-file";
  std::ofstream(file) << "x";
  struct Case {
    fs::path p;
    std::string why;
  };
  std::vector<Case> cases = {{missing, "does not exist"}, {file, "is not a directory"}};
  // /proc takes no new files, whoever asks.
  if (fs::is_directory("/proc")) cases.push_back({"/proc", "cannot be written"});
  for (const Case& c : cases) {
    const cdsec::DetailsDirectory d = cdsec::details_directory(c.p.c_str());
    EXPECT_FALSE(d.enabled) << c.p;
    EXPECT_NE(d.error.find("CDSEC_DETAILS"), std::string::npos) << d.error;
    EXPECT_NE(d.error.find(c.p.string()), std::string::npos) << d.error;
    EXPECT_NE(d.error.find(c.why), std::string::npos) << d.error;
  }
}

TEST(DetailsDirectory, ReadOnlyDirectoryIsRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempDir t;
  fs::permissions(t.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const cdsec::DetailsDirectory d = cdsec::details_directory(t.path().c_str());
  EXPECT_FALSE(d.enabled);
  EXPECT_NE(d.error.find("cannot be written"), std::string::npos) << d.error;
}

// ---------------------------------------------------------------- writing

TEST(WriteRunRecord, WritesAndReplacesUnderItsName) {
  TempDir t;
  RunRecord r = completed_record();
  std::ostringstream warn;
  ASSERT_TRUE(cdsec::write_run_record(t.path(), r, warn));
  const std::string name = "MORVAN3-0002-Test_protein_.json";
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{name});
  auto read = [&] {
    std::ifstream in(t.path() / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  EXPECT_EQ(read(), cdsec::run_record_json(r));
  r.rmsd = 0.5f;
  ASSERT_TRUE(cdsec::write_run_record(t.path(), r, warn));
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{name});  // replaced, no temporary left
  EXPECT_EQ(ordered_json::parse(read())["rmsd"].get<float>(), 0.5f);
  EXPECT_TRUE(warn.str().empty());
}

TEST(WriteRunRecord, FailureIsAWarning) {
  TempDir t;
  const RunRecord r = completed_record();
  // A directory where the record should go cannot be replaced by a file.
  fs::create_directory(t.path() / "MORVAN3-0002-Test_protein_.json");
  std::ostringstream warn;
  EXPECT_FALSE(cdsec::write_run_record(t.path(), r, warn));
  EXPECT_NE(warn.str().find("warning"), std::string::npos) << warn.str();
  EXPECT_NE(warn.str().find("MORVAN3-0002-Test_protein_.json"), std::string::npos) << warn.str();
  EXPECT_EQ(names_in(t.path()), std::vector<std::string>{"MORVAN3-0002-Test_protein_.json"});

  std::ostringstream warn2;
  EXPECT_FALSE(cdsec::write_run_record(t.path() / "gone", r, warn2));
  EXPECT_NE(warn2.str().find("warning"), std::string::npos);
}

TEST(RunRecorder, FillsTheInputOnceAndWritesOnlyWhenEnabled) {
  TempDir t;
  const fs::path input = t.path() / "INPUT";
  std::ofstream(input, std::ios::binary) << "abc";
  const fs::path out = t.path() / "out";
  fs::create_directory(out);
  cdsec::RunRecorder on(RecordProgram::kKestra, input.string(), cdsec::details_directory(out.c_str()));
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

  cdsec::RunRecorder bad(RecordProgram::kMorvan3, input.string(),
                         cdsec::details_directory((t.path() / "nowhere").c_str()));
  EXPECT_TRUE(bad.refused());
  EXPECT_NE(bad.refusal().find("nowhere"), std::string::npos);
}

}  // namespace
