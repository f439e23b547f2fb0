// Any bytes as INPUT.  Both analysis programs read it job by job until the
// end of the file; every job must either be read completely or be refused
// with a ReadError.  Any other exception, a crash, or a value that is not a
// finite number is a fault.
#include <cmath>
#include <cstdint>
#include <string>

#include "frame/job.hpp"
#include "frame/refsets.hpp"
#include "scratch.hpp"

namespace {

using cdsec_fuzz::check;

// self_consistent: 64-character title, 83 values, the guess line read with
// as many fractions as the job's set has classes.  Otherwise: 50 characters,
// 100 values, the guess line skipped.
void read_all_jobs(const std::string& path, bool self_consistent) {
  cdsec::LineReader in;
  in.open(path, "INPUT");
  cdsec::JobReader jr(in);
  const int capacity = self_consistent ? 83 : 100;
  const int title_len = self_consistent ? 64 : 50;
  while (jr.begin()) {
    int iprint = 0, ibasis = 0;
    jr.read_print_basis(iprint, ibasis);
    const std::string title = jr.read_title(title_len);
    check(static_cast<int>(title.size()) == title_len);
    float first = 0, last = 0, factor = 0;
    jr.read_range(first, last, factor);
    check(std::isfinite(first) && std::isfinite(last) && std::isfinite(factor));
    const long long n = cdsec::JobReader::point_count(first, last);
    check(n == -1 || (n >= 1 && n <= 1000001));
    cdsec::Vector<100> raw;
    jr.read_cd(static_cast<int>(n), capacity, raw);
    check(n >= 1 && n <= capacity);  // read_cd refuses anything else
    for (int i = 1; i <= n; ++i) check(std::isfinite(raw(i)));
    jr.skip_after_cd();
    if (self_consistent) {
      const cdsec::RefSetInfo* set = cdsec::find_ref_set(ibasis);
      int iguess = -1;
      cdsec::Vector<6> guess;
      jr.read_guess(set ? set->ns : 6, iguess, guess);
      for (int j = 1; j <= 6; ++j) check(std::isfinite(guess(j)));
    } else {
      jr.skip_guess();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto path = (cdsec_fuzz::scratch_dir() / "INPUT").string();
  cdsec_fuzz::write_file(path, data, size);
  for (bool self_consistent : {true, false}) {
    try {
      read_all_jobs(path, self_consistent);
    } catch (const cdsec::ReadError&) {
      // the orderly refusal
    }
  }
  return 0;
}
