// Reading the package's plain-text files: a line source that knows where it
// is, free-format (list-directed) values, and fixed-column fields.
//
// Every failure is a ReadError naming the file, the line and the offending
// text, worded in one place so that all programs report alike:
//   INPUT, line 17, columns 11-20: expected a number, found "0.12.5"
#pragma once

#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace cdsec {

class ReadError : public std::runtime_error {
 public:
  enum class Kind { kEndOfFile, kBadValue, kCannotOpen, kTooMany };
  ReadError(Kind kind, std::string path, int line, std::string detail, int col_from = 0, int col_to = 0,
            std::string found = {}, bool show_found = false);

  Kind kind() const { return kind_; }
  const std::string& path() const { return path_; }
  int line() const { return line_; }  // 0 when not tied to a line

 private:
  Kind kind_;
  std::string path_;
  int line_;
};

// A text file read line by line.  Line numbers count from 1; a final line
// without a newline is still a line; a carriage return before the newline
// (files from other systems) is dropped.  Only regular files are read: a
// directory, a pipe or a device (a link to /dev/zero) would be read for
// ever or not at all, and is refused when opened.  A line longer than
// kMaxLineLength is refused too: no file of the package comes near it, and
// a file without newlines must not be taken into memory whole.
class LineReader {
 public:
  static constexpr std::size_t kMaxLineLength = std::size_t{1} << 20;

  LineReader() = default;
  // Opens `path`; `display` is the name used in messages (defaults to path).
  // (A path, not a string: on Windows a file name in any script opens.)
  void open(const std::filesystem::path& path, std::string display = {});
  bool is_open() const { return in_.is_open(); }
  void close() { in_.close(); }

  // Reads the next line into `line`; false at the end of the file.
  bool next(std::string& line);
  // Reads the next line or throws kEndOfFile, saying what was expected.
  void require(std::string& line, std::string_view expected);
  // Skips one line (its content, whatever it is, is ignored).
  bool skip();

  int line_no() const { return line_no_; }  // number of the last line read
  const std::string& name() const { return name_; }
  [[noreturn]] void fail_eof(std::string_view expected) const;

 private:
  std::ifstream in_;
  std::string name_;
  int line_no_ = 0;
};

// ------------------------------------------------------------ free format
//
// A read of k values takes them from as many lines as needed, values being
// separated by blanks, tabs or commas, and discards the rest of the line on
// which the k-th value stands.  Blank lines in between are passed over.
// Reals are written as Fortran allows: 12, -1.5, .5, 3., 1.5E-3, 1.5D-3.
// Two commas with nothing between them (an empty value) are refused, as is
// any text that is not a number.

// Where the values of a free-format read stood: the line of each value (when
// line_of is not empty; as many entries as values), and the number of items
// left unread on the line of the last value.
struct FreeReadDetail {
  std::span<int> line_of;
  int items_after_last = 0;
};

// Reads values.size() reals.  End of file before the last value throws
// kEndOfFile, an unreadable value kBadValue.
void read_free(LineReader& in, std::span<float> values, std::string_view what, FreeReadDetail* detail = nullptr);
// The same for integers (a real such as 1.0 is refused).
void read_free(LineReader& in, std::span<int> values, std::string_view what);

// Parses one free-format line of a console answer or data file: fills up to
// values.size() reals from `line` and returns how many were found before the
// first item that is not a number (`bad` then holds it); extra items after
// values.size() are ignored.
int parse_free_reals(std::string_view line, std::span<float> values, std::string* bad = nullptr);

// A real in Fortran notation, the whole of `text` (no blanks); false when
// it is not one.
bool parse_real(std::string_view text, float& out);
bool parse_int(std::string_view text, long long& out);

// A text without its leading and trailing blanks (titles and labels are
// padded with blanks to their field width), or without the trailing ones.
inline std::string_view trim_blanks(std::string_view s) {
  const std::size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}
inline std::string_view trim_right_blanks(std::string_view s) {
  const std::size_t e = s.find_last_not_of(' ');
  return e == std::string_view::npos ? std::string_view() : s.substr(0, e + 1);
}

// ------------------------------------------------------------ fixed columns
//
// Fields are addressed by their first column (from 1) and width.  A line
// shorter than a field reads as if padded with blanks; blanks inside a field
// are ignored; an all-blank field is zero.  Fw.d: a value without a decimal
// point has d implied decimals (350 in F8.3 is 0.350), one with a point is
// taken as written; an exponent may follow.
class FixedLine {
 public:
  FixedLine(std::string_view text, const LineReader& src) : text_(text), src_(&src) {}
  FixedLine(std::string_view text, std::string name, int line_no)
      : text_(text), name_(std::move(name)), line_no_(line_no) {}

  int I(int col, int w) const;
  float F(int col, int w, int d) const;
  std::string A(int col, int w) const;  // exactly w characters, blank-padded

 private:
  std::string_view field(int col, int w) const;
  [[noreturn]] void bad(int col, int w, const char* expected) const;
  const std::string& name() const { return src_ ? src_->name() : name_; }
  int line_no() const { return src_ ? src_->line_no() : line_no_; }

  std::string_view text_;
  const LineReader* src_ = nullptr;
  std::string name_;
  int line_no_ = 0;
};

}  // namespace cdsec
