#include "inbuild/builder.hpp"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <ostream>

#include "frame/job.hpp"
#include "frame/layout.hpp"

namespace cdsec::inbuild {

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

// Items looked at on a line before the first point (a data line may hold
// more columns than the two used).
constexpr int kMaxItems = 8;

// The first point: a line of numbers only, two at least, or one that starts
// with the initial wavelength and a value (text columns may follow).  A
// header line may start with numbers too: a date and a time, "02 05 2023 10:31".
bool first_point(std::string_view line, float (&v)[kMaxItems], float initial, float tolerance) {
  std::string bad;
  if (parse_free_reals(line, v, &bad) < 2) return false;
  return bad.empty() || std::fabs(v[0] - initial) < tolerance;
}

// A wavelength in a message, as short as it reads back.
std::string nm(float v) {
  char buf[32];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return (ec == std::errc() ? std::string(buf, p) : std::string("?")) + " nm";
}

}  // namespace

PointsRead read_points(LineReader& in, float initial, float final_wl, int per_nm, float divisor, std::span<float> cd,
                       std::span<int> line_of, std::ostream& console) {
  PointsRead r;
  const int n = static_cast<int>(cd.size());
  std::string line;
  float v[kMaxItems] = {};
  bool any_text = false;
  // Point k lies (k - 1) nm from the initial wavelength towards the final
  // one; the line used for it must be nearer to that than the lines around.
  const float toward = final_wl < initial ? -1.0f : 1.0f;
  const float tolerance = 0.5f / static_cast<float>(std::max(per_nm, 1));

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
    if (first_point(line, v, initial, tolerance)) break;
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
      if (parse_free_reals(line, std::span<float>(v, 2)) != 2) {
        r.status = PointsRead::Status::kBadPoint;
        r.detail = message(ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(),
                                     "expected a wavelength and a CD value for point " + std::to_string(k), 0, 0,
                                     shown_line(line), true));
        return r;
      }
    }
    put(console, "[2I6, 2F14.5]", k, k, v[0], v[1]);
    const float expected = initial + toward * static_cast<float>(k - 1);
    if (!(std::fabs(v[0] - expected) < tolerance)) {
      r.status = PointsRead::Status::kWrongWavelength;
      const std::string what =
          k == 1 ? "the first point is at " + nm(v[0]) + ", but the range entered begins at " + nm(initial)
                 : "point " + std::to_string(k) + " is at " + nm(v[0]) + " where " + nm(expected) +
                       " is expected (from " + nm(initial) + ", " + std::to_string(std::max(per_nm, 1)) +
                       (per_nm > 1 ? " lines" : " line") + " per nm)";
      r.detail = message(ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(), what));
      return r;
    }
    cd[static_cast<std::size_t>(k - 1)] = v[1] / divisor;
    line_of[static_cast<std::size_t>(k - 1)] = in.line_no();
    r.points = k;
    for (int j = 1; j < per_nm; ++j)
      if (!in.skip()) break;
  }
  return r;
}

void write_job(std::ostream& out, const JobDraft& job) {
  cdsec::write_job(out, job.ibasis, job.title, job.longer, job.shorter, job.cd.first(job.n));
}

}  // namespace cdsec::inbuild
