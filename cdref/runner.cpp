#include "cdref/runner.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string_view>

#include "frame/platform.hpp"

namespace cdref {

namespace fs = std::filesystem;
using cdsec::os::path_from_utf8;
using cdsec::os::path_to_utf8;

namespace {

// Counts the end messages that both programs show after every job, reading
// only what was added since the last look.
class JobCounter {
 public:
  explicit JobCounter(fs::path file) : file_(std::move(file)) {}
  int poll() {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return count_;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += chunk.size();
    carry_ += chunk;
    static constexpr std::string_view kEnd = " End of Program";
    std::size_t pos = 0, at;
    while ((at = carry_.find(kEnd, pos)) != std::string::npos) {
      ++count_;
      pos = at + kEnd.size();
    }
    carry_.erase(0, std::max(pos, carry_.size() > kEnd.size() ? carry_.size() - kEnd.size() : 0));
    return count_;
  }

 private:
  fs::path file_;
  std::size_t offset_ = 0;
  std::string carry_;
  int count_ = 0;
};

}  // namespace

RunOutcome run_program(const fs::path& exe, const fs::path& dir, const std::vector<std::string>& env, int job_timeout,
                       const std::function<void(int)>& on_job, const std::string& console) {
  ProcessSetup setup;
  setup.program = exe;
  setup.dir = dir;
  setup.env = env;
  setup.out_file = dir / path_from_utf8(console + ".out");
  setup.err_file = dir / path_from_utf8(console + ".err");
  JobCounter counter(setup.out_file);
  RunOutcome o;
  auto watch = [&] {
    const int done = counter.poll();
    if (done == o.jobs_done) return false;
    o.jobs_done = done;
    if (on_job) on_job(done);
    return true;
  };
  const ProcessOutcome p = run_process(setup, job_timeout, watch);
  watch();
  o.exited = p.exited;
  o.exit_code = p.exit_code;
  o.signal = p.signal;
  o.timed_out = p.timed_out;
  o.seconds = p.seconds;
  std::ifstream e(setup.err_file, std::ios::binary);
  o.stderr_text.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  return o;
}

fs::path find_executable(const std::string& name, const std::string& build_dir, const std::string& given,
                         const std::string& option) {
  if (!given.empty()) {
    fs::path g = fs::absolute(path_from_utf8(given));
    if (!platform::is_runnable(g)) throw std::runtime_error(given + ": not an executable program");
    return g;
  }
  const fs::path file = path_from_utf8(name + platform::kProgramSuffix);
  std::vector<fs::path> tried;
  const fs::path self = cdsec::os::executable_path();
  if (!self.empty()) {
    const fs::path here = self.parent_path();
    tried.push_back(here / file);
    tried.push_back(here.parent_path() / path_from_utf8(build_dir) / file);
  }
  if (const char* path = std::getenv("PATH")) {
    std::string_view rest = path;
    while (!rest.empty()) {
      const std::size_t sep = rest.find(platform::kPathListSeparator);
      const std::string_view d = rest.substr(0, sep);
      if (!d.empty()) tried.push_back(path_from_utf8(d) / file);
      rest = sep == std::string_view::npos ? std::string_view() : rest.substr(sep + 1);
    }
  }
  for (const fs::path& t : tried)
    if (platform::is_runnable(t)) return t;
  throw std::runtime_error(name + " not found next to cdref, in the build tree or on PATH; name it with " + option +
                           " PATH");
}

fs::path make_temp_dir(const std::string& stem) {
  // Creating a directory fails when the name is taken, so a fresh random
  // name is tried until one is new.
  static std::atomic<unsigned> counter{0};
  std::mt19937_64 draw(std::random_device{}() ^
                       static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                       counter++);
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const fs::path base = fs::temp_directory_path();
  std::error_code ec;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = stem + "-";
    for (int i = 0; i < 8; ++i) name += kLetters[draw() % (sizeof kLetters - 1)];
    if (fs::create_directory(base / path_from_utf8(name), ec)) return base / path_from_utf8(name);
    if (ec) break;
  }
  throw std::runtime_error("cannot make a scratch directory in " + path_to_utf8(base) +
                           (ec ? ": " + ec.message() : std::string()));
}

ScratchDir::ScratchDir(const std::string& given, const std::string& stem, bool keep) {
  namespace fs = std::filesystem;
  if (given.empty()) {
    path_ = make_temp_dir(stem);
    remove_ = !keep;
    return;
  }
  path_ = fs::absolute(path_from_utf8(given));
  std::error_code ec;
  if (fs::exists(path_, ec) && !fs::is_empty(path_, ec))
    throw std::runtime_error(path_to_utf8(path_) + ": the scratch directory must be new or empty");
  fs::create_directories(path_, ec);
  if (ec) throw std::runtime_error(path_to_utf8(path_) + ": " + ec.message());
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (remove_) std::filesystem::remove_all(path_, ec);
}

}  // namespace cdref
