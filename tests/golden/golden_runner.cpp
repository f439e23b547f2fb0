// Runs one program on one golden case and compares what it wrote with the
// reviewed expected files, byte for byte.
//
//   cdsec_golden --program BIN --case DIR [--update] [--keep] [--env KEY=VALUE]... [--work DIR]
//
// DIR/in/        copied into a fresh working directory before the run (the
//                program runs from a copy outside the build tree)
// DIR/stdin      standard input of the run (empty when absent)
// DIR/env        KEY=VALUE lines added to the environment
// DIR/expected/  files compared with the run's files of the same name;
//                "console" is standard output, "stderr" standard error,
//                "status" the exit code (0 when absent); the run's
//                temporary directory is written @RUN@ in console and stderr
// With --update the run's outputs are written into expected/ instead (all
// files already listed there; for a new case every file the run wrote or
// changed), to be reviewed with git diff before committing.  --env adds to
// the case's environment (the same expected files hold with it); --work runs
// in the given new directory and keeps it, for a caller that reads more.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cdref/runner.hpp"
#include "tests/scratch_dir.hpp"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p, bool* ok = nullptr) {
  std::ifstream in(p, std::ios::binary);
  if (ok) *ok = static_cast<bool>(in);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Prints the first line where the two texts differ.
void show_difference(const std::string& name, const std::string& want, const std::string& got) {
  std::istringstream a(want), b(got);
  std::string la, lb;
  int line = 0;
  for (;;) {
    bool ha = static_cast<bool>(std::getline(a, la));
    bool hb = static_cast<bool>(std::getline(b, lb));
    ++line;
    if (!ha && !hb) break;
    if (!ha || !hb || la != lb) {
      std::cerr << name << ": first difference at line " << line << "\n"
                << "  expected: " << (ha ? "\"" + la + "\"" : std::string("(end of file)")) << "\n"
                << "  actual:   " << (hb ? "\"" + lb + "\"" : std::string("(end of file)")) << "\n";
      return;
    }
  }
  std::cerr << name << ": the files differ only in the final newline\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string program, case_dir;
  bool update = false, keep = false;
  int timeout_s = 600;
  std::vector<std::string> extra_env;
  fs::path given_root;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--program" && i + 1 < argc) program = argv[++i];
    else if (a == "--case" && i + 1 < argc) case_dir = argv[++i];
    else if (a == "--update") update = true;
    else if (a == "--keep") keep = true;
    else if (a == "--timeout" && i + 1 < argc) timeout_s = std::atoi(argv[++i]);
    else if (a == "--env" && i + 1 < argc) extra_env.push_back(argv[++i]);
    else if (a == "--work" && i + 1 < argc) given_root = fs::absolute(argv[++i]);
    else {
      program.clear();  // anything else: the usage below
      break;
    }
  }
  if (program.empty() || case_dir.empty()) {
    std::cerr << "usage: cdsec_golden --program BIN --case DIR [--update] [--keep] [--timeout S] [--env K=V]... "
                 "[--work DIR]\n";
    return 2;
  }
  program = fs::absolute(program).string();
  fs::path cdir = fs::absolute(case_dir);
  if (!fs::is_directory(cdir / "in")) {
    std::cerr << cdir.string() << ": no in/ directory\n";
    return 2;
  }

  fs::path root = given_root;
  keep |= !root.empty();
  try {
    if (root.empty()) root = cdref::make_temp_dir("cdsec-golden");
    else fs::create_directories(root);
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 2;
  }
  fs::path work = root / "work";
  fs::create_directory(work);
  // The program runs from a copy away from its build tree, so that it finds
  // no reference sets but those of the case (the build tree's would stand in
  // for a set the case leaves out on purpose).
  fs::create_directory(root / "bin");
  fs::copy_file(program, root / "bin" / fs::path(program).filename());
  program = (root / "bin" / fs::path(program).filename()).string();
  fs::copy(cdir / "in", work, fs::copy_options::recursive);
  // Empty: the null device.
  fs::path stdin_file = fs::exists(cdir / "stdin") ? cdir / "stdin" : fs::path();

  // The environment of the test process, without the variables that change
  // what the programs do, plus the case's own.
  const std::vector<std::string> removed = {"CDSEC_REFDIR", "KESTRA_SEED", "CDSEC_DETAILS", "CDSEC_THREADS"};
  std::map<std::string, std::string> env;
  if (fs::exists(cdir / "env")) {
    std::istringstream es(slurp(cdir / "env"));
    std::string line;
    while (std::getline(es, line)) {
      if (line.empty() || line[0] == '#') continue;
      auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      std::string v = line.substr(eq + 1);
      // @CASE@ stands for the case directory, so a case can point at its own files.
      for (auto p = v.find("@CASE@"); p != std::string::npos; p = v.find("@CASE@")) v.replace(p, 6, cdir.string());
      env[line.substr(0, eq)] = v;
    }
  }
  for (const std::string& e : extra_env) env[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
  cdref::ProcessSetup setup;
  setup.program = program;
  setup.dir = work;
  for (auto& [k, v] : env) setup.env.push_back(k + "=" + v);
  setup.env_removed = removed;
  setup.in_file = stdin_file;
  setup.out_file = root / "console";
  setup.err_file = root / "stderr";
  cdref::ProcessOutcome r;
  try {
    r = cdref::run_process(setup, timeout_s, nullptr);  // no progress: the idle limit bounds the run
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 2;
  }
  const int status = r.exited ? r.exit_code : 128 + r.signal;
  if (r.timed_out) {
    std::cerr << "the program did not finish within " << timeout_s << " s (working directory " << work.string()
              << ")\n";
    return 1;
  }

  // name -> actual content.  The run's own directory, which changes from run
  // to run, stands as @RUN@ in what the program printed.
  auto printed = [&](const fs::path& f, bool* ok) {
    std::string t = slurp(f, ok);
    const std::string dir = root.string();
    for (auto p = t.find(dir); p != std::string::npos; p = t.find(dir, p)) t.replace(p, dir.size(), "@RUN@");
#ifdef _WIN32
    // Paths in messages use the system's separator; the expected files, "/".
    std::replace(t.begin(), t.end(), '\\', '/');
#endif
    return t;
  };
  auto actual = [&](const std::string& name, bool* ok) -> std::string {
    if (name == "console") return printed(root / "console", ok);
    if (name == "stderr") return printed(root / "stderr", ok);
    if (name == "status") {
      if (ok) *ok = true;
      return std::to_string(status) + "\n";
    }
    return slurp(work / name, ok);
  };

  fs::path exp = cdir / "expected";
  if (update) {
    std::vector<std::string> names;
    if (fs::is_directory(exp)) {
      for (auto& e : fs::directory_iterator(exp))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    } else {
      fs::create_directory(exp);
      for (auto& e : fs::directory_iterator(work)) {
        if (!e.is_regular_file()) continue;
        std::string n = e.path().filename().string();
        bool was;
        std::string before = slurp(cdir / "in" / n, &was);
        if (!was || before != slurp(e.path())) names.push_back(n);
      }
      names.push_back("console");
      if (fs::file_size(root / "stderr") > 0) names.push_back("stderr");
    }
    auto listed = [&](const char* n) { return std::find(names.begin(), names.end(), n) != names.end(); };
    if (!listed("console")) names.push_back("console");
    if (!listed("status") && status != 0) names.push_back("status");
    for (auto& n : names) {
      bool ok;
      std::string text = actual(n, &ok);
      if (!ok) {
        std::cerr << n << ": not written by the run; removed from expected/\n";
        fs::remove(exp / n);
        continue;
      }
      cdsec_test::write_file(exp / n, text);
    }
    std::cout << "updated " << exp.string() << " (" << names.size() << " files); review with git diff\n";
    fs::remove_all(root);
    return 0;
  }

  if (!fs::is_directory(exp)) {
    std::cerr << exp.string() << ": no expected/ directory (make one with --update and review it)\n";
    return 1;
  }
  int failures = 0;
  bool status_listed = false;
  for (auto& e : fs::directory_iterator(exp)) {
    if (!e.is_regular_file()) continue;
    std::string n = e.path().filename().string();
    status_listed |= n == "status";
    std::string want = slurp(e.path());
    bool ok;
    std::string got = actual(n, &ok);
    if (!ok) {
      std::cerr << n << ": expected, but the run did not write it\n";
      ++failures;
    } else if (got != want) {
      show_difference(n, want, got);
      ++failures;
    }
  }
  if (!status_listed && status != 0) {
    // 3: the run went through but some jobs gave no result; above 128 a
    // signal ended it.
    const std::string meaning = status == 3    ? " (some jobs gave no result)"
                                : status > 128 ? " (ended by signal " + std::to_string(status - 128) + ")"
                                                 : "";
    std::cerr << "exit status " << status << meaning << ", expected 0; stderr:\n" << slurp(root / "stderr");
    ++failures;
  }
  if (failures) {
    std::cerr << failures << " difference(s); the run's files are kept in " << root.string() << "\n";
    return 1;
  }
  if (keep) std::cout << "run kept in " << root.string() << "\n";
  else fs::remove_all(root);
  return 0;
}
