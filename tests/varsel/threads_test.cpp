// The whole program with one and three threads over several jobs in one
// INPUT: the draws made ahead of the stopping trial of one job must not reach
// the next.  (A thread count that cannot be used, and the largest that can:
// the golden cases threads_refused and threads_256.)  That
// the files do not depend on the thread count is checked by every KESTRA
// golden case, run with the default count and with 1 and 3 threads against
// the same expected files, and on many seeds and budgets by the search's
// unit test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using cdsec_test::ScratchDir;

const fs::path kCases = fs::path(CDSEC_SOURCE_DIR) / "tests" / "golden" / "KESTRA";

// A scratch directory with the reference files (not INPUT, not ProtSS.out)
// of golden cases.
class WorkDir : public ScratchDir {
 public:
  WorkDir() : ScratchDir("threads") {}
  void add_sets_of(const std::string& c) {
    for (const auto& e : fs::directory_iterator(kCases / c / "in")) {
      const std::string name = e.path().filename().string();
      if (name.rfind("CDDATA.", 0) == 0 || name.rfind("SSDATA.", 0) == 0)
        fs::copy_file(e.path(), path() / name, fs::copy_options::overwrite_existing);
    }
  }
};

std::string input_of(const std::string& c) { return cdsec_test::read_file(kCases / c / "in" / "INPUT"); }

struct Outputs {
  int status = -1;
  std::string kestra, recon, protss, err;
  bool operator==(const Outputs&) const = default;
};

// Runs KESTRA in `dir` with the given KEY=VALUE settings (CDSEC_REFDIR,
// CDSEC_THREADS and KESTRA_SEED are unset otherwise); the outputs are read
// and removed.
Outputs run(const fs::path& dir, const std::vector<std::string>& env) {
  std::string cmd = "cd '" + dir.string() + "' && env -u CDSEC_REFDIR -u CDSEC_THREADS -u KESTRA_SEED";
  for (const std::string& e : env) cmd += " '" + e + "'";
  cmd += " '" KESTRA_BINARY "' < /dev/null > console.txt 2> stderr.txt";
  const int rc = std::system(cmd.c_str());
  Outputs o;
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  o.kestra = cdsec_test::read_file(dir / "Kestra.out");
  o.recon = cdsec_test::read_file(dir / "reconCD.out");
  o.protss = cdsec_test::read_file(dir / "ProtSS.out");
  o.err = cdsec_test::read_file(dir / "stderr.txt");
  for (const char* f : {"Kestra.out", "reconCD.out", "ProtSS.out", "console.txt", "stderr.txt"}) fs::remove(dir / f);
  return o;
}

TEST(ThreadCount, LaterJobsAreThoseOfTheirOwnRun) {
  // A job that stops at 400 valid trials (its search drew ahead of the
  // stopping trial), then a job on another set, then the first one again:
  // each job's part of every file is what it writes when run alone.
  WorkDir wd;
  wd.add_sets_of("set1_400_valid");
  wd.add_sets_of("iprint_set14_budget3002");
  const std::string a = input_of("set1_400_valid");
  const std::string b = input_of("iprint_set14_budget3002");
  for (const char* threads : {"CDSEC_THREADS=1", "CDSEC_THREADS=3"}) {
    SCOPED_TRACE(threads);
    cdsec_test::write_file(wd.path() / "INPUT", a);
    const Outputs ra = run(wd.path(), {"KESTRA_SEED=77", threads});
    cdsec_test::write_file(wd.path() / "INPUT", b);
    const Outputs rb = run(wd.path(), {"KESTRA_SEED=77", threads});
    cdsec_test::write_file(wd.path() / "INPUT", a + b + a);
    const Outputs all = run(wd.path(), {"KESTRA_SEED=77", threads});
    ASSERT_EQ(all.status, 0) << all.err;
    ASSERT_NE(cdsec_test::count_of(ra.kestra, "isstr=400"), 0) << "the first job no longer stops early";
    EXPECT_EQ(all.kestra, ra.kestra + rb.kestra + ra.kestra);
    EXPECT_EQ(all.recon, ra.recon + rb.recon + ra.recon);
    EXPECT_EQ(all.protss, ra.protss + rb.protss + ra.protss);
  }
}

}  // namespace
