#pragma once

#include "platform/foundation/bytes.hpp"

#include <optional>

namespace corvanta {

// A signature the service computed, already verified against the request's certificate key.
struct RemoteSignature {
  // 1 to 8192 bytes.
  platform::Bytes bytes;
  // Whether the service charged the signature; absent when its answer did not say.
  std::optional<bool> billed;

  friend bool operator==(const RemoteSignature&, const RemoteSignature&) = default;
};

}  // namespace corvanta
