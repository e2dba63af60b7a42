#include "connection/service/certificate_collection.hpp"

#include "connection/service/service_envelope.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/foundation/base64.hpp"
#include "platform/foundation/json_coding.hpp"
#include "sign-core/signing_usage.hpp"

#include <set>
#include <string>
#include <utility>

namespace corvanta {

using platform::foundation::JSONObjectReader;

// One certificate object of the answer.
struct CertificateCollection::Payload {
  std::string certificateUuid;
  std::string usage;
  std::string status;
  std::string certificateDerBase64;
  std::optional<std::string> certificateChainPem;

  static Payload fromJSON(const JSONObjectReader& reader) {
    Payload payload;
    payload.certificateUuid = reader.required<std::string>("certificate_uuid");
    payload.usage = reader.required<std::string>("usage");
    payload.status = reader.required<std::string>("status");
    payload.certificateDerBase64 = reader.required<std::string>("certificate_der_base64");
    payload.certificateChainPem = reader.optional<std::string>("certificate_chain_pem");
    return payload;
  }
};

// The "data" of the answer.
struct CertificateCollection::Details {
  std::string dualCertMode;
  std::vector<Payload> certificates;

  static Details fromJSON(const JSONObjectReader& reader) {
    Details details;
    details.dualCertMode = reader.required<std::string>("dual_cert_mode");
    details.certificates = reader.required<std::vector<Payload>>("certificates");
    return details;
  }
};

CertificateCollection::CertificateCollection(CertificateMode mode, std::vector<PublicCertificate> certificates)
    : mode_(mode), certificates_(std::move(certificates)) {}

CertificateCollection CertificateCollection::fromData(platform::ByteView data) {
  auto envelope = Envelope<Details>::decode(data);
  if (envelope.success() != 1) throw ConnectionError::invalidResponse;
  auto details = std::move(envelope).data();

  const auto mode = CertificateMode::fromRawValue(details.dualCertMode);
  if (!mode) throw ConnectionError::unknownCertificateMode;

  std::vector<PublicCertificate> certificates;
  std::set<std::string> takenUsages;
  for (auto& payload : details.certificates) {
    if (!SigningUsage::fromRawValue(payload.usage)) continue;
    // Before the object's own checks: a second certificate for one purpose is the service's
    // configuration fault, whatever state that second certificate is in.
    if (!takenUsages.insert(payload.usage).second) throw ConnectionError::ambiguousCertificates;
    if (payload.certificateUuid.empty()) throw ConnectionError::invalidCertificate;
    if (payload.status != "valid") throw ConnectionError::invalidCertificate;
    auto der = platform::foundation::base64Decoded(payload.certificateDerBase64);
    if (!der) throw ConnectionError::invalidCertificate;
    CertificateProfile profile(*der);
    certificates.emplace_back(std::move(payload.certificateUuid), std::move(payload.usage), std::move(*der),
                              std::move(payload.certificateChainPem).value_or(std::string()), std::move(profile));
  }
  return CertificateCollection(*mode, std::move(certificates));
}

std::optional<PublicCertificate> CertificateCollection::authenticationCertificate() const {
  const auto firstOfUsage = [this](SigningUsage usage) -> std::optional<PublicCertificate> {
    for (const auto& certificate : certificates_) {
      if (certificate.usage() == usage.rawValue()) return certificate;
    }
    return std::nullopt;
  };
  if (auto certificate = firstOfUsage(SigningUsage::clientAuthentication)) return certificate;
  if (mode_ == CertificateMode::bestEffort) return firstOfUsage(SigningUsage::documentSigning);
  return std::nullopt;
}

}  // namespace corvanta
