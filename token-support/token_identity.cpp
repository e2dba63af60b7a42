#include "token-support/token_identity.hpp"

#include "platform/security/digest.hpp"
#include "token-support/token_failure.hpp"

#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace corvanta {

namespace {

constexpr std::string_view versionKey = "version";
constexpr std::string_view activationIDKey = "activationID";
constexpr std::string_view certificateDERKey = "certificateDER";

}  // namespace

class TokenIdentity::CertificateReading {
public:
  // The profile of the DER, or the reader's error for it, the same for every caller on every thread.
  CertificateProfile profile(platform::ByteView der) {
    std::call_once(once_, [&] {
      try {
        profile_.emplace(der);
      } catch (...) {
        error_ = std::current_exception();
      }
    });
    if (error_) std::rethrow_exception(error_);
    return *profile_;
  }

private:
  std::once_flag once_;
  std::optional<CertificateProfile> profile_;
  std::exception_ptr error_;
};

TokenIdentity::TokenIdentity(std::int64_t version, platform::foundation::UUID activationID, platform::Bytes certificateDER)
    : version_(version),
      activationID_(activationID),
      certificateDER_(std::move(certificateDER)),
      certificateFingerprint_(platform::security::sha256(certificateDER_)),
      reading_(std::make_shared<CertificateReading>()) {}

TokenIdentity::TokenIdentity(platform::foundation::UUID activationID, platform::Bytes certificateDER,
                             std::chrono::system_clock::time_point now)
    : TokenIdentity(currentVersion, activationID, std::move(certificateDER)) {
  validatedProfile(now);
}

TokenIdentity TokenIdentity::fromJSON(const platform::foundation::JSONObjectReader& reader) {
  auto version = reader.required<std::int64_t>(versionKey);
  auto activationID = reader.required<platform::foundation::UUID>(activationIDKey);
  auto certificateDER = reader.required<platform::Bytes>(certificateDERKey);
  return TokenIdentity(version, activationID, std::move(certificateDER));
}

TokenIdentity TokenIdentity::decode(platform::ByteView json, std::chrono::system_clock::time_point now) {
  if (json.size() > maximumJSONByteCount) throw TokenFailure::invalidConfiguration;
  auto identity = platform::foundation::decodeJSON<TokenIdentity>(json);
  identity.validatedProfile(now);
  return identity;
}

platform::Bytes TokenIdentity::encodedJSON() const {
  platform::foundation::JSONObjectWriter writer;
  writer.setInt64(versionKey, version_).setUUID(activationIDKey, activationID_).setBytes(certificateDERKey, certificateDER_);
  return platform::bytesOf(writer.serialized());
}

std::string TokenIdentity::instanceID() const { return platform::foundation::lowercaseHex(certificateFingerprint_); }

std::string TokenIdentity::keyObjectID() const { return "key:" + instanceID(); }

std::string TokenIdentity::certificateObjectID() const { return "cert:" + instanceID(); }

CertificateProfile TokenIdentity::validatedProfile(std::chrono::system_clock::time_point date) const {
  if (version_ != currentVersion) throw TokenFailure::invalidConfiguration;
  if (certificateDER_.empty() || certificateDER_.size() > maximumCertificateByteCount) {
    throw TokenFailure::invalidConfiguration;
  }
  auto profile = reading_->profile(certificateDER_);
  if (!profile.issues(date).empty()) throw TokenFailure::invalidConfiguration;
  return profile;
}

std::vector<platform::tokenkit::KeychainItem> TokenIdentity::keychainItems(std::chrono::system_clock::time_point now) const {
  using platform::tokenkit::Operation;
  validatedProfile(now);
  auto certificate = platform::tokenkit::makeCertificateItem(certificateDER_, certificateObjectID());
  if (!certificate) throw TokenFailure::invalidConfiguration;
  auto key = platform::tokenkit::makeKeyItem(certificateDER_, keyObjectID());
  if (!key) throw TokenFailure::invalidConfiguration;

  certificate->label = keychainLabel;
  key->label = keychainLabel;
  key->canSign = true;
  key->canDecrypt = false;
  key->canPerformKeyExchange = false;
  key->isSuitableForLogin = false;
  // Signing always goes through an authentication under the constraint, which the token extension
  // answers with its one-time code prompt; the other two operations are never allowed.
  key->constraints = {
      {Operation::signData, std::string(approvalConstraint)},
      {Operation::decryptData, false},
      {Operation::performKeyExchange, false},
  };
  return {std::move(*certificate), std::move(*key)};
}

}  // namespace corvanta
