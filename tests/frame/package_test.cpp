// Where the programs find the reference sets, and the version they carry,
// checked with copies of the built programs laid out as an installation
// under a scratch prefix (and with the programs of the build tree itself).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "frame/package.hpp"
#include "frame/sha256.hpp"
#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace cdsec_test;
using nlohmann::json;

const fs::path kSource(CDSEC_SOURCE_DIR);

void put_set(const fs::path& dir) {
  fs::create_directories(dir);
  for (const char* f : {"CDDATA.29", "SSDATA.29"}) fs::copy_file(kSource / "data" / f, dir / f);
}

// The commit the source tree stands at (12 hex digits), empty when it is not
// a git checkout or git is missing.
std::string head_commit(const ScratchDir& scratch) {
  const std::string git = "git -C " + sh_quote(kSource.string());
  const RunResult r = cdsec_test::run("{ " + git + " rev-parse --show-toplevel && " + git + " rev-parse --short=12 HEAD; }",
                                      scratch);
  const auto l = cdsec_test::lines_of(r.out);
  if (r.status != 0 || l.size() != 2 || !fs::equivalent(l[0], kSource)) return "";
  return l[1];
}

struct Case {
  const char* what;
  bool in_work, refdir_set, in_refdir, installed, build_tree;
  const char* origin;  // of the references in the run record; nullptr: not found
  const char* dir;     // "work", "refdir", "installed", "source" or "configured"
};

// MORVAN3 run in an empty directory on one job of set 1, with the set in the
// places each case names; the run record tells where the files were found.
TEST(Package, ProgramsFindTheirDataInTheDocumentedOrder) {
  const Case cases[] = {
      {"installed only", false, false, false, true, false, "installed", "installed"},
      {"CDSEC_REFDIR before the installed data", false, true, true, true, false, "CDSEC_REFDIR", "refdir"},
      {"working directory before CDSEC_REFDIR", true, true, true, true, false, "working directory", "work"},
      {"CDSEC_REFDIR without the set", false, true, false, true, false, "installed", "installed"},
      {"nowhere", false, true, false, false, false, nullptr, nullptr},
      {"build tree", false, false, false, false, true, "source tree", "source"},
  };
  const fs::path input = kSource / "tests/golden/MORVAN3/sample_is_reference/in/INPUT";
  const std::string configured(cdsec::configured_data_dir());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir root("package");
    const fs::path prefix = root / "prefix", work = root / "work", refdir = root / "refdir", records = root / "records";
    for (const fs::path& d : {prefix / "bin", work, refdir, records}) fs::create_directories(d);
    fs::copy_file(MORVAN3_BINARY, prefix / "bin/MORVAN3");
    fs::copy_file(input, work / "INPUT");
    if (c.installed) put_set(prefix / "share/cdsec");
    if (c.in_refdir) put_set(refdir);
    if (c.in_work) put_set(work);
    const std::string program = c.build_tree ? std::string(MORVAN3_BINARY) : (prefix / "bin/MORVAN3").string();
    const RunResult r = cdsec_test::run("cd " + sh_quote(work.string()) + " && env -u CDSEC_REFDIR " +
                                            (c.refdir_set ? "CDSEC_REFDIR=" + sh_quote(refdir.string()) : "") +
                                            " CDSEC_DETAILS=" + sh_quote(records.string()) + " " + sh_quote(program),
                                        root);
    const auto written = names_in(records);
    ASSERT_EQ(written.size(), 1u) << r.err;
    const json record = json::parse(read_file(records / written[0]));

    const char* origin = c.origin;
    const std::string d = c.dir ? c.dir : "";
    fs::path dir = d == "refdir" ? refdir : d == "installed" ? prefix / "share/cdsec" : d == "source" ? kSource / "data" : "";
    if (!origin && fs::exists(fs::path(configured) / "CDDATA.29")) {
      origin = "installed";  // an installation on this machine holds the set
      dir = configured;
    }
    if (!origin) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(record["references"].empty());
      // Every place named, in search order.
      const std::string places = "looked in the working directory, " + refdir.string() + " (CDSEC_REFDIR), " +
                                 (prefix / "share/cdsec").string() + " (installed with the program) and " +
                                 configured + " (installed data)";
      EXPECT_NE((r.out + r.err).find(places), std::string::npos) << r.out << r.err;
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(record["references"].size(), 2u);
    for (const json& ref : record["references"]) {
      EXPECT_EQ(ref["origin"], origin);
      const fs::path path = ref["path"].get<std::string>();
      if (dir.empty())
        EXPECT_EQ(path, ref["name"].get<std::string>());
      else
        EXPECT_TRUE(fs::equivalent(path.parent_path(), dir)) << path;
      EXPECT_EQ(ref["sha256"], cdsec::sha256_file_hex(path.is_absolute() ? path : work / path).value());
    }
  }
}

// The version in the run record and in cdref --version is the project's,
// with the commit of the checkout the programs were built from.
TEST(Package, VersionAndCommit) {
  ScratchDir root("package-version");
  const std::string commit = head_commit(root);
  EXPECT_EQ(cdsec::package_version(), CDSEC_PROJECT_VERSION);
  EXPECT_EQ(std::string(cdsec::source_commit()).substr(0, 12), commit);

  fs::create_directories(root / "bin");
  fs::copy_file(CDREF_BINARY, root / "bin/cdref");
  const RunResult r = cdsec_test::run(sh_quote((root / "bin/cdref").string()) + " --version", root);
  EXPECT_EQ(r.status, 0);
  const std::string want = std::string("cdref ") + CDSEC_PROJECT_VERSION;
  if (commit.empty())
    EXPECT_EQ(r.out, want + "\n");
  else
    EXPECT_EQ(r.out.rfind(want + " (commit " + commit, 0), 0u) << r.out;

  fs::copy_file(kSource / "tests/golden/MORVAN3/sample_is_reference/in/INPUT", root / "INPUT");
  fs::create_directories(root / "records");
  cdsec_test::run("cd " + sh_quote(root.str()) + " && CDSEC_DETAILS=records " + sh_quote(MORVAN3_BINARY), root);
  const auto written = names_in(root / "records");
  ASSERT_EQ(written.size(), 1u);
  const json record = json::parse(read_file(root / "records" / written[0]));
  EXPECT_EQ(record["package_version"], CDSEC_PROJECT_VERSION);
  if (commit.empty())
    EXPECT_TRUE(record["package_commit"].is_null());
  else
    EXPECT_EQ(record["package_commit"].get<std::string>().substr(0, 12), commit);
}

}  // namespace
