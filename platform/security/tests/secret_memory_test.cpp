#include "platform/security/secret_memory.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace platform::security {
namespace {

// The bytes must be gone from the buffer the text keeps, not only from its visible size: a shorter
// value assigned over a longer one leaves the longer one's tail behind the terminator.
TEST(WipeSecret, OverwritesEveryByteTheTextHoldsAndLeavesItEmpty) {
  for (const std::string& initial : {std::string("123456"), std::string(200, '7')}) {
    std::string secret = initial;
    secret = "12";  // the earlier value's tail now lies beyond size()
    const char* buffer = secret.data();
    const std::size_t capacity = secret.capacity();

    wipeSecret(secret);

    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(secret.data(), buffer) << "wiping must not move the text elsewhere";
    EXPECT_TRUE(std::all_of(buffer, buffer + capacity, [](char c) { return c == '\0'; }))
        << "initial length " << initial.size();
  }
}

TEST(WipeSecret, AnEmptyTextStaysEmpty) {
  std::string secret;
  wipeSecret(secret);
  EXPECT_TRUE(secret.empty());
}

}  // namespace
}  // namespace platform::security
