#include "platform/security/certificate.hpp"

#include "platform/security/testing/test_key.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <string>

namespace platform::security {
namespace {

using testing::Curve;
using testing::TestKey;

// Replaces the first occurrence of a byte pattern; the test fails when it is not there.
Bytes replaced(Bytes bytes, const Bytes& pattern, const Bytes& replacement) {
  const auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
  if (at == bytes.end()) throw std::runtime_error("pattern not found");
  const auto offset = at - bytes.begin();
  bytes.erase(at, at + static_cast<std::ptrdiff_t>(pattern.size()));
  bytes.insert(bytes.begin() + offset, replacement.begin(), replacement.end());
  return bytes;
}

TEST(Certificate, ReadsOneWellFormedCertificateAndItsKey) {
  const auto key = TestKey::ec(Curve::p256);
  const auto certificate = Certificate::createWithData(key.selfSignedCertificate());
  ASSERT_TRUE(certificate);
  ASSERT_NE(certificate->native(), nullptr);
  const auto publicKey = certificate->copyKey();
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(EVP_PKEY_eq(publicKey->native(), key.native()), 1);
  // Each copy holds its own reference: the certificate outlives none of them.
  auto second = certificate->copyKey();
  EXPECT_EQ(EVP_PKEY_eq(second->native(), publicKey->native()), 1);
}

TEST(Certificate, KeyOutlivesTheCertificate) {
  const auto key = TestKey::rsa(2048);
  std::optional<Key> publicKey;
  {
    const auto certificate = Certificate::createWithData(key.selfSignedCertificate());
    ASSERT_TRUE(certificate);
    publicKey = certificate->copyKey();
  }
  ASSERT_TRUE(publicKey);
  EXPECT_EQ(EVP_PKEY_eq(publicKey->native(), key.native()), 1);
}

TEST(Certificate, RefusesAnythingButExactlyOneDerCertificate) {
  const auto der = TestKey::ec(Curve::p256).selfSignedCertificate();
  ASSERT_TRUE(Certificate::createWithData(der));

  auto trailing = der;
  trailing.push_back(0x00);
  auto twice = der;
  twice.insert(twice.end(), der.begin(), der.end());
  // The outer length in a padded long form: 30 82 hh ll → 30 83 00 hh ll.
  ASSERT_EQ(der[1], 0x82);
  Bytes paddedLength{0x30, 0x83, 0x00};
  paddedLength.insert(paddedLength.end(), der.begin() + 2, der.end());
  // The version [0] { INTEGER 2 } raised to 7, which the library would take.
  const auto version8 = replaced(der, {0xA0, 0x03, 0x02, 0x01, 0x02}, {0xA0, 0x03, 0x02, 0x01, 0x07});
  const auto versionNegative = replaced(der, {0xA0, 0x03, 0x02, 0x01, 0x02}, {0xA0, 0x03, 0x02, 0x01, 0xFF});

  struct Case {
    std::string name;
    Bytes bytes;
  };
  const Case cases[] = {
      {"a trailing byte", trailing},
      {"two certificates", twice},
      {"a padded outer length", paddedLength},
      {"version above v3", version8},
      {"negative version", versionNegative},
      {"truncated", Bytes(der.begin(), der.end() - 1)},
      {"empty", {}},
      {"an empty sequence", {0x30, 0x00}},
      {"a SubjectPublicKeyInfo", TestKey::ec(Curve::p256).subjectPublicKeyInfo()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Certificate::createWithData(c.bytes));
    EXPECT_EQ(ERR_peek_error(), 0u);
  }

  // The library itself takes both of these; the refusals above are the layer's own.
  const unsigned char* cursor = trailing.data();
  X509Pointer lenient(d2i_X509(nullptr, &cursor, static_cast<long>(trailing.size())));
  EXPECT_TRUE(lenient);
  cursor = version8.data();
  lenient.reset(d2i_X509(nullptr, &cursor, static_cast<long>(version8.size())));
  EXPECT_TRUE(lenient);
}

TEST(Certificate, NoKeyWhenTheSubjectPublicKeyInfoDoesNotDecode) {
  const auto key = TestKey::ec(Curve::p256);
  const auto der = key.selfSignedCertificate();
  const auto spki = key.subjectPublicKeyInfo();
  // The last byte of Y moved: the point is no longer on the curve.
  auto offCurve = spki;
  offCurve.back() ^= 0x01;
  const auto certificate = Certificate::createWithData(replaced(der, spki, offCurve));
  ASSERT_TRUE(certificate);
  EXPECT_FALSE(certificate->copyKey());
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(Certificate, NoKeyWhenTheRsaKeyIsNotInDer) {
  const auto key = TestKey::rsa(2048);
  const auto der = key.selfSignedCertificate();
  const auto representation = copyExternalRepresentation(key.publicKey());
  ASSERT_TRUE(representation);
  // 30 82 01 0A 02 82 01 01 00 <modulus> 02 03 01 00 01 becomes a negative modulus (its 00 gone)
  // and an exponent with a redundant 00, so that every enclosing length stays as it was.
  Bytes nonDer(representation->begin(), representation->begin() + 4);
  nonDer.insert(nonDer.end(), {0x02, 0x82, 0x01, 0x00});
  nonDer.insert(nonDer.end(), representation->begin() + 9, representation->end() - 5);
  nonDer.insert(nonDer.end(), {0x02, 0x04, 0x00, 0x01, 0x00, 0x01});
  ASSERT_EQ(nonDer.size(), representation->size());

  const auto certificate = Certificate::createWithData(replaced(der, *representation, nonDer));
  ASSERT_TRUE(certificate);
  // The library reads a key from it; the layer does not.
  EXPECT_NE(X509_get0_pubkey(certificate->native()), nullptr);
  ERR_clear_error();
  EXPECT_FALSE(certificate->copyKey());
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace platform::security
