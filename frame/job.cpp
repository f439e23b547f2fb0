#include "frame/job.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ostream>

#include "frame/layout.hpp"

namespace cdsec {

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
    auto nm = [](float v) {
      std::string t = edit_F(v, 12, 1);
      return t.substr(t.find_first_not_of(' '));
    };
    std::string tidy = "the range " + nm(first_) + " to " + nm(last_);
    if (n < 1)
      throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                      tidy + " nm gives no CD values: the first wavelength must be the longer one");
    throw ReadError(ReadError::Kind::kTooMany, in_.name(), range_line_,
                    tidy + " nm needs " + std::to_string(n) + " CD values; at most " + std::to_string(capacity) +
                        " can be held");
  }
  skip("a comment line");
  skip("the comment line before the CD values");
  read_free(in_, std::span<float>(raw.data(), static_cast<std::size_t>(n)), "CD values");
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

std::string job_file_refusal(const std::filesystem::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return {};
    return std::string("cannot be looked at: ") + std::strerror(errno);
  }
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (!S_ISREG(st.st_mode)) return "is not a regular file";
  if ((st.st_mode & 0222) == 0) return "is write-protected";
  if (::access(path.c_str(), W_OK) != 0)
    return errno == EACCES ? std::string("is write-protected") : std::string("cannot be written: ") + std::strerror(errno);
  return {};
}

}  // namespace cdsec
