#include "platform/foundation/base64.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace platform::foundation {
namespace {

using namespace std::string_view_literals;

TEST(Base64, EncodesAndDecodesTheKnownAnswersOfRFC4648) {
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encoded(bytesOf(plain)), encoded) << plain;
    EXPECT_EQ(base64Decoded(encoded), bytesOf(plain)) << encoded;
  }
}

TEST(Base64, EveryByteValueRoundTripsWithoutLineBreaks) {
  Bytes bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<std::uint8_t>(value));
  for (std::size_t length = 0; length <= bytes.size(); length += 37) {
    const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
    const auto text = base64Encoded(prefix);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64Decoded(text), prefix) << text;
  }
  const auto whole = base64Encoded(bytes);
  EXPECT_EQ(whole.size(), 344u);
  EXPECT_EQ(base64Decoded(whole), bytes);
}

TEST(Base64, UsesPlusAndSlash) {
  EXPECT_EQ(base64Encoded(Bytes{0xFB}), "+w==");
  EXPECT_EQ(base64Encoded(Bytes{0xFF, 0xFF}), "//8=");
  EXPECT_EQ(base64Decoded("+w=="), (Bytes{0xFB}));
  EXPECT_EQ(base64Decoded("//8="), (Bytes{0xFF, 0xFF}));
}

TEST(Base64, RefusesEveryTextThatIsNotStrictPaddedBase64) {
  const std::string_view refused[] = {
      "Zg"sv,          // padding missing
      "Zg="sv,         // padding short
      "Zm9vY"sv,       // length not a multiple of four
      "Zg==Zg=="sv,    // padding in the middle
      "Zm=v"sv,        // '=' before the last two characters
      "=Zg="sv,        // '=' first
      "Z==="sv,        // three '='
      "===="sv,        // nothing but padding
      "Zm9v\n"sv,      // trailing line break
      "Zm9v\r\nYmFy"sv,// line break inside
      " Zm9v"sv,       // leading blank
      "Zm9v "sv,       // trailing blank
      "Zm9\tv"sv,      // tab
      "Zm9-"sv,        // URL-safe alphabet
      "Zm9_"sv,
      "Zm9*"sv,        // outside both alphabets
      "Zm\0v"sv,       // NUL byte
      "\xC3\xA9=="sv,  // a non-ASCII character
      "Zh=="sv,        // unused bits under "==" not zero
      "Zm9="sv,        // unused bits under "=" not zero
  };
  for (const auto text : refused) {
    EXPECT_FALSE(base64Decoded(text).has_value()) << '"' << std::string(text) << '"';
  }
}

TEST(Base64, EmptyTextIsEmptyBytes) {
  const auto bytes = base64Decoded("");
  ASSERT_TRUE(bytes.has_value());
  EXPECT_TRUE(bytes->empty());
}

TEST(Base64URL, EncodesTheVerifierAndChallengeOfRFC7636AppendixB) {
  const Bytes verifierOctets{116, 24,  223, 180, 151, 153, 224, 37, 79, 250, 96, 125, 216, 173, 187, 186,
                             22,  212, 37,  77,  105, 214, 191, 240, 91, 88, 5,   88,  83,  132, 141, 121};
  EXPECT_EQ(base64URLEncoded(verifierOctets), "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");

  // SHA-256 of the verifier's ASCII text: the S256 challenge.
  const Bytes challengeDigest{0x13, 0xd3, 0x1e, 0x96, 0x1a, 0x1a, 0xd8, 0xec, 0x2f, 0x16, 0xb1,
                              0x0c, 0x4c, 0x98, 0x2e, 0x08, 0x76, 0xa8, 0x78, 0xad, 0x6d, 0xf1,
                              0x44, 0x56, 0x6e, 0xe1, 0x89, 0x4a, 0xcb, 0x70, 0xf9, 0xc3};
  EXPECT_EQ(base64URLEncoded(challengeDigest), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Base64URL, UsesHyphenAndUnderscoreAndNoPadding) {
  EXPECT_EQ(base64URLEncoded(Bytes{0xFB}), "-w");
  EXPECT_EQ(base64URLEncoded(Bytes{0xFF, 0xFF}), "__8");
  EXPECT_EQ(base64URLEncoded(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(base64URLEncoded(Bytes{}), "");
  EXPECT_EQ(base64URLEncoded(Bytes(32, 0xFF)).size(), 43u);
}

}  // namespace
}  // namespace platform::foundation
