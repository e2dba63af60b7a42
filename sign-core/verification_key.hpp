#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/key.hpp"
#include "sign-core/signing_algorithm.hpp"

#include <optional>

namespace corvanta {

// A certificate's public key held as plain data, so that it can be copied between actors and
// processes, compared and fingerprinted. No signature that comes back from the service is trusted
// until this key has verified it. Only RSA and elliptic-curve (P-256, P-384, P-521) public keys
// are accepted; there is no bound of its own on the key size.
class VerificationKey {
public:
  // Throws SigningError::invalidPublicKey when the key is not a usable public key.
  explicit VerificationKey(const platform::security::Key& publicKey);

  // The public key of a DER certificate; throws SigningError::invalidPublicKey when the bytes are
  // not one certificate or its key is not usable.
  static VerificationKey fromCertificateDER(platform::ByteView certificateDER);

  SigningAlgorithm::KeyKind kind() const { return kind_; }
  int sizeInBits() const { return sizeInBits_; }
  // SHA-256 of the representation, 32 bytes.
  const platform::Bytes& fingerprint() const { return fingerprint_; }
  // RSA: the PKCS#1 RSAPublicKey DER; elliptic curve: the uncompressed X9.63 point.
  const platform::Bytes& representation() const { return representation_; }

  // True only when the algorithm is for this kind of key and the rebuilt key supports it. A key
  // that cannot be rebuilt gives false, not an error.
  bool supports(SigningAlgorithm algorithm) const;

  // Returns when the signature is valid. Throws, in the order of the checks:
  // invalidDigestLength, algorithmKeyMismatch (also for a key that cannot be rebuilt), invalidSignature.
  void verify(platform::ByteView signature, platform::ByteView digest, SigningAlgorithm algorithm) const;

  friend bool operator==(const VerificationKey&, const VerificationKey&) = default;

private:
  // The platform key object, made anew for every operation so that none is ever shared.
  std::optional<platform::security::Key> rebuild() const;
  // The rebuilt key when it supports the algorithm, none otherwise.
  std::optional<platform::security::Key> supportingKey(SigningAlgorithm algorithm) const;

  SigningAlgorithm::KeyKind kind_;
  int sizeInBits_;
  platform::Bytes fingerprint_;
  platform::Bytes representation_;
};

}  // namespace corvanta
