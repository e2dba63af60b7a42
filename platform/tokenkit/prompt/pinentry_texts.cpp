#include "platform/tokenkit/prompt/pinentry_texts.hpp"

#include "platform/foundation/unicode.hpp"

namespace platform::tokenkit {
namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view ellipsis = "\xE2\x80\xA6";     // U+2026
constexpr std::string_view openingQuote = "\xE2\x80\x9C";  // U+201C
constexpr std::string_view closingQuote = "\xE2\x80\x9D";  // U+201D

std::string quoted(std::string_view name) {
  std::string text(openingQuote);
  text += displayableName(name);
  text += closingQuote;
  return text;
}

bool isShownAsReplacement(char32_t scalar) {
  if (scalar == U'\n') return false;
  return scalar < 0x20 || (scalar >= 0x7F && scalar <= 0x9F);
}

}  // namespace

std::string displayableName(std::string_view name, std::size_t limit) {
  std::string shown;
  while (!name.empty()) {
    const auto decoded = foundation::unicode::decodeFirstScalar(name);
    const std::size_t consumed = decoded ? decoded->length : 1;
    const auto piece =
        !decoded || isShownAsReplacement(decoded->scalar) ? replacement : name.substr(0, decoded->length);
    if (shown.size() + piece.size() > limit) {
      shown += ellipsis;
      break;
    }
    shown += piece;
    name.remove_prefix(consumed);
  }
  return shown;
}

PinentryTexts pinentryTexts(const PromptRequest& request) {
  // The host may not know which application asked; the request still names the certificate.
  const std::string client = request.clientName.empty() ? std::string("An application") : quoted(request.clientName);
  return PinentryTexts{
      .title = "Corvanta Sign",
      .description = client + " asks to sign with your certificate " + quoted(request.keyLabel) +
                     ".\n\nEnter the current six-digit code from your authenticator app.",
      .prompt = "Code:",
  };
}

}  // namespace platform::tokenkit
