#include "platform/security/der_structure.hpp"

#include <cstddef>
#include <optional>

namespace platform::security::detail {
namespace {

// Nesting beyond this depth is refused rather than followed; no certificate or key comes near it.
constexpr int maximumDepth = 32;

struct Element {
  bool constructed;
  ByteView content;
  std::size_t encodedSize;
};

std::optional<Element> readElement(ByteView bytes) {
  std::size_t position = 0;
  if (bytes.size() < 2) return std::nullopt;
  const std::uint8_t identifier = bytes[position++];
  if ((identifier & 0x1F) == 0x1F) {
    // High tag number form: base-128 digits, the first without padding, the last without bit 8.
    if (position < bytes.size() && bytes[position] == 0x80) return std::nullopt;
    std::size_t digits = 0;
    while (position < bytes.size() && (bytes[position] & 0x80) != 0) {
      ++position;
      if (++digits > 4) return std::nullopt;
    }
    if (position >= bytes.size()) return std::nullopt;
    ++position;
  }
  if (position >= bytes.size()) return std::nullopt;
  const std::uint8_t first = bytes[position++];
  std::size_t length = 0;
  if (first < 0x80) {
    length = first;
  } else {
    const std::size_t count = first & 0x7F;
    // 0x80 is the indefinite form; lengths that need more than four bytes do not fit any input here.
    if (count == 0 || count > 4 || bytes.size() - position < count) return std::nullopt;
    if (bytes[position] == 0) return std::nullopt;
    for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes[position++];
    if (length < 0x80) return std::nullopt;
  }
  if (bytes.size() - position < length) return std::nullopt;
  return Element{(identifier & 0x20) != 0, bytes.subspan(position, length), position + length};
}

bool isDerSequenceOfElements(ByteView bytes, int depth);

bool isDerElementAt(ByteView bytes, std::size_t& consumed, int depth) {
  const auto element = readElement(bytes);
  if (!element) return false;
  if (element->constructed && !isDerSequenceOfElements(element->content, depth + 1)) return false;
  consumed = element->encodedSize;
  return true;
}

bool isDerSequenceOfElements(ByteView bytes, int depth) {
  if (depth > maximumDepth) return false;
  while (!bytes.empty()) {
    std::size_t consumed = 0;
    if (!isDerElementAt(bytes, consumed, depth)) return false;
    bytes = bytes.subspan(consumed);
  }
  return true;
}

}  // namespace

bool isSingleDerElement(ByteView bytes) {
  std::size_t consumed = 0;
  return isDerElementAt(bytes, consumed, 0) && consumed == bytes.size();
}

}  // namespace platform::security::detail
