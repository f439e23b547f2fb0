// End-to-end fuzzing of the analysis programs: a job of the bundled example
// and the reference set it uses are damaged at random (numbers replaced by
// extreme or malformed ones, lines deleted, repeated or swapped, files cut
// short, bytes inserted, a set made constant), and the real program runs on
// them with a time limit and a limit on the size of the files it writes.
//
//   cdsec_fuzz_programs --morvan3 BIN --kestra BIN --seconds N [--seed S]
//                       [--limit SECONDS] [--keep DIR]
//
// A run passes when it ends by itself within the limit with status 0, 1 or
// 3, a non-zero status comes with a message on standard error, and no file
// grows beyond the size limit.  Each failing case is kept in DIR (default
// ./fuzz-faults) with its inputs and output; the exit status is 1 when
// there was any.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/scratch_dir.hpp"

namespace {

namespace fs = std::filesystem;

using namespace cdsec_test;

// Values that have found faults before, or sit on a limit.
const std::vector<std::string> kSpecial = {
    "-1e30", "1e30", "nan", "inf", "-inf", "0", "-0", "1e-30", "3.4E38", "1E39", "999999", "-999999", "1000",
    "1000.001", "50.5", "-5,306", "1,5", "", ",", "2147483648", "-2147483649", "1.0E30", "1.0D-5", ".", "-",
    "1e", "0x10", "222", "178", "260", "1", "-1", "2", "8", "100", "101"};

class Mutator {
 public:
  explicit Mutator(std::uint64_t seed) : rng_(seed) {}

  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  // One random change to a text file.
  void mutate(std::string& text, bool fixed_columns) {
    std::vector<std::string> lines = lines_of(text);
    if (lines.empty()) lines.push_back("");
    const int which = pick(9);
    std::string& l = lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))];
    switch (which) {
      case 0:
      case 1:
      case 2: {  // a number replaced; width kept in fixed-column files
        std::vector<std::pair<std::size_t, std::size_t>> tokens;
        for (std::size_t i = 0; i < l.size();) {
          while (i < l.size() && l[i] == ' ') ++i;
          const std::size_t b = i;
          while (i < l.size() && l[i] != ' ') ++i;
          if (i > b) tokens.emplace_back(b, i - b);
        }
        if (tokens.empty()) break;
        auto [b, n] = tokens[static_cast<std::size_t>(pick(static_cast<int>(tokens.size())))];
        std::string v = kSpecial[static_cast<std::size_t>(pick(static_cast<int>(kSpecial.size())))];
        if (fixed_columns) {
          v = v.substr(0, n);
          v.insert(0, n - v.size(), ' ');
        }
        l.replace(b, n, v);
        break;
      }
      case 3:
        lines.erase(lines.begin() + pick(static_cast<int>(lines.size())));
        break;
      case 4: {
        const int k = pick(static_cast<int>(lines.size()));
        lines.insert(lines.begin() + k, lines[static_cast<std::size_t>(k)]);
        break;
      }
      case 5:
        std::swap(lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))],
                  lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))]);
        break;
      case 6: {  // cut short
        text = joined(lines);
        text.resize(static_cast<std::size_t>(pick(static_cast<int>(text.size()) + 1)));
        return;
      }
      case 7: {  // a stray byte
        const char bytes[] = {',', '\t', '\0', '\r', '.', '-', 'E', '\xff'};
        l.insert(static_cast<std::size_t>(pick(static_cast<int>(l.size()) + 1)), 1, bytes[pick(8)]);
        break;
      }
      case 8:  // a blank line
        l.clear();
        break;
    }
    text = joined(lines);
  }

  // Every CD field of a CDDATA file set to one value.
  static std::string constant_set(const std::string& cddata) {
    std::vector<std::string> lines = lines_of(cddata);
    for (std::size_t i = 2; i < lines.size(); ++i) {
      if (lines[i].rfind(" R", 0) == 0 || lines[i].size() < 6) continue;
      std::string c;
      for (std::size_t k = 0; k + 6 <= lines[i].size(); k += 6) c += "  1.00";
      lines[i] = c;
    }
    return joined(lines);
  }

 private:
  std::mt19937_64 rng_;
};

struct Outcome {
  int status = -1;  // exit status, or -1
  int signal = 0;
  bool timed_out = false;
  double seconds = 0;
};

// Runs `exe` in `dir` with stdin at its end, output in dir/.out and dir/.err,
// files limited to `max_bytes`, stopped after `limit_s`.
Outcome run(const std::string& exe, const fs::path& dir, int limit_s, long long max_bytes) {
  const std::string out = (dir / ".out").string(), err = (dir / ".err").string(), d = dir.string();
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || o < 0 || e < 0 || chdir(d.c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    rlimit r{static_cast<rlim_t>(max_bytes), static_cast<rlim_t>(max_bytes)};
    setrlimit(RLIMIT_FSIZE, &r);
    setenv("KESTRA_SEED", "11", 1);
    setenv("CDSEC_THREADS", "1", 1);
    unsetenv("CDSEC_DETAILS");
    unsetenv("CDSEC_REFDIR");
    execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  Outcome oc;
  int st = 0;
  for (;;) {
    if (waitpid(pid, &st, WNOHANG) == pid) break;
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(limit_s)) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      oc.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  oc.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!oc.timed_out && WIFEXITED(st)) oc.status = WEXITSTATUS(st);
  if (!oc.timed_out && WIFSIGNALED(st)) oc.signal = WTERMSIG(st);
  return oc;
}

}  // namespace

int main(int argc, char** argv) {
  std::string exe[2];
  double seconds = 60;
  std::uint64_t seed = std::random_device{}();
  int limit = 60;
  fs::path keep = "fuzz-faults";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    // The programs run in a scratch directory: a path given relative to
    // here must still find them.
    if (a == "--morvan3") exe[0] = fs::absolute(v).string();
    else if (a == "--kestra") exe[1] = fs::absolute(v).string();
    else if (a == "--seconds") seconds = std::stod(v);
    else if (a == "--seed") seed = std::stoull(v);
    else if (a == "--limit") limit = std::stoi(v);
    else if (a == "--keep") keep = fs::absolute(v);
    else {
      std::cerr << "unknown option " << a << "\n";
      return 2;
    }
  }
  if (exe[0].empty() || exe[1].empty()) {
    std::cerr << "usage: cdsec_fuzz_programs --morvan3 BIN --kestra BIN --seconds N [--seed S] [--limit S] "
                 "[--keep DIR]\n";
    return 2;
  }
  const fs::path src = CDSEC_SOURCE_DIR;
  const std::vector<std::string> example = lines_of(read_file(src / "examples/INPUT"));
  constexpr std::size_t kJobLines = 23;
  const std::size_t jobs = example.size() / kJobLines;
  const fs::path work = fs::temp_directory_path() / ("cdsec-fuzz-" + std::to_string(getpid()));
  constexpr long long kMaxBytes = 8 << 20;

  std::cout << "cdsec_fuzz_programs: seed " << seed << ", " << seconds << " s, " << limit << " s per run\n";
  Mutator m(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::map<std::string, int> tally;
  int runs = 0, faults = 0;
  double slowest = 0;
  while (std::chrono::steady_clock::now() < end) {
    const int prog = runs % 2;
    const std::string name = prog == 0 ? "MORVAN3" : "KESTRA";
    fs::remove_all(work);
    fs::create_directories(work);
    // One job of the example and set 1, which its jobs use.
    const std::size_t j = static_cast<std::size_t>(m.pick(static_cast<int>(jobs)));
    std::string input = joined({example.begin() + static_cast<long>(j * kJobLines),
                                    example.begin() + static_cast<long>((j + 1) * kJobLines)});
    std::string cd = read_file(src / "data/CDDATA.29"), ss = read_file(src / "data/SSDATA.29");
    const int changes = 1 + m.pick(3);
    for (int c = 0; c < changes; ++c) {
      const int target = m.pick(10);
      if (target < 6) m.mutate(input, false);
      else if (target < 8) m.mutate(cd, true);
      else if (target < 9) m.mutate(ss, true);
      else cd = Mutator::constant_set(cd);
    }
    write_file(work / "INPUT", input);
    write_file(work / "CDDATA.29", cd);
    write_file(work / "SSDATA.29", ss);

    const Outcome o = run(exe[prog], work, limit, kMaxBytes);
    ++runs;
    if (o.seconds > slowest) slowest = o.seconds;
    std::string fault;
    const std::string err = read_file(work / ".err");
    if (o.timed_out) fault = "still running after " + std::to_string(limit) + " s";
    else if (o.signal == SIGXFSZ) fault = "a file grew beyond " + std::to_string(kMaxBytes) + " bytes";
    else if (o.signal != 0) fault = "ended by signal " + std::to_string(o.signal);
    else if (o.status != 0 && o.status != 1 && o.status != 3) fault = "exit status " + std::to_string(o.status);
    else if (o.status != 0 && err.empty()) fault = "exit status " + std::to_string(o.status) + " without a message";
    ++tally[name + (fault.empty() ? " status " + std::to_string(o.status) : " FAULT")];
    if (!fault.empty()) {
      ++faults;
      const fs::path kept = keep / ("fault-" + std::to_string(seed) + "-" + std::to_string(runs));
      fs::create_directories(kept);
      for (const char* f : {"INPUT", "CDDATA.29", "SSDATA.29", ".err"})
        fs::copy_file(work / f, kept / f, fs::copy_options::overwrite_existing);
      std::cout << name << ": " << fault << "; case kept in " << kept.string() << "\n";
    }
  }
  fs::remove_all(work);
  std::cout << runs << " runs, slowest " << slowest << " s:";
  for (const auto& [k, n] : tally) std::cout << "  " << k << ": " << n << ";";
  std::cout << "\n" << (faults ? std::to_string(faults) + " fault(s)\n" : "no faults\n");
  return faults ? 1 : 0;
}
