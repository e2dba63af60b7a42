#pragma once

#include <cstdint>
#include <span>

namespace platform::security {

// Fills the buffer from the secure random source; false when the source failed, in which case the
// buffer's content must not be used.
bool copyRandomBytes(std::span<std::uint8_t> buffer);

}  // namespace platform::security
