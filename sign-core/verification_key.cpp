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

bool VerificationKey::supports(SigningAlgorithm algorithm) const {
  if (algorithm.keyKind() != kind_) return false;
  const auto key = rebuild();
  return key && security::isAlgorithmSupportedForVerification(*key, algorithm.securityAlgorithm());
}

void VerificationKey::verify(platform::ByteView signature, platform::ByteView digest,
                             SigningAlgorithm algorithm) const {
  algorithm.validate(digest);
  if (!supports(algorithm)) throw SigningError::algorithmKeyMismatch;
  const auto key = rebuild();
  if (!key) throw SigningError::invalidPublicKey;
  if (!security::verifySignature(*key, algorithm.securityAlgorithm(), digest, signature)) {
    throw SigningError::invalidSignature;
  }
}

}  // namespace corvanta
