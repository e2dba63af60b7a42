#include "platform/foundation/unicode.hpp"

#include <cstdint>

namespace platform::foundation::unicode {
namespace {

bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::optional<DecodedScalar> decodeFirstScalar(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto lead = static_cast<std::uint8_t>(text[0]);
  if (lead < 0x80) return DecodedScalar{lead, 1};

  // The lead byte fixes the length and the range the second byte may take; this range is what
  // excludes overlong forms (E0, F0), surrogates (ED) and values above U+10FFFF (F4).
  std::size_t length = 0;
  char32_t scalar = 0;
  std::uint8_t secondLow = 0x80;
  std::uint8_t secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    scalar = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    scalar = lead & 0x0F;
    if (lead == 0xE0) secondLow = 0xA0;
    if (lead == 0xED) secondHigh = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    scalar = lead & 0x07;
    if (lead == 0xF0) secondLow = 0x90;
    if (lead == 0xF4) secondHigh = 0x8F;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;

  const auto second = static_cast<std::uint8_t>(text[1]);
  if (second < secondLow || second > secondHigh) return std::nullopt;
  scalar = (scalar << 6) | (second & 0x3F);
  for (std::size_t index = 2; index < length; ++index) {
    const auto byte = static_cast<std::uint8_t>(text[index]);
    if (!isContinuation(byte)) return std::nullopt;
    scalar = (scalar << 6) | (byte & 0x3F);
  }
  return DecodedScalar{scalar, length};
}

std::optional<std::u32string> decodeUTF8(std::string_view text) {
  std::u32string scalars;
  scalars.reserve(text.size());
  while (!text.empty()) {
    const auto decoded = decodeFirstScalar(text);
    if (!decoded) return std::nullopt;
    scalars.push_back(decoded->scalar);
    text.remove_prefix(decoded->length);
  }
  return scalars;
}

bool isValidUTF8(std::string_view text) {
  while (!text.empty()) {
    const auto decoded = decodeFirstScalar(text);
    if (!decoded) return false;
    text.remove_prefix(decoded->length);
  }
  return true;
}

bool isNewline(char32_t scalar) {
  return (scalar >= 0x000A && scalar <= 0x000D) || scalar == 0x0085 || scalar == 0x2028 || scalar == 0x2029;
}

bool isWhitespaceOrNewline(char32_t scalar) {
  if (isNewline(scalar)) return true;
  switch (scalar) {
    case 0x0009:
    case 0x0020:
    case 0x00A0:
    case 0x1680:
    case 0x202F:
    case 0x205F:
    case 0x3000: return true;
    default: return scalar >= 0x2000 && scalar <= 0x200A;
  }
}

std::string_view trimmingWhitespacesAndNewlines(std::string_view text) {
  // One forward pass: an ill-formed byte counts as a one-byte unit that is not white space.
  std::size_t begin = text.size();
  std::size_t end = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    const auto decoded = decodeFirstScalar(text.substr(position));
    const std::size_t length = decoded ? decoded->length : 1;
    if (!decoded || !isWhitespaceOrNewline(decoded->scalar)) {
      if (begin == text.size()) begin = position;
      end = position + length;
    }
    position += length;
  }
  if (begin == text.size()) return text.substr(text.size());
  return text.substr(begin, end - begin);
}

}  // namespace platform::foundation::unicode
