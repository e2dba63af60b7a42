#include "platform/tokenkit/store_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

using namespace std::string_literals;

KeychainKey everyFieldKey() {
  KeychainKey key;
  key.objectID = "key:01";
  key.label = "Corvanta Sign";
  key.certificateDER = Bytes{0x30, 0x82, 0x00, 0xff};
  key.canSign = true;
  key.canDecrypt = false;
  key.canPerformKeyExchange = true;
  key.isSuitableForLogin = true;
  key.constraints = {
      {static_cast<Operation>(-7), Constraint(true)},
      {Operation::signData, Constraint("corvanta.totp.per-request.v1"s)},
      {Operation::decryptData, Constraint(false)},
      {Operation::performKeyExchange, Constraint(""s)},
  };
  return key;
}

TEST(StoreFormat, TokenConfigurationRoundTripsEveryField) {
  KeychainKey noCapabilities;
  noCapabilities.objectID = "k";
  KeychainKey loginOnly = noCapabilities;
  loginOnly.isSuitableForLogin = true;
  KeychainKey decryptOnly = noCapabilities;
  decryptOnly.canDecrypt = true;

  const std::vector<StoredTokenConfiguration> cases = {
      {"a", std::nullopt, {}},
      {"a", Bytes{}, {}},
      {"a", Bytes{0, 1, 2, 0xff}, {}},
      {"0123abc", bytesOf("{\"version\":1}"),
       {KeychainCertificate{"cert:01", "Corvanta Sign", Bytes{0x30, 0x03, 0x02, 0x01, 0x00}}, everyFieldKey()}},
      {"a", std::nullopt, {KeychainCertificate{"", "", {}}, noCapabilities, loginOnly, decryptOnly}},
      {"with\xff" "bytes", std::nullopt, {KeychainCertificate{"id\0null"s, "\xc3\xa9t\xff", Bytes(70000, 0x5a)}}},
  };
  for (const auto& configuration : cases) {
    const auto file = encodeTokenConfiguration(configuration);
    ASSERT_TRUE(file) << configuration.instanceID;
    EXPECT_EQ(decodeTokenConfiguration(*file), configuration) << configuration.instanceID;
  }
}

TEST(StoreFormat, TokenConfigurationWithAnInvalidIdentifierIsNotEncoded) {
  EXPECT_FALSE(encodeTokenConfiguration({"", std::nullopt, {}}));
  EXPECT_FALSE(encodeTokenConfiguration({"a\0b"s, std::nullopt, {}}));
}

// Bytes of a file written field by field, for files the encoder would never write.
class FileBuilder {
public:
  FileBuilder& raw(std::initializer_list<std::uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes);
    return *this;
  }
  FileBuilder& u32(std::uint32_t value) {
    return raw({static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
  }
  FileBuilder& text(std::string_view value) {
    u32(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
  }
  FileBuilder& configurationHeader(std::string_view instanceID = "a") { return raw({'C', 'T', 'K', 'T', 1}).text(instanceID); }
  // A key item with empty strings and DER, up to its capability byte.
  FileBuilder& keyWithCapabilities(std::uint8_t bits) { return raw({2}).text("").text("").text("").raw({bits}); }

  Bytes bytes() const { return bytes_; }

private:
  Bytes bytes_;
};

TEST(StoreFormat, TheBuilderWritesWhatTheEncoderWrites) {
  // Keeps the refusals below honest: each differs from a valid file in the one rule it names.
  const auto valid = FileBuilder().configurationHeader().raw({0}).u32(1).keyWithCapabilities(1).u32(1).u32(2).raw({1});
  KeychainKey key;
  key.canSign = true;
  key.constraints = {{Operation::signData, Constraint(true)}};
  EXPECT_EQ(encodeTokenConfiguration({"a", std::nullopt, {key}}), valid.bytes());
}

TEST(StoreFormat, MalformedTokenConfigurationsReadAsAbsent) {
  struct Case {
    const char* name;
    Bytes file;
  };
  const std::vector<Case> cases = {
      {"empty file", {}},
      {"wrong magic", FileBuilder().raw({'C', 'T', 'K', 'D', 1}).text("a").raw({0}).u32(0).bytes()},
      {"version 2", FileBuilder().raw({'C', 'T', 'K', 'T', 2}).text("a").raw({0}).u32(0).bytes()},
      {"empty instance identifier", FileBuilder().configurationHeader("").raw({0}).u32(0).bytes()},
      {"NUL in the instance identifier", FileBuilder().configurationHeader("a\0b"s).raw({0}).u32(0).bytes()},
      {"data flag 2", FileBuilder().configurationHeader().raw({2}).u32(0).u32(0).bytes()},
      {"data longer than the file", FileBuilder().configurationHeader().raw({1}).u32(100).raw({1, 2}).bytes()},
      {"more items than the file holds", FileBuilder().configurationHeader().raw({0}).u32(2).raw({1}).text("").text("").text("").bytes()},
      {"item kind 0", FileBuilder().configurationHeader().raw({0}).u32(1).raw({0}).text("").text("").text("").bytes()},
      {"item kind 3", FileBuilder().configurationHeader().raw({0}).u32(1).raw({3}).text("").text("").text("").bytes()},
      {"unknown capability bit", FileBuilder().configurationHeader().raw({0}).u32(1).keyWithCapabilities(0x10).u32(0).bytes()},
      {"constraint kind 3", FileBuilder().configurationHeader().raw({0}).u32(1).keyWithCapabilities(0).u32(1).u32(2).raw({3}).bytes()},
      {"same operation twice",
       FileBuilder().configurationHeader().raw({0}).u32(1).keyWithCapabilities(0).u32(2).u32(2).raw({1}).u32(2).raw({0}).bytes()},
      {"operations in descending order",
       FileBuilder().configurationHeader().raw({0}).u32(1).keyWithCapabilities(0).u32(2).u32(3).raw({1}).u32(2).raw({0}).bytes()},
      {"trailing byte", FileBuilder().configurationHeader().raw({0}).u32(0).raw({0}).bytes()},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(decodeTokenConfiguration(c.file)) << c.name;
  }
}

TEST(StoreFormat, EveryTruncationOfAConfigurationReadsAsAbsent) {
  const auto file = *encodeTokenConfiguration(
      {"abc", Bytes{1, 2, 3}, {KeychainCertificate{"c", "l", Bytes{9, 9}}, everyFieldKey()}});
  for (std::size_t length = 0; length < file.size(); ++length) {
    EXPECT_FALSE(decodeTokenConfiguration(ByteView(file).first(length))) << length;
  }
}

TEST(StoreFormat, AConfigurationLargerThanTheLimitIsNeitherReadNorReadable) {
  const StoredTokenConfiguration large{"a", Bytes(maximumStoreFileSize, 0), {}};
  const auto file = encodeTokenConfiguration(large);
  ASSERT_TRUE(file);
  ASSERT_GT(file->size(), maximumStoreFileSize);
  EXPECT_FALSE(decodeTokenConfiguration(*file));
}

TEST(StoreFormat, IdentifiersBecomeFileNamesThatStayInTheirDirectory) {
  struct Case {
    std::string identifier;
    std::string fileName;
  };
  const std::vector<Case> cases = {
      {"ro.corvanta.sign.CorvantaToken", "ro.corvanta.sign.CorvantaToken"},
      {"0123456789abcdef-_", "0123456789abcdef-_"},
      {".", "%2E"},
      {"..", "%2E."},
      {".hidden", "%2Ehidden"},
      {"../../etc/passwd", "%2E.%2F..%2Fetc%2Fpasswd"},
      {"a%41", "a%2541"},
      {"key:1 \xff", "key%3A1%20%FF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(identifierFileName(c.identifier), c.fileName) << c.identifier;
    EXPECT_EQ(identifierOfFileName(c.fileName), c.identifier) << c.fileName;
  }
}

TEST(StoreFormat, EveryByteOfAnIdentifierRoundTrips) {
  for (int value = 1; value < 256; ++value) {
    const std::string identifier = "x"s + static_cast<char>(value) + static_cast<char>(value);
    const auto name = identifierFileName(identifier);
    ASSERT_TRUE(name) << value;
    EXPECT_EQ(name->find('/'), std::string::npos) << value;
    EXPECT_EQ(identifierOfFileName(*name), identifier) << value;
  }
}

TEST(StoreFormat, InvalidIdentifiersHaveNoFileName) {
  const std::vector<std::string> refused = {
      ""s,
      "a\0b"s,
      std::string(maximumIdentifierLength + 1, 'a'),
      // 81 encoded bytes need 243 bytes of file name.
      std::string(81, '/'),
  };
  for (const auto& identifier : refused) {
    EXPECT_FALSE(isValidIdentifier(identifier)) << identifier.size();
    EXPECT_FALSE(identifierFileName(identifier)) << identifier.size();
  }
  EXPECT_TRUE(identifierFileName(std::string(maximumIdentifierLength, 'a')));
  EXPECT_TRUE(identifierFileName(std::string(80, '/')));
}

TEST(StoreFormat, OnlyTheFileNameAnIdentifierIsWrittenUnderReadsBack) {
  // Other spellings of a name would let two files stand for one configuration.
  for (const std::string name : {"", ".", "..", ".a", "%41", "%2e", "a%2", "a%zz", "a%00", "a/b", "tmp%"}) {
    EXPECT_FALSE(identifierOfFileName(name)) << name;
  }
}

TEST(StoreFormat, DriverManifestAndGenerationRoundTripAndReadStrictly) {
  const auto manifest = encodeDriverManifest("ro.corvanta.sign.CorvantaToken");
  ASSERT_TRUE(manifest);
  EXPECT_EQ(decodeDriverManifest(*manifest), "ro.corvanta.sign.CorvantaToken");
  EXPECT_FALSE(encodeDriverManifest(""));
  auto trailing = *manifest;
  trailing.push_back(0);
  EXPECT_FALSE(decodeDriverManifest(trailing));
  EXPECT_FALSE(decodeDriverManifest(ByteView(*manifest).first(manifest->size() - 1)));
  EXPECT_FALSE(decodeTokenConfiguration(*manifest));

  for (const std::uint64_t generation : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}}) {
    EXPECT_EQ(decodeGeneration(encodeGeneration(generation)), generation);
  }
  auto generation = encodeGeneration(5);
  EXPECT_FALSE(decodeGeneration(ByteView(generation).first(generation.size() - 1)));
  generation.push_back(0);
  EXPECT_FALSE(decodeGeneration(generation));
  EXPECT_FALSE(decodeDriverManifest(encodeGeneration(5)));
}

}  // namespace
}  // namespace platform::tokenkit
