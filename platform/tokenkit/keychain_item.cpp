#include "platform/tokenkit/keychain_item.hpp"

#include "platform/security/certificate.hpp"

#include <utility>

namespace platform::tokenkit {

std::optional<KeychainCertificate> makeCertificateItem(ByteView certificateDER, std::string objectID) {
  if (!security::Certificate::createWithData(certificateDER)) {
    return std::nullopt;
  }
  KeychainCertificate item;
  item.objectID = std::move(objectID);
  item.certificateDER.assign(certificateDER.begin(), certificateDER.end());
  return item;
}

std::optional<KeychainKey> makeKeyItem(ByteView certificateDER, std::string objectID) {
  const auto certificate = security::Certificate::createWithData(certificateDER);
  if (!certificate || !certificate->copyKey()) {
    return std::nullopt;
  }
  KeychainKey item;
  item.objectID = std::move(objectID);
  item.certificateDER.assign(certificateDER.begin(), certificateDER.end());
  return item;
}

}  // namespace platform::tokenkit
