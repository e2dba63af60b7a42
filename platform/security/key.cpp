#include "platform/security/key.hpp"

#include "platform/security/der_structure.hpp"
#include "platform/security/key_algorithm_table.hpp"
#include "platform/security/openssl_handles.hpp"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string_view>

namespace platform::security {
namespace {

using detail::ErrorQueueScope;
using detail::PkeyContextPointer;
using SubjectPublicKeyInfoPointer = std::unique_ptr<X509_PUBKEY, detail::FreeWith<X509_PUBKEY, X509_PUBKEY_free>>;

struct ClearingBignumFree {
  void operator()(BIGNUM* number) const noexcept { BN_clear_free(number); }
};
using SecretBignumPointer = std::unique_ptr<BIGNUM, ClearingBignumFree>;

// The library's operation contexts take a mutable key although they leave it unchanged; they
// hold their own reference to it.
EVP_PKEY* mutableKey(const EVP_PKEY* key) { return const_cast<EVP_PKEY*>(key); }

std::optional<long> derLength(ByteView bytes) {
  if (bytes.empty() || bytes.size() > static_cast<std::size_t>(LONG_MAX)) return std::nullopt;
  return static_cast<long>(bytes.size());
}

bool hasBignumParameter(const EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  const bool present = EVP_PKEY_get_bn_param(key, name, &raw) == 1;
  SecretBignumPointer owned(raw);
  return present && owned != nullptr;
}

bool hasPrivateParts(const EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_RSA:
    case EVP_PKEY_RSA_PSS: return hasBignumParameter(key, OSSL_PKEY_PARAM_RSA_D);
    default: break;
  }
  if (hasBignumParameter(key, OSSL_PKEY_PARAM_PRIV_KEY)) return true;
  std::size_t length = 0;
  // Keys such as Ed25519 hold their private part as an octet string.
  return EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PRIV_KEY, nullptr, 0, &length) == 1 && length > 0;
}

std::optional<std::string> utf8Parameter(const EVP_PKEY* key, const char* name) {
  std::array<char, 64> buffer{};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, name, buffer.data(), buffer.size(), &length) != 1) return std::nullopt;
  return std::string(buffer.data(), length);
}

struct NamedCurve {
  std::string_view groupName;
  int sizeInBits;
};

// The elliptic curves the platform calls "EC SEC prime random". It rebuilds a key from its point
// length alone, which is unambiguous only among these three.
constexpr std::array<NamedCurve, 3> primeRandomCurves{{
    {"prime256v1", 256},
    {"secp384r1", 384},
    {"secp521r1", 521},
}};

std::optional<NamedCurve> primeRandomCurveOf(const EVP_PKEY* key) {
  const auto group = utf8Parameter(key, OSSL_PKEY_PARAM_GROUP_NAME);
  const auto encoding = utf8Parameter(key, OSSL_PKEY_PARAM_EC_ENCODING);
  // The library reports a key with explicit parameters under the name of the curve they match.
  if (!group || !encoding || *encoding != OSSL_PKEY_EC_ENCODING_GROUP) return std::nullopt;
  for (const auto& curve : primeRandomCurves) {
    if (curve.groupName == *group) return curve;
  }
  return std::nullopt;
}

std::optional<NamedCurve> primeRandomCurveOfSize(int sizeInBits) {
  for (const auto& curve : primeRandomCurves) {
    if (curve.sizeInBits == sizeInBits) return curve;
  }
  return std::nullopt;
}

std::size_t coordinateSize(int sizeInBits) { return static_cast<std::size_t>(sizeInBits + 7) / 8; }

std::optional<Bytes> rsaPublicKeyDer(const EVP_PKEY* key) {
  unsigned char* raw = nullptr;
  const int length = i2d_PublicKey(key, &raw);
  const detail::OpenSSLBufferPointer der(raw);
  if (length <= 0 || der == nullptr) return std::nullopt;
  return Bytes(der.get(), der.get() + length);
}

// Built from the affine coordinates: the key's own encoded point keeps the compressed form a
// certificate may carry, and the representation is defined as the uncompressed point.
std::optional<Bytes> uncompressedPoint(const EVP_PKEY* key, int sizeInBits) {
  BIGNUM* rawX = nullptr;
  BIGNUM* rawY = nullptr;
  const bool haveX = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_X, &rawX) == 1;
  const detail::BignumPointer x(rawX);
  const bool haveY = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_EC_PUB_Y, &rawY) == 1;
  const detail::BignumPointer y(rawY);
  if (!haveX || !haveY || !x || !y) return std::nullopt;
  const auto size = coordinateSize(sizeInBits);
  Bytes point(1 + 2 * size);
  point[0] = 0x04;
  if (BN_bn2binpad(x.get(), point.data() + 1, static_cast<int>(size)) != static_cast<int>(size) ||
      BN_bn2binpad(y.get(), point.data() + 1 + size, static_cast<int>(size)) != static_cast<int>(size)) {
    return std::nullopt;
  }
  return point;
}

// The library reads the INTEGERs of an RSA key leniently: a redundant leading 00 passes, and a
// negative number is taken for its magnitude. Only the key's own DER form stands for the key.
bool isDerFormOfRsaKey(const EVP_PKEY* key, ByteView encoded) {
  const auto der = rsaPublicKeyDer(key);
  return der && std::ranges::equal(*der, encoded);
}

std::optional<Key> rsaKeyWithData(ByteView representation) {
  const auto length = derLength(representation);
  if (!length || !detail::isSingleDerElement(representation)) return std::nullopt;
  const unsigned char* cursor = representation.data();
  PkeyPointer key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, *length));
  // The decoder stops after the first element and reports success with bytes left over.
  if (!key || cursor != representation.data() + representation.size()) return std::nullopt;
  if (!isDerFormOfRsaKey(key.get(), representation)) return std::nullopt;
  return Key(std::move(key));
}

std::optional<Key> ecKeyWithData(ByteView representation, int sizeInBits) {
  const auto curve = primeRandomCurveOfSize(sizeInBits);
  if (!curve) return std::nullopt;
  if (representation.size() != 1 + 2 * coordinateSize(sizeInBits) || representation[0] != 0x04) return std::nullopt;

  PkeyContextPointer context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return std::nullopt;
  std::array<OSSL_PARAM, 3> parameters{
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(curve->groupName.data()), 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY,
                                        const_cast<std::uint8_t*>(representation.data()), representation.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* raw = nullptr;
  // A point that is not on the curve is refused here.
  const bool made = EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, parameters.data()) == 1;
  PkeyPointer key(raw);
  if (!made || !key) return std::nullopt;
  return Key(std::move(key));
}

bool isPublicKeyOfType(const Key& key, KeyType type) {
  const auto attributes = copyAttributes(key);
  return attributes && attributes->keyClass == KeyClass::publicKey && attributes->keyType == type;
}

}  // namespace

void PkeyDeleter::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

Key::Key(PkeyPointer key) : key_(std::move(key)) {}

std::optional<Key> Key::fromSubjectPublicKeyInfo(ByteView der) {
  const ErrorQueueScope errors;
  const auto length = derLength(der);
  if (!length || !detail::isSingleDerElement(der)) return std::nullopt;
  const unsigned char* cursor = der.data();
  const SubjectPublicKeyInfoPointer info(d2i_X509_PUBKEY(nullptr, &cursor, *length));
  if (!info || cursor != der.data() + der.size()) return std::nullopt;
  PkeyPointer key(X509_PUBKEY_get(info.get()));
  if (!key) return std::nullopt;
  if (EVP_PKEY_get_id(key.get()) == EVP_PKEY_RSA) {
    const unsigned char* keyBytes = nullptr;
    int keyLength = 0;
    if (X509_PUBKEY_get0_param(nullptr, &keyBytes, &keyLength, nullptr, info.get()) != 1 || keyLength < 0 ||
        !isDerFormOfRsaKey(key.get(), ByteView(keyBytes, static_cast<std::size_t>(keyLength)))) {
      return std::nullopt;
    }
  }
  return Key(std::move(key));
}

std::optional<KeyAttributes> copyAttributes(const Key& key) {
  const ErrorQueueScope errors;
  const EVP_PKEY* native = key.native();
  if (native == nullptr) return std::nullopt;
  const auto keyClass = hasPrivateParts(native) ? KeyClass::privateKey : KeyClass::publicKey;
  switch (EVP_PKEY_get_id(native)) {
    case EVP_PKEY_RSA: {
      const int bytes = EVP_PKEY_get_size(native);
      if (bytes <= 0 || bytes > INT_MAX / 8) return std::nullopt;
      return KeyAttributes{keyClass, KeyType::rsa, 8 * bytes};
    }
    case EVP_PKEY_EC:
      if (const auto curve = primeRandomCurveOf(native)) {
        return KeyAttributes{keyClass, KeyType::ecSECPrimeRandom, curve->sizeInBits};
      }
      break;
    default: break;
  }
  const int bits = EVP_PKEY_get_bits(native);
  if (bits <= 0) return std::nullopt;
  return KeyAttributes{keyClass, KeyType::other, bits};
}

std::optional<Bytes> copyExternalRepresentation(const Key& key) {
  const ErrorQueueScope errors;
  const auto attributes = copyAttributes(key);
  if (!attributes || attributes->keyClass != KeyClass::publicKey) return std::nullopt;
  switch (attributes->keyType) {
    case KeyType::rsa: return rsaPublicKeyDer(key.native());
    case KeyType::ecSECPrimeRandom: return uncompressedPoint(key.native(), attributes->sizeInBits);
    case KeyType::other: break;
  }
  return std::nullopt;
}

std::optional<Key> createKeyWithData(ByteView representation, const KeyAttributes& attributes) {
  const ErrorQueueScope errors;
  if (attributes.keyClass != KeyClass::publicKey) return std::nullopt;
  switch (attributes.keyType) {
    // Like the platform, the size plays no part for RSA: the modulus is in the data.
    case KeyType::rsa: return rsaKeyWithData(representation);
    case KeyType::ecSECPrimeRandom: return ecKeyWithData(representation, attributes.sizeInBits);
    case KeyType::other: break;
  }
  return std::nullopt;
}

bool isAlgorithmSupportedForVerification(const Key& key, KeyAlgorithm algorithm) {
  const auto entry = detail::findDigestAlgorithm(algorithm);
  if (!entry) return false;
  return isPublicKeyOfType(key, entry->keyType == EVP_PKEY_RSA ? KeyType::rsa : KeyType::ecSECPrimeRandom);
}

bool verifySignature(const Key& key, KeyAlgorithm algorithm, ByteView digest, ByteView signature) {
  const ErrorQueueScope errors;
  const auto entry = detail::findDigestAlgorithm(algorithm);
  // As on the platform, a key verifies nothing under an algorithm it does not support, even where
  // the library could compute an answer (a private key, a curve other than the three).
  if (!entry || !isAlgorithmSupportedForVerification(key, algorithm)) return false;
  PkeyContextPointer context(EVP_PKEY_CTX_new_from_pkey(nullptr, mutableKey(key.native()), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1) return false;
  if (entry->keyType == EVP_PKEY_RSA && EVP_PKEY_CTX_set_rsa_padding(context.get(), entry->padding) != 1) {
    return false;
  }
  if (EVP_PKEY_CTX_set_signature_md(context.get(), entry->md()) != 1) return false;
  // The library answers -1, not 0, for a malformed ECDSA signature; only 1 means valid.
  return EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

}  // namespace platform::security
