#include "platform/tokenkit/keychain_item.hpp"

#include "platform/security/testing/shared_test_keys.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::tokenkit {
namespace {

const Bytes& testCertificate() {
  static const Bytes der = security::testing::sharedTestKeys().p256.selfSignedCertificate();
  return der;
}

TEST(KeychainItem, ItemsOfACertificateCarryItsDERAndObjectIdentifier) {
  const auto certificate = makeCertificateItem(testCertificate(), "cert:1");
  ASSERT_TRUE(certificate);
  EXPECT_EQ(certificate->objectID, "cert:1");
  EXPECT_EQ(certificate->certificateDER, testCertificate());

  const auto key = makeKeyItem(testCertificate(), "key:1");
  ASSERT_TRUE(key);
  EXPECT_EQ(key->objectID, "key:1");
  EXPECT_EQ(key->certificateDER, testCertificate());
  // What the key may do is the publisher's to say.
  EXPECT_FALSE(key->canSign || key->canDecrypt || key->canPerformKeyExchange || key->isSuitableForLogin);
  EXPECT_TRUE(key->constraints.empty());
}

TEST(KeychainItem, BytesThatAreNotExactlyOneCertificateMakeNoItem) {
  auto trailing = testCertificate();
  trailing.push_back(0);
  const auto truncated = Bytes(testCertificate().begin(), testCertificate().end() - 1);
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"empty", {}},
      {"not DER", bytesOf("-----BEGIN CERTIFICATE-----")},
      {"a public key", security::testing::sharedTestKeys().p256.subjectPublicKeyInfo()},
      {"trailing byte", trailing},
      {"truncated", truncated},
  };
  for (const auto& [name, der] : cases) {
    EXPECT_FALSE(makeCertificateItem(der, "cert:1")) << name;
    EXPECT_FALSE(makeKeyItem(der, "key:1")) << name;
  }
}

}  // namespace
}  // namespace platform::tokenkit
