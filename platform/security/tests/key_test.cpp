#include "platform/security/key.hpp"

#include "platform/security/certificate.hpp"
#include "platform/security/digest.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/security/testing/signature_forms.hpp"
#include "platform/security/testing/test_key.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <string>

namespace platform::security {

void PrintTo(const KeyAttributes& attributes, std::ostream* out) {
  *out << (attributes.keyClass == KeyClass::publicKey ? "public " : "private ")
       << (attributes.keyType == KeyType::rsa ? "rsa " : attributes.keyType == KeyType::ecSECPrimeRandom ? "ec " : "other ")
       << attributes.sizeInBits;
}

namespace {

using testing::Curve;
using testing::TestKey;

// Key generation is the slow part of these tests; every test shares one key of each kind: the
// common ones, and the kinds that the layer must refuse.
struct SharedKeys : testing::SharedTestKeys {
  SharedKeys() : SharedTestKeys(testing::sharedTestKeys()) {}

  TestKey secp256k1 = TestKey::ecOnNamedCurve("secp256k1");
  TestKey ed25519 = TestKey::ed25519();
  TestKey dsa = TestKey::dsa(1024);
  TestKey rsaPss = TestKey::rsaPss(2048);
};

const SharedKeys& keys() {
  static const SharedKeys shared;
  return shared;
}

Key keyFromSpki(const Bytes& der) {
  auto key = Key::fromSubjectPublicKeyInfo(der);
  if (!key) throw std::runtime_error("SubjectPublicKeyInfo not accepted");
  return std::move(*key);
}

// --- attributes -------------------------------------------------------------------------------

TEST(KeyAttributes, ClassTypeAndSizeOfEachKind) {
  struct Case {
    std::string name;
    std::function<Key()> key;
    std::optional<KeyAttributes> expected;
  };
  const auto& k = keys();
  const Case cases[] = {
      {"RSA-2048", [&] { return k.rsa2048.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::rsa, 2048}},
      // The platform reports the modulus byte length, not its bit length.
      {"RSA-2047", [&] { return k.rsa2047.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::rsa, 2048}},
      {"RSA private", [&] { return k.rsa2048.privateKey(); },
       KeyAttributes{KeyClass::privateKey, KeyType::rsa, 2048}},
      {"P-256", [&] { return k.p256.publicKey(); },
       KeyAttributes{KeyClass::publicKey, KeyType::ecSECPrimeRandom, 256}},
      {"P-384", [&] { return k.p384.publicKey(); },
       KeyAttributes{KeyClass::publicKey, KeyType::ecSECPrimeRandom, 384}},
      {"P-521", [&] { return k.p521.publicKey(); },
       KeyAttributes{KeyClass::publicKey, KeyType::ecSECPrimeRandom, 521}},
      {"P-256 private", [&] { return k.p256.privateKey(); },
       KeyAttributes{KeyClass::privateKey, KeyType::ecSECPrimeRandom, 256}},
      {"P-256 compressed SPKI", [&] { return keyFromSpki(k.p256.withCompressedPoint().subjectPublicKeyInfo()); },
       KeyAttributes{KeyClass::publicKey, KeyType::ecSECPrimeRandom, 256}},
      // Explicit parameters are reported under the matching curve's name; they are still refused.
      {"P-256 explicit parameters",
       [&] { return keyFromSpki(k.p256.withExplicitCurveParameters().subjectPublicKeyInfo()); },
       KeyAttributes{KeyClass::publicKey, KeyType::other, 256}},
      {"secp256k1", [&] { return k.secp256k1.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::other, 256}},
      {"RSA-PSS", [&] { return k.rsaPss.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::other, 2048}},
      {"DSA", [&] { return k.dsa.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::other, 1024}},
      {"Ed25519", [&] { return k.ed25519.publicKey(); }, KeyAttributes{KeyClass::publicKey, KeyType::other, 256}},
      {"Ed25519 private", [&] { return k.ed25519.privateKey(); },
       KeyAttributes{KeyClass::privateKey, KeyType::other, 256}},
      {"no key object", [] { return Key(nullptr); }, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(copyAttributes(c.key()), c.expected);
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

// --- external representation ------------------------------------------------------------------

TEST(KeyRepresentation, RsaIsThePkcs1PublicKey) {
  const auto representation = copyExternalRepresentation(keys().rsa2048.publicKey());
  ASSERT_TRUE(representation);
  // SEQUENCE (266 bytes) { INTEGER n (257 bytes: a 00 before the high bit), INTEGER e }.
  ASSERT_EQ(representation->size(), 270u);
  EXPECT_EQ(Bytes(representation->begin(), representation->begin() + 9),
            (Bytes{0x30, 0x82, 0x01, 0x0A, 0x02, 0x82, 0x01, 0x01, 0x00}));
  EXPECT_EQ(Bytes(representation->end() - 5, representation->end()), (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));
}

TEST(KeyRepresentation, EllipticCurveIsTheUncompressedPointPaddedToTheFieldSize) {
  for (const auto* key : {&keys().p256, &keys().p384, &keys().p521}) {
    const auto attributes = copyAttributes(key->publicKey());
    ASSERT_TRUE(attributes);
    SCOPED_TRACE(attributes->sizeInBits);
    const auto representation = copyExternalRepresentation(key->publicKey());
    ASSERT_TRUE(representation);
    EXPECT_EQ(representation->size(), 1 + 2 * static_cast<std::size_t>((attributes->sizeInBits + 7) / 8));
    EXPECT_EQ(representation->front(), 0x04);
  }
}

TEST(KeyRepresentation, CompressedAndUncompressedPointGiveTheSameRepresentation) {
  const auto& key = keys().p256;
  const auto uncompressed = copyExternalRepresentation(keyFromSpki(key.subjectPublicKeyInfo()));
  const auto compressed = copyExternalRepresentation(keyFromSpki(key.withCompressedPoint().subjectPublicKeyInfo()));
  ASSERT_TRUE(uncompressed);
  ASSERT_TRUE(compressed);
  EXPECT_EQ(*compressed, *uncompressed);
  EXPECT_EQ(sha256(*compressed), sha256(*uncompressed));
}

TEST(KeyRepresentation, NoneForKeysWithoutOne) {
  const auto& k = keys();
  EXPECT_FALSE(copyExternalRepresentation(k.rsa2048.privateKey()));
  EXPECT_FALSE(copyExternalRepresentation(k.p256.privateKey()));
  EXPECT_FALSE(copyExternalRepresentation(k.secp256k1.publicKey()));
  EXPECT_FALSE(copyExternalRepresentation(keyFromSpki(k.p256.withExplicitCurveParameters().subjectPublicKeyInfo())));
  EXPECT_FALSE(copyExternalRepresentation(k.rsaPss.publicKey()));
  EXPECT_FALSE(copyExternalRepresentation(k.dsa.publicKey()));
  EXPECT_FALSE(copyExternalRepresentation(k.ed25519.publicKey()));
  EXPECT_FALSE(copyExternalRepresentation(Key(nullptr)));
}

// --- SubjectPublicKeyInfo ---------------------------------------------------------------------

TEST(KeyFromSubjectPublicKeyInfo, OnlyExactlyOneDerElement) {
  const auto spki = keys().p256.subjectPublicKeyInfo();
  EXPECT_TRUE(Key::fromSubjectPublicKeyInfo(spki));

  auto trailing = spki;
  trailing.push_back(0x00);
  auto truncated = spki;
  truncated.pop_back();
  // The same structure with the outer length in a padded long form (89 → 81 59).
  ASSERT_EQ(spki[1], 0x59);
  Bytes paddedLength{0x30, 0x81};
  paddedLength.insert(paddedLength.end(), spki.begin() + 1, spki.end());
  for (const auto& bytes : {trailing, truncated, paddedLength, Bytes{}, Bytes{0x30, 0x00}}) {
    EXPECT_FALSE(Key::fromSubjectPublicKeyInfo(bytes));
  }
  EXPECT_EQ(ERR_peek_error(), 0u);
}

// --- rebuilding from the representation -------------------------------------------------------

Bytes representationOf(const TestKey& key) {
  auto representation = copyExternalRepresentation(key.publicKey());
  if (!representation) throw std::runtime_error("no representation");
  return *representation;
}

TEST(KeyCreateWithData, RebuildsTheSameKey) {
  const auto& k = keys();
  for (const auto* key : {&k.rsa2048, &k.rsa2047, &k.p256, &k.p384, &k.p521}) {
    const auto attributes = copyAttributes(key->publicKey());
    ASSERT_TRUE(attributes);
    const auto rebuilt = createKeyWithData(representationOf(*key), *attributes);
    ASSERT_TRUE(rebuilt);
    EXPECT_EQ(EVP_PKEY_eq(rebuilt->native(), key->native()), 1);
    EXPECT_EQ(copyAttributes(*rebuilt), attributes);
    EXPECT_EQ(copyExternalRepresentation(*rebuilt), representationOf(*key));
  }
}

TEST(KeyCreateWithData, RefusesDataThatDoNotMakeTheKey) {
  const auto& k = keys();
  const KeyAttributes rsa{KeyClass::publicKey, KeyType::rsa, 2048};
  const KeyAttributes p256{KeyClass::publicKey, KeyType::ecSECPrimeRandom, 256};
  const auto rsaData = representationOf(k.rsa2048);
  const auto point = representationOf(k.p256);

  auto withByte = [](Bytes bytes, std::uint8_t byte) {
    bytes.push_back(byte);
    return bytes;
  };
  auto withFirst = [](Bytes bytes, std::uint8_t byte) {
    bytes[0] = byte;
    return bytes;
  };
  auto offCurve = point;
  offCurve.back() ^= 0x01;
  // The compressed form of the same point: 02 or 03 by the parity of Y, then X.
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = (point.back() & 1) ? 0x03 : 0x02;
  Bytes rsaPaddedLength{0x30, 0x83, 0x00};
  rsaPaddedLength.insert(rsaPaddedLength.end(), rsaData.begin() + 2, rsaData.end());

  struct Case {
    std::string name;
    Bytes data;
    KeyAttributes attributes;
  };
  const Case cases[] = {
      {"RSA with a trailing byte", withByte(rsaData, 0x00), rsa},
      {"RSA with a padded length", rsaPaddedLength, rsa},
      {"RSA truncated", Bytes(rsaData.begin(), rsaData.end() - 1), rsa},
      {"RSA as a private key", rsaData, {KeyClass::privateKey, KeyType::rsa, 2048}},
      {"RSA data as an elliptic-curve key", rsaData, {KeyClass::publicKey, KeyType::ecSECPrimeRandom, 256}},
      {"RSA data of another type", rsaData, {KeyClass::publicKey, KeyType::other, 2048}},
      {"the P-256 point as RSA", point, rsa},
      {"point off the curve", offCurve, p256},
      {"point with a trailing byte", withByte(point, 0x00), p256},
      {"point one byte short", Bytes(point.begin(), point.end() - 1), p256},
      {"compressed point", compressed, p256},
      {"hybrid prefix 06", withFirst(point, 0x06), p256},
      {"prefix 00", withFirst(point, 0x00), p256},
      {"P-256 point under size 384", point, {KeyClass::publicKey, KeyType::ecSECPrimeRandom, 384}},
      {"P-256 point under size 224", point, {KeyClass::publicKey, KeyType::ecSECPrimeRandom, 224}},
      {"P-384 point under size 256", representationOf(k.p384), p256},
      {"point as a private key", point, {KeyClass::privateKey, KeyType::ecSECPrimeRandom, 256}},
      {"empty", {}, p256},
      {"empty RSA", {}, rsa},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(createKeyWithData(c.data, c.attributes));
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

// An element in DER with the shortest length form; the content is taken as given.
Bytes derElement(std::uint8_t tag, const Bytes& content) {
  Bytes bytes{tag};
  const auto size = content.size();
  if (size >= 0x100) bytes.insert(bytes.end(), {0x82, static_cast<std::uint8_t>(size >> 8)});
  if (size >= 0x80 && size < 0x100) bytes.push_back(0x81);
  bytes.push_back(static_cast<std::uint8_t>(size));
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

Bytes concatenated(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

Bytes rsaPublicKeyWith(const Bytes& modulusContent, const Bytes& exponentContent) {
  return derElement(0x30, concatenated(derElement(0x02, modulusContent), derElement(0x02, exponentContent)));
}

Bytes rsaSubjectPublicKeyInfoAround(const Bytes& rsaPublicKey) {
  const Bytes rsaEncryption{0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  return derElement(0x30, concatenated(rsaEncryption, derElement(0x03, concatenated({0x00}, rsaPublicKey))));
}

// The library reads an RSA key whose INTEGERs only BER allows, and takes a negative modulus for
// its magnitude: the key it gives is not the one the bytes say.
TEST(KeyRsaIntegers, OnlyTheirDerFormMakesAKey) {
  const auto canonical = representationOf(keys().rsa2048);
  // 30 82 01 0A 02 82 01 01 00 <modulus, 256 bytes, high bit set> 02 03 01 00 01
  const Bytes modulus(canonical.begin() + 9, canonical.begin() + 9 + 256);
  const Bytes exponent{0x01, 0x00, 0x01};
  ASSERT_EQ(rsaPublicKeyWith(concatenated({0x00}, modulus), exponent), canonical);
  ASSERT_EQ(rsaSubjectPublicKeyInfoAround(canonical), keys().rsa2048.subjectPublicKeyInfo());
  const KeyAttributes rsa{KeyClass::publicKey, KeyType::rsa, 2048};
  EXPECT_TRUE(Key::fromSubjectPublicKeyInfo(rsaSubjectPublicKeyInfoAround(canonical)));
  EXPECT_TRUE(createKeyWithData(canonical, rsa));

  struct Case {
    std::string name;
    Bytes rsaPublicKey;
  };
  const Case cases[] = {
      {"modulus with a redundant 00", rsaPublicKeyWith(concatenated({0x00, 0x00}, modulus), exponent)},
      {"negative modulus", rsaPublicKeyWith(modulus, exponent)},
      {"exponent with a redundant 00", rsaPublicKeyWith(concatenated({0x00}, modulus), {0x00, 0x01, 0x00, 0x01})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto spki = rsaSubjectPublicKeyInfoAround(c.rsaPublicKey);
    const unsigned char* cursor = spki.data();
    const PkeyPointer lenient(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(spki.size())));
    ASSERT_TRUE(lenient);
    EXPECT_FALSE(Key::fromSubjectPublicKeyInfo(spki));
    EXPECT_FALSE(createKeyWithData(c.rsaPublicKey, rsa));
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

// --- algorithm support ------------------------------------------------------------------------

TEST(KeyAlgorithmSupport, ByAlgorithmFamilyOnly) {
  const auto& k = keys();
  const auto rsa = k.rsa2048.publicKey();
  const auto ec = k.p256.publicKey();
  for (const auto algorithm : {keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384,
                               keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512}) {
    SCOPED_TRACE(algorithm);
    EXPECT_TRUE(isAlgorithmSupportedForVerification(rsa, algorithm));
    EXPECT_FALSE(isAlgorithmSupportedForVerification(ec, algorithm));
  }
  for (const auto algorithm : {keyAlgorithm::ecdsaSignatureDigestX962SHA256, keyAlgorithm::ecdsaSignatureDigestX962SHA384,
                               keyAlgorithm::ecdsaSignatureDigestX962SHA512}) {
    SCOPED_TRACE(algorithm);
    EXPECT_TRUE(isAlgorithmSupportedForVerification(ec, algorithm));
    EXPECT_FALSE(isAlgorithmSupportedForVerification(rsa, algorithm));
  }
  const KeyAlgorithm refused[] = {
      keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, keyAlgorithm::ecdsaSignatureMessageX962SHA256,
      "algid:sign:RSA:digest-PKCS1v15:SHA1", "algid:sign:RSA:digest-PKCS1v15:sha256", "", "rsaPKCS1SHA256"};
  for (const auto algorithm : refused) {
    SCOPED_TRACE(algorithm);
    EXPECT_FALSE(isAlgorithmSupportedForVerification(rsa, algorithm));
    EXPECT_FALSE(isAlgorithmSupportedForVerification(ec, algorithm));
  }
  EXPECT_FALSE(isAlgorithmSupportedForVerification(k.rsa2048.privateKey(), keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256));
  EXPECT_FALSE(isAlgorithmSupportedForVerification(k.secp256k1.publicKey(), keyAlgorithm::ecdsaSignatureDigestX962SHA256));
  EXPECT_FALSE(isAlgorithmSupportedForVerification(k.rsaPss.publicKey(), keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256));
}

// --- verification -----------------------------------------------------------------------------

TEST(KeyVerifySignature, EveryDigestAlgorithmOnEveryCurve) {
  const auto& k = keys();
  const auto message = bytesOf("corvanta");
  struct Case {
    const TestKey& key;
    KeyAlgorithm algorithm;
    Bytes digest;
  };
  const Case cases[] = {
      {k.rsa2048, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, sha256(message)},
      {k.rsa2048, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384, sha384(message)},
      {k.rsa2048, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512, sha512(message)},
      {k.rsa2047, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, sha256(message)},
      {k.p256, keyAlgorithm::ecdsaSignatureDigestX962SHA256, sha256(message)},
      // A digest longer than the order is truncated, as the platform does.
      {k.p256, keyAlgorithm::ecdsaSignatureDigestX962SHA512, sha512(message)},
      {k.p384, keyAlgorithm::ecdsaSignatureDigestX962SHA384, sha384(message)},
      {k.p521, keyAlgorithm::ecdsaSignatureDigestX962SHA512, sha512(message)},
      {k.p521, keyAlgorithm::ecdsaSignatureDigestX962SHA256, sha256(message)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algorithm);
    const auto signature = c.key.sign(c.algorithm, c.digest);
    EXPECT_TRUE(verifySignature(c.key.publicKey(), c.algorithm, c.digest, signature));
  }
}

TEST(KeyVerifySignature, EveryMalformedOrWrongSignatureIsRefused) {
  const auto& k = keys();
  const auto digest = sha256(bytesOf("corvanta"));
  const auto ecdsa = k.p256.sign(keyAlgorithm::ecdsaSignatureDigestX962SHA256, digest);
  const auto rsa = k.rsa2048.sign(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest);
  ASSERT_TRUE(verifySignature(k.p256.publicKey(), keyAlgorithm::ecdsaSignatureDigestX962SHA256, digest, ecdsa));
  ASSERT_TRUE(verifySignature(k.rsa2048.publicKey(), keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest, rsa));

  const auto ecdsaLongFormLength = testing::ecdsaWithLongFormLength(ecdsa);
  auto ecdsaTrailing = ecdsa;
  ecdsaTrailing.push_back(0x00);
  const auto ecdsaRaw = testing::ecdsaAsRawPair(ecdsa, 32);
  auto ecdsaFlipped = ecdsa;
  ecdsaFlipped[ecdsa.size() / 2] ^= 0x01;
  auto rsaFlipped = rsa;
  rsaFlipped[rsa.size() / 2] ^= 0x01;
  Bytes rsaExtraZero{0x00};
  rsaExtraZero.insert(rsaExtraZero.end(), rsa.begin(), rsa.end());
  const auto [zeroDigest, zeroSignature] = testing::rsaSignatureWithLeadingZero(k.rsa2048);
  ASSERT_TRUE(
      verifySignature(k.rsa2048.publicKey(), keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, zeroDigest, zeroSignature));
  const Bytes rsaStrippedZero(zeroSignature.begin() + 1, zeroSignature.end());
  auto otherDigest = digest;
  otherDigest[0] ^= 0x01;

  struct Case {
    std::string name;
    const TestKey& key;
    KeyAlgorithm algorithm;
    Bytes digest;
    Bytes signature;
  };
  const auto ecdsa256 = keyAlgorithm::ecdsaSignatureDigestX962SHA256;
  const auto rsa256 = keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256;
  const Case cases[] = {
      {"ECDSA with a long-form DER length", k.p256, ecdsa256, digest, ecdsaLongFormLength},
      {"ECDSA with a trailing byte", k.p256, ecdsa256, digest, ecdsaTrailing},
      {"ECDSA as raw r||s", k.p256, ecdsa256, digest, ecdsaRaw},
      {"ECDSA with one byte flipped", k.p256, ecdsa256, digest, ecdsaFlipped},
      {"ECDSA over another digest", k.p256, ecdsa256, otherDigest, ecdsa},
      {"ECDSA empty", k.p256, ecdsa256, digest, {}},
      {"ECDSA under another key", k.p384, keyAlgorithm::ecdsaSignatureDigestX962SHA256, digest, ecdsa},
      {"ECDSA with a 48-byte digest under SHA-256", k.p256, ecdsa256, sha384(bytesOf("corvanta")),
       k.p256.sign(keyAlgorithm::ecdsaSignatureDigestX962SHA384, sha384(bytesOf("corvanta")))},
      {"ECDSA signature under the RSA algorithm", k.p256, rsa256, digest, ecdsa},
      {"ECDSA under a message algorithm", k.p256, keyAlgorithm::ecdsaSignatureMessageX962SHA256, digest, ecdsa},
      {"RSA with one byte flipped", k.rsa2048, rsa256, digest, rsaFlipped},
      {"RSA with an extra leading 00", k.rsa2048, rsa256, digest, rsaExtraZero},
      {"RSA with its leading 00 stripped", k.rsa2048, rsa256, zeroDigest, rsaStrippedZero},
      {"RSA with the DigestInfo of SHA3-256", k.rsa2048, rsa256, digest,
       testing::rsaSignatureNamingHash(k.rsa2048, "SHA3-256", digest)},
      {"RSA signature checked under SHA-384", k.rsa2048, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384, digest, rsa},
      {"RSA over another digest", k.rsa2048, rsa256, otherDigest, rsa},
      {"RSA under the ECDSA algorithm", k.rsa2048, ecdsa256, digest, rsa},
      {"RSA under a message algorithm", k.rsa2048, keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, digest, rsa},
      {"RSA empty", k.rsa2048, rsa256, digest, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(verifySignature(c.key.publicKey(), c.algorithm, c.digest, c.signature));
    EXPECT_EQ(ERR_peek_error(), 0u);
  }
}

TEST(KeyVerifySignature, KeysOutsideTheSupportedOnesVerifyNothing) {
  const auto& k = keys();
  const auto digest = sha256(bytesOf("corvanta"));
  const auto ecdsa256 = keyAlgorithm::ecdsaSignatureDigestX962SHA256;
  const auto onK1 = k.secp256k1.sign(ecdsa256, digest);
  const auto explicitKey = keyFromSpki(k.p256.withExplicitCurveParameters().subjectPublicKeyInfo());
  const auto onP256 = k.p256.sign(ecdsa256, digest);
  const auto rsa = k.rsa2048.sign(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest);
  // Each signature is right for its key; only the key is not one the layer takes.
  EXPECT_FALSE(verifySignature(k.secp256k1.publicKey(), ecdsa256, digest, onK1));
  EXPECT_FALSE(verifySignature(explicitKey, ecdsa256, digest, onP256));
  EXPECT_FALSE(verifySignature(k.p256.privateKey(), ecdsa256, digest, onP256));
  EXPECT_FALSE(verifySignature(k.rsa2048.privateKey(), keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, digest, rsa));
  EXPECT_FALSE(verifySignature(Key(nullptr), ecdsa256, digest, onP256));
  EXPECT_TRUE(verifySignature(k.p256.publicKey(), ecdsa256, digest, onP256));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

TEST(KeyVerifySignature, LibraryAnswersMinusOneForMalformedEcdsa) {
  // Shows why only 1 may count: this is the answer a truth test would have taken as valid.
  const auto& key = keys().p256;
  const auto digest = sha256(bytesOf("corvanta"));
  auto signature = key.sign(keyAlgorithm::ecdsaSignatureDigestX962SHA256, digest);
  signature.push_back(0x00);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(key.native()), nullptr), EVP_PKEY_CTX_free);
  ASSERT_EQ(EVP_PKEY_verify_init(context.get()), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()), 1);
  EXPECT_EQ(EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()), -1);
  ERR_clear_error();
  EXPECT_FALSE(verifySignature(key.publicKey(), keyAlgorithm::ecdsaSignatureDigestX962SHA256, digest, signature));
}

}  // namespace
}  // namespace platform::security
