#pragma once

#include "platform/tokenkit/password_prompt.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::tokenkit {

// What the pinentry window shows when the host asks for a signing code.
struct PinentryTexts {
  std::string title;
  std::string description;
  std::string prompt;

  friend bool operator==(const PinentryTexts&, const PinentryTexts&) = default;
};

// The longest part of a key label or client name the description shows, in UTF-8 bytes.
inline constexpr std::size_t pinentryNameLimit = 128;

// The texts for one request: the description names the certificate (the key label) and the
// application that asked, and asks for the six-digit code of the authenticator app.
PinentryTexts pinentryTexts(const PromptRequest& request);

// A name as the description shows it: a control character other than LF and every byte that is
// not well-formed UTF-8 become U+FFFD, so that a name cannot move the cursor or recolour a
// terminal pinentry; a name longer than `limit` bytes is cut at a character and ends with "…".
std::string displayableName(std::string_view name, std::size_t limit = pinentryNameLimit);

}  // namespace platform::tokenkit
