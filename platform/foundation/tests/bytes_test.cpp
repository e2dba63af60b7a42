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

}  // namespace
}  // namespace platform::foundation
