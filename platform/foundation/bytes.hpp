#pragma once

#include <cstdint>
#include <optional>
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

// The value of one hexadecimal digit in either letter case; -1 for any other character.
int hexDigitValue(char digit);

// The bytes of hexadecimal text (two digits per byte, either letter case); none for an odd
// length or any other character.
std::optional<Bytes> hexDecoded(std::string_view text);

}  // namespace platform::foundation
