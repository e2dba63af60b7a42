#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Owned byte strings and read-only views of them, used at every interface that carries binary data.
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace platform

namespace platform::foundation {

// Lowercase hexadecimal text of the bytes, two digits per byte.
std::string lowercaseHex(ByteView bytes);

// Uppercase hexadecimal text of the bytes, two digits per byte.
std::string uppercaseHex(ByteView bytes);

}  // namespace platform::foundation
