// Report lines written from Fortran-style layouts.
//
// Every report line of the package is specified as a FORMAT list; writing it
// through an interpreter of that notation keeps each call site checkable
// against its layout character for character:
//
//   put(out, R"([/, " ITER:", I2, "; AVE OF ", I3, " SOLN:", 6F7.3])",
//       iter, count, guess.first(ns));
//
// Notation (outer brackets or parentheses optional, items separated by
// commas):
//   Iw      integer, right-aligned in w columns
//   Fw.d    real in fixed point, w columns, d decimals
//   Aw, A   text in w columns (right-aligned when shorter, leftmost w
//           characters when longer), or as long as it is
//   nX      n blanks
//   "text"  written unchanged (single quotes work too)
//   /       ends the current line; a layout that begins or ends with a slash
//           gives an empty line there
//   k(...), kIw, kFw.d, kAw, k"text"   repeat counts
// Values are consumed in order; a span contributes all its elements.  Output
// stops at the first value descriptor for which no value remains (texts,
// blanks and slashes before it are still written).  When the layout is used up
// while values remain, the line ends and the layout begins again at its last
// top-level group (at its start when it has none), as Fortran reverts.
//
// Conventions left open by the layouts, settled here once as common Fortran
// compilers print them:
//   * a value too wide for its field prints as w asterisks;
//   * Fw.d rounds the exact binary value to nearest, ties to even;
//   * Fw.d shows the 0 before the decimal point when the field has room and
//     drops it when it has not (F4.3 of 0.123 is ".123");
//   * a negative value that rounds to zero keeps its minus sign (" -0.000"),
//     and so does a negative zero;
//   * Fw.0 ends with the decimal point (F7.0 of 12.84 is "    13.");
//   * infinities print as "Infinity"/"Inf", NaN as "NaN", when they fit;
//   * blanks from nX at the very end of a line are not written (a Fortran
//     record is not extended by positioning alone).
// Values are single precision (float) or int; a double is refused at compile
// time so that no value slips through in another precision.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace cdsec {

namespace layout_detail {

// One argument of put(): a scalar or a run of values of one kind.
struct Arg {
  enum Kind : std::uint8_t { kInt, kReal, kText, kTextPieces };
  Kind kind;
  int count;  // number of values this argument supplies
  const void* ptr;
  int piece = 0;  // kTextPieces: width of each piece
  int stride = 0;  // kInt: 0 for one long long, 1 for a span of int
  bool is_string_span = false;  // kText: std::string elements, else string_view
};

}  // namespace layout_detail

// A text cut into pieces of `width` characters, as a Fortran program holds a
// long title in an array of 4-character words (16A4 prints all 16 of them).
struct Pieces {
  std::string_view text;
  int width;
};

class Layout {
 public:
  explicit Layout(std::string_view layout);  // throws std::invalid_argument

  // Writes the lines for the values; returns the number of lines written.
  int write(std::ostream& out, std::span<const layout_detail::Arg> args) const;
  std::string_view layout() const { return text_; }

  struct Node {
    enum Kind : std::uint8_t { kInt, kReal, kText, kLiteral, kSkip, kSlash, kGroup };
    Kind kind = kLiteral;
    int repeat = 1;
    int w = -1, d = 0;          // A without width: w = -1
    std::string literal;        // kLiteral
    std::vector<Node> children; // kGroup
  };

 private:
  std::string text_;
  std::vector<Node> top_;
  int revert_ = 0;  // index in top_ where reversion resumes
  bool revert_has_value_ = true;
};

// Fortran edit descriptors on their own (used by Layout, exposed for tests
// and for the rare caller that builds a field by hand).
std::string edit_I(long long v, int w);
std::string edit_F(float v, int w, int d);
std::string edit_A(std::string_view s, int w);  // w < 0: the whole text

// A real in a message: d decimals without padding, or, for a value too wide
// for 16 columns or not finite, the shortest text that reads back as the
// same value (1e+30, inf, nan) rather than asterisks.
std::string shown_real(float v, int d);

namespace layout_detail {

template <class T>
struct ArgOf;

template <>
struct ArgOf<long long> {
  static Arg make(const long long& v) { return {Arg::kInt, 1, &v, 0, 0, false}; }
};

template <>
struct ArgOf<float> {
  static Arg make(const float& v) { return {Arg::kReal, 1, &v}; }
};
template <>
struct ArgOf<double> {
  // All report values are single precision; convert explicitly if intended.
  static Arg make(const double&) = delete;
};
template <>
struct ArgOf<std::string_view> {
  static Arg make(const std::string_view& v) { return {Arg::kText, 1, &v, 0, 0, false}; }
};
template <>
struct ArgOf<Pieces> {
  static Arg make(const Pieces& v) {
    int n = v.width > 0 ? static_cast<int>((v.text.size() + v.width - 1) / v.width) : 0;
    return {Arg::kTextPieces, n, &v, v.width};
  }
};
template <>
struct ArgOf<std::span<const float>> {
  static Arg make(const std::span<const float>& v) { return {Arg::kReal, static_cast<int>(v.size()), v.data()}; }
};
template <>
struct ArgOf<std::span<const int>> {
  static Arg make(const std::span<const int>& v) {
    return {Arg::kInt, static_cast<int>(v.size()), v.data(), 0, 1, false};
  }
};
template <>
struct ArgOf<std::span<const std::string>> {
  static Arg make(const std::span<const std::string>& v) {
    return {Arg::kText, static_cast<int>(v.size()), v.data(), 0, 0, true};
  }
};
template <>
struct ArgOf<std::span<const std::string_view>> {
  static Arg make(const std::span<const std::string_view>& v) {
    return {Arg::kText, static_cast<int>(v.size()), v.data(), 0, 0, false};
  }
};

// Holders so that temporaries (string literals, std::string, non-const spans)
// are normalised to the kinds above and live until the write is done.
template <class T>
decltype(auto) normalise(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    static_assert(!std::is_same_v<T, bool>, "no logical values in reports");
  } else if constexpr (std::is_integral_v<T>) {
    return static_cast<long long>(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return std::string_view(v);
  } else if constexpr (std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, Pieces>) {
    return std::string_view(v);
  } else if constexpr (std::is_convertible_v<const T&, std::span<const float>>) {
    return std::span<const float>(v);
  } else if constexpr (std::is_convertible_v<const T&, std::span<const int>>) {
    return std::span<const int>(v);
  } else if constexpr (std::is_convertible_v<const T&, std::span<const std::string>>) {
    return std::span<const std::string>(v);
  } else if constexpr (std::is_convertible_v<const T&, std::span<const std::string_view>>) {
    return std::span<const std::string_view>(v);
  } else {
    return static_cast<const T&>(v);
  }
}

const Layout& cached(std::string_view layout);

template <class... N>
int put_normalised(std::ostream& out, std::string_view layout, const N&... n) {
  const Arg args[] = {ArgOf<std::remove_cvref_t<N>>::make(n)..., Arg{Arg::kInt, 0, nullptr}};
  return cached(layout).write(out, std::span<const Arg>(args, sizeof...(N)));
}

}  // namespace layout_detail

// Writes the values through the layout `layout` (parsed once and cached).
template <class... T>
int put(std::ostream& out, std::string_view layout, const T&... values) {
  return layout_detail::put_normalised(out, layout, layout_detail::normalise(values)...);
}

// The same, returning the text (each line ends with '\n').
template <class... T>
std::string format(std::string_view layout, const T&... values);

}  // namespace cdsec

#include <sstream>

template <class... T>
std::string cdsec::format(std::string_view layout, const T&... values) {
  std::ostringstream s;
  put(s, layout, values...);
  return s.str();
}
