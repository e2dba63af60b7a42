#include "platform/foundation/form_encoding.hpp"

namespace platform::foundation {
namespace {

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

void appendPercentEncoded(std::string& out, std::string_view text) {
  static constexpr std::string_view digits = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (isUnreserved(byte)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(digits[byte >> 4]);
      out.push_back(digits[byte & 0x0F]);
    }
  }
}

}  // namespace

std::string percentEncodedUnreserved(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  appendPercentEncoded(out, text);
  return out;
}

std::string formURLEncoded(const std::map<std::string, std::string>& fields) {
  std::string body;
  for (const auto& [key, value] : fields) {
    if (!body.empty()) body.push_back('&');
    appendPercentEncoded(body, key);
    body.push_back('=');
    appendPercentEncoded(body, value);
  }
  return body;
}

}  // namespace platform::foundation
