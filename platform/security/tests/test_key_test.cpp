#include "platform/security/testing/test_key.hpp"

#include "platform/security/digest.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// The test-support keys are the ground the other modules' tests stand on; these checks use the
// library directly so that a fault in the layer under test cannot hide one here.
namespace platform::security::testing {
namespace {

using namespace std::chrono_literals;

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

std::unique_ptr<X509, X509Free> decode(const Bytes& der) {
  const unsigned char* cursor = der.data();
  std::unique_ptr<X509, X509Free> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  EXPECT_EQ(cursor, der.data() + der.size());
  return certificate;
}

bool libraryVerifies(const TestKey& key, const EVP_MD* md, const Bytes& digest, const Bytes& signature) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
      EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(key.native()), nullptr), EVP_PKEY_CTX_free);
  if (EVP_PKEY_verify_init(context.get()) != 1) return false;
  if (EVP_PKEY_get_id(key.native()) == EVP_PKEY_RSA &&
      EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
    return false;
  }
  return EVP_PKEY_CTX_set_signature_md(context.get(), md) == 1 &&
         EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

TEST(TestKey, SignsEveryDigestAlgorithmOfItsFamily) {
  const auto rsa = TestKey::rsa(2048);
  const auto ec = TestKey::ec(Curve::p384);
  const auto message = bytesOf("message");
  struct Case {
    const TestKey& key;
    KeyAlgorithm algorithm;
    Bytes digest;
    const EVP_MD* md;
  };
  const Case cases[] = {
      {rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, sha256(message), EVP_sha256()},
      {rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384, sha384(message), EVP_sha384()},
      {rsa, keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512, sha512(message), EVP_sha512()},
      {ec, keyAlgorithm::ecdsaSignatureDigestX962SHA256, sha256(message), EVP_sha256()},
      {ec, keyAlgorithm::ecdsaSignatureDigestX962SHA384, sha384(message), EVP_sha384()},
      {ec, keyAlgorithm::ecdsaSignatureDigestX962SHA512, sha512(message), EVP_sha512()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.algorithm);
    const auto signature = c.key.sign(c.algorithm, c.digest);
    EXPECT_TRUE(libraryVerifies(c.key, c.md, c.digest, signature));
    auto other = c.digest;
    other[0] ^= 1;
    EXPECT_FALSE(libraryVerifies(c.key, c.md, other, signature));
  }
  EXPECT_EQ(rsa.sign(keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256, sha256(message)).size(), 256u);
}

TEST(TestKey, RefusesToSignOutsideItsFamilyOrWithAMessageAlgorithm) {
  const auto rsa = TestKey::rsa(2048);
  EXPECT_THROW(rsa.sign(keyAlgorithm::ecdsaSignatureDigestX962SHA256, sha256(bytesOf("m"))), std::runtime_error);
  EXPECT_THROW(rsa.sign(keyAlgorithm::rsaSignatureMessagePKCS1v15SHA256, bytesOf("m")), std::runtime_error);
}

TEST(TestKey, PublicKeyHasNoPrivatePartsAndPrivateKeyHas) {
  const auto key = TestKey::ec(Curve::p256);
  BIGNUM* secret = nullptr;
  EXPECT_NE(EVP_PKEY_get_bn_param(key.publicKey().native(), "priv", &secret), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(key.privateKey().native(), "priv", &secret), 1);
  BN_clear_free(secret);
  EXPECT_EQ(EVP_PKEY_eq(key.publicKey().native(), key.native()), 1);
}

TEST(TestKey, KindsOfKeys) {
  EXPECT_EQ(EVP_PKEY_get_bits(TestKey::rsa(2047).native()), 2047);
  EXPECT_EQ(EVP_PKEY_get_bits(TestKey::ec(Curve::p521).native()), 521);
  EXPECT_EQ(EVP_PKEY_get_id(TestKey::ed25519().native()), EVP_PKEY_ED25519);
  EXPECT_EQ(EVP_PKEY_get_id(TestKey::rsaPss(2048).native()), EVP_PKEY_RSA_PSS);
  EXPECT_EQ(EVP_PKEY_get_id(TestKey::dsa(1024).native()), EVP_PKEY_DSA);
  EXPECT_TRUE(EVP_PKEY_is_a(TestKey::ecOnNamedCurve("secp256k1").native(), "EC"));
}

TEST(TestKey, SelfSignedCertificateCarriesTheOptions) {
  const auto key = TestKey::rsa(2048);
  CertificateOptions options;
  options.commonName = "Ana Pop";
  options.notBefore = std::chrono::sys_days{std::chrono::year{2030} / 1 / 2};
  options.notAfter = std::chrono::sys_days{std::chrono::year{2060} / 3 / 4} + 5h;
  options.serialNumber = 4242;
  options.digitalSignature = true;
  options.clientAuth = true;
  const auto certificate = decode(key.selfSignedCertificate(options));
  ASSERT_TRUE(certificate);

  EXPECT_EQ(X509_get_version(certificate.get()), X509_VERSION_3);
  EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(certificate.get())), 4242);
  char name[64] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(certificate.get()), NID_commonName, name, sizeof name);
  EXPECT_STREQ(name, "Ana Pop");
  EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate.get()), X509_get_issuer_name(certificate.get())), 0);
  EXPECT_EQ(ASN1_TIME_cmp_time_t(X509_get0_notBefore(certificate.get()), 1893542400), 0);  // 2030-01-02
  EXPECT_EQ(ASN1_TIME_cmp_time_t(X509_get0_notAfter(certificate.get()), 2845602000), 0);   // 2060-03-04 05:00
  EXPECT_EQ(X509_get_key_usage(certificate.get()), static_cast<std::uint32_t>(KU_DIGITAL_SIGNATURE));
  EXPECT_EQ(X509_get_extended_key_usage(certificate.get()), static_cast<std::uint32_t>(XKU_SSL_CLIENT));
  EXPECT_EQ(X509_verify(certificate.get(), const_cast<EVP_PKEY*>(key.native())), 1);
  EXPECT_EQ(EVP_PKEY_eq(X509_get0_pubkey(certificate.get()), key.native()), 1);
}

TEST(TestKey, CertificateWithoutUsagesByDefault) {
  const auto certificate = decode(TestKey::ec(Curve::p256).selfSignedCertificate());
  ASSERT_TRUE(certificate);
  EXPECT_EQ(X509_get_extension_flags(certificate.get()) & (EXFLAG_KUSAGE | EXFLAG_XKUSAGE), 0u);
  EXPECT_LT(ASN1_TIME_cmp_time_t(X509_get0_notBefore(certificate.get()), time(nullptr)), 0);
  EXPECT_GT(ASN1_TIME_cmp_time_t(X509_get0_notAfter(certificate.get()), time(nullptr)), 0);
}

TEST(TestKey, PointFormsOfTheSameKey) {
  const auto key = TestKey::ec(Curve::p256);
  const auto spkiSize = key.subjectPublicKeyInfo().size();
  EXPECT_EQ(key.withCompressedPoint().subjectPublicKeyInfo().size(), spkiSize - 32);
  EXPECT_GT(key.withExplicitCurveParameters().subjectPublicKeyInfo().size(), spkiSize + 100);
  EXPECT_EQ(EVP_PKEY_eq(key.withCompressedPoint().native(), key.native()), 1);
  const auto certificate = decode(key.withCompressedPoint().selfSignedCertificate());
  ASSERT_TRUE(certificate);
  EXPECT_EQ(X509_verify(certificate.get(), const_cast<EVP_PKEY*>(key.native())), 1);
}

}  // namespace
}  // namespace platform::security::testing
