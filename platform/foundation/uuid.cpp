#include "platform/foundation/uuid.hpp"

#include <openssl/rand.h>

#include <cstdlib>
#include <string_view>

namespace platform::foundation {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

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
    const int value = hexValue(text[index]);
    if (value < 0) return std::nullopt;
    auto& byte = bytes[nibble / 2];
    byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : byte | value);
    ++nibble;
  }
  return UUID(bytes);
}

std::string UUID::uuidString() const {
  static constexpr std::string_view digits = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t index = 0; index < bytes_.size(); ++index) {
    if (index == 4 || index == 6 || index == 8 || index == 10) text.push_back('-');
    text.push_back(digits[bytes_[index] >> 4]);
    text.push_back(digits[bytes_[index] & 0x0F]);
  }
  return text;
}

}  // namespace platform::foundation

std::size_t std::hash<platform::foundation::UUID>::operator()(const platform::foundation::UUID& uuid) const noexcept {
  // The bytes are random already; folding them is enough for hashed containers.
  std::size_t value = 0;
  for (const auto byte : uuid.bytes()) value = value * 131 + byte;
  return value;
}
