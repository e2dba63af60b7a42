#include "platform/security/random.hpp"

#include <openssl/rand.h>

#include <climits>

namespace platform::security {

bool copyRandomBytes(std::span<std::uint8_t> buffer) {
  while (!buffer.empty()) {
    const auto chunk = static_cast<int>(std::min<std::size_t>(buffer.size(), INT_MAX));
    if (RAND_bytes(buffer.data(), chunk) != 1) return false;
    buffer = buffer.subspan(static_cast<std::size_t>(chunk));
  }
  return true;
}

}  // namespace platform::security
