#include "platform/foundation/uuid.hpp"

#include "platform/foundation/bytes.hpp"

#include <openssl/rand.h>

#include <cstdlib>
#include <string_view>

namespace platform::foundation {
namespace {

bool isHyphenPosition(std::size_t index) { return index == 8 || index == 13 || index == 18 || index == 23; }

}  // namespace

UUID UUID::random() {
  Storage bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
    std::abort();
  }
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return UUID(bytes);
}

std::optional<UUID> UUID::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Storage bytes{};
  std::size_t nibble = 0;
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (isHyphenPosition(index)) {
      if (text[index] != '-') return std::nullopt;
      continue;
    }
    const int value = hexDigitValue(text[index]);
    if (value < 0) return std::nullopt;
    auto& byte = bytes[nibble / 2];
    byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
    ++nibble;
  }
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  const ByteView bytes(bytes_);
  return uppercaseHex(bytes.subspan(0, 4)) + '-' + uppercaseHex(bytes.subspan(4, 2)) + '-' +
         uppercaseHex(bytes.subspan(6, 2)) + '-' + uppercaseHex(bytes.subspan(8, 2)) + '-' +
         uppercaseHex(bytes.subspan(10, 6));
}

}  // namespace platform::foundation

std::size_t std::hash<platform::foundation::UUID>::operator()(const platform::foundation::UUID& uuid) const noexcept {
  // The bytes are random already; folding them is enough for hashed containers.
  std::size_t value = 0;
  for (const auto byte : uuid.bytes()) value = value * 131 + byte;
  return value;
}
