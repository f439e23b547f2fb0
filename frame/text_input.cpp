#include "frame/text_input.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include "frame/platform.hpp"

namespace cdsec {

namespace {

std::string build_message(const std::string& path, int line, const std::string& detail, int c1, int c2,
                          const std::string& found, bool show_found) {
  std::string m = path;
  if (line > 0) m += ", line " + std::to_string(line);
  if (c1 > 0) m += c2 > c1 ? ", columns " + std::to_string(c1) + "-" + std::to_string(c2) : ", column " + std::to_string(c1);
  m += ": " + detail;
  if (show_found) m += ", found \"" + found + "\"";
  return m;
}

bool is_sep_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

ReadError::ReadError(Kind kind, std::string path, int line, std::string detail, int col_from, int col_to,
                     std::string found, bool show_found)
    : std::runtime_error(build_message(path, line, detail, col_from, col_to, found, show_found)),
      kind_(kind),
      path_(std::move(path)),
      line_(line) {}

// ---------------------------------------------------------------- lines

void LineReader::open(const std::filesystem::path& path, std::string display) {
  in_.close();
  in_.clear();
  name_ = display.empty() ? os::path_to_utf8(path) : std::move(display);
  line_no_ = 0;
  // Checked before opening: opening a pipe waits for a writer.
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(path, ec);
  if (!ec && std::filesystem::exists(st) && !std::filesystem::is_regular_file(st))
    throw ReadError(ReadError::Kind::kCannotOpen, name_, 0,
                    std::filesystem::is_directory(st) ? "is a directory, not a file"
                                        : "is not a regular file (a pipe, a device or a link to one); refused");
  in_.open(path, std::ios::in | std::ios::binary);
  if (!in_.is_open()) throw ReadError(ReadError::Kind::kCannotOpen, name_, 0, "cannot be opened for reading");
}

bool LineReader::next(std::string& line) {
  line.clear();
  if (!in_.is_open()) return false;
  std::streambuf* sb = in_.rdbuf();
  bool any = false;
  for (;;) {
    const int c = sb->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    any = true;
    if (c == '\n') break;
    if (line.size() >= kMaxLineLength)
      throw ReadError(ReadError::Kind::kBadValue, name_, line_no_ + 1,
                      "the line is longer than " + std::to_string(kMaxLineLength) +
                          " characters; this is not a text file of the package");
    line.push_back(static_cast<char>(c));
  }
  if (!any) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++line_no_;
  return true;
}

void LineReader::fail_eof(std::string_view expected) const {
  throw ReadError(ReadError::Kind::kEndOfFile, name_, line_no_ + 1,
                  "the file ends where " + std::string(expected) + " should follow");
}

void LineReader::require(std::string& line, std::string_view expected) {
  if (!next(line)) fail_eof(expected);
}

bool LineReader::skip() {
  std::string dummy;
  return next(dummy);
}

// ---------------------------------------------------------------- numbers

bool parse_int(std::string_view t, long long& out) {
  if (t.empty()) return false;
  std::size_t i = 0;
  bool neg = false;
  if (t[0] == '+' || t[0] == '-') {
    neg = t[0] == '-';
    i = 1;
  }
  if (i >= t.size()) return false;
  long long v = 0;
  auto [p, ec] = std::from_chars(t.data() + i, t.data() + t.size(), v);
  if (ec != std::errc() || p != t.data() + t.size()) return false;
  out = neg ? -v : v;
  return true;
}

namespace {

// A Fortran real split into its parts: the mantissa as written (digits and
// at most one point, sign dropped) and the exponent's value.
struct RealParts {
  bool negative = false;
  bool has_point = false;
  std::string_view mantissa;
  long expo = 0;
};

// Checks the form [sign] digits [. digits] [(E|D) [sign] digits], at least
// one digit in the mantissa, and splits it.
bool split_real(std::string_view t, RealParts& r) {
  std::size_t i = 0, n = t.size();
  r = RealParts{};
  if (n == 0) return false;
  if (t[i] == '+' || t[i] == '-') {
    r.negative = t[i] == '-';
    ++i;
  }
  const std::size_t m0 = i;
  int digits = 0;
  while (i < n && (std::isdigit(static_cast<unsigned char>(t[i])) || t[i] == '.')) {
    if (t[i] == '.') {
      if (r.has_point) return false;
      r.has_point = true;
    } else {
      ++digits;
    }
    ++i;
  }
  if (digits == 0) return false;
  r.mantissa = t.substr(m0, i - m0);
  if (i < n) {
    char e = static_cast<char>(std::toupper(static_cast<unsigned char>(t[i])));
    if (e != 'E' && e != 'D') return false;
    ++i;
    long long ev = 0;
    std::string_view es = t.substr(i);
    if (es.empty() || !parse_int(es, ev) || ev > 100000 || ev < -100000) return false;
    r.expo = static_cast<long>(ev);
  }
  return true;
}

// The value of [-]mantissa * 10**expo, rounded once, as from_chars reads
// "<sign><mantissa>e<expo>"; false when it is not a finite float.  Short
// texts (every fixed-column field) are put together on the stack.
bool to_float(const RealParts& r, long expo, float& out) {
  constexpr std::size_t kStack = 96;
  char stack[kStack];
  std::string heap;
  const std::size_t need = r.mantissa.size() + 24;
  char* b = stack;
  if (need > kStack) {
    heap.resize(need);
    b = heap.data();
  }
  char* e = b;
  if (r.negative) *e++ = '-';
  std::memcpy(e, r.mantissa.data(), r.mantissa.size());
  e += r.mantissa.size();
  *e++ = 'e';
  e = std::to_chars(e, b + need, expo).ptr;
  float v = 0;
  auto [p, ec] = std::from_chars(b, e, v, std::chars_format::general);
  if (ec != std::errc() || p != e || !std::isfinite(v)) return false;
  out = v;
  return true;
}

}  // namespace

bool parse_real(std::string_view t, float& out) {
  RealParts r;
  if (!split_real(t, r)) return false;
  return to_float(r, r.expo, out);
}

// ---------------------------------------------------------------- free format

namespace {

// Cuts a line into items; returns false (with `bad`) on an empty item
// between two commas or at the start of the line.
struct Tokens {
  std::string_view line;
  std::size_t pos = 0;
  bool first = true;

  // Next item, or false at the end of the line.  `empty` is set when two
  // commas (or a leading comma) enclose nothing.
  bool next(std::string_view& tok, std::size_t& col, bool& empty) {
    empty = false;
    std::size_t n = line.size();
    while (pos < n && is_sep_blank(line[pos])) ++pos;
    if (pos < n && line[pos] == ',') {
      if (first) {
        empty = true;
        col = pos;
        return true;
      }
      ++pos;
      while (pos < n && is_sep_blank(line[pos])) ++pos;
      if (pos < n && line[pos] == ',') {
        empty = true;
        col = pos;
        return true;
      }
    }
    if (pos >= n) return false;
    std::size_t b = pos;
    while (pos < n && !is_sep_blank(line[pos]) && line[pos] != ',') ++pos;
    tok = line.substr(b, pos - b);
    col = b;
    first = false;
    return true;
  }
};

template <class T>
void read_free_impl(LineReader& in, std::span<T> values, std::string_view what, FreeReadDetail* detail) {
  std::size_t got = 0;
  std::string line;
  while (got < values.size()) {
    if (!in.next(line)) {
      throw ReadError(ReadError::Kind::kEndOfFile, in.name(), in.line_no(),
                      "the file ends after " + std::to_string(got) + " of " + std::to_string(values.size()) + " " +
                          std::string(what));
    }
    Tokens tk{line};
    std::string_view tok;
    std::size_t col;
    bool empty;
    while (got < values.size() && tk.next(tok, col, empty)) {
      int c = static_cast<int>(col) + 1;
      if (empty)
        throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(),
                        "an empty value between commas where " + std::string(what) + " are expected", c);
      if constexpr (std::is_same_v<T, float>) {
        float v;
        if (!parse_real(tok, v))
          throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(),
                          "expected a number among the " + std::string(what), c, c + static_cast<int>(tok.size()) - 1,
                          std::string(tok), true);
        if (detail && !detail->line_of.empty()) detail->line_of[got] = in.line_no();
        values[got++] = v;
      } else {
        long long v;
        if (!parse_int(tok, v) || v > 2147483647LL || v < -2147483647LL)
          throw ReadError(ReadError::Kind::kBadValue, in.name(), in.line_no(),
                          "expected an integer among the " + std::string(what), c, c + static_cast<int>(tok.size()) - 1,
                          std::string(tok), true);
        values[got++] = static_cast<int>(v);
      }
    }
    if (detail && got == values.size()) {
      detail->items_after_last = 0;
      while (tk.next(tok, col, empty)) ++detail->items_after_last;
    }
  }
}

}  // namespace

void read_free(LineReader& in, std::span<float> values, std::string_view what, FreeReadDetail* detail) {
  read_free_impl(in, values, what, detail);
}
void read_free(LineReader& in, std::span<int> values, std::string_view what) {
  read_free_impl(in, values, what, nullptr);
}

int parse_free_reals(std::string_view line, std::span<float> values, std::string* bad) {
  Tokens tk{line};
  std::string_view tok;
  std::size_t col;
  bool empty;
  int got = 0;
  while (got < static_cast<int>(values.size()) && tk.next(tok, col, empty)) {
    float v;
    if (empty || !parse_real(tok, v)) {
      if (bad) *bad = empty ? std::string() : std::string(tok);
      return got;
    }
    values[static_cast<std::size_t>(got++)] = v;
  }
  return got;
}

// ---------------------------------------------------------------- fixed columns

std::string_view FixedLine::field(int col, int w) const {
  std::size_t b = static_cast<std::size_t>(col - 1);
  if (b >= text_.size()) return {};
  return text_.substr(b, static_cast<std::size_t>(w));
}

void FixedLine::bad(int col, int w, const char* expected) const {
  throw ReadError(ReadError::Kind::kBadValue, name(), line_no(), expected, col, col + w - 1,
                  std::string(field(col, w)), true);
}

int FixedLine::I(int col, int w) const {
  std::string t;
  for (char c : field(col, w))
    if (!is_sep_blank(c)) t += c;
  if (t.empty()) return 0;
  long long v;
  if (!parse_int(t, v) || v > 2147483647LL || v < -2147483647LL) bad(col, w, "expected an integer");
  return static_cast<int>(v);
}

static float F_impl(std::string_view f, int d, bool& ok) {
  // The field without its blanks; fields wider than the buffer take the
  // same path through a string.
  constexpr std::size_t kStack = 64;
  char stack[kStack];
  std::string heap;
  char* t = stack;
  if (f.size() > kStack) {
    heap.resize(f.size());
    t = heap.data();
  }
  std::size_t n = 0;
  for (char c : f)
    if (!is_sep_blank(c)) t[n++] = c;
  ok = true;
  if (n == 0) return 0.0f;
  RealParts r;
  if (!split_real(std::string_view(t, n), r)) {
    ok = false;
    return 0.0f;
  }
  // Without a decimal point the last d digits of the mantissa are decimals.
  float v = 0;
  if (!to_float(r, r.has_point ? r.expo : r.expo - d, v)) ok = false;
  return v;
}

float FixedLine::F(int col, int w, int d) const {
  bool ok;
  float v = F_impl(field(col, w), d, ok);
  if (!ok) bad(col, w, "expected a number");
  return v;
}

std::string FixedLine::A(int col, int w) const {
  std::string s(field(col, w));
  s.resize(static_cast<std::size_t>(w), ' ');
  return s;
}

}  // namespace cdsec
