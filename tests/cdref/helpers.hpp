// What several of cdref's tests use: the message of an error, a while in
// another working directory, and the jobs of an INPUT as the programs read them.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "frame/job.hpp"
#include "frame/text_input.hpp"

namespace cdref_test {

template <class F>
std::string message_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class InDir {
 public:
  explicit InDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) { std::filesystem::current_path(dir); }
  ~InDir() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

struct Job {
  std::string title;  // trailing blanks removed
  int ibasis = 0;
  float first = 0, last = 0, factor = 0;
  std::vector<float> cd;
};

inline std::vector<Job> jobs_of(const std::filesystem::path& input) {
  std::vector<Job> jobs;
  cdsec::LineReader in;
  in.open(input.string());
  cdsec::JobReader jr(in);
  while (jr.begin()) {
    Job j;
    int iprint;
    jr.read_print_basis(iprint, j.ibasis);
    j.title = jr.read_title(40);
    j.title.erase(j.title.find_last_not_of(' ') + 1);
    jr.read_range(j.first, j.last, j.factor);
    const int n = static_cast<int>(cdsec::JobReader::point_count(j.first, j.last));
    j.cd.resize(static_cast<std::size_t>(n));
    jr.read_cd(n, 100, cdsec::VecView<float>(j.cd.data(), n));
    jr.skip_after_cd();
    jr.skip_guess();
    jobs.push_back(j);
  }
  return jobs;
}

}  // namespace cdref_test
