#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/url_components.hpp"

#include <gtest/gtest.h>

#include <string>

namespace corvanta {
namespace {

// The values this build was configured with; the test target gets the same definitions as the
// library, so a build for a local stand-in provider ("https://localhost:8443/realms/x") is checked
// as well as the default one.
constexpr std::string_view configuredIssuer = CORVANTA_ISSUER;
constexpr std::string_view configuredOrigin = CORVANTA_API_ORIGIN;

TEST(CorvantaEndpoints, FixedValues) {
  EXPECT_EQ(CorvantaEndpoints::clientID, "corvanta-desktop");
  EXPECT_EQ(CorvantaEndpoints::redirect, "http://localhost:53682/callback");
  EXPECT_EQ(CorvantaEndpoints::issuer(), configuredIssuer);
  EXPECT_NE(CorvantaEndpoints::issuer().back(), '/');
}

TEST(CorvantaEndpoints, EachURLIsItsLiteralOnTheConfiguredHost) {
  const auto issuer = URLComponents::parse(configuredIssuer);
  const auto origin = URLComponents::parse(configuredOrigin);
  ASSERT_TRUE(issuer && origin);
  const struct {
    const char* name;
    const boost::urls::url& url;
    const URLComponents& base;
    std::string text;
  } rows[] = {
      {"tokenURL", CorvantaEndpoints::tokenURL(), *issuer,
       std::string(configuredIssuer) + "/protocol/openid-connect/token"},
      {"userinfoURL", CorvantaEndpoints::userinfoURL(), *issuer,
       std::string(configuredIssuer) + "/protocol/openid-connect/userinfo"},
      {"rolesURL", CorvantaEndpoints::rolesURL(), *origin, std::string(configuredOrigin) + "/publicapi/v1/account/roles"},
      {"billingURL", CorvantaEndpoints::billingURL(), *origin, std::string(configuredOrigin) + "/publicapi/v1/billing/me"},
      {"certificatesURL", CorvantaEndpoints::certificatesURL(), *origin,
       std::string(configuredOrigin) + "/publicapi/v1/account/certificates/active"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.url.buffer(), row.text) << row.name;
    const auto parts = URLComponents::parse(row.url.buffer());
    ASSERT_TRUE(parts) << row.name;
    EXPECT_EQ(parts->scheme(), "https") << row.name;
    EXPECT_EQ(parts->host(), row.base.host()) << row.name;
    EXPECT_EQ(parts->port(), row.base.port()) << row.name;
    EXPECT_EQ(parts->user(), std::nullopt) << row.name;
    EXPECT_EQ(parts->queryItems(), std::nullopt) << row.name;
    EXPECT_EQ(parts->fragment(), std::nullopt) << row.name;
  }
}

}  // namespace
}  // namespace corvanta
