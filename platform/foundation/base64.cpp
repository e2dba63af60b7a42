#include "platform/foundation/base64.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform::foundation {
namespace {

constexpr std::string_view standardAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view urlAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t notInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> standardValues() {
  std::array<std::uint8_t, 256> values{};
  values.fill(notInAlphabet);
  for (std::size_t index = 0; index < standardAlphabet.size(); ++index) {
    values[static_cast<unsigned char>(standardAlphabet[index])] = static_cast<std::uint8_t>(index);
  }
  return values;
}

std::string encode(ByteView bytes, std::string_view alphabet, bool padded) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t index = 0;
  for (; index + 3 <= bytes.size(); index += 3) {
    const std::uint32_t group = (std::uint32_t{bytes[index]} << 16) | (std::uint32_t{bytes[index + 1]} << 8) | bytes[index + 2];
    text.push_back(alphabet[(group >> 18) & 0x3F]);
    text.push_back(alphabet[(group >> 12) & 0x3F]);
    text.push_back(alphabet[(group >> 6) & 0x3F]);
    text.push_back(alphabet[group & 0x3F]);
  }
  const std::size_t rest = bytes.size() - index;
  if (rest == 0) return text;
  std::uint32_t group = std::uint32_t{bytes[index]} << 16;
  if (rest == 2) group |= std::uint32_t{bytes[index + 1]} << 8;
  text.push_back(alphabet[(group >> 18) & 0x3F]);
  text.push_back(alphabet[(group >> 12) & 0x3F]);
  if (rest == 2) {
    text.push_back(alphabet[(group >> 6) & 0x3F]);
  } else if (padded) {
    text.push_back('=');
  }
  if (padded) text.push_back('=');
  return text;
}

}  // namespace

std::string base64Encoded(ByteView bytes) { return encode(bytes, standardAlphabet, true); }

std::string base64URLEncoded(ByteView bytes) { return encode(bytes, urlAlphabet, false); }

std::optional<Bytes> base64Decoded(std::string_view text) {
  static constexpr auto values = standardValues();
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

  Bytes bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t start = 0; start < text.size(); start += 4) {
    const bool lastGroup = start + 4 == text.size();
    const std::size_t significant = lastGroup ? 4 - padding : 4;
    std::uint32_t group = 0;
    for (std::size_t offset = 0; offset < 4; ++offset) {
      std::uint32_t value = 0;
      if (offset < significant) {
        value = values[static_cast<unsigned char>(text[start + offset])];
        if (value == notInAlphabet) return std::nullopt;
      }
      group = (group << 6) | value;
    }
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (significant >= 3) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (significant == 4) bytes.push_back(static_cast<std::uint8_t>(group));
    // Unused bits under the padding must be zero, so that no two texts give the same bytes.
    if (significant == 3 && (group & 0xFF) != 0) return std::nullopt;
    if (significant == 2 && (group & 0xFFFF) != 0) return std::nullopt;
  }
  return bytes;
}

}  // namespace platform::foundation
