#include "platform/foundation/uuid.hpp"

#include <gtest/gtest.h>

#include <set>

namespace platform::foundation {
namespace {

TEST(UUID, RandomIdentifiersAreVersionFourAndDistinct) {
  std::set<UUID> seen;
  for (int i = 0; i < 64; ++i) {
    const auto uuid = UUID::random();
    EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
    EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(uuid).second);
  }
}

TEST(UUID, TextIsUpperCaseHyphenatedAndRoundTrips) {
  const auto uuid = UUID::fromString("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
  ASSERT_TRUE(uuid.has_value());
  EXPECT_EQ(uuid->uuidString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  EXPECT_EQ(UUID::fromString(uuid->uuidString()), uuid);
}

TEST(UUID, MalformedTextGivesNoIdentifier) {
  for (const auto* text : {"", "E621E1F8C36C495A93FC0C247A3E6E5F", "E621E1F8-C36C-495A-93FC-0C247A3E6E5",
                           "E621E1F8-C36C-495A-93FC-0C247A3E6E5FF", "E621E1F8_C36C-495A-93FC-0C247A3E6E5F",
                           "G621E1F8-C36C-495A-93FC-0C247A3E6E5F", " E621E1F8-C36C-495A-93FC-0C247A3E6E5"}) {
    EXPECT_FALSE(UUID::fromString(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace platform::foundation
