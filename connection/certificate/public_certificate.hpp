#pragma once

#include "connection/certificate/certificate_profile.hpp"
#include "platform/foundation/bytes.hpp"

#include <string>
#include <utility>

namespace corvanta {

// One active certificate of a role as the service returns it, with the profile read from its DER.
// The collection that decodes it guarantees a non-empty id, a usage that is one of the two raw
// values of SigningUsage, and a profile read from exactly these DER bytes.
class PublicCertificate {
public:
  PublicCertificate(std::string id, std::string usage, platform::Bytes der, std::string chainPEM,
                    CertificateProfile profile)
      : id_(std::move(id)),
        usage_(std::move(usage)),
        der_(std::move(der)),
        chainPEM_(std::move(chainPEM)),
        profile_(std::move(profile)) {}

  // The service's certificate UUID.
  const std::string& id() const { return id_; }
  // "document_signing" or "client_authentication".
  const std::string& usage() const { return usage_; }
  const platform::Bytes& der() const { return der_; }
  // Empty when the service sent no chain.
  const std::string& chainPEM() const { return chainPEM_; }
  const CertificateProfile& profile() const { return profile_; }

private:
  std::string id_;
  std::string usage_;
  platform::Bytes der_;
  std::string chainPEM_;
  CertificateProfile profile_;
};

}  // namespace corvanta
