#include "platform/security/certificate.hpp"

#include "platform/security/der_structure.hpp"
#include "platform/security/openssl_handles.hpp"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <climits>

namespace platform::security {

void X509Deleter::operator()(X509* certificate) const noexcept { X509_free(certificate); }

Certificate::Certificate(X509Pointer certificate) : certificate_(std::move(certificate)) {}

std::optional<Certificate> Certificate::createWithData(ByteView der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX) || !detail::isSingleDerElement(der)) {
    return std::nullopt;
  }
  const detail::ErrorQueueScope errors;
  const unsigned char* cursor = der.data();
  X509Pointer certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // The decoder takes the first certificate and leaves whatever follows unread.
  if (!certificate || cursor != der.data() + der.size()) return std::nullopt;
  // The decoder accepts any version number; only v1 to v3 exist.
  const long version = X509_get_version(certificate.get());
  if (version < X509_VERSION_1 || version > X509_VERSION_3) return std::nullopt;
  return Certificate(std::move(certificate));
}

std::optional<Key> Certificate::copyKey() const {
  const detail::ErrorQueueScope errors;
  // The key the library decoded along with the certificate was read as leniently as a bare
  // SubjectPublicKeyInfo would be; reading it again through the same gate holds it to DER too.
  unsigned char* raw = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate_.get()), &raw);
  const detail::OpenSSLBufferPointer der(raw);
  if (length <= 0 || der == nullptr) return std::nullopt;
  return Key::fromSubjectPublicKeyInfo(ByteView(der.get(), static_cast<std::size_t>(length)));
}

}  // namespace platform::security
