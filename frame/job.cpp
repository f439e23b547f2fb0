#include "frame/job.hpp"

#include <array>
#include <cmath>
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

}  // namespace cdsec
