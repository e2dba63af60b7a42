#include "platform/security/secret_memory.hpp"

#include <openssl/crypto.h>

namespace platform::security {

void wipeSecret(std::string& secret) noexcept {
  // The whole capacity, not just the size: an earlier, longer value may have left bytes behind it.
  secret.resize(secret.capacity());
  if (!secret.empty()) {
    OPENSSL_cleanse(secret.data(), secret.size());
  }
  secret.clear();
}

}  // namespace platform::security
