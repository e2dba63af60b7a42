#pragma once

#include "connection/certificate/certificate_profile.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/json_coding.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/tokenkit/keychain_item.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {

// What the app publishes so that the token host can offer the certificate: a version, an
// activation identifier that is new for every activation, and the certificate's DER. It travels as
// the JSON object {"version": 1, "activationID": "<UUID>", "certificateDER": "<Base64>"} in the
// token configuration's data. Every identifier the token host sees derives from it, and every path
// that trusts an identity re-validates its certificate first (validatedProfile).
//
// Plain JSON decoding (platform::foundation::decodeJSON<TokenIdentity>) checks nothing but the
// form; decode() is the one way configuration data from outside becomes a trusted identity.
class TokenIdentity {
public:
  static constexpr std::int64_t currentVersion = 1;
  // Configuration data larger than this is refused before it is parsed.
  static constexpr std::size_t maximumJSONByteCount = 131072;
  // A certificate larger than this is refused before it is read.
  static constexpr std::size_t maximumCertificateByteCount = 65536;
  // The constraint under which the key may sign: one authentication with a one-time code per
  // request.
  static constexpr std::string_view approvalConstraint = "corvanta.totp.per-request.v1";
  // The label of both keychain items.
  static constexpr std::string_view keychainLabel = "Corvanta Sign";

  // An identity of the current version. Validates the certificate at `now` (validatedProfile) and
  // throws its error unchanged.
  TokenIdentity(platform::foundation::UUID activationID, platform::Bytes certificateDER,
                std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // Configuration data back into an identity: more than maximumJSONByteCount bytes is
  // TokenFailure::invalidConfiguration without parsing; a DecodingError is thrown unchanged; then
  // validatedProfile at `now`, its error unchanged.
  static TokenIdentity decode(platform::ByteView json,
                              std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

  // The form alone, no validation (a version 2 identity decodes).
  static TokenIdentity fromJSON(const platform::foundation::JSONObjectReader& reader);

  // The compact JSON object, keys in field order.
  platform::Bytes encodedJSON() const;

  std::int64_t version() const { return version_; }
  const platform::foundation::UUID& activationID() const { return activationID_; }
  const platform::Bytes& certificateDER() const { return certificateDER_; }

  // SHA-256 of the certificate DER, 32 bytes.
  const platform::Bytes& certificateFingerprint() const { return certificateFingerprint_; }
  // The fingerprint as 64 lower-case hexadecimal digits: the token's instance identifier. It
  // depends on the certificate alone, so a new activation of the same certificate keeps it.
  std::string instanceID() const;
  // "key:" and the instance identifier.
  std::string keyObjectID() const;
  // "cert:" and the instance identifier.
  std::string certificateObjectID() const;

  // The certificate re-read and checked for use at `date`. Throws TokenFailure::invalidConfiguration
  // for a version other than 1, a DER of no byte or more than maximumCertificateByteCount bytes
  // (not read), and a certificate that issues() says cannot be used at that date; the certificate reader's error
  // (ConnectionError::invalidCertificate) unchanged.
  CertificateProfile validatedProfile(std::chrono::system_clock::time_point date) const;

  // The certificate item, then the key item, both labelled keychainLabel. The key can sign only
  // under approvalConstraint, and can neither decrypt nor perform key exchange. Validates at `now`
  // first (errors unchanged); an item the platform cannot make is TokenFailure::invalidConfiguration.
  std::vector<platform::tokenkit::KeychainItem> keychainItems(
      std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) const;

  // Equal in version, activation identifier and certificate.
  friend bool operator==(const TokenIdentity& left, const TokenIdentity& right) {
    return left.version_ == right.version_ && left.activationID_ == right.activationID_ &&
           left.certificateDER_ == right.certificateDER_;
  }

private:
  class CertificateReading;

  TokenIdentity(std::int64_t version, platform::foundation::UUID activationID, platform::Bytes certificateDER);

  std::int64_t version_;
  platform::foundation::UUID activationID_;
  platform::Bytes certificateDER_;
  platform::Bytes certificateFingerprint_;
  // The certificate read once, on first use, and shared by every copy: the DER never changes, so
  // reading it again gives the same profile or the same error, and the platform's decoders are
  // by far the dearest step of a signature. Only the check at a date is made at every use.
  std::shared_ptr<CertificateReading> reading_;
};

}  // namespace corvanta
