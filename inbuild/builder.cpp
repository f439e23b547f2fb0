#include "inbuild/builder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <vector>

#include "frame/job.hpp"
#include "frame/layout.hpp"

namespace cdsec::inbuild {

namespace fs = std::filesystem;

int point_count(float initial, float final_wl) {
  float span = initial > final_wl ? initial - final_wl : final_wl - initial;
  if (!(span < 1.0e6f)) return -1;
  return static_cast<int>(std::trunc(span)) + 1;
}

namespace {

// A wavelength as the analysis programs will read it from the line written
// with F12.4; false when it does not fit its columns.
bool as_written(float v, float& back) {
  std::string t = edit_F(v, 12, 4);
  t.erase(0, t.find_first_not_of(' '));
  return parse_real(t, back);
}

}  // namespace

RangeCheck check_range(float initial, float final_wl) {
  if (initial == final_wl) return RangeCheck::kEqual;
  int n = point_count(initial, final_wl);
  if (n < 0 || n > kMaxPoints) return RangeCheck::kTooMany;
  // The readers count the points from the written range; a range given to
  // more than four decimals could round to one point more or less.
  float longer_back, shorter_back;
  if (!as_written(std::max(initial, final_wl), longer_back) || !as_written(std::min(initial, final_wl), shorter_back))
    return RangeCheck::kUnwritable;
  if (JobReader::point_count(longer_back, shorter_back) != n) return RangeCheck::kUnwritable;
  return RangeCheck::kOk;
}

int suggest_set(float shorter) {
  if (shorter < 182.0f) return 1;
  if (shorter < 190.0f) return 3;
  return 4;
}

int lines_per_nm(float values_per_nm) {
  if (values_per_nm >= 2147483648.0f) return INT_MAX;
  if (values_per_nm < -2147483648.0f) return INT_MIN;
  return static_cast<int>(std::trunc(values_per_nm));
}

namespace {

bool is_blank(std::string_view s) { return s.find_first_not_of(" \t\f\v\r") == std::string_view::npos; }

// A line quoted in a message, cut when it is long.
std::string shown_line(std::string_view line) {
  constexpr std::size_t kShown = 60;
  if (line.size() <= kShown) return std::string(line);
  return std::string(line.substr(0, kShown)) + "...";
}

std::string message(const ReadError& e) { return e.what(); }

}  // namespace

PointsRead read_points(LineReader& in, int n, int per_nm, float divisor, std::span<float> cd,
                       std::span<int> line_of, std::ostream& console) {
  PointsRead r;
  std::string line;
  float v[2] = {0.0f, 0.0f};
  bool any_text = false;

  for (;;) {
    if (!in.next(line)) {
      if (!any_text) {
        r.status = PointsRead::Status::kEndOfFile;
        r.detail = message(ReadError(ReadError::Kind::kEndOfFile, in.name(), 0,
                                     in.line_no() == 0 ? std::string("the file is empty")
                                                       : "the file ends after line " + std::to_string(in.line_no()) +
                                                             " before the first point"));
      } else {
        r.status = PointsRead::Status::kNoDataLine;
        r.detail = message(ReadError(ReadError::Kind::kBadValue, in.name(), 0,
                                     "no line starts with a wavelength and a CD value (" +
                                         std::to_string(in.line_no()) + " lines read)"));
      }
      return r;
    }
    if (parse_free_reals(line, v) == 2) break;
    if (!is_blank(line)) any_text = true;
    ++r.header_lines;
  }
  if (r.header_lines > 0) put(console, R"(["  Header lines skipped in ", A, ":", I4])", in.name(), r.header_lines);

  for (int k = 1; k <= n; ++k) {
    if (k > 1) {
      for (;;) {
        if (!in.next(line)) {
          r.status = PointsRead::Status::kEndOfFile;
          r.detail = message(ReadError(ReadError::Kind::kEndOfFile, in.name(), 0,
                                       "the file ends after line " + std::to_string(in.line_no()) + " with " +
                                           std::to_string(r.points) + " of " + std::to_string(n) + " points read"));
          return r;
        }
        if (!is_blank(line)) break;
      }
      if (parse_free_reals(line, v) != 2) {
        r.status = PointsRead::Status::kBadPoint;
        r.detail = message(ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(),
                                     "expected a wavelength and a CD value for point " + std::to_string(k), 0, 0,
                                     shown_line(line), true));
        return r;
      }
    }
    put(console, "[2I6, 2F14.5]", k, k, v[0], v[1]);
    cd[static_cast<std::size_t>(k - 1)] = v[1] / divisor;
    line_of[static_cast<std::size_t>(k - 1)] = in.line_no();
    r.points = k;
    for (int j = 1; j < per_nm; ++j)
      if (!in.skip()) break;
  }
  return r;
}

int first_unwritable(std::span<const float> cd) {
  for (std::size_t k = 0; k < cd.size(); ++k)
    if (edit_F(cd[k], 8, 3)[0] == '*') return static_cast<int>(k) + 1;
  return 0;
}

void write_job(std::ostream& out, const JobDraft& job) {
  cdsec::write_job(out, job.ibasis, job.title, job.longer, job.shorter, job.cd.first(job.n));
}

// ------------------------------------------------------------ INPUT on disk

}  // namespace cdsec::inbuild
