#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/security/key.hpp"

#include <openssl/types.h>

#include <memory>
#include <optional>

namespace platform::security {

struct X509Deleter {
  void operator()(X509* certificate) const noexcept;
};
using X509Pointer = std::unique_ptr<X509, X509Deleter>;

// An X.509 certificate object of the platform.
class Certificate {
public:
  // Exactly one well-formed DER certificate of version 1 to 3, every byte consumed; none otherwise.
  static std::optional<Certificate> createWithData(ByteView der);

  // The certificate's public key; none when its SubjectPublicKeyInfo does not decode.
  std::optional<Key> copyKey() const;

  const X509* native() const { return certificate_.get(); }

private:
  explicit Certificate(X509Pointer certificate);
  X509Pointer certificate_;
};

}  // namespace platform::security
