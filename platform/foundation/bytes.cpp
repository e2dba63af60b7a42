#include "platform/foundation/bytes.hpp"

namespace platform::foundation {
namespace {

std::string hex(ByteView bytes, const char* digits) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 0x0F]);
  }
  return text;
}

}  // namespace

std::string lowercaseHex(ByteView bytes) { return hex(bytes, "0123456789abcdef"); }

std::string uppercaseHex(ByteView bytes) { return hex(bytes, "0123456789ABCDEF"); }

int hexDigitValue(char digit) {
  if (digit >= '0' && digit <= '9') return digit - '0';
  if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
  if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
  return -1;
}

std::optional<Bytes> hexDecoded(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes bytes;
  bytes.reserve(text.size() / 2);
  for (std::size_t index = 0; index < text.size(); index += 2) {
    const int high = hexDigitValue(text[index]);
    const int low = hexDigitValue(text[index + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return bytes;
}

}  // namespace platform::foundation
