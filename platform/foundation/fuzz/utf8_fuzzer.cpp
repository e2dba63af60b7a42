#include "platform/foundation/unicode.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string encode(const std::u32string& scalars) {
  std::string text;
  for (const char32_t scalar : scalars) {
    if (scalar < 0x80) {
      text.push_back(static_cast<char>(scalar));
    } else if (scalar < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (scalar >> 6)));
      text.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else if (scalar < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (scalar >> 12)));
      text.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (scalar >> 18)));
      text.push_back(static_cast<char>(0x80 | ((scalar >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((scalar >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (scalar & 0x3F)));
    }
  }
  return text;
}

}  // namespace

// Whatever decodes must be scalars only, and encoding them again must give back the very bytes:
// the shortest form is the only one accepted.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace unicode = platform::foundation::unicode;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto scalars = unicode::decodeUTF8(text);
  if (scalars.has_value() != unicode::isValidUTF8(text)) std::abort();
  if (scalars) {
    for (const char32_t scalar : *scalars) {
      if (scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) std::abort();
    }
    if (encode(*scalars) != text) std::abort();
  }
  const auto trimmed = unicode::trimmingWhitespacesAndNewlines(text);
  if (trimmed.data() < text.data() || trimmed.data() + trimmed.size() > text.data() + text.size()) std::abort();
  return 0;
}
