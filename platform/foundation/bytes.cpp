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

}  // namespace platform::foundation
