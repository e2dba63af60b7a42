#include "token-support/token_signing_activity.hpp"

#include <gtest/gtest.h>

namespace corvanta {
namespace {

TEST(TokenSigningActivity, ComparesEveryField) {
  const TokenSigningActivity base{3, 2, std::nullopt, std::nullopt};
  EXPECT_EQ(base, (TokenSigningActivity{3, 2, std::nullopt, std::nullopt}));

  const SigningAttribution browser("org.example.browser", true);
  const TokenSigningActivity differing[] = {
      {4, 2, std::nullopt, std::nullopt},
      {3, 1, std::nullopt, std::nullopt},
      {3, 2, TokenOwnerReplyStatus::success, std::nullopt},
      {3, 2, std::nullopt, SigningAttribution::unknown},
  };
  for (const auto& other : differing) {
    EXPECT_NE(base, other);
  }

  const TokenSigningActivity withBoth{3, 2, TokenOwnerReplyStatus::expired, browser};
  EXPECT_EQ(withBoth, (TokenSigningActivity{3, 2, TokenOwnerReplyStatus::expired, SigningAttribution("org.example.browser", true)}));
  EXPECT_NE(withBoth, (TokenSigningActivity{3, 2, TokenOwnerReplyStatus::uncertain, browser}));
  EXPECT_NE(withBoth, (TokenSigningActivity{3, 2, TokenOwnerReplyStatus::expired, SigningAttribution("org.example.browser", false)}));
}

}  // namespace
}  // namespace corvanta
