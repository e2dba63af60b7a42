#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/certificate_values.hpp"
#include "sign-core/verification_key.hpp"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {

// What the system knows about one X.509 certificate, read from its DER bytes. Reading gives a
// complete profile or fails; there is no partial profile. Holder, issuer, identity number and
// serial number come from the platform's certificate services; validity, key usage and extended
// key usage from the reader's own walk over the DER. No signature or chain is checked: the
// certificate comes from the service, and issues() is the gate on its use.
class CertificateProfile {
public:
  // The largest certificate the system reads.
  static constexpr std::size_t maximumByteCount = 65536;

  // Throws ConnectionError::invalidCertificate for every refusal, also when the public key is
  // not one the system can verify with.
  explicit CertificateProfile(platform::ByteView der);

  // The platform's one-line summary of the holder, or "Certificate holder" when it gives none.
  const std::string& subject() const { return subject_; }
  // The issuer's common name, else its organisation name.
  const std::optional<std::string>& issuer() const { return issuer_; }
  // The subject's serialNumber attribute.
  const std::optional<std::string>& identityNumber() const { return identityNumber_; }
  // The serial number's octets as uppercase hexadecimal, two digits each.
  const std::optional<std::string>& serialNumber() const { return serialNumber_; }
  // The validity bounds span years 0001 to 9999 and so can lie outside the range of
  // system_clock::time_point (about 1677 to 2262): compare a time point with them in seconds.
  std::chrono::sys_seconds notBefore() const { return notBefore_; }
  // Always later than notBefore.
  std::chrono::sys_seconds notAfter() const { return notAfter_; }
  // True when there is no key usage extension.
  bool permitsDigitalSignature() const { return permitsDigitalSignature_; }
  // True when there is no extended key usage extension.
  bool permitsClientAuthentication() const { return permitsClientAuthentication_; }
  const VerificationKey& key() const { return key_; }
  // SHA-256 of the whole DER input, 32 bytes.
  const platform::Bytes& certificateSHA256() const { return certificateSHA256_; }

  // The key as the certificate details show it, e.g. "ECDSA · 256-bit".
  std::string algorithmDescription() const;

  // The texts that explain why the certificate cannot be used at that moment, in a fixed order;
  // empty when it can. The instant notAfter itself counts as expired.
  std::vector<std::string> issues(std::chrono::system_clock::time_point date) const;

private:
  struct Fields;
  explicit CertificateProfile(Fields fields);
  static Fields read(platform::ByteView der);

  std::string subject_;
  std::optional<std::string> issuer_;
  std::optional<std::string> identityNumber_;
  std::optional<std::string> serialNumber_;
  std::chrono::sys_seconds notBefore_;
  std::chrono::sys_seconds notAfter_;
  bool permitsDigitalSignature_;
  bool permitsClientAuthentication_;
  VerificationKey key_;
  platform::Bytes certificateSHA256_;
};

// The first attribute of the type (a dotted identifier) whose value is non-empty text, in the
// order of the name; empty and non-text values are passed over.
std::optional<std::string> firstText(std::string_view labelled, const std::vector<platform::security::NameAttribute>& in);

}  // namespace corvanta
