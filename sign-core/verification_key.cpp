#include "sign-core/verification_key.hpp"

#include "platform/security/certificate.hpp"
#include "platform/security/digest.hpp"
#include "sign-core/signing_error.hpp"

namespace corvanta {

namespace security = platform::security;

namespace {

security::KeyType keyTypeOf(SigningAlgorithm::KeyKind kind) {
  return kind == SigningAlgorithm::KeyKind::rsa ? security::KeyType::rsa : security::KeyType::ecSECPrimeRandom;
}

}  // namespace

VerificationKey::VerificationKey(const security::Key& publicKey)
    : kind_(SigningAlgorithm::KeyKind::rsa), sizeInBits_(0) {
  const auto attributes = security::copyAttributes(publicKey);
  if (!attributes || attributes->keyClass != security::KeyClass::publicKey) throw SigningError::invalidPublicKey;
  auto representation = security::copyExternalRepresentation(publicKey);
  if (!representation) throw SigningError::invalidPublicKey;
  switch (attributes->keyType) {
    case security::KeyType::rsa: kind_ = SigningAlgorithm::KeyKind::rsa; break;
    case security::KeyType::ecSECPrimeRandom: kind_ = SigningAlgorithm::KeyKind::ellipticCurve; break;
    case security::KeyType::other: throw SigningError::invalidPublicKey;
  }
  sizeInBits_ = attributes->sizeInBits;
  fingerprint_ = security::sha256(*representation);
  representation_ = std::move(*representation);
}

VerificationKey VerificationKey::fromCertificateDER(platform::ByteView certificateDER) {
  const auto certificate = security::Certificate::createWithData(certificateDER);
  if (!certificate) throw SigningError::invalidPublicKey;
  const auto publicKey = certificate->copyKey();
  if (!publicKey) throw SigningError::invalidPublicKey;
  return VerificationKey(*publicKey);
}

std::optional<security::Key> VerificationKey::rebuild() const {
  return security::createKeyWithData(representation_,
                                     {security::KeyClass::publicKey, keyTypeOf(kind_), sizeInBits_});
}

std::optional<security::Key> VerificationKey::supportingKey(SigningAlgorithm algorithm) const {
  if (algorithm.keyKind() != kind_) return std::nullopt;
  auto key = rebuild();
  if (!key || !security::isAlgorithmSupportedForVerification(*key, algorithm.securityAlgorithm())) return std::nullopt;
  return key;
}

bool VerificationKey::supports(SigningAlgorithm algorithm) const { return supportingKey(algorithm).has_value(); }

void VerificationKey::verify(platform::ByteView signature, platform::ByteView digest,
                             SigningAlgorithm algorithm) const {
  algorithm.validate(digest);
  // Rebuilding is deterministic, so the key that answered the support question is the key a
  // second rebuild would give; reusing it saves a curve set-up per verification. A key that cannot
  // be rebuilt therefore ends here as algorithmKeyMismatch, before any invalidPublicKey.
  const auto key = supportingKey(algorithm);
  if (!key) throw SigningError::algorithmKeyMismatch;
  if (!security::verifySignature(*key, algorithm.securityAlgorithm(), digest, signature)) {
    throw SigningError::invalidSignature;
  }
}

}  // namespace corvanta
