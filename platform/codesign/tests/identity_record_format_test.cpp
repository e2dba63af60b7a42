#include "platform/codesign/identity_record_format.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace platform::codesign::record_format {
namespace {

TEST(IdentityRecordFormat, DecodesWhatItEncodes) {
  const std::string longestIdentifier(identifierCapacity, 'a');
  const std::string longestTeam(teamIDCapacity, 'Z');
  for (const auto& record : {IdentityRecord{"ro.corvanta.sign.development", "R7XK2M9QDB"},
                             IdentityRecord{"a", "0"}, IdentityRecord{longestIdentifier, longestTeam}}) {
    const auto bytes = encode(record.identifier, record.teamID);
    ASSERT_TRUE(bytes.has_value()) << record.identifier;
    EXPECT_EQ(decode(*bytes), record) << record.identifier;
  }
}

TEST(IdentityRecordFormat, EncodesOnlyValuesInItsCharacterSets) {
  struct Case {
    std::string identifier;
    std::string teamID;
  };
  for (const auto& [identifier, teamID] : {
           Case{"", "R7XK2M9QDB"},
           Case{std::string(identifierCapacity + 1, 'a'), "R7XK2M9QDB"},
           Case{"ro.corvanta\"x", "R7XK2M9QDB"},
           Case{"ro corvanta", "R7XK2M9QDB"},
           Case{"ro\\corvanta", "R7XK2M9QDB"},
           Case{"ro.corvanta", ""},
           Case{"ro.corvanta", std::string(teamIDCapacity + 1, 'A')},
           Case{"ro.corvanta", "r7xk2m9qdb"},
           Case{"ro.corvanta", "R7XK2M9Q\"B"},
           Case{"ro.corvanta", "R7XK2M9Q.B"},
       }) {
    EXPECT_EQ(encode(identifier, teamID), std::nullopt) << identifier << " / " << teamID;
  }
}

struct Corruption {
  const char* name;
  std::function<void(Bytes&)> change;
};

class IdentityRecordFormatCorrupted : public ::testing::TestWithParam<Corruption> {};

TEST_P(IdentityRecordFormatCorrupted, DoesNotDecode) {
  auto bytes = encode("ro.corvanta.sign.test.Peer", "PEERTEAM01").value();
  GetParam().change(bytes);
  EXPECT_EQ(decode(bytes), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdentityRecordFormatCorrupted,
    ::testing::Values(Corruption{"Magic", [](Bytes& bytes) { bytes[0] = 'c'; }},
                      Corruption{"Version", [](Bytes& bytes) { bytes[8] = 2; }},
                      Corruption{"ReservedByte", [](Bytes& bytes) { bytes[11] = 1; }},
                      Corruption{"EmptyIdentifier", [](Bytes& bytes) { bytes[9] = 0; }},
                      Corruption{"IdentifierLongerThanField", [](Bytes& bytes) { bytes[9] = identifierCapacity + 1; }},
                      Corruption{"IdentifierCutShort", [](Bytes& bytes) { --bytes[9]; }},
                      Corruption{"BytesHiddenAfterIdentifier",
                                 [](Bytes& bytes) { bytes[identifierOffset + bytes[9]] = 'x'; }},
                      Corruption{"QuoteInIdentifier", [](Bytes& bytes) { bytes[identifierOffset] = '"'; }},
                      Corruption{"EmptyTeam", [](Bytes& bytes) { bytes[10] = 0; }},
                      Corruption{"TeamLongerThanField", [](Bytes& bytes) { bytes[10] = teamIDCapacity + 1; }},
                      Corruption{"BytesHiddenAfterTeam", [](Bytes& bytes) { bytes[teamIDOffset + bytes[10]] = 'X'; }},
                      Corruption{"LowerCaseTeam", [](Bytes& bytes) { bytes[teamIDOffset] = 'p'; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace platform::codesign::record_format
