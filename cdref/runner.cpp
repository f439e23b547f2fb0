#include "cdref/runner.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string_view>

namespace cdref {

namespace fs = std::filesystem;

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
  ProcessSpec spec;
  spec.program = exe;
  spec.dir = dir;
  spec.env = env;
  spec.out_file = dir / (console + ".out");
  spec.err_file = dir / (console + ".err");
  JobCounter counter(spec.out_file);
  RunOutcome o;
  auto watch = [&] {
    const int done = counter.poll();
    if (done == o.jobs_done) return false;
    o.jobs_done = done;
    if (on_job) on_job(done);
    return true;
  };
  const ProcessOutcome p = run_process(spec, job_timeout, watch);
  watch();
  o.exited = p.exited;
  o.exit_code = p.exit_code;
  o.signal = p.signal;
  o.timed_out = p.timed_out;
  o.seconds = p.seconds;
  std::ifstream e(spec.err_file, std::ios::binary);
  o.stderr_text.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  return o;
}

}  // namespace cdref
