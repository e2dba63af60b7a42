#pragma once

#include "connection/certificate/public_certificate.hpp"
#include "connection/service/certificate_mode.hpp"
#include "platform/foundation/bytes.hpp"

#include <optional>
#include <vector>

namespace corvanta {

// The active certificates of one role, at most one per usage, and the rule for which of them
// serves client authentication.
class CertificateCollection {
public:
  // Takes the certificates as given; fromData is what checks them.
  CertificateCollection(CertificateMode mode, std::vector<PublicCertificate> certificates);

  // Decodes and checks the body of a certificates answer with status 200:
  //   {"success": 1, "data": {"dual_cert_mode": "best_effort" | "mandatory",
  //     "certificates": [{"certificate_uuid": string, "usage": string, "status": string,
  //                       "certificate_der_base64": string, "certificate_chain_pem": string?}]}}
  // Every certificate object must decode, also one of a usage that is then ignored. Throws:
  // - the DecodingError of the JSON coding, unchanged, for malformed JSON or a missing or
  //   mistyped member (a boolean "success" included);
  // - ConnectionError::invalidResponse when "success" is not 1;
  // - ConnectionError::unknownCertificateMode for any other mode, before any certificate is looked at;
  // - ConnectionError::ambiguousCertificates for a second object of a usage already taken, whatever
  //   that object holds;
  // - ConnectionError::invalidCertificate for an object of a known usage with an empty UUID, a
  //   status other than "valid" or DER text that is not strict padded standard Base64;
  // - the error of CertificateProfile's reading, unchanged, for DER it cannot read.
  // Objects whose usage is neither "document_signing" nor "client_authentication" are skipped.
  static CertificateCollection fromData(platform::ByteView data);

  CertificateMode mode() const { return mode_; }
  // In the service's order.
  const std::vector<PublicCertificate>& certificates() const { return certificates_; }

  // The first client-authentication certificate; when there is none and the mode is bestEffort,
  // the first document-signing certificate; otherwise none.
  std::optional<PublicCertificate> authenticationCertificate() const;

private:
  struct Payload;
  struct Details;

  CertificateMode mode_;
  std::vector<PublicCertificate> certificates_;
};

}  // namespace corvanta
