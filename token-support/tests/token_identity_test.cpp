#include "token-support/token_identity.hpp"

#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/security/digest.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_failure.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::Bytes;
using platform::foundation::DecodingError;
using platform::foundation::UUID;
using platform::tokenkit::KeychainCertificate;
using platform::tokenkit::KeychainKey;
using platform::tokenkit::Operation;

const UUID activation = *UUID::fromString("0a1b2c3d-4e5f-4a6b-8c7d-9e0fa1b2c3d4");

std::string identityJSON(std::int64_t version, const UUID& activationID, const Bytes& der) {
  return "{\"version\":" + std::to_string(version) + ",\"activationID\":\"" + activationID.uuidString() +
         "\",\"certificateDER\":\"" + platform::foundation::base64Encoded(der) + "\"}";
}

// The identity's form alone, without validation, as a reader of configuration data sees it.
TokenIdentity unvalidated(std::string_view json) { return platform::foundation::decodeJSON<TokenIdentity>(json); }

TEST(TokenIdentity, JSONIsTheThreeFieldsInOrderWithUpperCaseUUIDAndBase64) {
  const auto der = ecCertificate();
  const auto identity = identityOf(der, activation);
  const auto json = identity.encodedJSON();
  const std::string text(json.begin(), json.end());
  EXPECT_EQ(text, "{\"version\":1,\"activationID\":\"0A1B2C3D-4E5F-4A6B-8C7D-9E0FA1B2C3D4\",\"certificateDER\":\"" +
                      platform::foundation::base64Encoded(der) + "\"}");
  const auto certificateText = platform::foundation::JSONObjectReader::root(platform::foundation::parseJSON(text))
                                   .required<std::string>("certificateDER");
  EXPECT_EQ(platform::foundation::base64Decoded(certificateText), der);
  EXPECT_EQ(TokenIdentity::decode(json, testNow), identity);
}

TEST(TokenIdentity, DecodingIgnoresOtherKeysAndReadsAnyKeyOrder) {
  const auto der = ecCertificate();
  const std::string json = "{\"certificateDER\":\"" + platform::foundation::base64Encoded(der) +
                           "\",\"extra\":[1,2],\"activationID\":\"0a1b2c3d-4e5f-4a6b-8c7d-9e0fa1b2c3d4\",\"version\":1}";
  const auto identity = TokenIdentity::decode(platform::bytesOf(json), testNow);
  EXPECT_EQ(identity.version(), 1);
  EXPECT_EQ(identity.activationID(), activation);
  EXPECT_EQ(identity.certificateDER(), der);
}

struct FormRow {
  const char* name;
  std::string json;
  DecodingError::Case expected;
};

TEST(TokenIdentity, KeysAreRequiredAndMatchedExactly) {
  const auto der = platform::foundation::base64Encoded(ecCertificate());
  const auto uuid = activation.uuidString();
  const FormRow rows[] = {
      {"no version", "{\"activationID\":\"" + uuid + "\",\"certificateDER\":\"" + der + "\"}", DecodingError::Case::keyNotFound},
      {"Version", "{\"Version\":1,\"activationID\":\"" + uuid + "\",\"certificateDER\":\"" + der + "\"}",
       DecodingError::Case::keyNotFound},
      {"activationId", "{\"version\":1,\"activationId\":\"" + uuid + "\",\"certificateDER\":\"" + der + "\"}",
       DecodingError::Case::keyNotFound},
      {"certificateDer", "{\"version\":1,\"activationID\":\"" + uuid + "\",\"certificateDer\":\"" + der + "\"}",
       DecodingError::Case::keyNotFound},
      {"null version", "{\"version\":null,\"activationID\":\"" + uuid + "\",\"certificateDER\":\"" + der + "\"}",
       DecodingError::Case::valueNotFound},
      {"version as text", "{\"version\":\"1\",\"activationID\":\"" + uuid + "\",\"certificateDER\":\"" + der + "\"}",
       DecodingError::Case::typeMismatch},
      {"malformed UUID", "{\"version\":1,\"activationID\":\"" + uuid + "0\",\"certificateDER\":\"" + der + "\"}",
       DecodingError::Case::dataCorrupted},
      {"unpadded Base64", "{\"version\":1,\"activationID\":\"" + uuid + "\",\"certificateDER\":\"AAA\"}",
       DecodingError::Case::dataCorrupted},
      {"not JSON", "{\"version\":1,", DecodingError::Case::dataCorrupted},
      {"an array", "[]", DecodingError::Case::typeMismatch},
  };
  for (const auto& row : rows) {
    try {
      TokenIdentity::decode(platform::bytesOf(row.json), testNow);
      ADD_FAILURE() << row.name << ": decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.errorCase(), row.expected) << row.name << ": " << error.what();
    }
  }
}

TEST(TokenIdentity, OversizedConfigurationDataIsRefusedWithoutParsing) {
  auto json = identityJSON(1, activation, ecCertificate());
  ASSERT_LT(json.size(), TokenIdentity::maximumJSONByteCount);
  // Trailing white space keeps the text a valid identity, so only the size can refuse it.
  json.resize(TokenIdentity::maximumJSONByteCount, ' ');
  EXPECT_EQ(TokenIdentity::decode(platform::bytesOf(json), testNow).activationID(), activation);
  json.push_back(' ');
  EXPECT_TRUE(throwsExactly([&] { TokenIdentity::decode(platform::bytesOf(json), testNow); },
                            TokenFailure::invalidConfiguration));
  // Garbage of that size is not parsed either: a parser would report a DecodingError.
  const Bytes garbage(TokenIdentity::maximumJSONByteCount + 1, '{');
  EXPECT_TRUE(throwsExactly([&] { TokenIdentity::decode(garbage, testNow); }, TokenFailure::invalidConfiguration));
}

struct RefusalRow {
  const char* name;
  std::string json;
  Clock::time_point date;
  std::exception_ptr expected;
};

TEST(TokenIdentity, DecodeAndValidationRefuseWhatCannotBeUsed) {
  const auto der = ecCertificate();
  const auto invalidConfiguration = std::make_exception_ptr(TokenFailure::invalidConfiguration);
  const auto invalidCertificate = std::make_exception_ptr(ConnectionError::invalidCertificate);
  Bytes notACertificate(100, 0x30);
  const RefusalRow rows[] = {
      {"version 2", identityJSON(2, activation, der), testNow, invalidConfiguration},
      {"version 0", identityJSON(0, activation, der), testNow, invalidConfiguration},
      {"expired", identityJSON(1, activation, der), validUntil, invalidConfiguration},
      {"long expired", identityJSON(1, activation, der), validUntil + 24h * 400, invalidConfiguration},
      {"not yet valid", identityJSON(1, activation, der), validFrom - 1s, invalidConfiguration},
      {"empty DER", identityJSON(1, activation, Bytes{}), testNow, invalidConfiguration},
      // A DER of 65 536 bytes is read (and refused by the reader); one byte more is not read.
      {"DER at the limit", identityJSON(1, activation, Bytes(TokenIdentity::maximumCertificateByteCount, 0x30)), testNow,
       invalidCertificate},
      {"DER over the limit", identityJSON(1, activation, Bytes(TokenIdentity::maximumCertificateByteCount + 1, 0x30)),
       testNow, invalidConfiguration},
      {"not a certificate", identityJSON(1, activation, notACertificate), testNow, invalidCertificate},
  };
  for (const auto& row : rows) {
    const auto expectMatches = [&](const std::exception_ptr& thrown, const char* step) {
      ASSERT_TRUE(thrown) << row.name << " " << step << ": accepted";
      try {
        std::rethrow_exception(row.expected);
      } catch (const TokenFailure& failure) {
        EXPECT_TRUE(throwsExactly([&] { std::rethrow_exception(thrown); }, failure)) << row.name << " " << step;
      } catch (const ConnectionError& error) {
        EXPECT_TRUE(throwsExactly([&] { std::rethrow_exception(thrown); }, error)) << row.name << " " << step;
      }
    };
    expectMatches(thrownBy([&] { TokenIdentity::decode(platform::bytesOf(row.json), row.date); }), "decode");
    const auto identity = unvalidated(row.json);
    expectMatches(thrownBy([&] { identity.validatedProfile(row.date); }), "validatedProfile");
    expectMatches(thrownBy([&] { identity.keychainItems(row.date); }), "keychainItems");
  }
}

TEST(TokenIdentity, ConstructionValidatesAtTheGivenDate) {
  const auto der = ecCertificate();
  const TokenIdentity identity(activation, der, testNow);
  EXPECT_EQ(identity.version(), TokenIdentity::currentVersion);
  EXPECT_EQ(identity.activationID(), activation);
  EXPECT_EQ(identity.certificateDER(), der);
  EXPECT_TRUE(throwsExactly([&] { TokenIdentity(activation, der, validUntil); }, TokenFailure::invalidConfiguration));
  EXPECT_TRUE(throwsExactly([&] { TokenIdentity(activation, Bytes{0x30, 0x00}, testNow); }, ConnectionError::invalidCertificate));
}

TEST(TokenIdentity, ValidatedProfileIsTheCertificatesProfile) {
  const auto der = rsaCertificate();
  const auto profile = identityOf(der).validatedProfile(testNow);
  EXPECT_EQ(profile.certificateSHA256(), platform::security::sha256(der));
  EXPECT_EQ(profile.key(), VerificationKey::fromCertificateDER(der));
}

TEST(TokenIdentity, EveryUseChecksItsOwnDateAndEveryCopyGivesTheSameAnswer) {
  const auto identity = identityOf(ecCertificate());
  const auto copy = identity;
  // The certificate is read once, but its dates are checked at every use: a refusal at one date
  // does not stick, nor an acceptance.
  EXPECT_NO_THROW(identity.validatedProfile(testNow));
  EXPECT_TRUE(throwsExactly([&] { identity.validatedProfile(validUntil); }, TokenFailure::invalidConfiguration));
  EXPECT_TRUE(throwsExactly([&] { copy.validatedProfile(validFrom - 1s); }, TokenFailure::invalidConfiguration));
  EXPECT_EQ(copy.validatedProfile(testNow).certificateSHA256(), identity.certificateFingerprint());

  // A certificate the reader refuses is refused with the same error every time, from every thread.
  const auto refused = unvalidated(identityJSON(1, activation, Bytes(100, 0x30)));
  std::vector<std::thread> threads;
  std::atomic<int> refusals{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 3; ++j) {
        if (throwsExactly([&] { refused.validatedProfile(testNow); }, ConnectionError::invalidCertificate)) ++refusals;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(refusals.load(), 12);
}

// Independent of the code under test: the C library's formatting of each byte.
std::string printfHex(const Bytes& bytes) {
  std::string text;
  for (const auto byte : bytes) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

TEST(TokenIdentity, InstanceIDIsLowerCaseHexOfTheFingerprintWithLeadingZeros) {
  // Look for certificate bytes whose SHA-256 begins with the byte ten, so that the identifier must
  // begin with "0a". The search is deterministic: SHA-256 of a counter.
  Bytes der;
  for (std::uint32_t counter = 0;; ++counter) {
    der = platform::bytesOf("certificate " + std::to_string(counter));
    if (platform::security::sha256(der)[0] == 0x0A) break;
  }
  const auto identity = unvalidated(identityJSON(1, activation, der));
  EXPECT_EQ(identity.certificateFingerprint(), platform::security::sha256(der));
  const auto instanceID = identity.instanceID();
  EXPECT_EQ(instanceID.size(), 64u);
  EXPECT_EQ(instanceID.substr(0, 2), "0a");
  EXPECT_EQ(instanceID, printfHex(identity.certificateFingerprint()));
  EXPECT_EQ(identity.keyObjectID(), "key:" + instanceID);
  EXPECT_EQ(identity.certificateObjectID(), "cert:" + instanceID);
}

TEST(TokenIdentity, InstanceIDDependsOnTheCertificateOnly) {
  const auto der = ecCertificate();
  const auto first = identityOf(der);
  const auto second = identityOf(der);
  EXPECT_NE(first.activationID(), second.activationID());
  EXPECT_NE(first, second);
  EXPECT_EQ(first.instanceID(), second.instanceID());
  EXPECT_EQ(first.keyObjectID(), second.keyObjectID());
  EXPECT_NE(identityOf(ecCertificate(2)).instanceID(), first.instanceID());
}

TEST(TokenIdentity, KeychainItemsAreTheCertificateThenItsKeyUnderTheApprovalConstraint) {
  const auto der = ecCertificate();
  const auto identity = identityOf(der);
  const auto items = identity.keychainItems(testNow);
  ASSERT_EQ(items.size(), 2u);

  ASSERT_TRUE(std::holds_alternative<KeychainCertificate>(items[0]));
  const auto& certificate = std::get<KeychainCertificate>(items[0]);
  EXPECT_EQ(certificate.objectID, "cert:" + identity.instanceID());
  EXPECT_EQ(certificate.label, "Corvanta Sign");
  EXPECT_EQ(certificate.certificateDER, der);

  ASSERT_TRUE(std::holds_alternative<KeychainKey>(items[1]));
  const auto& key = std::get<KeychainKey>(items[1]);
  EXPECT_EQ(key.objectID, identity.keyObjectID());
  EXPECT_EQ(key.label, "Corvanta Sign");
  EXPECT_EQ(key.certificateDER, der);
  EXPECT_TRUE(key.canSign);
  EXPECT_FALSE(key.canDecrypt);
  EXPECT_FALSE(key.canPerformKeyExchange);
  EXPECT_FALSE(key.isSuitableForLogin);
  const std::map<Operation, platform::tokenkit::Constraint> constraints{
      {Operation::signData, std::string("corvanta.totp.per-request.v1")},
      {Operation::decryptData, false},
      {Operation::performKeyExchange, false},
  };
  EXPECT_EQ(key.constraints, constraints);
  EXPECT_EQ(TokenIdentity::approvalConstraint, "corvanta.totp.per-request.v1");
}

}  // namespace
}  // namespace corvanta
