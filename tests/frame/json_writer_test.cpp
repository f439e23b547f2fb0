// The JSON writer: escaping, bytes that are not UTF-8, numbers that read
// back to the same float, non-finite values, layout, and misuse.
#include "frame/json_writer.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using cdsec::clean_utf8;
using cdsec::json_number;
using cdsec::json_string;
using cdsec::JsonWriter;

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string parse_string(const std::string& literal) { return nlohmann::json::parse(literal).get<std::string>(); }

TEST(JsonString, EscapesQuotesBackslashAndControls) {
  EXPECT_EQ(json_string("plain"), "\"plain\"");
  EXPECT_EQ(json_string("say \"hi\""), R"("say \"hi\"")");
  EXPECT_EQ(json_string("C:\\dir"), R"("C:\\dir")");
  EXPECT_EQ(json_string("a\nb\tc\r"), R"("a\u000ab\u0009c\u000d")");
  EXPECT_EQ(json_string(std::string("\0\x01\x1f", 3)), R"("\u0000\u0001\u001f")");
  EXPECT_EQ(json_string("/ ~\x7f"), "\"/ ~\x7f\"");
  // Every byte from 0 to 127 survives a round trip through a JSON parser.
  std::string all;
  for (int c = 0; c < 128; ++c) all += static_cast<char>(c);
  EXPECT_EQ(parse_string(json_string(all)), all);
}

TEST(JsonString, KeepsWellFormedUtf8) {
  const std::string text = "H\xC3\xA9lix \xE2\x80\x93 \xCE\xB1 \xF0\x9F\x98\x80 \xEF\xBF\xBF \xF4\x8F\xBF\xBF";
  EXPECT_EQ(clean_utf8(text), text);
  EXPECT_EQ(parse_string(json_string(text)), text);
}

TEST(JsonString, ReplacesBytesThatAreNotUtf8) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"a\xFF" "b", "a" + kFffd + "b"},            // never a lead byte
      {"\x80", kFffd},                              // stray continuation
      {"\xC3", kFffd},                              // truncated at the end
      {"\xC3(", kFffd + "("},                       // lead byte without its continuation
      {"\xC0\xAF", kFffd + kFffd},                  // overlong '/'
      {"\xE0\x80\xAF", kFffd + kFffd + kFffd},      // overlong three-byte form
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},      // a surrogate
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {"\xE2\x82", kFffd},                          // a well-begun sequence cut short: one replacement
      {"\xE2\x82x", kFffd + "x"},
      {"\xF0\x9F\x98", kFffd},
      {"Lyso\xE4zym", "Lyso" + kFffd + "zym"},      // Latin-1 umlaut
  };
  for (const Case& c : cases) {
    EXPECT_EQ(clean_utf8(c.in), c.out) << "input of " << c.in.size() << " bytes";
    // A strict parser accepts the literal and returns the cleaned text.
    EXPECT_EQ(parse_string(json_string(c.in)), c.out);
  }
}

TEST(JsonNumber, ShortestTextReadsBackToTheSameFloat) {
  EXPECT_EQ(json_number(0.1f), "0.1");
  EXPECT_EQ(json_number(240.0f), "240");
  EXPECT_EQ(json_number(-0.03f), "-0.03");
  EXPECT_EQ(json_number(0.5), "0.5");
  std::mt19937 gen(20240611u);
  std::uniform_int_distribution<std::uint32_t> bits;
  int tested = 0;
  while (tested < 20000) {
    const float f = std::bit_cast<float>(bits(gen));
    if (!std::isfinite(f)) continue;
    ++tested;
    const std::string t = json_number(f);
    const float back = std::strtof(t.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(f)) << t;
    // And a JSON parser takes it as a number.
    ASSERT_TRUE(nlohmann::json::parse(t).is_number()) << t;
  }
  for (float f : {std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                  std::numeric_limits<float>::denorm_min(), -0.0f}) {
    const std::string t = json_number(f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(std::strtof(t.c_str(), nullptr)), std::bit_cast<std::uint32_t>(f)) << t;
  }
}

TEST(JsonNumber, NonFiniteIsNull) {
  EXPECT_EQ(json_number(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(json_number(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(json_number(-std::numeric_limits<double>::infinity()), "null");
  std::string out;
  JsonWriter w(out);
  const std::vector<float> v = {1.0f, std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
  w.numbers(v);
  EXPECT_EQ(out, "[1, null, null]");
}

TEST(JsonWriter, LayoutWithTwoSpaceIndentationAndTenNumbersToALine) {
  std::vector<float> long_array;
  for (int i = 1; i <= 23; ++i) long_array.push_back(static_cast<float>(i));
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.key("name"); w.value("x");
  w.key("n"); w.value(3);
  w.key("ok"); w.value(true);
  w.key("none"); w.null();
  w.key("short"); w.numbers(std::vector<float>{0.25f, 0.5f});
  w.key("long"); w.numbers(long_array);
  w.key("labels"); w.strings(std::vector<std::string>{"H(r)", "Trn"});
  w.key("list"); w.begin_array();
  w.begin_object(); w.key("a"); w.value(1.5); w.end_object();
  w.value(false);
  w.end_array();
  w.key("empty"); w.begin_array(); w.end_array();
  w.key("nothing"); w.begin_object(); w.end_object();
  w.key("k\"\xFF"); w.value(1);  // keys are escaped too
  w.end_object();
  EXPECT_TRUE(w.done());
  EXPECT_EQ(out,
            "{\n"
            "  \"name\": \"x\",\n"
            "  \"n\": 3,\n"
            "  \"ok\": true,\n"
            "  \"none\": null,\n"
            "  \"short\": [0.25, 0.5],\n"
            "  \"long\": [\n"
            "    1, 2, 3, 4, 5, 6, 7, 8, 9, 10,\n"
            "    11, 12, 13, 14, 15, 16, 17, 18, 19, 20,\n"
            "    21, 22, 23\n"
            "  ],\n"
            "  \"labels\": [\"H(r)\", \"Trn\"],\n"
            "  \"list\": [\n"
            "    {\n"
            "      \"a\": 1.5\n"
            "    },\n"
            "    false\n"
            "  ],\n"
            "  \"empty\": [],\n"
            "  \"nothing\": {},\n"
            "  \"k\\\"\xEF\xBF\xBD\": 1\n"
            "}\n");
}

TEST(JsonWriter, RefusesMisuse) {
  std::string out;
  JsonWriter a(out);
  a.begin_object();
  EXPECT_THROW(a.value(1), std::logic_error);  // a value in an object needs its key
  EXPECT_THROW(a.end_array(), std::logic_error);
  a.key("k");
  EXPECT_THROW(a.key("again"), std::logic_error);
  EXPECT_THROW(a.end_object(), std::logic_error);  // the key has no value

  std::string out2;
  JsonWriter b(out2);
  EXPECT_THROW(b.key("k"), std::logic_error);
  b.value(1);
  EXPECT_TRUE(b.done());
  EXPECT_THROW(b.value(2), std::logic_error);  // a second top-level value
}

}  // namespace
