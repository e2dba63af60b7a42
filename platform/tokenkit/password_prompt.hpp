#pragma once

#include <optional>
#include <string>

namespace platform::tokenkit {

// What the host tells the user when it asks for a token key's secret: which token and key, and
// which application asked for the operation.
struct PromptRequest {
  std::string tokenInstanceID;
  std::string keyLabel;
  std::string clientName;

  friend bool operator==(const PromptRequest&, const PromptRequest&) = default;
};

// Asks the user for the secret an authentication operation needs. No value means the user
// cancelled (or the prompt could not be shown, which the user cannot tell apart). The caller wipes
// the secret once it has handed it on.
class PasswordPrompt {
public:
  virtual ~PasswordPrompt() = default;

  virtual std::optional<std::string> ask(const PromptRequest& request) = 0;
};

}  // namespace platform::tokenkit
