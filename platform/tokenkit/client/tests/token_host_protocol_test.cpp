#include "platform/tokenkit/client/token_host_protocol.hpp"

#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/tokenkit/keychain_item.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace platform::tokenkit {
namespace {

// ---- bodies spelled out byte by byte, as a peer would write them ----

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

Bytes integer(std::uint64_t value, std::size_t width) {
  Bytes bytes;
  for (std::size_t i = width; i > 0; --i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * (i - 1))));
  return bytes;
}

Bytes u8(std::uint64_t value) { return integer(value, 1); }
Bytes u32(std::uint64_t value) { return integer(value, 4); }
Bytes u64(std::uint64_t value) { return integer(value, 8); }
Bytes text(std::string_view value) { return cat({u32(value.size()), Bytes(value.begin(), value.end())}); }

Bytes bodyOf(const Bytes& message) { return Bytes(message.begin() + tokenHostMessageHeaderBytes, message.end()); }

// A sign request for "key:1" with "alg" and the digest.
Bytes signBody(const Bytes& digest) { return cat({u8(2), u64(7), text("key:1"), text("alg"), u8(digest.size()), digest}); }

// A tokens answer with one token holding one key of the abilities byte and constraints.
Bytes keyAnswerBody(std::uint64_t abilities, const Bytes& constraints, std::uint64_t constraintCount) {
  return cat({u8(129), u64(7), u32(1), text("driver"), text("instance"), u32(1), u8(2), text("key:1"), text("label"),
              u32(0), u8(abilities), u8(constraintCount), constraints});
}

const Bytes& testCertificate() {
  static const Bytes der = security::testing::sharedTestKeys().p256.selfSignedCertificate();
  return der;
}

HostedToken sampleToken() {
  auto key = *makeKeyItem(testCertificate(), "key:0123");
  key.label = "Signing key · Ärztekammer";
  key.canSign = true;
  key.isSuitableForLogin = true;
  key.constraints = {{Operation::signData, Constraint{std::string("corvanta.totp.per-request.v1")}},
                     {Operation::decryptData, Constraint{false}},
                     {Operation::performKeyExchange, Constraint{true}}};
  auto certificate = *makeCertificateItem(testCertificate(), "cert:0123");
  certificate.label = "Certificate";
  return HostedToken{"ro.corvanta.sign.development.Token", "0123", {certificate, key}};
}

TEST(TokenHostProtocol, RequestsDecodeToWhatWasEncoded) {
  const std::vector<std::pair<const char*, TokenHostRequest>> cases = {
      {"list", {1, ListTokensRequest{}}},
      {"list with the largest id", {UINT64_MAX, ListTokensRequest{}}},
      {"sign", {2, SignDigestRequest{"key:0123", "algid:sign:ECDSA:digest-X962:SHA256", Bytes(32, 0xAB)}}},
      {"sign with the longest digest", {3, SignDigestRequest{"key:1", "alg", Bytes(64, 0x01)}}},
      {"sign with no digest and empty texts", {4, SignDigestRequest{"", "", {}}}},
      {"sign with non-ASCII texts", {5, SignDigestRequest{"schlüssel", "ä·€", {0x00}}}},
  };
  for (const auto& [name, request] : cases) {
    const auto message = encodeTokenHostMessage(request);
    ASSERT_TRUE(message) << name;
    std::array<std::uint8_t, tokenHostMessageHeaderBytes> header{};
    std::copy_n(message->begin(), header.size(), header.begin());
    EXPECT_EQ(tokenHostMessageBodyLength(header), message->size() - header.size()) << name;
    EXPECT_EQ(decodeTokenHostRequest(bodyOf(*message)), request) << name;
    // A request is never taken for an answer.
    EXPECT_FALSE(decodeTokenHostAnswer(bodyOf(*message))) << name;
  }
}

TEST(TokenHostProtocol, AnswersDecodeToWhatWasEncodedWithNoTextKeptApartFromAnEmptyOne) {
  const std::vector<std::pair<const char*, TokenHostAnswer>> cases = {
      {"no tokens", {1, TokensAnswer{}}},
      {"a token with a certificate and a key", {2, TokensAnswer{{sampleToken(), HostedToken{"d", "empty", {}}}}}},
      {"signature", {3, SignatureAnswer{Bytes(8192, 0x5A)}}},
      {"empty signature", {4, SignatureAnswer{}}},
      {"error without text", {5, Error(ErrorCode::canceledByUser)}},
      {"error with an empty text", {6, Error(ErrorCode::communicationError, std::string())}},
      {"error with text", {7, Error(ErrorCode::communicationError, std::string("The token session is no longer available."))}},
      {"error of a code clients do not know", {8, Error(7, std::string("x"))}},
      {"error of the lowest code", {9, Error(INT_MIN)}},
      {"error of the highest code", {10, Error(INT_MAX)}},
  };
  for (const auto& [name, answer] : cases) {
    const auto message = encodeTokenHostMessage(answer);
    ASSERT_TRUE(message) << name;
    EXPECT_EQ(decodeTokenHostAnswer(bodyOf(*message)), answer) << name;
    EXPECT_FALSE(decodeTokenHostRequest(bodyOf(*message))) << name;
  }
}

TEST(TokenHostProtocol, MessagesOutOfFormAreNotEncoded) {
  KeychainKey unknownOperation;
  unknownOperation.constraints = {{static_cast<Operation>(5), Constraint{true}}};
  const std::string notUTF8 = "\xC3\x28";
  const std::vector<std::pair<const char*, std::optional<Bytes>>> cases = {
      {"digest of 65 bytes", encodeTokenHostMessage(TokenHostRequest{1, SignDigestRequest{"k", "a", Bytes(65, 1)}})},
      {"key id not UTF-8", encodeTokenHostMessage(TokenHostRequest{1, SignDigestRequest{notUTF8, "a", {}}})},
      {"error text not UTF-8", encodeTokenHostMessage(TokenHostAnswer{1, Error(-2, notUTF8)})},
      {"constraint of an unknown operation",
       encodeTokenHostMessage(TokenHostAnswer{1, TokensAnswer{{HostedToken{"d", "i", {unknownOperation}}}}})},
      {"signature one byte over a message",
       encodeTokenHostMessage(TokenHostAnswer{1, SignatureAnswer{Bytes(maxTokenHostMessageBodyBytes - 12, 0)}})},
  };
  for (const auto& [name, message] : cases) EXPECT_FALSE(message) << name;

  // The largest signature that fits: type, id and length take 13 bytes of the body.
  const auto largest =
      encodeTokenHostMessage(TokenHostAnswer{1, SignatureAnswer{Bytes(maxTokenHostMessageBodyBytes - 13, 0)}});
  ASSERT_TRUE(largest);
  EXPECT_EQ(largest->size(), maxTokenHostMessageBytes);
}

TEST(TokenHostProtocol, HeadersAnnounceOneToTheLargestBodyOnly) {
  const std::vector<std::pair<std::uint32_t, std::optional<std::size_t>>> cases = {
      {0, std::nullopt},
      {1, 1},
      {maxTokenHostMessageBodyBytes, maxTokenHostMessageBodyBytes},
      {maxTokenHostMessageBodyBytes + 1, std::nullopt},
      {UINT32_MAX, std::nullopt},
  };
  for (const auto& [length, expected] : cases) {
    std::array<std::uint8_t, tokenHostMessageHeaderBytes> header{};
    const auto bytes = u32(length);
    std::copy(bytes.begin(), bytes.end(), header.begin());
    EXPECT_EQ(tokenHostMessageBodyLength(header), expected) << length;
  }
}

TEST(TokenHostProtocol, BodiesWithAnyByteOutOfPlaceDecodeToNothing) {
  // The spelled-out forms decode, so each refusal below is down to its one changed byte.
  ASSERT_TRUE(decodeTokenHostRequest(signBody(Bytes(64, 1))));
  ASSERT_TRUE(decodeTokenHostAnswer(keyAnswerBody(0x0F, cat({u8(2), u8(2), text("c"), u8(3), u8(1)}), 2)));
  ASSERT_TRUE(decodeTokenHostAnswer(cat({u8(131), u64(1), u32(0xFFFFFFFE), u8(1), text("t")})));

  const std::vector<std::pair<const char*, Bytes>> requests = {
      {"empty", {}},
      {"unknown type", cat({u8(3), u64(1)})},
      {"type of an answer", cat({u8(129), u64(1), u32(0)})},
      {"id cut short", cat({u8(1), integer(1, 7)})},
      {"list with a trailing byte", cat({u8(1), u64(1), u8(0)})},
      {"digest of 65 bytes", signBody(Bytes(65, 1))},
      {"digest shorter than announced", cat({u8(2), u64(7), text("k"), text("a"), u8(4), Bytes(3, 1)})},
      {"sign with a trailing byte", cat({signBody(Bytes(8, 1)), u8(0)})},
      {"key id not UTF-8", cat({u8(2), u64(7), text("\xC3\x28"), text("a"), u8(0)})},
      {"text longer than the body", cat({u8(2), u64(7), u32(1000), Bytes(4, 'k')})},
  };
  for (const auto& [name, body] : requests) EXPECT_FALSE(decodeTokenHostRequest(body)) << name;

  const std::vector<std::pair<const char*, Bytes>> answers = {
      {"empty", {}},
      {"unknown type", cat({u8(132), u64(1)})},
      {"type of a request", cat({u8(1), u64(1)})},
      {"error text flag 2", cat({u8(131), u64(1), u32(0), u8(2), text("t")})},
      {"error with a trailing byte", cat({u8(131), u64(1), u32(0), u8(0), u8(0)})},
      {"error code cut short", cat({u8(131), u64(1), integer(0, 3)})},
      {"signature longer than the body", cat({u8(130), u64(1), u32(10), Bytes(9, 0)})},
      {"more tokens than the body holds", cat({u8(129), u64(1), u32(0xFFFFFFFF)})},
      {"ability bit 4", keyAnswerBody(0x10, {}, 0)},
      {"constraints out of order", keyAnswerBody(0, cat({u8(3), u8(1), u8(2), u8(1)}), 2)},
      {"constraint repeated", keyAnswerBody(0, cat({u8(2), u8(1), u8(2), u8(0)}), 2)},
      {"constraint of operation 5", keyAnswerBody(0, cat({u8(5), u8(1)}), 1)},
      {"constraint form 3", keyAnswerBody(0, cat({u8(2), u8(3)}), 1)},
      {"fewer constraints than counted", keyAnswerBody(0, cat({u8(2), u8(1)}), 2)},
      {"item tag 3", cat({u8(129), u64(1), u32(1), text("d"), text("i"), u32(1), u8(3), text("o"), text("l"), u32(0)})},
      {"label not UTF-8", cat({u8(129), u64(1), u32(1), text("d"), text("i"), u32(1), u8(1), text("o"), text("\xFF"),
                               u32(0)})},
  };
  for (const auto& [name, body] : answers) EXPECT_FALSE(decodeTokenHostAnswer(body)) << name;
}

TEST(TokenHostProtocol, EveryCutOfAMessageDecodesToNothing) {
  const auto request = bodyOf(*encodeTokenHostMessage(TokenHostRequest{9, SignDigestRequest{"key:1", "alg", Bytes(5, 3)}}));
  const auto answer = bodyOf(*encodeTokenHostMessage(TokenHostAnswer{9, TokensAnswer{{sampleToken()}}}));
  for (std::size_t length = 0; length < request.size(); ++length) {
    EXPECT_FALSE(decodeTokenHostRequest(ByteView(request).first(length))) << length;
  }
  for (std::size_t length = 0; length < answer.size(); ++length) {
    EXPECT_FALSE(decodeTokenHostAnswer(ByteView(answer).first(length))) << length;
  }
}

}  // namespace
}  // namespace platform::tokenkit
