#include "frame/layout.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace cdsec {

std::string edit_I(long long v, int w) {
  char buf[32];
  int n = std::snprintf(buf, sizeof buf, "%lld", v);
  if (n > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w - n), ' ') + buf;
}

namespace {

// The decimal digits of |v| rounded to d places, as "%.*f" prints them, for
// the values reports hold (d <= 9, |v| < 1e9); false for any other.  The
// product of a float's 24-bit significand and 10^d (5^d below 2^21) is exact
// in double, and nearbyint rounds it to nearest, ties to even, in the
// default rounding mode: the rounding printf applies to the exact binary
// value.  Report lines carry thousands of such fields, and printf's
// arbitrary-precision path dominated writing them.
bool fixed_digits(float v, int d, std::string& s) {
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9};
  if (d < 0 || d > 9) return false;
  const double a = std::fabs(static_cast<double>(v));
  if (!(a < 1e9)) return false;
  unsigned long long n = static_cast<unsigned long long>(std::nearbyint(a * kPow10[d]));
  char buf[32];
  int i = sizeof buf;
  for (int k = 0; k < d; ++k) {
    buf[--i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  if (d > 0) buf[--i] = '.';
  do {
    buf[--i] = static_cast<char>('0' + n % 10);
    n /= 10;
  } while (n != 0);
  if (std::signbit(v)) buf[--i] = '-';
  s.assign(buf + i, sizeof buf - static_cast<std::size_t>(i));
  return true;
}

}  // namespace

std::string edit_F(float v, int w, int d) {
  std::string s;
  if (std::isnan(v)) {
    s = "NaN";
  } else if (std::isinf(v)) {
    s = v < 0 ? (w >= 9 ? "-Infinity" : "-Inf") : (w >= 8 ? "Infinity" : "Inf");
  } else if (fixed_digits(v, d, s)) {
    if (d == 0) s += '.';
    if (static_cast<int>(s.size()) > w && d > 0) {
      std::size_t z = (s[0] == '-') ? 1 : 0;
      if (s.compare(z, 2, "0.") == 0) s.erase(z, 1);
    }
  } else {
    // glibc prints the exact binary value rounded to nearest, ties to even,
    // as Fortran run-time libraries do for F editing.
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%.*f", d, static_cast<double>(v));
    if (n < 0 || n >= static_cast<int>(sizeof buf)) return std::string(static_cast<std::size_t>(w), '*');
    s = buf;
    if (d == 0) s += '.';
    if (std::signbit(v) && s[0] != '-') s.insert(s.begin(), '-');
    // The zero before the decimal point is optional: drop it only when the
    // field has no room for it and a digit remains after the point.
    if (static_cast<int>(s.size()) > w && d > 0) {
      std::size_t z = (s[0] == '-') ? 1 : 0;
      if (s.compare(z, 2, "0.") == 0) s.erase(z, 1);
    }
  }
  if (static_cast<int>(s.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

std::string shown_real(float v, int d) {
  if (std::isfinite(v)) {
    std::string s = edit_F(v, 16, d);
    if (s[0] != '*') return s.substr(s.find_first_not_of(' '));
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string edit_A(std::string_view s, int w) {
  if (w < 0) return std::string(s);
  if (static_cast<int>(s.size()) >= w) return std::string(s.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + std::string(s);
}

// ---------------------------------------------------------------- parsing

namespace {

using Node = Layout::Node;

struct Parser {
  std::string_view s;
  std::size_t pos = 0;

  [[noreturn]] void fail(const char* what) const {
    throw std::invalid_argument("layout " + std::string(s) + ", position " + std::to_string(pos + 1) + ": " + what);
  }
  void blanks() {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  }
  int number() {
    int v = -1;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
      v = (v < 0 ? 0 : v * 10) + (s[pos] - '0');
      ++pos;
    }
    return v;
  }

  // Items up to the closing character `close` (0: the end of the text).
  std::vector<Node> list(char close) {
    std::vector<Node> out;
    bool need_comma = false;
    for (;;) {
      blanks();
      if (pos >= s.size()) {
        if (close) fail("missing closing bracket");
        return out;
      }
      char c = s[pos];
      if (close && c == close) {
        ++pos;
        return out;
      }
      if (c == ',') {
        ++pos;
        need_comma = false;
        continue;
      }
      if (c == '/') {  // a slash separates items by itself
        ++pos;
        Node n;
        n.kind = Node::kSlash;
        out.push_back(std::move(n));
        need_comma = false;
        continue;
      }
      if (need_comma) fail("expected a comma between items");
      out.push_back(item());
      need_comma = true;
    }
  }

  Node item() {
    Node n;
    int rep = number();
    if (rep == 0) fail("repeat count 0");
    blanks();
    if (pos >= s.size()) fail("layout ends inside an item");
    char c = s[pos];
    n.repeat = rep < 0 ? 1 : rep;
    if (c == '"' || c == '\'') {
      char q = c;
      ++pos;
      for (;;) {
        if (pos >= s.size()) fail("unterminated text");
        if (s[pos] == q) {
          if (pos + 1 < s.size() && s[pos + 1] == q) {  // doubled quote stands for one
            n.literal += q;
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        n.literal += s[pos++];
      }
      n.kind = Node::kLiteral;
      return n;
    }
    if (c == '(') {
      ++pos;
      n.kind = Node::kGroup;
      n.children = list(')');
      return n;
    }
    char k = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ++pos;
    switch (k) {
      case 'X':
        if (rep < 0) fail("X needs a count");
        n.kind = Node::kSkip;
        n.w = rep;
        n.repeat = 1;
        return n;
      case 'A':
        n.kind = Node::kText;
        n.w = number();
        return n;
      case 'I':
        n.kind = Node::kInt;
        n.w = number();
        if (n.w <= 0) fail("I needs a width");
        return n;
      case 'F':
        n.kind = Node::kReal;
        n.w = number();
        if (n.w <= 0) fail("F needs a width");
        if (pos >= s.size() || s[pos] != '.') fail("F needs .d");
        ++pos;
        n.d = number();
        if (n.d < 0 || n.d >= n.w) fail("bad number of decimals");
        return n;
      default:
        --pos;
        fail("unknown item");
    }
  }
};

bool has_value_item(const std::vector<Node>& list, std::size_t from = 0) {
  for (std::size_t i = from; i < list.size(); ++i) {
    const Node& n = list[i];
    if (n.kind == Node::kInt || n.kind == Node::kReal || n.kind == Node::kText) return true;
    if (n.kind == Node::kGroup && has_value_item(n.children)) return true;
  }
  return false;
}

}  // namespace

Layout::Layout(std::string_view layout) : text_(layout) {
  Parser p{text_};
  p.blanks();
  char close = 0;
  if (p.pos < text_.size() && (text_[p.pos] == '[' || text_[p.pos] == '(')) {
    close = text_[p.pos] == '[' ? ']' : ')';
    ++p.pos;
  }
  top_ = p.list(close);
  p.blanks();
  if (p.pos != text_.size()) p.fail("text after the end of the layout");
  // Reversion resumes at the last top-level group, or at the start.
  revert_ = 0;
  for (std::size_t i = 0; i < top_.size(); ++i)
    if (top_[i].kind == Node::kGroup) revert_ = static_cast<int>(i);
  // A tail without value items (a closing rule such as 50("-"), say) is
  // fine as long as the values never outnumber the layout; write() refuses
  // the reversion that would loop for ever.
  revert_has_value_ = has_value_item(top_, static_cast<std::size_t>(revert_));
}

// ---------------------------------------------------------------- writing

namespace {

using layout_detail::Arg;

struct Cursor {
  std::span<const Arg> args;
  std::size_t a = 0;
  int e = 0;

  void settle() {
    while (a < args.size() && e >= args[a].count) {
      ++a;
      e = 0;
    }
  }
  bool more() {
    settle();
    return a < args.size();
  }
};

struct Writer {
  std::ostream& out;
  std::string_view layout;
  Cursor cur;
  std::string rec;
  int pending = 0;  // blanks from X, written only if something follows
  int lines = 0;

  void end_record() {
    out << rec << '\n';
    rec.clear();
    pending = 0;
    ++lines;
  }
  void emit(std::string_view t) {
    rec.append(static_cast<std::size_t>(pending), ' ');
    pending = 0;
    rec += t;
  }
  [[noreturn]] void mismatch(const char* want) const {
    throw std::logic_error("layout " + std::string(layout) + ": value " + std::to_string(cur.a + 1) + " is not " + want);
  }

  void value(const Node& n) {
    const Arg& g = cur.args[cur.a];
    int e = cur.e++;
    switch (n.kind) {
      case Node::kInt: {
        if (g.kind != Arg::kInt) mismatch("an integer");
        long long v = g.stride == 0 ? *static_cast<const long long*>(g.ptr) : static_cast<const int*>(g.ptr)[e];
        emit(edit_I(v, n.w));
        break;
      }
      case Node::kReal:
        if (g.kind != Arg::kReal) mismatch("a real");
        emit(edit_F(static_cast<const float*>(g.ptr)[e], n.w, n.d));
        break;
      default: {  // kText
        std::string_view t;
        if (g.kind == Arg::kText) {
          t = g.is_string_span ? std::string_view(static_cast<const std::string*>(g.ptr)[e])
                               : static_cast<const std::string_view*>(g.ptr)[e];
        } else if (g.kind == Arg::kTextPieces) {
          const Pieces& pc = *static_cast<const Pieces*>(g.ptr);
          t = pc.text.substr(static_cast<std::size_t>(e) * static_cast<std::size_t>(pc.width),
                             static_cast<std::size_t>(pc.width));
        } else {
          mismatch("a text");
        }
        emit(edit_A(t, n.w));
      }
    }
  }

  // false: a value item found no value left, so output ends here.
  bool run(const std::vector<Node>& list, std::size_t from = 0) {
    for (std::size_t i = from; i < list.size(); ++i) {
      const Node& n = list[i];
      for (int r = 0; r < n.repeat; ++r) {
        switch (n.kind) {
          case Node::kSlash:
            end_record();
            break;
          case Node::kSkip:
            pending += n.w;
            break;
          case Node::kLiteral:
            emit(n.literal);
            break;
          case Node::kGroup:
            if (!run(n.children)) return false;
            break;
          default:
            if (!cur.more()) return false;
            value(n);
        }
      }
    }
    return true;
  }
};

}  // namespace

int Layout::write(std::ostream& out, std::span<const Arg> args) const {
  Writer wr{out, text_, Cursor{args}, {}, 0, 0};
  if (wr.cur.more() && !has_value_item(top_))
    throw std::logic_error("layout " + text_ + " takes no values");
  bool going = wr.run(top_);
  while (going && wr.cur.more()) {  // reversion: new line, repeat the tail
    if (!revert_has_value_)
      throw std::logic_error("layout " + text_ + ": values remain, but the part that is repeated holds no value item");
    wr.end_record();
    going = wr.run(top_, static_cast<std::size_t>(revert_));
  }
  wr.end_record();
  return wr.lines;
}

const Layout& layout_detail::cached(std::string_view layout) {
  static std::mutex mu;
  static std::map<std::string, std::unique_ptr<Layout>, std::less<>> cache;
  std::lock_guard lock(mu);
  auto it = cache.find(layout);
  if (it == cache.end()) it = cache.emplace(std::string(layout), std::make_unique<Layout>(layout)).first;
  return *it->second;
}

}  // namespace cdsec
