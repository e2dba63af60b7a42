#include "connection/sign_in/url_components.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace corvanta {
namespace {

using Items = std::vector<URLQueryItem>;

TEST(URLComponents, RefusesWhatIsNotAnAbsoluteURL) {
  for (const char* text : {"", "/callback?code=a", "http://localhost:53682/callback?a=%zz", "http://localhost/%zz",
                           "http://localhost/ callback", "http://local host/", "http://localhost/\ncallback",
                           "http://localhost/callback?a=\"b\"", "://localhost/"}) {
    EXPECT_FALSE(URLComponents::parse(text)) << text;
  }
}

TEST(URLComponents, ReadsEachPart) {
  const auto url = URLComponents::parse("HTTP://us%65r:p%61ss@%6Cocal%48ost:053682/%63all%2Fback?a=1#fr%61g");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme(), "HTTP");
  EXPECT_EQ(url->host(), "localHost");
  EXPECT_EQ(url->port(), 53682);
  EXPECT_EQ(url->user(), "user");
  EXPECT_EQ(url->password(), "pass");
  EXPECT_EQ(url->path(), "/call/back");
  EXPECT_EQ(url->fragment(), "frag");
  EXPECT_EQ(url->url().buffer(), "HTTP://us%65r:p%61ss@%6Cocal%48ost:053682/%63all%2Fback?a=1#fr%61g");
}

TEST(URLComponents, EmptyPartsArePresentAndMissingOnesAreNot) {
  const auto bare = URLComponents::parse("http://localhost");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->port(), std::nullopt);
  EXPECT_EQ(bare->user(), std::nullopt);
  EXPECT_EQ(bare->password(), std::nullopt);
  EXPECT_EQ(bare->fragment(), std::nullopt);
  EXPECT_EQ(bare->queryItems(), std::nullopt);
  EXPECT_EQ(bare->path(), "");

  const auto empty = URLComponents::parse("http://@localhost:53682/?#");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->user(), "");
  EXPECT_EQ(empty->password(), std::nullopt);
  EXPECT_EQ(empty->fragment(), "");
  EXPECT_EQ(empty->queryItems(), Items{});

  const auto noAuthority = URLComponents::parse("http:/callback");
  ASSERT_TRUE(noAuthority);
  EXPECT_EQ(noAuthority->host(), std::nullopt);
  EXPECT_EQ(noAuthority->path(), "/callback");
}

TEST(URLComponents, PortIsTheWholeNumberOrNone) {
  const struct {
    const char* url;
    std::optional<std::uint16_t> port;
  } rows[] = {
      {"http://localhost:53682/", 53682},
      {"http://localhost:0053682/", 53682},
      {"http://localhost:0/", 0},
      {"http://localhost:65535/", 65535},
      {"http://localhost:/", std::nullopt},
      {"http://localhost:65536/", std::nullopt},
      // 53682 + 65536: must not wrap around to the callback port.
      {"http://localhost:119218/", std::nullopt},
      {"http://localhost:99999999999999999999/", std::nullopt},
  };
  for (const auto& row : rows) {
    const auto url = URLComponents::parse(row.url);
    ASSERT_TRUE(url) << row.url;
    EXPECT_EQ(url->port(), row.port) << row.url;
  }
}

TEST(URLComponents, QueryItemsAreDecodedWithPlusKept) {
  const struct {
    const char* url;
    Items items;
  } rows[] = {
      {"http://h/?code=a+b", {{"code", "a+b"}}},
      {"http://h/?code=a%2Bb%20c", {{"code", "a+b c"}}},
      {"http://h/?a=b=c", {{"a", "b=c"}}},
      {"http://h/?flag&empty=&x=1", {{"flag", std::nullopt}, {"empty", ""}, {"x", "1"}}},
      {"http://h/?st%61te=1&state=2", {{"state", "1"}, {"state", "2"}}},
      {"http://h/?a%26b=c%3Dd", {{"a&b", "c=d"}}},
      {"http://h/?a=1&&b=2", {{"a", "1"}, {"", std::nullopt}, {"b", "2"}}},
      {"http://h/?code=%FF%00", {{"code", std::string("\xFF\0", 2)}}},
      {"http://h/?q=1#a=2", {{"q", "1"}}},
  };
  for (const auto& row : rows) {
    const auto url = URLComponents::parse(row.url);
    ASSERT_TRUE(url) << row.url;
    EXPECT_EQ(url->queryItems(), row.items) << row.url;
  }
}

}  // namespace
}  // namespace corvanta
