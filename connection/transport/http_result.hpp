#pragma once

#include "platform/foundation/bytes.hpp"

#include <cstdint>

namespace corvanta {

// The final answer of one HTTP exchange: any status, redirects included (nothing is followed),
// and the whole body, which the transport never lets grow past 1 MiB.
struct HTTPResult {
  std::int64_t status = 0;
  platform::Bytes body;

  friend bool operator==(const HTTPResult&, const HTTPResult&) = default;
};

}  // namespace corvanta
