#include "platform/tokenkit/prompt/assuan_text.hpp"

#include <cstdint>
#include <optional>

namespace platform::tokenkit {
namespace {

constexpr std::string_view ellipsis = "\xE2\x80\xA6";  // U+2026

bool mustEscape(std::uint8_t byte) { return byte == '%' || byte < 0x20 || byte == 0x7F; }

std::optional<std::uint8_t> hexValue(char digit) {
  if (digit >= '0' && digit <= '9') return static_cast<std::uint8_t>(digit - '0');
  if (digit >= 'A' && digit <= 'F') return static_cast<std::uint8_t>(digit - 'A' + 10);
  if (digit >= 'a' && digit <= 'f') return static_cast<std::uint8_t>(digit - 'a' + 10);
  return std::nullopt;
}

bool isContinuation(char byte) { return (static_cast<std::uint8_t>(byte) & 0xC0) == 0x80; }

// The longest prefix of an escaped text within `budget` bytes that ends neither inside a %XX nor
// inside a UTF-8 sequence: the next byte after it is not a continuation byte (escaping leaves
// bytes of 0x80 and above raw). A run of stray continuation bytes is left out whole.
std::size_t cutPoint(std::string_view escaped, std::size_t budget) {
  std::size_t end = 0;
  std::size_t cut = 0;
  while (end < escaped.size()) {
    const std::size_t length = escaped[end] == '%' ? 3 : 1;
    if (end + length > budget) break;
    end += length;
    if (end == escaped.size() || !isContinuation(escaped[end])) cut = end;
  }
  return cut;
}

}  // namespace

std::string escapeAssuanText(std::string_view text) {
  static constexpr char hexDigits[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char character : text) {
    const auto byte = static_cast<std::uint8_t>(character);
    if (mustEscape(byte)) {
      escaped += '%';
      escaped += hexDigits[byte >> 4];
      escaped += hexDigits[byte & 0x0F];
    } else {
      escaped += character;
    }
  }
  return escaped;
}

bool appendDecodedAssuanText(std::string_view escaped, std::string& out, std::size_t limit) {
  for (std::size_t index = 0; index < escaped.size(); ++index) {
    if (out.size() >= limit) return false;
    if (escaped[index] != '%') {
      out += escaped[index];
      continue;
    }
    if (escaped.size() - index < 3) return false;
    const auto high = hexValue(escaped[index + 1]);
    const auto low = hexValue(escaped[index + 2]);
    if (!high || !low) return false;
    out += static_cast<char>((*high << 4) | *low);
    index += 2;
  }
  return true;
}

std::string assuanCommandLine(std::string_view verb, std::string_view argument) {
  std::string escaped = escapeAssuanText(argument);
  // The verb, its space and the closing LF share the line with the argument.
  const std::size_t budget = assuanLineLimit - verb.size() - 2;
  if (escaped.size() > budget) {
    escaped.resize(cutPoint(escaped, budget - ellipsis.size()));
    escaped += ellipsis;
  }
  std::string line;
  line.reserve(verb.size() + 2 + escaped.size());
  line += verb;
  if (!argument.empty()) {
    line += ' ';
    line += escaped;
  }
  line += '\n';
  return line;
}

}  // namespace platform::tokenkit
