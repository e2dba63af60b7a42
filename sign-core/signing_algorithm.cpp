#include "sign-core/signing_algorithm.hpp"

#include "sign-core/signing_error.hpp"

#include <algorithm>
#include <climits>

namespace corvanta {

namespace keyAlgorithm = platform::security::keyAlgorithm;

std::optional<SigningAlgorithm::KeyKind> SigningAlgorithm::KeyKind::fromRawValue(std::string_view rawValue) {
  for (const auto kind : {rsa, ellipticCurve}) {
    if (kind.rawValue() == rawValue) return kind;
  }
  return std::nullopt;
}

std::string_view SigningAlgorithm::KeyKind::rawValue() const {
  switch (case_) {
    case Case::rsa: return "rsa";
    case Case::ellipticCurve: return "ellipticCurve";
  }
  return {};
}

const std::array<SigningAlgorithm, 6>& SigningAlgorithm::allCases() {
  static constexpr std::array<SigningAlgorithm, 6> cases{rsaPKCS1SHA256, rsaPKCS1SHA384, rsaPKCS1SHA512,
                                                         ecdsaSHA256,    ecdsaSHA384,    ecdsaSHA512};
  return cases;
}

std::optional<SigningAlgorithm> SigningAlgorithm::fromRawValue(std::string_view rawValue) {
  for (const auto algorithm : allCases()) {
    if (algorithm.rawValue() == rawValue) return algorithm;
  }
  return std::nullopt;
}

SigningAlgorithm SigningAlgorithm::fromSecurityAlgorithm(platform::security::KeyAlgorithm securityAlgorithm) {
  for (const auto algorithm : allCases()) {
    if (algorithm.securityAlgorithm() == securityAlgorithm) return algorithm;
  }
  throw SigningError::unsupportedAlgorithm;
}

std::string_view SigningAlgorithm::rawValue() const {
  switch (case_) {
    case Case::rsaPKCS1SHA256: return "rsaPKCS1SHA256";
    case Case::rsaPKCS1SHA384: return "rsaPKCS1SHA384";
    case Case::rsaPKCS1SHA512: return "rsaPKCS1SHA512";
    case Case::ecdsaSHA256: return "ecdsaSHA256";
    case Case::ecdsaSHA384: return "ecdsaSHA384";
    case Case::ecdsaSHA512: return "ecdsaSHA512";
  }
  return {};
}

SigningAlgorithm::KeyKind SigningAlgorithm::keyKind() const {
  switch (case_) {
    case Case::rsaPKCS1SHA256:
    case Case::rsaPKCS1SHA384:
    case Case::rsaPKCS1SHA512: return KeyKind::rsa;
    case Case::ecdsaSHA256:
    case Case::ecdsaSHA384:
    case Case::ecdsaSHA512: break;
  }
  return KeyKind::ellipticCurve;
}

int SigningAlgorithm::digestByteCount() const {
  switch (case_) {
    case Case::rsaPKCS1SHA256:
    case Case::ecdsaSHA256: return 32;
    case Case::rsaPKCS1SHA384:
    case Case::ecdsaSHA384: return 48;
    case Case::rsaPKCS1SHA512:
    case Case::ecdsaSHA512: break;
  }
  return 64;
}

platform::security::KeyAlgorithm SigningAlgorithm::securityAlgorithm() const {
  switch (case_) {
    case Case::rsaPKCS1SHA256: return keyAlgorithm::rsaSignatureDigestPKCS1v15SHA256;
    case Case::rsaPKCS1SHA384: return keyAlgorithm::rsaSignatureDigestPKCS1v15SHA384;
    case Case::rsaPKCS1SHA512: return keyAlgorithm::rsaSignatureDigestPKCS1v15SHA512;
    case Case::ecdsaSHA256: return keyAlgorithm::ecdsaSignatureDigestX962SHA256;
    case Case::ecdsaSHA384: return keyAlgorithm::ecdsaSignatureDigestX962SHA384;
    case Case::ecdsaSHA512: break;
  }
  return keyAlgorithm::ecdsaSignatureDigestX962SHA512;
}

void SigningAlgorithm::validate(platform::ByteView digest) const {
  // A digest never comes near INT_MAX bytes; clamping keeps the reported length meaningful if one did.
  const auto actual = static_cast<int>(std::min<std::size_t>(digest.size(), INT_MAX));
  if (actual != digestByteCount()) {
    throw SigningError::invalidDigestLength(digestByteCount(), actual);
  }
}

}  // namespace corvanta
