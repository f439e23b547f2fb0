// A small JSON writer for the run records: objects, arrays, strings,
// numbers, booleans and null, laid out with two-space indentation.  Whatever
// a caller passes, the text is valid JSON: strings are escaped, bytes that do
// not form UTF-8 become U+FFFD, and a number that is not finite is written as
// null.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cdsec {

// `text` with every byte sequence that is not well-formed UTF-8 (stray
// continuation bytes, truncated or overlong sequences, surrogates, values
// above U+10FFFF) replaced by U+FFFD, one per maximal ill-formed part.
std::string clean_utf8(std::string_view text);

// A JSON string literal: quotes, backslash and control characters escaped
// (controls as \u00XX), the contents cleaned as by clean_utf8.
std::string json_string(std::string_view text);

// The shortest text that reads back as the same value (std::to_chars);
// "null" for NaN and the infinities.
std::string json_number(float v);
std::string json_number(double v);

// Streaming writer into a string.  Keys and values alternate inside objects;
// the writer places commas, line breaks and indentation.  Arrays of a few
// numbers or strings go on one line (numbers(), strings()); longer numeric
// arrays are wrapped, ten values to a line.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}

  void begin_object();
  void end_object();
  void begin_array();
  void end_array();
  void key(std::string_view k);

  void value(std::string_view s);
  void value(const char* s) { value(std::string_view(s)); }
  void value(const std::string& s) { value(std::string_view(s)); }
  void value(bool b);
  void value(int v) { value(static_cast<long long>(v)); }
  void value(long long v);
  void value(float v);
  void value(double v);
  void null();

  void numbers(std::span<const float> v);
  void numbers(std::span<const double> v);
  void strings(std::span<const std::string> v);

  // True once the outermost value is complete.
  bool done() const { return stack_.empty() && wrote_top_; }

 private:
  enum class Scope { kObject, kArray };
  struct Level {
    Scope scope;
    bool empty = true;
  };
  void before_value();
  void newline();
  void open(Scope s, char c);
  void close(Scope s, char c);
  template <class T>
  void number_array(std::span<const T> v);

  std::string& out_;
  std::vector<Level> stack_;
  bool after_key_ = false;
  bool wrote_top_ = false;
};

}  // namespace cdsec
