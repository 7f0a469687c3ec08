#include <gtest/gtest.h>

#include <string>

#include "tools/qmr7ctl/Json.h"

namespace qmr7ctl::json {
namespace {

TEST(JsonTest, WritesMembersInOrderWithEscapesAndValidUtf8) {
  const Value value = Object{{"b", 1},
                             {"a", Array{true, false, Value()}},
                             {"text", "quote \" back \\ line\n tab\t bell\x07 ü 設定"},
                             {"bad", std::string("\xff\xc3")},
                             {"empty", Object{}},
                             {"none", Array{}},
                             {"negative", std::int64_t{-9007199254740993}}};
  EXPECT_EQ(Write(value),
            "{\n"
            "  \"b\": 1,\n"
            "  \"a\": [\n"
            "    true,\n"
            "    false,\n"
            "    null\n"
            "  ],\n"
            "  \"text\": \"quote \\\" back \\\\ line\\n tab\\t bell\\u0007 ü 設定\",\n"
            "  \"bad\": \"\xEF\xBF\xBD\xEF\xBF\xBD\",\n"
            "  \"empty\": {},\n"
            "  \"none\": [],\n"
            "  \"negative\": -9007199254740993\n"
            "}\n");
}

TEST(JsonTest, WhatItWritesItReadsBack) {
  const Value value = Object{{"s", "a\"b\\c\x01 設定"},
                             {"n", std::int64_t{-9223372036854775807 - 1}},
                             {"m", std::int64_t{9223372036854775807}},
                             {"nested", Object{{"list", Array{1, "two", Object{{"x", Value()}}}}}}};
  const auto parsed = Parse(Write(value));
  const Value* read = std::get_if<Value>(&parsed);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(*read, value);
}

TEST(JsonTest, ReadsEscapesSurrogatesAndAByteOrderMark) {
  const auto parsed = Parse("\xEF\xBB\xBF { \"k\" : \"\\u0041\\u00fc\\u8a2d\\ud83d\\ude00\\/\" }");
  const Value* read = std::get_if<Value>(&parsed);
  ASSERT_NE(read, nullptr);
  ASSERT_NE(read->AsObject(), nullptr);
  const Value* k = read->AsObject()->Find("k");
  ASSERT_NE(k, nullptr);
  const std::string* text = k->AsString();
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(*text, "Aü設\xF0\x9F\x98\x80/");
}

struct BadCase {
  const char* name;
  std::string text;
  int line;
  int column;
  std::string what;
};

TEST(JsonTest, RefusesWhatIsNotJsonAndSaysWhere) {
  const std::string deep = std::string(kMaxDepth + 1, '[') + std::string(kMaxDepth + 1, ']');
  const BadCase cases[] = {
      {"empty", "", 1, 1, "the document ends where a value should be"},
      {"trailing text", "{} x", 1, 4, "text after the end of the document"},
      {"trailing comma", "{\"a\": 1,}", 1, 9, "expected a member name in double quotes"},
      {"duplicate member", "{\"a\": 1,\n \"a\": 2}", 2, 2, "member \"a\" appears twice"},
      {"single quotes", "{'a': 1}", 1, 2, "expected a member name in double quotes"},
      {"fraction", "{\"a\": 1.5}", 1, 7, "only whole numbers are expected here"},
      {"exponent", "[1e3]", 1, 2, "only whole numbers are expected here"},
      {"leading zero", "[01]", 1, 2, "a number must not start with 0"},
      {"too large", "[9223372036854775808]", 1, 2, "number out of range"},
      {"minus alone", "[-]", 1, 3, "expected a digit"},
      {"raw control character", "[\"a\tb\"]", 1, 4,
       "a control character inside a string must be escaped"},
      {"invalid UTF-8", "[\"\xC3\x28\"]", 1, 3, "the text is not valid UTF-8"},
      {"overlong UTF-8", "[\"\xC0\xAF\"]", 1, 3, "the text is not valid UTF-8"},
      {"lone low surrogate", "[\"\\udc00\"]", 1, 9, "a lone low surrogate in \\u escape"},
      {"high surrogate alone", "[\"\\ud800x\"]", 1, 9,
       "a high surrogate without its low surrogate"},
      {"unknown escape", "[\"\\x\"]", 1, 4, "unknown escape in a string"},
      {"unclosed string", "[\"abc", 1, 6, "a string is not closed"},
      {"misspelt literal", "[tru]", 1, 2, "expected a value"},
      {"missing colon", "{\"a\" 1}", 1, 6, "expected ':' after a member name"},
      {"nested too deeply", deep, 1, kMaxDepth + 1, "nested too deeply"},
      {"columns count characters", "[\"設定\", x]", 1, 8, "expected a value"},
  };
  for (const auto& c : cases) {
    const auto parsed = Parse(c.text);
    const auto* error = std::get_if<ParseError>(&parsed);
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->what, c.what) << c.name;
    EXPECT_EQ(error->line, c.line) << c.name;
    EXPECT_EQ(error->column, c.column) << c.name;
  }
}

}  // namespace
}  // namespace qmr7ctl::json
