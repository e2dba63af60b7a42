#include "platform/foundation/unicode.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace platform::foundation::unicode {
namespace {

std::string hex(char32_t scalar) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(scalar));
  return text;
}

struct WellFormedRow {
  std::string_view text;
  char32_t scalar;
};

// The first and last scalar of each UTF-8 length, and the scalars next to the ranges that are refused.
const WellFormedRow wellFormed[] = {
    {std::string_view("\x00", 1), 0x0000},
    {"\x7F", 0x007F},
    {"\xC2\x80", 0x0080},
    {"\xDF\xBF", 0x07FF},
    {"\xE0\xA0\x80", 0x0800},
    {"\xED\x9F\xBF", 0xD7FF},
    {"\xEE\x80\x80", 0xE000},
    {"\xEF\xBF\xBF", 0xFFFF},
    {"\xF0\x90\x80\x80", 0x10000},
    {"\xF4\x8F\xBF\xBF", 0x10FFFF},
    {"\xE2\x80\xA6", 0x2026},
};

TEST(Unicode, DecodesEveryLengthAtItsBounds) {
  for (const auto& row : wellFormed) {
    const auto decoded = decodeFirstScalar(row.text);
    ASSERT_TRUE(decoded.has_value()) << hex(row.scalar);
    EXPECT_EQ(*decoded, (DecodedScalar{row.scalar, row.text.size()})) << hex(row.scalar);
    EXPECT_TRUE(isValidUTF8(row.text));
    EXPECT_EQ(decodeUTF8(row.text), std::u32string(1, row.scalar));
  }
}

TEST(Unicode, RefusesIllFormedSequences) {
  for (const auto* text : {
           "\x80",                  // continuation byte without a lead
           "\xBF",                  //
           "\xC0\x80",              // overlong NUL
           "\xC1\xBF",              // overlong U+007F
           "\xE0\x9F\xBF",          // overlong U+07FF
           "\xF0\x8F\xBF\xBF",      // overlong U+FFFF
           "\xED\xA0\x80",          // U+D800
           "\xED\xBF\xBF",          // U+DFFF
           "\xF4\x90\x80\x80",      // U+110000
           "\xF5\x80\x80\x80",      // lead byte beyond U+10FFFF
           "\xFF",                  //
           "\xC2",                  // truncated two-byte
           "\xE2\x80",              // truncated three-byte
           "\xF0\x9F\x98",          // truncated four-byte
           "\xC2\x41",              // lead followed by ASCII
           "\xE2\x80\x41",          //
           "\xF0\x9F\x98\xC0",      //
       }) {
    const std::string_view view(text);
    EXPECT_FALSE(decodeFirstScalar(view).has_value()) << testing::PrintToString(view);
    EXPECT_FALSE(isValidUTF8(view)) << testing::PrintToString(view);
    EXPECT_FALSE(isValidUTF8(std::string("ok") + text + "ok")) << testing::PrintToString(view);
    EXPECT_FALSE(decodeUTF8(std::string("ok") + text).has_value()) << testing::PrintToString(view);
  }
  EXPECT_FALSE(decodeFirstScalar("").has_value());
}

TEST(Unicode, DecodesWholeTexts) {
  EXPECT_EQ(decodeUTF8(""), std::u32string());
  EXPECT_TRUE(isValidUTF8(""));
  EXPECT_EQ(decodeUTF8("a\xC3\xA9\xE2\x80\x99\xF0\x9F\x98\x80z"), std::u32string(U"a\u00E9\u2019\U0001F600z"));
}

TEST(Unicode, WhitespaceAndNewlineSets) {
  const char32_t whitespace[] = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085, 0x00A0, 0x1680, 0x2000,
                                 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (const auto scalar : whitespace) {
    EXPECT_TRUE(isWhitespaceOrNewline(scalar)) << hex(scalar);
  }
  const char32_t notWhitespace[] = {0x0000, 0x0008, 0x000E, 0x001F, 0x0021, 0x0041, 0x0084, 0x0086, 0x00A1,
                                    0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x200C, 0x200D, 0x2027, 0x202A,
                                    0x202E, 0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0x10FFFF};
  for (const auto scalar : notWhitespace) {
    EXPECT_FALSE(isWhitespaceOrNewline(scalar)) << hex(scalar);
  }

  const char32_t newlines[] = {0x000A, 0x000B, 0x000C, 0x000D, 0x0085, 0x2028, 0x2029};
  for (const auto scalar : newlines) {
    EXPECT_TRUE(isNewline(scalar)) << hex(scalar);
  }
  for (const char32_t scalar : {0x0009, 0x0020, 0x00A0, 0x2000, 0x3000, 0x000E, 0x0084}) {
    EXPECT_FALSE(isNewline(scalar)) << hex(scalar);
  }
}

TEST(Unicode, TrimsWhitespaceAndNewlinesAtBothEnds) {
  struct Row {
    std::string_view text;
    std::string_view trimmed;
  };
  const Row rows[] = {
      {"", ""},
      {" \t\r\n", ""},
      {"\xC2\xA0\xE3\x80\x80\xE2\x80\xA8", ""},  // U+00A0, U+3000, U+2028
      {"abc", "abc"},
      {"  a b  ", "a b"},
      {"\xE3\x80\x80" "a" "\xC2\x85", "a"},          // U+3000 a U+0085
      {"\xE2\x80\x8B", "\xE2\x80\x8B"},             // U+200B is not white space
      {" \xEF\xBB\xBF ", "\xEF\xBB\xBF"},            // nor is U+FEFF
      {" \xFF ", "\xFF"},                            // an ill-formed byte stops trimming
      {" \xE3\x80", "\xE3\x80"},                     // and so does a truncated sequence
      {"\xC2\xA0\xC2", "\xC2"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(trimmingWhitespacesAndNewlines(row.text), row.trimmed) << testing::PrintToString(row.text);
  }
}

}  // namespace
}  // namespace platform::foundation::unicode
