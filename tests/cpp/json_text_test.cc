#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
}  // namespace lumarq
