#include "frame/job.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ostream>

#include "frame/layout.hpp"
#include "frame/platform.hpp"

namespace cdsec {

std::string JobReader::range_text() const {
  return "the range " + shown_real(first_, 1) + " to " + shown_real(last_, 1) + " nm";
}

void JobReader::skip(std::string_view expected) {
  if (!in_.skip()) in_.fail_eof(expected);
}

bool JobReader::begin() {
  std::string line;
  return in_.next(line);
}

void JobReader::read_print_basis(int& iprint, int& ibasis) {
  skip("the comment line before the print flag and set number");
  std::array<int, 2> v{};
  try {
    read_free(in_, v, "print flag and reference-set number");
  } catch (const ReadError& e) {
    if (e.kind() != ReadError::Kind::kEndOfFile) throw;
    in_.fail_eof("the print flag and the reference-set number");
  }
  iprint = v[0];
  ibasis = v[1];
}

std::string JobReader::read_title(int len) {
  skip("a comment line");
  skip("the comment line before the title");
  std::string line;
  in_.require(line, "the title");
  line.resize(static_cast<std::size_t>(len), ' ');
  return line;
}

void JobReader::read_range(float& first, float& last, float& factor) {
  skip("a comment line");
  skip("the comment line before the wavelength range");
  std::array<float, 3> v{};
  try {
    read_free(in_, v, "wavelengths and factor");
  } catch (const ReadError& e) {
    if (e.kind() != ReadError::Kind::kEndOfFile) throw;
    in_.fail_eof("the wavelength range and factor");
  }
  first = v[0];
  last = v[1];
  factor = v[2];
  first_ = first;
  last_ = last;
  range_line_ = in_.line_no();
}

long long JobReader::point_count(float first, float last) {
  float span = first - last;
  if (!(span > -1.0f) || !(span < 1.0e6f)) return -1;
  long long n = static_cast<long long>(std::trunc(span)) + 1;
  return n >= 1 ? n : -1;
}

void JobReader::read_cd(int n, int capacity, VecView<float> raw) {
  if (n < 1 || n > capacity) {
    const std::string tidy = range_text();
    // A span too wide to count (or not a number) is no reversed range.
    if (n < 1 && !(first_ - last_ > 0.0f))
      throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                      tidy + " gives no CD values: the first wavelength must be the longer one");
    if (n < 1)
      throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                      tidy + " needs far more CD values than the " + std::to_string(capacity) + " that can be held");
    throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                    tidy + " needs " + std::to_string(n) + " CD values; at most " + std::to_string(capacity) +
                        " can be held");
  }
  skip("a comment line");
  skip("the comment line before the CD values");
  cd_lines_.assign(static_cast<std::size_t>(n), 0);
  FreeReadDetail detail{cd_lines_, 0};
  read_free(in_, std::span<float>(raw.data(), static_cast<std::size_t>(n)), "CD values", &detail);
  cd_items_after_ = detail.items_after_last;
}

void JobReader::check_cd(std::span<const float> raw, float factor, std::vector<std::string>& notes) const {
  const float f = factor == 0.0f ? 1.0f : factor;
  const std::string name = in_.name();
  auto where = [&](std::size_t i) {
    return name + ", line " + std::to_string(i < cd_lines_.size() ? cd_lines_[i] : 0) + ": ";
  };
  std::size_t first_odd = raw.size();
  int odd = 0;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const float v = raw[i] * f;
    const std::string scaled = f == 1.0f ? " is"
                                         : " times the factor " + shown_real(f, 3) + " (line " +
                                               std::to_string(range_line_) + ") is " + shown_real(v, 3) + ",";
    if (!std::isfinite(v) || std::fabs(v) > kMaxAbsCd)
      throw ReadError(ReadError::Kind::kBadValue, name, i < cd_lines_.size() ? cd_lines_[i] : 0,
                      "the CD value " + shown_real(raw[i], 3) + scaled +
                          (std::isfinite(v) ? " beyond " + std::to_string(static_cast<int>(kMaxAbsCd)) + " in magnitude"
                                            : " not a finite number") +
                          ": not a delta-epsilon value; the job is not analysed");
    if (std::fabs(v) > kPlausibleCd && odd++ == 0) first_odd = i;
  }
  if (odd > 0) {
    const float v = raw[first_odd] * f;
    notes.push_back(where(first_odd) + "the CD value " + shown_real(v, 3) + (f == 1.0f ? "" : " (after the factor)") +
                    " lies beyond " + std::to_string(static_cast<int>(kPlausibleCd)) + " in magnitude" +
                    (odd > 1 ? " (with " + std::to_string(odd - 1) + " more)" : "") +
                    ", implausible for delta epsilon: check the units and the factor");
  }
  if (cd_items_after_ > 0 && !cd_lines_.empty()) {
    notes.push_back(where(cd_lines_.size() - 1) + std::to_string(cd_items_after_) +
                    (cd_items_after_ == 1 ? " more value follows" : " more values follow") + " the last of the " +
                    std::to_string(cd_lines_.size()) + " CD values that " + range_text() +
                    " needs and " + (cd_items_after_ == 1 ? "is" : "are") +
                    " ignored; a decimal comma (-5,306) reads as two values and shifts the spectrum");
  }
}

void JobReader::require_points(int nw, std::string_view fitted, std::vector<std::string>& notes) const {
  const std::string what = range_text() + (fitted.empty() ? "" : ", " + std::string(fitted) + ",");
  const std::string count = std::to_string(nw) + (nw == 1 ? " CD value" : " CD values");
  if (nw < kMinPoints)
    throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                    what + " gives " + (nw < 1 ? "no CD values" : count) + "; at least " +
                        std::to_string(kMinPoints) + " are needed to determine the fractions");
  if (nw < kFewPoints)
    notes.push_back(in_.name() + ", line " + std::to_string(range_line_) + ": " + what + " gives only " + count +
                    " (fewer than " + std::to_string(kFewPoints) +
                    ", the span 240 to 200 nm); the fractions are poorly determined");
}

void JobReader::skip_after_cd() {
  skip("the comment line after the CD values");
  skip("the comment line before the initial guess");
}

void JobReader::read_guess(int ns, int& iguess, VecView<float> guess) {
  std::string line;
  in_.require(line, "the initial-guess line");
  FixedLine f(line, in_);
  iguess = f.I(1, 4);
  for (int j = 1; j <= ns; ++j) guess(j) = f.F(5 + 8 * (j - 1), 8, 3);
}

void JobReader::skip_guess() { skip("the initial-guess line"); }

void write_job(std::ostream& out, int ibasis, std::string_view title, float longer, float shorter,
               std::span<const float> cd, float factor) {
  // Comment lines are labels for the reader of the file, 51 characters wide.
  auto comment = [&out](std::string_view text) {
    std::string line(text);
    line.resize(51, ' ');
    put(out, "[A51]", line);
  };
  std::string t(title.substr(0, 40));
  t.resize(40, ' ');

  comment("#");
  comment("# PRINT   Basis_1    Basis_2     Basis_3    SEGMENT");
  put(out, "[3X, I4, 6X, I4, 7X, I4, 8X, I4, 7X, I4]", 0, ibasis, 0, 0, 1);
  comment("#");
  comment("# 1 Title Line");
  put(out, "[A40]", t);
  comment("#");
  comment("#     WL_Begin     WL_End       Factor");
  put(out, "[3F12.4]", longer, shorter, factor);
  comment("#");
  comment("# CDDATA (Long->Short Wavelength; 260 - 178 LIMITS ");
  put(out, "[(10F8.3)]", cd);
  comment("#");
  comment("#  IGuess  Str1   Str2   Str3   Str4   Str5    Str6");
  comment("        0");
}

// ------------------------------------------------------------ building a job

int range_point_count(float initial, float final_wl) {
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

RangeCheck check_job_range(float initial, float final_wl) {
  if (initial == final_wl) return RangeCheck::kEqual;
  int n = range_point_count(initial, final_wl);
  if (n < 0 || n > kMaxJobPoints) return RangeCheck::kTooMany;
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

int first_unwritable(std::span<const float> cd) {
  for (std::size_t k = 0; k < cd.size(); ++k)
    if (edit_F(cd[k], 8, 3)[0] == '*') return static_cast<int>(k) + 1;
  return 0;
}

std::string job_file_refusal(const std::filesystem::path& path) { return os::write_refusal(path); }

}  // namespace cdsec
