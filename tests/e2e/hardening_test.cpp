// Both analysis programs run end to end on damaged or hostile input, a full
// disk, planted links and a concurrent run: every run ends within its time
// limit, says what is wrong on standard error with a non-zero status, and
// loses nothing that earlier runs wrote.  (An empty INPUT, jobs without a
// result and a summary record after a line cut short: the golden cases.)
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/tool_run.hpp"

namespace {

namespace fs = std::filesystem;
using namespace cdsec_test;

const fs::path kSource = CDSEC_SOURCE_DIR;
const fs::path kData = kSource / "data";
constexpr int kJobLines = 23;  // lines of one job of examples/INPUT (83 values)

// The programs run from copies outside the build tree, so that a run finds
// no reference sets but those it is given.
std::string binary(const std::string& program) {
  static const ScratchDir bin("e2e-bin");
  static const std::string morvan = cdsec_test::detached_copy(MORVAN3_BINARY, bin.path()),
                           kestra = cdsec_test::detached_copy(KESTRA_BINARY, bin.path());
  return program == "MORVAN3" ? morvan : kestra;
}

// Job 1 of the bundled example (set 1, 260 to 178 nm), as lines.
std::vector<std::string> example_job() {
  std::vector<std::string> l = cdsec_test::lines_of(read_file(kSource / "examples/INPUT"));
  l.resize(kJobLines);
  return l;
}

// A run in `dir` with the bundled sets reachable through CDSEC_REFDIR (unless
// `env` sets it), a fixed seed, one thread, and a time limit: status 124 means
// the program was still running when it ran out.
RunResult run_in(const fs::path& dir, const std::string& program, const ScratchDir& scratch, const std::string& env = "",
                 int limit_s = 60, const std::string& wrapper = "") {
  return cdsec_test::run("cd " + sh_quote(dir.string()) + " && timeout -k 5 " + std::to_string(limit_s) +
                             " env -u CDSEC_DETAILS CDSEC_REFDIR=" + sh_quote(kData.string()) +
                             " KESTRA_SEED=7 CDSEC_THREADS=1 " + env + " " + wrapper + " " +
                             sh_quote(binary(program)),
                         scratch);
}

// ---------------------------------------------------------------- damaged input

void example_input(const fs::path& dir) { write_file(dir / "INPUT", joined(example_job())); }

void input_fifo(const fs::path& d) { ASSERT_EQ(::mkfifo((d / "INPUT").c_str(), 0644), 0); }
void input_dev_zero(const fs::path& d) { fs::create_symlink("/dev/zero", d / "INPUT"); }

// ---------------------------------------------------------------- a full disk

// A small tmpfs at `at`, unmounted on destruction; mounted() false where
// the test may not mount one (then it is skipped).
class SmallDisk {
 public:
  explicit SmallDisk(const fs::path& at) : at_(at) {
    fs::create_directories(at);
    mounted_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=512k") == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  // Fills the rest of the disk.
  void fill() const {
    std::FILE* f = std::fopen((at_ / ".filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::setvbuf(f, nullptr, _IONBF, 0);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), f) == block.size()) {
    }
    const std::string byte(1, 'x');
    while (std::fwrite(byte.data(), 1, 1, f) == 1) {
    }
    std::fclose(f);
  }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(Hardening, FullDiskStopsTheRunNamingTheReport) {
  for (const std::string program : {"MORVAN3", "KESTRA"}) {
    SCOPED_TRACE(program);
    ScratchDir scratch("disk");
    const fs::path dir = scratch / "mnt";
    SmallDisk disk(dir);
    if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    write_file(dir / "INPUT", read_file(kSource / "examples/INPUT"));
    // ProtSS.out has room in the page it holds; the reports find none.
    const std::string earlier = "earlier record\n";
    write_file(dir / "ProtSS.out", earlier);
    disk.fill();
    const RunResult r = run_in(dir, program, scratch);
    EXPECT_EQ(r.status, 1) << r.err;
    const std::string report = program == "MORVAN3" ? "MORVAN3.OUT" : "Kestra.out";
    EXPECT_NE(r.err.find(report + " could not be written completely"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir / "ProtSS.out").rfind(earlier, 0), 0u);
  }
}

// ---------------------------------------------------------------- summary records, run records, a second run

TEST(Hardening, FailedAppendLeavesNoHalfRecord) {
  ScratchDir dir("half");
  example_input(dir.path());
  // Files may grow to 64 KiB: the record crosses the limit half way.
  constexpr std::size_t kLimit = 65536;
  const std::string earlier(kLimit - 200, '\n');
  write_file(dir / "ProtSS.out", earlier);
  const RunResult r = run_in(dir.path(), "MORVAN3", dir, "", 60,
                             "sh -c 'trap \"\" XFSZ; exec prlimit --fsize=" + std::to_string(kLimit) + " \"$0\"'");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("ProtSS.out: the summary record could not be appended"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(dir / "ProtSS.out"), earlier);
}

TEST(Hardening, RunRecordReplacesAPlantedLinkWithoutWritingThroughIt) {
  ScratchDir dir("link");
  example_input(dir.path());
  fs::create_directory(dir / "records");
  write_file(dir / "victim", "not to be overwritten\n");
  const fs::path planted = dir / "records" / "MORVAN3-0001-Synthetic_sample_S101_all-alpha.json";
  fs::create_symlink(dir / "victim", planted);
  const RunResult r = run_in(dir.path(), "MORVAN3", dir, "CDSEC_DETAILS=" + sh_quote((dir / "records").string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(dir / "victim"), "not to be overwritten\n");
  EXPECT_FALSE(fs::is_symlink(planted));
  EXPECT_NE(read_file(planted).find("\"program\": \"MORVAN3\""), std::string::npos);
}

TEST(Hardening, SecondRunInTheSameDirectoryIsRefused) {
  ScratchDir dir("lock");
  example_input(dir.path());
  // The first run waits for Enter after its job, on a pipe that stays silent
  // until the second run has been tried.
  const fs::path fifo = dir / "enter";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::thread first([&] {
    const RunResult r = cdsec_test::run("cd " + sh_quote(dir.str()) + " && (CDSEC_REFDIR=" + sh_quote(kData.string()) +
                                            " KESTRA_SEED=7 " + sh_quote(binary("KESTRA")) + " < enter > first.out)",
                                        dir);
    EXPECT_EQ(r.status, 0) << r.err;
  });
  std::FILE* enter = std::fopen(fifo.c_str(), "w");  // opens once the first run reads
  ASSERT_NE(enter, nullptr);
  for (int i = 0; i < 600 && read_file(dir / "first.out").find("Hit Enter to QUIT") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string report = read_file(dir / "Kestra.out");
  const RunResult second = run_in(dir.path(), "KESTRA", dir);
  std::fclose(enter);
  first.join();
  EXPECT_EQ(second.status, 1);
  EXPECT_NE(second.err.find("Kestra.out is being written by another run in this directory"), std::string::npos)
      << second.err;
  EXPECT_FALSE(report.empty());
  EXPECT_EQ(read_file(dir / "Kestra.out"), report);
}

// ---------------------------------------------------------------- input that used to hang or look right

struct Case {
  const char* name;
  const char* program;
  std::function<void(const fs::path&)> prepare;
  std::string env;
  int status;
  const char* stderr_part;
};

// Every run ends (the time limit would give status 124), says what is wrong
// and writes no runaway file.  Damaged jobs and sets that can be files of
// their own are golden cases (huge_cd_value, constant_set, huge_fraction,
// one_point, seven_points, clipped_to_five, thirty_points, decimal_comma,
// value_65, ssdata_longer, range_too_wide, refdir_a_file); here the inputs
// that cannot: special files, a 2 MiB line, a seed read from the clock.
TEST(Hardening, DamagedOrDoubtfulJobsAreRefusedOrReported) {
  const std::vector<Case> cases = {
      {"INPUT a FIFO", "MORVAN3", input_fifo, "", 1, "INPUT: is not a regular file"},
      {"INPUT /dev/zero", "KESTRA", input_dev_zero, "", 1, "INPUT: is not a regular file"},
      {"a line of 2 MiB", "KESTRA",
       [](const fs::path& d) { write_file(d / "INPUT", "#\n" + std::string(2 << 20, ' ') + "0 1\n"); }, "", 1,
       "INPUT, line 2: the line is longer than 1048576 characters"},
      {"INPUT a directory", "MORVAN3", [](const fs::path& d) { fs::create_directory(d / "INPUT"); }, "", 1,
       "INPUT: is a directory"},
      {"seed of 33 bits", "KESTRA", [](const fs::path& d) { example_input(d); },
       "KESTRA_SEED=4294967296", 0, "KESTRA_SEED=\"4294967296\" does not fit in 32 bits"},
      {"CDDATA a device", "MORVAN3",
       [](const fs::path& d) {
         example_input(d);
         fs::create_symlink("/dev/zero", d / "CDDATA.29");
       },
       "", 1, "CDDATA.29: is not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.program) + ": " + c.name);
    ScratchDir dir("note");
    c.prepare(dir.path());
    const RunResult r = run_in(dir.path(), c.program, dir, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.stderr_part), std::string::npos) << r.err;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      if (e.is_regular_file()) {
        EXPECT_LT(e.file_size(), 3u << 20) << e.path();
      }
    }
  }
}

}  // namespace
