#include "platform/security/testing/test_key.hpp"

#include "platform/security/key_algorithm_table.hpp"
#include "platform/security/openssl_handles.hpp"

#include <openssl/core_names.h>
#include <openssl/dsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace platform::security::testing {
namespace {

using detail::FreeWith;
using detail::PkeyContextPointer;
using X509Owner = std::unique_ptr<X509, FreeWith<X509, X509_free>>;
using ExtensionOwner = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION, X509_EXTENSION_free>>;

[[noreturn]] void fail(const std::string& what) {
  ERR_clear_error();
  throw std::runtime_error("test key: " + what);
}

PkeyPointer owned(EVP_PKEY* key, const std::string& what) {
  if (key == nullptr) fail(what);
  return PkeyPointer(key);
}

// The library's signing calls take a mutable key although they do not change it.
EVP_PKEY* mutableKey(const EVP_PKEY* key) { return const_cast<EVP_PKEY*>(key); }

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  ExtensionOwner extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  if (!extension || X509_add_ext(certificate, extension.get(), -1) != 1) fail("certificate extension");
}

void setTime(ASN1_TIME* field, std::chrono::system_clock::time_point time) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
  if (ASN1_TIME_set(field, static_cast<time_t>(seconds)) == nullptr) fail("certificate time");
}

}  // namespace

TestKey::TestKey(PkeyPointer key) : key_(std::move(key)) {}

TestKey::TestKey(const TestKey& other) : key_(nullptr) { *this = other; }

TestKey& TestKey::operator=(const TestKey& other) {
  if (this != &other) {
    if (EVP_PKEY_up_ref(mutableKey(other.native())) != 1) fail("up-ref");
    key_.reset(mutableKey(other.native()));
  }
  return *this;
}

TestKey TestKey::rsa(int bits) {
  return TestKey(owned(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)), "RSA keygen"));
}

TestKey TestKey::rsaPss(int bits) {
  PkeyContextPointer context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr));
  EVP_PKEY* key = nullptr;
  if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(context.get(), bits) != 1 || EVP_PKEY_keygen(context.get(), &key) != 1) {
    fail("RSA-PSS keygen");
  }
  return TestKey(PkeyPointer(key));
}

TestKey TestKey::ec(Curve curve) {
  switch (curve) {
    case Curve::p256: return ecOnNamedCurve("prime256v1");
    case Curve::p384: return ecOnNamedCurve("secp384r1");
    case Curve::p521: break;
  }
  return ecOnNamedCurve("secp521r1");
}

TestKey TestKey::ecOnNamedCurve(std::string_view groupName) {
  const std::string name(groupName);
  return TestKey(owned(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", name.c_str()), "EC keygen on " + name));
}

TestKey TestKey::ed25519() {
  return TestKey(owned(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"), "Ed25519 keygen"));
}

TestKey TestKey::dsa(int bits) {
  PkeyContextPointer paramContext(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
  EVP_PKEY* rawParameters = nullptr;
  if (!paramContext || EVP_PKEY_paramgen_init(paramContext.get()) != 1 ||
      EVP_PKEY_CTX_set_dsa_paramgen_bits(paramContext.get(), bits) != 1 ||
      EVP_PKEY_paramgen(paramContext.get(), &rawParameters) != 1) {
    fail("DSA parameters");
  }
  const PkeyPointer parameters(rawParameters);
  PkeyContextPointer keyContext(EVP_PKEY_CTX_new_from_pkey(nullptr, parameters.get(), nullptr));
  EVP_PKEY* key = nullptr;
  if (!keyContext || EVP_PKEY_keygen_init(keyContext.get()) != 1 || EVP_PKEY_keygen(keyContext.get(), &key) != 1) {
    fail("DSA keygen");
  }
  return TestKey(PkeyPointer(key));
}

TestKey TestKey::withCompressedPoint() const {
  PkeyPointer copy(EVP_PKEY_dup(mutableKey(native())));
  if (!copy || EVP_PKEY_set_utf8_string_param(copy.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                              OSSL_PKEY_EC_POINT_CONVERSION_FORMAT_COMPRESSED) != 1) {
    fail("compressed point");
  }
  return TestKey(std::move(copy));
}

TestKey TestKey::withExplicitCurveParameters() const {
  PkeyPointer copy(EVP_PKEY_dup(mutableKey(native())));
  if (!copy ||
      EVP_PKEY_set_utf8_string_param(copy.get(), OSSL_PKEY_PARAM_EC_ENCODING, OSSL_PKEY_EC_ENCODING_EXPLICIT) != 1) {
    fail("explicit curve parameters");
  }
  return TestKey(std::move(copy));
}

Bytes TestKey::subjectPublicKeyInfo() const {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(native(), &der);
  if (length <= 0) fail("SubjectPublicKeyInfo");
  Bytes result(der, der + length);
  OPENSSL_free(der);
  return result;
}

Key TestKey::publicKey() const {
  const auto der = subjectPublicKeyInfo();
  const unsigned char* cursor = der.data();
  return Key(owned(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())), "public key"));
}

Key TestKey::privateKey() const {
  if (EVP_PKEY_up_ref(mutableKey(native())) != 1) fail("up-ref");
  return Key(PkeyPointer(mutableKey(native())));
}

Bytes TestKey::sign(KeyAlgorithm algorithm, ByteView digest) const {
  const auto entry = detail::findDigestAlgorithm(algorithm);
  if (!entry) fail("not a digest algorithm: " + std::string(algorithm));
  if (EVP_PKEY_get_id(native()) != entry->keyType) fail("key does not match " + std::string(algorithm));
  PkeyContextPointer context(EVP_PKEY_CTX_new_from_pkey(nullptr, mutableKey(native()), nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) != 1) fail("sign init");
  if (entry->keyType == EVP_PKEY_RSA && EVP_PKEY_CTX_set_rsa_padding(context.get(), entry->padding) != 1) {
    fail("RSA padding");
  }
  if (EVP_PKEY_CTX_set_signature_md(context.get(), entry->md()) != 1) fail("signature hash");
  std::size_t length = 0;
  if (EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1) fail("signature size");
  Bytes signature(length);
  if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1) fail("sign");
  signature.resize(length);
  return signature;
}

Bytes TestKey::selfSignedCertificate(const CertificateOptions& options) const {
  X509Owner certificate(X509_new());
  if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), options.serialNumber) != 1) {
    fail("certificate");
  }
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  if (X509_NAME_add_entry_by_NID(subject, NID_commonName, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(options.commonName.c_str()),
                                 static_cast<int>(options.commonName.size()), -1, 0) != 1 ||
      X509_set_issuer_name(certificate.get(), subject) != 1) {
    fail("certificate name");
  }
  setTime(X509_getm_notBefore(certificate.get()), options.notBefore);
  setTime(X509_getm_notAfter(certificate.get()), options.notAfter);
  if (X509_set_pubkey(certificate.get(), mutableKey(native())) != 1) fail("certificate key");
  if (options.digitalSignature) addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature");
  if (options.clientAuth) addExtension(certificate.get(), NID_ext_key_usage, "clientAuth");
  const EVP_MD* md = EVP_PKEY_get_id(native()) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
  if (X509_sign(certificate.get(), mutableKey(native()), md) <= 0) fail("certificate signature");

  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate.get(), &der);
  if (length <= 0) fail("certificate DER");
  Bytes result(der, der + length);
  OPENSSL_free(der);
  return result;
}

}  // namespace platform::security::testing
