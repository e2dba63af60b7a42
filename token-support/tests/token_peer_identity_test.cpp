#include "token-support/token_peer_identity.hpp"

#include "platform/codesign/requirement.hpp"
#include "platform/codesign/testing/fake_code_signing.hpp"
#include "token-support/token_failure.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvanta {
namespace {

using platform::codesign::CodeIdentity;
using platform::codesign::testing::FakeCodeSigning;

const std::string team = "R7XK2M9QDB";

TEST(TokenPeerIdentity, RequirementTextForEachKnownIdentifier) {
  struct Case {
    std::string_view identifier;
    const char* text;
  };
  for (const auto& [identifier, text] : {
           Case{TokenPeerIdentity::driverID,
                R"(anchor apple generic and certificate leaf[subject.OU] = "R7XK2M9QDB" and identifier "ro.corvanta.sign.development.Token")"},
           Case{TokenPeerIdentity::ownerID,
                R"(anchor apple generic and certificate leaf[subject.OU] = "R7XK2M9QDB" and identifier "ro.corvanta.sign.development")"},
           Case{TokenPeerIdentity::routerID,
                R"(anchor apple generic and certificate leaf[subject.OU] = "R7XK2M9QDB" and identifier "ro.corvanta.sign.development.SessionRouter")"},
       }) {
    const auto requirement = TokenPeerIdentity::requirement(team, identifier);
    EXPECT_EQ(requirement, text);
    // The code identity layer evaluates exactly what this builds.
    const auto parsed = platform::codesign::Requirement::parse(requirement);
    ASSERT_TRUE(parsed.has_value()) << requirement;
    EXPECT_TRUE(parsed->isSatisfiedBy(FakeCodeSigning::signedAs(std::string(identifier), team)));
  }
}

TEST(TokenPeerIdentity, RequirementRefusesMalformedTeamsAndUnknownIdentifiers) {
  struct Case {
    std::string teamID;
    std::string identifier;
  };
  const std::string owner(TokenPeerIdentity::ownerID);
  for (const auto& [teamID, identifier] : {
           Case{"R7XK2M9QD", owner},
           Case{"R7XK2M9QDBX", owner},
           Case{"r7xk2m9qdb", owner},
           Case{"R7XK2M9QDb", owner},
           Case{"R7XK2M9QD-", owner},
           Case{"R7XK2M9QD\"", owner},
           Case{"R7XK2M9QD ", owner},
           Case{"", owner},
           Case{team, std::string(TokenPeerIdentity::driverID) + "x"},
           Case{team, ""},
           Case{team, "ro.corvanta.sign.Development"},
           Case{team, "ro.corvanta.sign"},
           Case{team, owner + "\" or identifier \"x"},
       }) {
    try {
      TokenPeerIdentity::requirement(teamID, identifier);
      ADD_FAILURE() << "accepted " << teamID << " / " << identifier;
    } catch (const TokenFailure& failure) {
      EXPECT_EQ(failure, TokenFailure::signingSetupRequired) << teamID << " / " << identifier;
    }
  }
}

TEST(TokenPeerIdentity, CurrentTeamIDIsTheOwnIdentitysCheckedTeam) {
  struct Case {
    const char* name;
    std::optional<CodeIdentity> self;
    std::optional<std::string> expected;
  };
  for (const auto& [name, self, expected] : {
           Case{"identity unreadable", std::nullopt, std::nullopt},
           Case{"unsigned", CodeIdentity{}, std::nullopt},
           Case{"team of 11", FakeCodeSigning::signedAs("ro.corvanta.sign.development", "CORVANTADEV"), std::nullopt},
           Case{"lower-case team", FakeCodeSigning::signedAs("ro.corvanta.sign.development", "r7xk2m9qdb"), std::nullopt},
           // The team alone counts: the process need not be one of the three.
           Case{"good", FakeCodeSigning::signedAs("ro.corvanta.sign.test.Other", team), team},
       }) {
    const FakeCodeSigning codeSigning(self);
    try {
      const auto teamID = TokenPeerIdentity::currentTeamID(codeSigning);
      EXPECT_EQ(std::optional(teamID), expected) << name;
    } catch (const TokenFailure& failure) {
      EXPECT_EQ(expected, std::nullopt) << name;
      EXPECT_EQ(failure, TokenFailure::signingSetupRequired) << name;
    }
  }
}

TEST(TokenPeerIdentity, ServiceNamesAreBuiltFromTheTeamGiven) {
  EXPECT_EQ(TokenPeerIdentity::registrationServiceName(team), "R7XK2M9QDB.ro.corvanta.sign.development.SessionRouter.Owner");
  EXPECT_EQ(TokenPeerIdentity::directoryServiceName("A1B2C3D4E5"), "A1B2C3D4E5.ro.corvanta.sign.development.SessionRouter.Token");
}

}  // namespace
}  // namespace corvanta
