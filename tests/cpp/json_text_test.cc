#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "lumarq/json_text.h"

namespace lumarq {
namespace {

template <class Unit>
std::string Literal(const std::vector<Unit>& units) {
  std::string out;
  AppendJsonString(out, units.data(), units.size());
  return out;
}

// The texts json.dumps gives for the same strings.
TEST(JsonText, EscapesAsTheStandardEncoder) {
  EXPECT_EQ(Literal<uint8_t>({'a', '"', '\\', '/', ' ', '~'}), R"("a\"\\/ ~")");
  EXPECT_EQ(Literal<uint8_t>({0, '\b', '\f', '\n', '\r', '\t', 0x1f, 0x7f, 0xe9}),
            R"("\u0000\b\f\n\r\t\u001f\u007f\u00e9")");
  EXPECT_EQ(Literal<uint16_t>({0x2713, 0xd800, 0xFFFF}), R"("\u2713\ud800\uffff")");
  EXPECT_EQ(Literal<uint32_t>({0x1F600, 0x10FFFF, 0x10000}),
            R"("\ud83d\ude00\udbff\udfff\ud800\udc00")");
  EXPECT_EQ(Literal<uint8_t>({}), R"("")");
}

TEST(DotText, EscapesQuoteAndBackslashOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain.col", "plain.col"},
      {R"(a"b)", R"(a\"b)"},
      {R"(C:\x)", R"(C:\\x)"},
      {"\"\\\"", R"(\"\\\")"},
      {"line\nbreak \xE2\x9C\x93", "line\nbreak \xE2\x9C\x93"},  // bytes pass unchanged
  };
  for (const auto& [text, want] : cases) {
    std::string out = "<";
    AppendDotQuoted(out, text);
    EXPECT_EQ(out, "<" + want) << text;
  }
}

// The writer driven as the binding walks {"a": [1, {"b": NaN}], "c": []} and friends; the
// expected texts are json.dumps(value, indent=width) of the same values.
TEST(IndentedJsonWriter, LaysOutAsTheStandardEncoder) {
  int obj = 0, arr = 0, inner = 0;
  IndentedJsonWriter two(2);
  ASSERT_TRUE(two.Open(&obj, false));
  two.Item(0);
  two.String("a", 1);
  two.Append(": ");
  ASSERT_TRUE(two.Open(&arr, true));
  two.Item(0);
  two.Int(1);
  two.Item(1);
  ASSERT_TRUE(two.Open(&inner, false));
  two.Item(0);
  two.String("b", 1);
  two.Append(": ");
  EXPECT_TRUE(two.NonFinite(std::numeric_limits<double>::quiet_NaN()));
  two.Close();
  two.Close();
  two.Item(1);
  two.String("c", 1);
  two.Append(": []");
  two.Close();
  EXPECT_EQ(two.text(), "{\n  \"a\": [\n    1,\n    {\n      \"b\": NaN\n    }\n  ],\n  \"c\": []\n}");

  IndentedJsonWriter zero(0);
  ASSERT_TRUE(zero.Open(&obj, true));
  zero.Item(0);
  zero.Int(1);
  zero.Item(1);
  ASSERT_TRUE(zero.Open(&arr, true));
  zero.Item(0);
  zero.Int(std::numeric_limits<int64_t>::min());
  zero.Item(1);
  EXPECT_TRUE(zero.NonFinite(-std::numeric_limits<double>::infinity()));
  zero.Close();
  zero.Close();
  EXPECT_EQ(zero.text(), "[\n1,\n[\n-9223372036854775808,\n-Infinity\n]\n]");
}

TEST(IndentedJsonWriter, RefusesCyclesDepthAndFiniteAsNonFinite) {
  IndentedJsonWriter w(4);
  std::vector<int> ids(IndentedJsonWriter::kMaxDepth + 1);
  for (size_t i = 0; i < IndentedJsonWriter::kMaxDepth; ++i) {
    ASSERT_TRUE(w.Open(&ids[i], i % 2 == 0)) << i;
    w.Item(0);
  }
  const std::string before = w.text();
  EXPECT_FALSE(w.Open(&ids.back(), true));  // one level too deep
  EXPECT_EQ(w.text(), before);

  IndentedJsonWriter cycle(1);
  int a = 0, b = 0;
  ASSERT_TRUE(cycle.Open(&a, true));
  cycle.Item(0);
  ASSERT_TRUE(cycle.Open(&b, false));
  cycle.Item(0);
  EXPECT_FALSE(cycle.Open(&a, true));  // still open: a cycle
  EXPECT_FALSE(cycle.NonFinite(1.5));
  EXPECT_EQ(cycle.text(), "[\n {\n  ");
  cycle.Close();
  cycle.Item(1);
  EXPECT_TRUE(cycle.Open(&b, true));  // closed again: no longer a cycle
}

}  // namespace
}  // namespace lumarq
