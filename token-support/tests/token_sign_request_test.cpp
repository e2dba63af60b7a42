#include "token-support/token_sign_request.hpp"

#include "platform/foundation/decoding_error.hpp"
#include "platform/foundation/json_coding.hpp"
#include "sign-core/signing_error.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_failure.hpp"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace corvanta {
namespace {

using namespace corvanta::testing;
using platform::Bytes;
using platform::foundation::DecodingError;
using platform::foundation::UUID;

TokenSignRequest decoded(const Bytes& json) { return platform::foundation::decodeJSON<TokenSignRequest>(json); }
TokenSignRequest decoded(const std::string& json) { return platform::foundation::decodeJSON<TokenSignRequest>(json); }

// A request that passes validation, for changing one field at a time.
TokenSignRequest wellFormedRequest() {
  TokenSignRequest request;
  request.requestID = *UUID::fromString("11111111-2222-4333-8444-555555555555");
  request.activationID = *UUID::fromString("aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
  request.certificateFingerprint = Bytes(32, 0xC5);
  request.keyObjectID = "key:" + std::string(64, 'f');
  request.algorithmName = "ecdsaSHA384";
  request.digest = Bytes(48, 0x42);
  request.createdTicks = 1'000;
  request.deadlineTicks = 90'000'001'000;
  return request;
}

TEST(TokenSignRequest, MadeFromTheIdentityAndStampedWithTheClock) {
  const auto identity = identityOf(ecCertificate());
  const Bytes digest(32, 0x07);
  const FixedTicks ticks(7'777, Timebase{1, 1});
  const auto request = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, ticks);
  EXPECT_EQ(request.activationID, identity.activationID());
  EXPECT_EQ(request.certificateFingerprint, identity.certificateFingerprint());
  EXPECT_EQ(request.keyObjectID, identity.keyObjectID());
  EXPECT_EQ(request.algorithmName, "ecdsaSHA256");
  EXPECT_EQ(request.digest, digest);
  EXPECT_EQ(request.createdTicks, 7'777u);
  EXPECT_EQ(request.deadlineTicks - request.createdTicks, 90'000'000'000u);
  EXPECT_EQ(request.validatedAlgorithm(), SigningAlgorithm::ecdsaSHA256);

  const FixedTicks oddTicks(0, Timebase{125, 3});
  const auto odd = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, oddTicks);
  EXPECT_EQ(odd.deadlineTicks - odd.createdTicks, 2'160'000'000u);
}

TEST(TokenSignRequest, EveryRequestHasItsOwnIdentifier) {
  const auto identity = identityOf(ecCertificate());
  const Bytes digest(32, 0x07);
  const FixedTicks ticks(1, Timebase{1, 1});
  const auto first = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, ticks);
  const auto second = TokenSignRequest::make(identity, SigningAlgorithm::ecdsaSHA256, digest, testNow, ticks);
  EXPECT_NE(first.requestID, second.requestID);
  EXPECT_NE(first, second);
  auto same = second;
  same.requestID = first.requestID;
  EXPECT_EQ(first, same);
}

TEST(TokenSignRequest, MakingRefusesInTheOrderOfItsChecks) {
  const auto valid = identityOf(ecCertificate());
  const FixedTicks ticks(1, Timebase{1, 1});
  // The digest is checked before the certificate: an expired identity with a short digest
  // reports the digest.
  EXPECT_TRUE(throwsExactly(
      [&] { TokenSignRequest::make(valid, SigningAlgorithm::ecdsaSHA256, Bytes(31, 1), validUntil, ticks); },
      SigningError::invalidDigestLength(32, 31)));
  EXPECT_TRUE(throwsExactly(
      [&] { TokenSignRequest::make(valid, SigningAlgorithm::ecdsaSHA256, Bytes(32, 1), validUntil, ticks); },
      TokenFailure::invalidConfiguration));
  EXPECT_TRUE(throwsExactly(
      [&] { TokenSignRequest::make(valid, SigningAlgorithm::rsaPKCS1SHA256, Bytes(32, 1), testNow, ticks); },
      TokenFailure::unsupported));
  const auto rsa = identityOf(rsaCertificate());
  EXPECT_TRUE(throwsExactly(
      [&] { TokenSignRequest::make(rsa, SigningAlgorithm::ecdsaSHA512, Bytes(64, 1), testNow, ticks); },
      TokenFailure::unsupported));
  EXPECT_EQ(TokenSignRequest::make(rsa, SigningAlgorithm::rsaPKCS1SHA512, Bytes(64, 1), testNow, ticks).algorithmName,
            "rsaPKCS1SHA512");
}

TEST(TokenSignRequest, JSONKeysAreTheFieldNamesAndValuesTheirDefaultForms) {
  const auto request = wellFormedRequest();
  const auto json = request.encodedJSON();
  const auto document = boost::json::parse(std::string(json.begin(), json.end())).as_object();
  std::set<std::string> keys;
  for (const auto& member : document) keys.emplace(member.key());
  EXPECT_EQ(keys, (std::set<std::string>{"requestID", "activationID", "certificateFingerprint", "keyObjectID",
                                         "algorithmName", "digest", "deadlineTicks", "createdTicks"}));
  EXPECT_EQ(document.at("requestID").as_string(), "11111111-2222-4333-8444-555555555555");
  EXPECT_EQ(document.at("activationID").as_string(), "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");
  EXPECT_EQ(document.at("certificateFingerprint").as_string(), "xcXFxcXFxcXFxcXFxcXFxcXFxcXFxcXFxcXFxcXFxcU=");
  EXPECT_EQ(document.at("digest").as_string(), "QkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJCQkJC");
  EXPECT_EQ(document.at("createdTicks").as_int64(), 1'000);
  EXPECT_EQ(decoded(json), request);
}

TEST(TokenSignRequest, TicksAbove2To53StayExact) {
  for (const std::uint64_t ticks : {9'007'199'254'740'993ull, 9'223'372'036'854'775'809ull, 18'446'744'073'709'551'615ull}) {
    auto request = wellFormedRequest();
    request.createdTicks = ticks;
    request.deadlineTicks = ticks - 1;
    const auto json = request.encodedJSON();
    const std::string text(json.begin(), json.end());
    EXPECT_NE(text.find("\"createdTicks\":" + std::to_string(ticks)), std::string::npos) << text;
    EXPECT_NE(text.find("\"deadlineTicks\":" + std::to_string(ticks - 1)), std::string::npos) << text;
    const auto back = decoded(json);
    EXPECT_EQ(back.createdTicks, ticks);
    EXPECT_EQ(back.deadlineTicks, ticks - 1);
  }
}

TEST(TokenSignRequest, DecodingRequiresEveryKeyAndExactTicks) {
  const auto json = wellFormedRequest().encodedJSON();
  const auto text = std::string(json.begin(), json.end());
  for (const auto* key : {"requestID", "activationID", "certificateFingerprint", "keyObjectID", "algorithmName", "digest",
                          "deadlineTicks", "createdTicks"}) {
    auto document = boost::json::parse(text).as_object();
    document.erase(key);
    try {
      decoded(boost::json::serialize(document));
      ADD_FAILURE() << key << ": decoded without it";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.errorCase(), DecodingError::Case::keyNotFound) << key;
    }
  }
  const std::pair<const char*, DecodingError::Case> ticks[] = {
      {"1.5", DecodingError::Case::dataCorrupted},
      {"-1", DecodingError::Case::dataCorrupted},
      {"18446744073709551616", DecodingError::Case::dataCorrupted},
      {"\"1000\"", DecodingError::Case::typeMismatch},
  };
  for (const auto& [value, expected] : ticks) {
    auto changed = text;
    const std::string field = "\"createdTicks\":1000";
    changed.replace(changed.find(field), field.size(), std::string("\"createdTicks\":") + value);
    try {
      decoded(changed);
      ADD_FAILURE() << value << ": decoded";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.errorCase(), expected) << value;
    }
  }
  // Other keys are ignored.
  auto extended = boost::json::parse(text).as_object();
  extended["unknown"] = "value";
  EXPECT_EQ(decoded(boost::json::serialize(extended)), wellFormedRequest());
}

struct ValidationRow {
  const char* name;
  void (*change)(TokenSignRequest&);
  std::optional<SigningAlgorithm> accepted;
  std::exception_ptr refusal;
};

TEST(TokenSignRequest, ValidationRefusesMalformedRequests) {
  const auto invalidInput = std::make_exception_ptr(TokenFailure::invalidInput);
  const ValidationRow rows[] = {
      {"well formed", [](TokenSignRequest&) {}, SigningAlgorithm::ecdsaSHA384, nullptr},
      {"31-byte fingerprint", [](TokenSignRequest& r) { r.certificateFingerprint.resize(31); }, std::nullopt, invalidInput},
      {"33-byte fingerprint", [](TokenSignRequest& r) { r.certificateFingerprint.resize(33); }, std::nullopt, invalidInput},
      {"no fingerprint", [](TokenSignRequest& r) { r.certificateFingerprint.clear(); }, std::nullopt, invalidInput},
      {"256-byte key object", [](TokenSignRequest& r) { r.keyObjectID = std::string(256, 'k'); },
       SigningAlgorithm::ecdsaSHA384, nullptr},
      {"257-byte key object", [](TokenSignRequest& r) { r.keyObjectID = std::string(257, 'k'); }, std::nullopt,
       invalidInput},
      // 128 two-byte characters are 256 bytes; one more ASCII character makes 257 bytes of 129 characters.
      {"256 bytes of two-byte characters",
       [](TokenSignRequest& r) {
         r.keyObjectID.clear();
         for (int i = 0; i < 128; ++i) r.keyObjectID += "\xC3\xA9";
       },
       SigningAlgorithm::ecdsaSHA384, nullptr},
      {"257 bytes in 129 characters",
       [](TokenSignRequest& r) {
         r.keyObjectID = "k";
         for (int i = 0; i < 128; ++i) r.keyObjectID += "\xC3\xA9";
       },
       std::nullopt, invalidInput},
      {"name in other letter case", [](TokenSignRequest& r) { r.algorithmName = "ECDSASHA384"; }, std::nullopt,
       invalidInput},
      {"name with a blank", [](TokenSignRequest& r) { r.algorithmName = "ecdsaSHA384 "; }, std::nullopt, invalidInput},
      {"empty name", [](TokenSignRequest& r) { r.algorithmName.clear(); }, std::nullopt, invalidInput},
      {"32-byte digest under rsaPKCS1SHA512",
       [](TokenSignRequest& r) {
         r.algorithmName = "rsaPKCS1SHA512";
         r.digest = Bytes(32, 1);
       },
       std::nullopt, std::make_exception_ptr(SigningError::invalidDigestLength(64, 32))},
      {"the name is checked before the digest",
       [](TokenSignRequest& r) {
         r.algorithmName = "rsaPKCS1SHA1";
         r.digest.clear();
       },
       std::nullopt, invalidInput},
      {"rsaPKCS1SHA512 with its digest",
       [](TokenSignRequest& r) {
         r.algorithmName = "rsaPKCS1SHA512";
         r.digest = Bytes(64, 1);
       },
       SigningAlgorithm::rsaPKCS1SHA512, nullptr},
  };
  for (const auto& row : rows) {
    auto request = wellFormedRequest();
    row.change(request);
    const auto call = [&] { request.validatedAlgorithm(); };
    if (row.accepted) {
      EXPECT_EQ(request.validatedAlgorithm(), *row.accepted) << row.name;
      continue;
    }
    try {
      std::rethrow_exception(row.refusal);
    } catch (const TokenFailure& failure) {
      EXPECT_TRUE(throwsExactly(call, failure)) << row.name;
    } catch (const SigningError& error) {
      EXPECT_TRUE(throwsExactly(call, error)) << row.name;
    }
  }
}

}  // namespace
}  // namespace corvanta
