#include "frame/json_writer.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace cdsec {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::size_t kInlineNumbers = 10;                // longer numeric arrays are wrapped

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

template <class T>
std::string shortest(T v) {
  if (!std::isfinite(v)) return "null";
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string clean_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // Length of the sequence and the range its second byte must lie in
    // (which rules out overlong forms, surrogates and values above U+10FFFF).
    int len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (len == 0) {  // a byte that never starts a sequence
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k < static_cast<std::size_t>(len) && i + k < n; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      const bool ok = k == 1 ? (b >= lo && b <= hi) : continuation(b);
      if (!ok) break;
    }
    if (k == static_cast<std::size_t>(len)) {
      out.append(s.substr(i, k));
    } else {
      out += kReplacement;  // the well-begun part counts as one bad character
    }
    i += k;
  }
  return out;
}

std::string json_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string clean = clean_utf8(text);
  std::string out = "\"";
  for (char ch : clean) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"') {
      out += "\\\"";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

std::string json_number(float v) { return shortest(v); }
std::string json_number(double v) { return shortest(v); }

void JsonWriter::newline() {
  out_ += '\n';
  out_.append(2 * stack_.size(), ' ');
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) {
    if (wrote_top_) throw std::logic_error("JsonWriter: a second top-level value");
    wrote_top_ = true;
    return;
  }
  Level& l = stack_.back();
  if (l.scope == Scope::kObject) throw std::logic_error("JsonWriter: a value in an object needs a key");
  if (!l.empty) out_ += ',';
  l.empty = false;
  newline();
}

void JsonWriter::key(std::string_view k) {
  if (stack_.empty() || stack_.back().scope != Scope::kObject || after_key_)
    throw std::logic_error("JsonWriter: a key outside an object");
  Level& l = stack_.back();
  if (!l.empty) out_ += ',';
  l.empty = false;
  newline();
  out_ += json_string(k);
  out_ += ": ";
  after_key_ = true;
}

void JsonWriter::open(Scope s, char c) {
  before_value();
  out_ += c;
  stack_.push_back({s});
}

void JsonWriter::close(Scope s, char c) {
  if (stack_.empty() || stack_.back().scope != s || after_key_)
    throw std::logic_error("JsonWriter: unbalanced end of object or array");
  const bool empty = stack_.back().empty;
  stack_.pop_back();
  if (!empty) newline();
  out_ += c;
  if (stack_.empty()) out_ += '\n';
}

void JsonWriter::begin_object() { open(Scope::kObject, '{'); }
void JsonWriter::end_object() { close(Scope::kObject, '}'); }
void JsonWriter::begin_array() { open(Scope::kArray, '['); }
void JsonWriter::end_array() { close(Scope::kArray, ']'); }

void JsonWriter::value(std::string_view s) {
  before_value();
  out_ += json_string(s);
}

void JsonWriter::value(bool b) {
  before_value();
  out_ += b ? "true" : "false";
}

void JsonWriter::value(long long v) {
  before_value();
  out_ += std::to_string(v);
}

void JsonWriter::value(float v) {
  before_value();
  out_ += json_number(v);
}

void JsonWriter::value(double v) {
  before_value();
  out_ += json_number(v);
}

void JsonWriter::null() {
  before_value();
  out_ += "null";
}

template <class T>
void JsonWriter::number_array(std::span<const T> v) {
  before_value();
  out_ += '[';
  if (v.size() <= kInlineNumbers) {
    for (std::size_t i = 0; i < v.size(); ++i) {
      if (i > 0) out_ += ", ";
      out_ += json_number(v[i]);
    }
    out_ += ']';
    return;
  }
  stack_.push_back({Scope::kArray});
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) out_ += ',';
    if (i % kInlineNumbers == 0)
      newline();
    else
      out_ += ' ';
    out_ += json_number(v[i]);
  }
  stack_.pop_back();
  newline();
  out_ += ']';
}

void JsonWriter::numbers(std::span<const float> v) { number_array(v); }
void JsonWriter::numbers(std::span<const double> v) { number_array(v); }

void JsonWriter::strings(std::span<const std::string> v) {
  before_value();
  out_ += '[';
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) out_ += ", ";
    out_ += json_string(v[i]);
  }
  out_ += ']';
}

}  // namespace cdsec
