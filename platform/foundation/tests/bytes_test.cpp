#include "platform/foundation/bytes.hpp"

#include <gtest/gtest.h>

namespace platform::foundation {
namespace {

TEST(Hex, EncodesEveryNibbleInBothCases) {
  const Bytes bytes{0x00, 0x0F, 0xA5, 0xFF, 0x10};
  EXPECT_EQ(lowercaseHex(bytes), "000fa5ff10");
  EXPECT_EQ(uppercaseHex(bytes), "000FA5FF10");
  EXPECT_EQ(lowercaseHex(Bytes{}), "");
}

TEST(Hex, DecodesEitherCaseAndRefusesAnythingElse) {
  EXPECT_EQ(hexDecoded("000fA5Ff10"), (Bytes{0x00, 0x0F, 0xA5, 0xFF, 0x10}));
  EXPECT_EQ(hexDecoded(""), Bytes{});
  EXPECT_EQ(hexDecoded(uppercaseHex(Bytes{0xDE, 0xAD})), (Bytes{0xDE, 0xAD}));
  for (const auto* text : {"0", "abc", "0g", "g0", " 00", "00 ", "0x00", "-1"}) {
    EXPECT_FALSE(hexDecoded(text).has_value()) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace platform::foundation
