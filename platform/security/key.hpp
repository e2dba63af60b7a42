#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/key_algorithm.hpp"

#include <openssl/types.h>

#include <memory>
#include <optional>

namespace platform::security {

struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const noexcept;
};
using PkeyPointer = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// An asymmetric key object of the platform. Every operation on it makes and frees its own
// library objects; a Key is never shared between threads.
class Key {
public:
  explicit Key(PkeyPointer key);

  // A public key from a DER SubjectPublicKeyInfo; no key when the bytes are not exactly one.
  static std::optional<Key> fromSubjectPublicKeyInfo(ByteView der);

  const EVP_PKEY* native() const { return key_.get(); }

private:
  PkeyPointer key_;
};

enum class KeyClass { publicKey, privateKey };

// Only the two key types the system signs with have names. An elliptic-curve key counts as
// ecSECPrimeRandom only on P-256, P-384 or P-521 with a named curve: a key on any other curve
// could not be rebuilt from its point alone.
enum class KeyType { rsa, ecSECPrimeRandom, other };

struct KeyAttributes {
  KeyClass keyClass;
  KeyType keyType;
  // Block size in bits as the platform reports it: the modulus byte length times eight for RSA
  // (a 2047-bit modulus reports 2048); 256, 384 or 521 for the elliptic curves.
  int sizeInBits;

  friend bool operator==(const KeyAttributes&, const KeyAttributes&) = default;
};

// The key's class, type and size; none when they cannot be determined.
std::optional<KeyAttributes> copyAttributes(const Key& key);

// RSA: the PKCS#1 RSAPublicKey DER. Elliptic curve: the uncompressed X9.63 point 04 || X || Y,
// each coordinate padded to the field size. None for any other key and for a key with private
// parts: the layer never writes out private key material.
std::optional<Bytes> copyExternalRepresentation(const Key& key);

// Rebuilds a public key from its external representation. The elliptic curve is chosen by the
// size attribute and the point length must match it. None when the data do not make a key.
std::optional<Key> createKeyWithData(ByteView representation, const KeyAttributes& attributes);

// Answers by algorithm family, as the platform does: any RSA public key supports the three
// PKCS#1 digest algorithms, any elliptic-curve key the three ECDSA digest algorithms.
bool isAlgorithmSupportedForVerification(const Key& key, KeyAlgorithm algorithm);

// True only when the key supports the algorithm for verification and the signature is valid for
// the digest under it.
bool verifySignature(const Key& key, KeyAlgorithm algorithm, ByteView digest, ByteView signature);

}  // namespace platform::security
