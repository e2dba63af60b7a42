#include "platform/tokenkit/prompt/assuan_text.hpp"

#include "platform/foundation/unicode.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

const std::string ellipsis = "\xE2\x80\xA6";

std::optional<std::string> decoded(std::string_view escaped, std::size_t limit = 4096) {
  std::string out;
  if (!appendDecodedAssuanText(escaped, out, limit)) return std::nullopt;
  return out;
}

TEST(AssuanText, EscapesTheReservedBytesAndTheControlBytesAndKeepsTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"Corvanta Sign", "Corvanta Sign"},
      {"100%", "100%25"},
      {"%%", "%25%25"},
      {"%25", "%2525"},
      {"line\nnext", "line%0Anext"},
      {"line\r\nnext", "line%0D%0Anext"},
      {std::string("nul\0byte", 8), "nul%00byte"},
      {"tab\there", "tab%09here"},
      {"\x1B[2J", "%1B[2J"},
      {"\x7F", "%7F"},
      {"\x1F ~", "%1F ~"},
      {"+ and spaces stay", "+ and spaces stay"},
      {"\xE2\x80\x9CJane\xE2\x80\x9D \xC3\xA9", "\xE2\x80\x9CJane\xE2\x80\x9D \xC3\xA9"},
  };
  for (const auto& [text, escaped] : cases) {
    EXPECT_EQ(escapeAssuanText(text), escaped) << text;
    EXPECT_EQ(decoded(escaped), text) << escaped;
  }
}

TEST(AssuanText, EveryByteSurvivesEscapingAndDecoding) {
  std::string everyByte;
  for (int byte = 0; byte < 256; ++byte) everyByte += static_cast<char>(byte);
  const auto escaped = escapeAssuanText(everyByte);
  EXPECT_EQ(escaped.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
  EXPECT_EQ(decoded(escaped), everyByte);
}

TEST(AssuanText, DecodingRefusesBrokenEscapes) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"%41%62", "Ab"},
      {"%4a%4A", "JJ"},
      {"plain", "plain"},
      {"%", std::nullopt},
      {"12%", std::nullopt},
      {"12%3", std::nullopt},
      {"%G0", std::nullopt},
      {"%0G", std::nullopt},
      {"% 1", std::nullopt},
      {"%-1", std::nullopt},
  };
  for (const auto& [escaped, expected] : cases) EXPECT_EQ(decoded(escaped), expected) << escaped;
}

TEST(AssuanText, DecodingStopsAtTheLimitWithoutGrowingBeyondIt) {
  EXPECT_EQ(decoded("123456", 6), "123456");
  EXPECT_EQ(decoded("%31%32", 2), "12");
  EXPECT_EQ(decoded("1234567", 6), std::nullopt);
  EXPECT_EQ(decoded("%31%32%33", 2), std::nullopt);

  // Appending to what is already there counts towards the limit too.
  std::string out = "1234";
  EXPECT_FALSE(appendDecodedAssuanText("567", out, 6));
  EXPECT_EQ(out.size(), 6u);
  EXPECT_TRUE(appendDecodedAssuanText("", out, 6));
}

TEST(AssuanText, ACommandLineIsTheVerbAndTheEscapedArgument) {
  EXPECT_EQ(assuanCommandLine("GETPIN", ""), "GETPIN\n");
  EXPECT_EQ(assuanCommandLine("SETTITLE", "Corvanta Sign"), "SETTITLE Corvanta Sign\n");
  EXPECT_EQ(assuanCommandLine("SETDESC", "50%\nmore"), "SETDESC 50%25%0Amore\n");

  // The longest argument that fits stays whole.
  const std::string fitting(assuanLineLimit - std::string("SETDESC \n").size(), 'a');
  EXPECT_EQ(assuanCommandLine("SETDESC", fitting), "SETDESC " + fitting + "\n");
}

// A text too long for one line is cut, and the cut never splits an escape or a character: the
// line still decodes, to valid UTF-8 where the text was, and shows the start of the text followed
// by "…".
TEST(AssuanText, ATooLongArgumentIsCutToALineAtABoundary) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"plain", std::string(2000, 'a')},
      {"one over", std::string(assuanLineLimit - std::string("SETDESC \n").size() + 1, 'a')},
      {"escapes", std::string(700, '%')},
      {"escapes after an odd start", "a" + std::string(700, '\n')},
      {"two-byte characters", [] {
         std::string text;
         for (int index = 0; index < 700; ++index) text += "\xC3\xA9";
         return text;
       }()},
      {"three-byte characters after one byte", [] {
         std::string text = "x";
         for (int index = 0; index < 500; ++index) text += "\xE2\x80\x9C";
         return text;
       }()},
      {"four-byte characters among escapes", [] {
         std::string text;
         for (int index = 0; index < 300; ++index) text += "%\xF0\x9F\x98\x80";
         return text;
       }()},
      {"escapes next to stray continuation bytes", [] {
         std::string text = "a";
         for (int index = 0; index < 400; ++index) text += "\x01\x93";
         return text;
       }()},
  };
  for (const auto& [name, text] : cases) {
    const auto line = assuanCommandLine("SETDESC", text);
    EXPECT_LE(line.size(), assuanLineLimit) << name;
    ASSERT_TRUE(line.starts_with("SETDESC ") && line.ends_with(ellipsis + "\n")) << name;
    const auto argument = std::string_view(line).substr(8, line.size() - 9 - ellipsis.size());
    const auto shown = decoded(argument);
    ASSERT_TRUE(shown) << name;
    EXPECT_TRUE(text.starts_with(*shown)) << name;
    EXPECT_EQ(foundation::unicode::isValidUTF8(*shown), foundation::unicode::isValidUTF8(text)) << name;
    // Nothing is cut away that would still have fitted: at most one escape or character less.
    EXPECT_GT(line.size(), assuanLineLimit - 4 - ellipsis.size()) << name;
  }
}

}  // namespace
}  // namespace platform::tokenkit
