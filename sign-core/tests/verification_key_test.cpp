#include "sign-core/verification_key.hpp"

#include "platform/security/digest.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/security/testing/signature_forms.hpp"
#include "platform/security/testing/test_key.hpp"
#include "sign-core/signing_error.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace corvanta {
namespace {

using platform::Bytes;
using platform::bytesOf;
using platform::security::sha256;
using platform::security::sha384;
using platform::security::sha512;
using platform::security::testing::CertificateOptions;
using platform::security::testing::Curve;
using platform::security::testing::sharedTestKeys;
using platform::security::testing::TestKey;
namespace forms = platform::security::testing;

Bytes digestFor(SigningAlgorithm algorithm, const Bytes& message) {
  switch (algorithm.digestByteCount()) {
    case 32: return sha256(message);
    case 48: return sha384(message);
    default: return sha512(message);
  }
}

template <typename Action>
std::optional<SigningError> errorOf(Action action) {
  try {
    action();
  } catch (const SigningError& error) {
    return error;
  }
  return std::nullopt;
}

TEST(VerificationKey, HoldsKindSizeRepresentationAndItsFingerprint) {
  const auto& k = sharedTestKeys();
  struct Case {
    std::string name;
    const TestKey& key;
    SigningAlgorithm::KeyKind kind;
    int sizeInBits;
    std::size_t representationSize;
  };
  const Case cases[] = {
      {"RSA-2048", k.rsa2048, SigningAlgorithm::KeyKind::rsa, 2048, 270},
      // The modulus byte length counts: 2047 bits report as 2048 (and need no leading 00 in DER).
      {"RSA-2047", k.rsa2047, SigningAlgorithm::KeyKind::rsa, 2048, 269},
      {"P-256", k.p256, SigningAlgorithm::KeyKind::ellipticCurve, 256, 65},
      {"P-384", k.p384, SigningAlgorithm::KeyKind::ellipticCurve, 384, 97},
      {"P-521", k.p521, SigningAlgorithm::KeyKind::ellipticCurve, 521, 133},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const VerificationKey key(c.key.publicKey());
    EXPECT_EQ(key.kind(), c.kind);
    EXPECT_EQ(key.sizeInBits(), c.sizeInBits);
    EXPECT_EQ(key.representation().size(), c.representationSize);
    EXPECT_EQ(key.fingerprint(), sha256(key.representation()));
    EXPECT_EQ(key.fingerprint().size(), 32u);
    EXPECT_EQ(VerificationKey::fromCertificateDER(c.key.selfSignedCertificate()), key);
  }
}

TEST(VerificationKey, TwoKeysFromOneCertificateAreEqual) {
  const auto der = sharedTestKeys().p256.selfSignedCertificate();
  const auto first = VerificationKey::fromCertificateDER(der);
  const auto second = VerificationKey::fromCertificateDER(der);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.fingerprint(), second.fingerprint());
  EXPECT_NE(first, VerificationKey(sharedTestKeys().p384.publicKey()));
  EXPECT_NE(VerificationKey(sharedTestKeys().rsa2048.publicKey()),
            VerificationKey(sharedTestKeys().rsa2047.publicKey()));
}

TEST(VerificationKey, CompressedPointCertificateGivesTheSameKey) {
  const auto& key = sharedTestKeys().p256;
  const auto compressed = VerificationKey::fromCertificateDER(key.withCompressedPoint().selfSignedCertificate());
  const auto uncompressed = VerificationKey::fromCertificateDER(key.selfSignedCertificate());
  EXPECT_EQ(compressed, uncompressed);
  EXPECT_EQ(compressed.fingerprint(), uncompressed.fingerprint());
  EXPECT_EQ(compressed.representation().front(), 0x04);
}

TEST(VerificationKey, RefusesEveryKeyButAnRsaOrPrimeCurvePublicKey) {
  const auto& k = sharedTestKeys();
  struct Case {
    std::string name;
    std::function<VerificationKey()> make;
  };
  const Case cases[] = {
      {"RSA private key", [&] { return VerificationKey(k.rsa2048.privateKey()); }},
      {"EC private key", [&] { return VerificationKey(k.p256.privateKey()); }},
      {"DSA certificate", [] { return VerificationKey::fromCertificateDER(TestKey::dsa(1024).selfSignedCertificate()); }},
      {"Ed25519 certificate", [] { return VerificationKey::fromCertificateDER(TestKey::ed25519().selfSignedCertificate()); }},
      {"RSA-PSS certificate", [] { return VerificationKey::fromCertificateDER(TestKey::rsaPss(2048).selfSignedCertificate()); }},
      {"secp256k1 certificate",
       [] { return VerificationKey::fromCertificateDER(TestKey::ecOnNamedCurve("secp256k1").selfSignedCertificate()); }},
      {"brainpoolP256r1 key", [] { return VerificationKey(TestKey::ecOnNamedCurve("brainpoolP256r1").publicKey()); }},
      {"explicit-parameter EC certificate",
       [&] { return VerificationKey::fromCertificateDER(k.p256.withExplicitCurveParameters().selfSignedCertificate()); }},
      {"no key object", [] { return VerificationKey(platform::security::Key(nullptr)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorOf(c.make), SigningError::invalidPublicKey);
  }
}

TEST(VerificationKey, RefusesCertificateBytesThatAreNotOneCertificate) {
  const auto key = TestKey::ec(Curve::p256);
  const auto der = key.selfSignedCertificate();
  auto trailing = der;
  trailing.push_back(0x00);
  const Bytes versionField{0xA0, 0x03, 0x02, 0x01, 0x02};
  auto version = der;
  const auto at = std::search(version.begin(), version.end(), versionField.begin(), versionField.end());
  ASSERT_NE(at, version.end());
  at[4] = 0x03;  // v4
  // The point moved off the curve: the certificate reads, its key does not.
  const auto point = VerificationKey(key.publicKey()).representation();
  auto offCurve = der;
  const auto pointAt = std::search(offCurve.begin(), offCurve.end(), point.begin(), point.end());
  ASSERT_NE(pointAt, offCurve.end());
  pointAt[64] ^= 0x01;

  for (const auto& bytes : {trailing, version, offCurve, Bytes(der.begin(), der.end() - 1), Bytes{}, bytesOf("cert")}) {
    EXPECT_EQ(errorOf([&] { VerificationKey::fromCertificateDER(bytes); }), SigningError::invalidPublicKey);
  }
}

TEST(VerificationKey, SupportsTheAlgorithmsOfItsKindOnly) {
  const VerificationKey rsa(sharedTestKeys().rsa2048.publicKey());
  const VerificationKey ec(sharedTestKeys().p256.publicKey());
  for (const auto algorithm : SigningAlgorithm::allCases()) {
    SCOPED_TRACE(algorithm.rawValue());
    const bool isRsa = algorithm.keyKind() == SigningAlgorithm::KeyKind::rsa;
    EXPECT_EQ(rsa.supports(algorithm), isRsa);
    // ECDSA-SHA512 on P-256 included: the digest is truncated to the order.
    EXPECT_EQ(ec.supports(algorithm), !isRsa);
  }
}

TEST(VerificationKey, VerifiesEachAlgorithmOnEachKey) {
  const auto& k = sharedTestKeys();
  const auto message = bytesOf("document");
  for (const auto algorithm : SigningAlgorithm::allCases()) {
    const bool isRsa = algorithm.keyKind() == SigningAlgorithm::KeyKind::rsa;
    for (const auto* key : isRsa ? std::vector{&k.rsa2048, &k.rsa2047} : std::vector{&k.p256, &k.p384, &k.p521}) {
      const VerificationKey verificationKey(key->publicKey());
      SCOPED_TRACE(std::string(algorithm.rawValue()) + " " + std::to_string(verificationKey.sizeInBits()));
      const auto digest = digestFor(algorithm, message);
      const auto signature = key->sign(algorithm.securityAlgorithm(), digest);
      EXPECT_NO_THROW(verificationKey.verify(signature, digest, algorithm));
      // A copy is the same plain value and verifies the same.
      const auto copy = verificationKey;
      EXPECT_NO_THROW(copy.verify(signature, digest, algorithm));
    }
  }
}

TEST(VerificationKey, ChecksInOrderDigestLengthThenKindThenSignature) {
  const VerificationKey rsa(sharedTestKeys().rsa2048.publicKey());
  const VerificationKey ec(sharedTestKeys().p256.publicKey());
  const auto digest32 = sha256(bytesOf("m"));
  const auto digest48 = sha384(bytesOf("m"));
  const auto rsaSignature =
      sharedTestKeys().rsa2048.sign(SigningAlgorithm::rsaPKCS1SHA256.securityAlgorithm(), digest32);
  struct Case {
    std::string name;
    const VerificationKey& key;
    Bytes digest;
    SigningAlgorithm algorithm;
    SigningError expected;
  };
  const Case cases[] = {
      {"48-byte digest, ecdsaSHA256, RSA key", rsa, digest48, SigningAlgorithm::ecdsaSHA256,
       SigningError::invalidDigestLength(32, 48)},
      {"empty digest", ec, {}, SigningAlgorithm::ecdsaSHA384, SigningError::invalidDigestLength(48, 0)},
      {"RSA key with ecdsaSHA256", rsa, digest32, SigningAlgorithm::ecdsaSHA256, SigningError::algorithmKeyMismatch},
      {"EC key with rsaPKCS1SHA256", ec, digest32, SigningAlgorithm::rsaPKCS1SHA256, SigningError::algorithmKeyMismatch},
      {"RSA signature on the EC key", ec, digest32, SigningAlgorithm::ecdsaSHA256, SigningError::invalidSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorOf([&] { c.key.verify(rsaSignature, c.digest, c.algorithm); }), c.expected);
  }
}

// Each of these is a malformed or wrong signature that a verifier taking any non-zero library
// answer as success, or tolerating BER, would let through.
TEST(VerificationKey, RefusesEveryNearlyRightSignatureAsInvalid) {
  const auto& k = sharedTestKeys();
  const VerificationKey rsa(k.rsa2048.publicKey());
  const VerificationKey ec(k.p256.publicKey());
  const auto digest = sha256(bytesOf("document"));
  const auto ecdsa = k.p256.sign(SigningAlgorithm::ecdsaSHA256.securityAlgorithm(), digest);
  const auto rsaSignature = k.rsa2048.sign(SigningAlgorithm::rsaPKCS1SHA256.securityAlgorithm(), digest);
  const auto [zeroDigest, zeroSignature] = forms::rsaSignatureWithLeadingZero(k.rsa2048);
  ASSERT_NO_THROW(ec.verify(ecdsa, digest, SigningAlgorithm::ecdsaSHA256));
  ASSERT_NO_THROW(rsa.verify(rsaSignature, digest, SigningAlgorithm::rsaPKCS1SHA256));
  ASSERT_NO_THROW(rsa.verify(zeroSignature, zeroDigest, SigningAlgorithm::rsaPKCS1SHA256));

  auto flipped = [](Bytes bytes) {
    bytes[bytes.size() / 2] ^= 0x01;
    return bytes;
  };
  auto withTrailingByte = [](Bytes bytes) {
    bytes.push_back(0x00);
    return bytes;
  };
  auto withLeadingZero = [](const Bytes& bytes) {
    Bytes result{0x00};
    result.insert(result.end(), bytes.begin(), bytes.end());
    return result;
  };
  struct Case {
    std::string name;
    const VerificationKey& key;
    SigningAlgorithm algorithm;
    Bytes digest;
    Bytes signature;
  };
  const Case cases[] = {
      {"ECDSA with a BER long-form length", ec, SigningAlgorithm::ecdsaSHA256, digest, forms::ecdsaWithLongFormLength(ecdsa)},
      {"ECDSA with a trailing byte", ec, SigningAlgorithm::ecdsaSHA256, digest, withTrailingByte(ecdsa)},
      {"ECDSA as raw 64-byte r||s", ec, SigningAlgorithm::ecdsaSHA256, digest, forms::ecdsaAsRawPair(ecdsa, 32)},
      {"ECDSA with one byte flipped", ec, SigningAlgorithm::ecdsaSHA256, digest, flipped(ecdsa)},
      {"ECDSA over another digest", ec, SigningAlgorithm::ecdsaSHA256, flipped(digest), ecdsa},
      {"ECDSA empty", ec, SigningAlgorithm::ecdsaSHA256, digest, {}},
      {"RSA under the DigestInfo of SHA3-256", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest,
       forms::rsaSignatureNamingHash(k.rsa2048, "SHA3-256", digest)},
      {"RSA under the DigestInfo of SHA-512/256", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest,
       forms::rsaSignatureNamingHash(k.rsa2048, "SHA2-512/256", digest)},
      {"RSA with its leading 00 stripped", rsa, SigningAlgorithm::rsaPKCS1SHA256, zeroDigest,
       Bytes(zeroSignature.begin() + 1, zeroSignature.end())},
      {"RSA with an extra leading 00", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest, withLeadingZero(rsaSignature)},
      {"RSA with one byte flipped", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest, flipped(rsaSignature)},
      {"RSA with a trailing byte", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest, withTrailingByte(rsaSignature)},
      {"RSA over another digest", rsa, SigningAlgorithm::rsaPKCS1SHA256, flipped(digest), rsaSignature},
      {"RSA empty", rsa, SigningAlgorithm::rsaPKCS1SHA256, digest, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(errorOf([&] { c.key.verify(c.signature, c.digest, c.algorithm); }), SigningError::invalidSignature);
  }
}

}  // namespace
}  // namespace corvanta
