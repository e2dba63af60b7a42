#include "platform/codesign/requirement.hpp"

#include "platform/codesign/testing/fake_code_signing.hpp"

#include <gtest/gtest.h>

#include <string>

namespace platform::codesign {
namespace {

using testing::FakeCodeSigning;

const std::string appRequirement =
    R"(anchor apple generic and certificate leaf[subject.OU] = "R7XK2M9QDB" and identifier "ro.corvanta.sign.development")";

TEST(Requirement, ParsesTheFormTheSystemBuilds) {
  const auto requirement = Requirement::parse(appRequirement);
  ASSERT_TRUE(requirement.has_value());
  EXPECT_EQ(requirement->teamID(), "R7XK2M9QDB");
  EXPECT_EQ(requirement->identifier(), "ro.corvanta.sign.development");
}

// Texts a richer reader might accept, or read differently: each must simply not parse.
TEST(Requirement, RefusesEveryOtherText) {
  const std::string team = R"("R7XK2M9QDB")";
  const std::string prefix = "anchor apple generic and certificate leaf[subject.OU] = ";
  for (const std::string& text : {
           std::string(),
           appRequirement + " ",
           " " + appRequirement,
           appRequirement + R"( or identifier "x")",
           appRequirement + R"( and identifier "ro.corvanta.sign.development")",
           std::string(appRequirement).append(1, '\0'),
           appRequirement.substr(0, appRequirement.size() - 1),
           "anchor apple and certificate leaf[subject.OU] = " + team + R"( and identifier "a")",
           "Anchor apple generic and certificate leaf[subject.OU] = " + team + R"( and identifier "a")",
           "anchor apple generic and certificate leaf[subject.CN] = " + team + R"( and identifier "a")",
           "anchor apple generic and certificate leaf[subject.OU] =" + team + R"( and identifier "a")",
           "anchor apple generic and certificate leaf[subject.OU]  = " + team + R"( and identifier "a")",
           "anchor apple generic  and certificate leaf[subject.OU] = " + team + R"( and identifier "a")",
           prefix + team + R"(  and identifier "a")",
           prefix + team + R"( or identifier "a")",
           prefix + team + R"( and identifier a)",
           prefix + team + R"( and identifier 'a')",
           prefix + team + R"( and identifier "")",
           prefix + team + R"( and identifier "a\"b")",
           prefix + team + R"( and identifier "a b")",
           prefix + R"("" and identifier "a")",
           prefix + R"("r7xk2m9qdb" and identifier "a")",
           prefix + R"("R7XK 2M9QDB" and identifier "a")",
           prefix + R"(R7XK2M9QDB and identifier "a")",
           prefix + "\"" + std::string(33, 'A') + R"(" and identifier "a")",
           prefix + team + " and identifier \"" + std::string(129, 'a') + "\"",
       }) {
    EXPECT_EQ(Requirement::parse(text), std::nullopt) << text;
  }
}

TEST(Requirement, IsSatisfiedOnlyByARecordOfExactlyItsTeamAndIdentifier) {
  const auto requirement = Requirement::parse(appRequirement).value();
  struct Case {
    const char* name;
    CodeIdentity identity;
    bool satisfies;
  };
  for (const auto& [name, identity, satisfies] : {
           Case{"same", FakeCodeSigning::signedAs("ro.corvanta.sign.development", "R7XK2M9QDB"), true},
           Case{"unsigned", CodeIdentity{}, false},
           Case{"other team", FakeCodeSigning::signedAs("ro.corvanta.sign.development", "R7XK2M9QDC"), false},
           Case{"team prefix", FakeCodeSigning::signedAs("ro.corvanta.sign.development", "R7XK2M9QD"), false},
           Case{"longer identifier", FakeCodeSigning::signedAs("ro.corvanta.sign.development.Token", "R7XK2M9QDB"),
                false},
           Case{"identifier case", FakeCodeSigning::signedAs("ro.corvanta.sign.Development", "R7XK2M9QDB"), false},
           Case{"swapped", FakeCodeSigning::signedAs("R7XK2M9QDB", "ro.corvanta.sign.development"), false},
       }) {
    EXPECT_EQ(requirement.isSatisfiedBy(identity), satisfies) << name;
  }
}

TEST(Requirement, CheckProcessNeedsAParsedTextAndAReadIdentityThatSatisfiesIt) {
  FakeCodeSigning codeSigning;
  codeSigning.setProcess(100, FakeCodeSigning::signedAs("ro.corvanta.sign.development", "R7XK2M9QDB"));
  codeSigning.setProcess(101, CodeIdentity{});
  EXPECT_TRUE(checkProcess(codeSigning, 100, appRequirement));
  EXPECT_FALSE(checkProcess(codeSigning, 101, appRequirement));
  EXPECT_FALSE(checkProcess(codeSigning, 102, appRequirement));
  EXPECT_FALSE(checkProcess(codeSigning, 100, appRequirement + " "));
  EXPECT_FALSE(checkProcess(codeSigning, 100, ""));
}

}  // namespace
}  // namespace platform::codesign
