#include "platform/tokenkit/prompt/pinentry_texts.hpp"

#include "platform/foundation/unicode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

const std::string replacement = "\xEF\xBF\xBD";
const std::string ellipsis = "\xE2\x80\xA6";

TEST(PinentryTexts, TheDescriptionNamesTheCertificateAndTheApplicationAndAsksForTheCode) {
  const auto texts = pinentryTexts(PromptRequest{"a1b2", "Jane Doe (Signing)", "Firefox"});
  EXPECT_EQ(texts.title, "Corvanta Sign");
  EXPECT_EQ(texts.description,
            "\xE2\x80\x9C" "Firefox\xE2\x80\x9D asks to sign with your certificate \xE2\x80\x9CJane Doe (Signing)\xE2\x80\x9D."
            "\n\nEnter the current six-digit code from your authenticator app.");
  EXPECT_EQ(texts.prompt, "Code:");
}

TEST(PinentryTexts, AnUnknownApplicationIsCalledAnApplication) {
  const auto texts = pinentryTexts(PromptRequest{"a1b2", "Jane Doe", ""});
  EXPECT_TRUE(texts.description.starts_with("An application asks to sign with your certificate \xE2\x80\x9CJane Doe\xE2\x80\x9D."))
      << texts.description;
}

// Names reach the user's terminal when the pinentry is a text one: nothing in them may steer it.
TEST(PinentryTexts, NamesLoseWhatCouldSteerATerminalAndAreCutAtACharacter) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Jane Doe", "Jane Doe"},
      {"100% Jane", "100% Jane"},
      {"two\nlines", "two\nlines"},
      {"back\rover", "back" + replacement + "over"},
      {"\x1B[2J" "cleared", replacement + "[2Jcleared"},
      {"bell\a", "bell" + replacement},
      {"tab\there", "tab" + replacement + "here"},
      {std::string("nul\0x", 5), "nul" + replacement + "x"},
      {"del\x7F", "del" + replacement},
      {"c1 \xC2\x9B" "31m", "c1 " + replacement + "31m"},
      {"no-break\xC2\xA0space \xC3\xA9", "no-break\xC2\xA0space \xC3\xA9"},
      {"bad \xFF byte", "bad " + replacement + " byte"},
      {"truncated \xE2\x80", "truncated " + replacement + replacement},
      {"overlong \xC0\xAF", "overlong " + replacement + replacement},
      {"surrogate \xED\xA0\x80", "surrogate " + replacement + replacement + replacement},
  };
  for (const auto& [name, shown] : cases) {
    EXPECT_EQ(displayableName(name), shown) << name;
    EXPECT_TRUE(foundation::unicode::isValidUTF8(displayableName(name))) << name;
  }

  EXPECT_EQ(displayableName("abcdef", 6), "abcdef");
  EXPECT_EQ(displayableName("abcdefg", 6), "abcdef" + ellipsis);
  // A character that would cross the limit is left out whole.
  EXPECT_EQ(displayableName("abcde\xC3\xA9", 6), "abcde" + ellipsis);
  EXPECT_EQ(displayableName("abcd\x01", 6), "abcd" + ellipsis);

  const auto longLabel = pinentryTexts(PromptRequest{"a1b2", std::string(1000, 'J'), "Firefox"});
  EXPECT_NE(longLabel.description.find(std::string(pinentryNameLimit, 'J') + ellipsis + "\xE2\x80\x9D."), std::string::npos);
  EXPECT_EQ(longLabel.description.find(std::string(pinentryNameLimit + 1, 'J')), std::string::npos);
}

}  // namespace
}  // namespace platform::tokenkit
