#include "platform/net/header_field.hpp"

#include <gtest/gtest.h>

namespace platform::net {
namespace {

TEST(HeaderField, LooksUpTheFirstFieldIgnoringCase) {
  const HeaderFields fields{{"Set-Cookie", "a=1"}, {"set-cookie", "b=2"}};
  EXPECT_EQ(headerValue(fields, "SET-COOKIE"), "a=1");
  EXPECT_EQ(headerValue(fields, "Cookie"), std::nullopt);
  EXPECT_TRUE(headerNameEquals("Content-Type", "content-TYPE"));
  EXPECT_FALSE(headerNameEquals("Content-Type", "Content-Typ"));
}

TEST(HeaderField, SettingAValueReplacesEveryFieldOfThatNameInPlace) {
  HeaderFields fields{{"Accept", "text/html"}, {"X-Role", "a"}, {"accept", "*/*"}, {"X-Other", "b"}};
  setHeaderValue(fields, "ACCEPT", "application/json");
  EXPECT_EQ(fields, (HeaderFields{{"Accept", "application/json"}, {"X-Role", "a"}, {"X-Other", "b"}}));

  setHeaderValue(fields, "Authorization", "Bearer t");
  EXPECT_EQ(fields.back(), (HeaderField{"Authorization", "Bearer t"}));
  EXPECT_EQ(fields.size(), 4U);
}

}  // namespace
}  // namespace platform::net
