#pragma once

#include "platform/tokenkit/password_prompt.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::tokenkit {

// Environment variables by name, as the caller's process has them.
using PinentryEnvironment = std::map<std::string, std::string>;

// The pinentry the desktop has chosen (a Debian alternative).
inline constexpr std::string_view defaultPinentryProgram = "/usr/bin/pinentry";

// A little under the time an approval stays open, so that a code typed at the last moment still
// reaches the service in time.
inline constexpr std::chrono::milliseconds defaultPinentryTimeLimit = std::chrono::seconds(85);

// The variables of a process environment in the form `environ` lists them ("NAME=value"); for a
// name listed twice the first entry counts, as getenv has it.
PinentryEnvironment environmentFromEntries(const char* const* entries);

// Asks for the signing code through a pinentry program, one program run per request: greeting,
// SETTITLE, SETDESC, SETPROMPT, GETPIN, BYE. A cancelled entry, any error the pinentry answers, a
// pinentry that ends, breaks the protocol or floods it, and one that is still not done when the
// time limit is reached give no value; the last ones are killed. The child is reaped whatever
// happens. The code is held only by the returned value: every buffer it passed through is wiped.
class PinentryPrompt final : public PasswordPrompt {
public:
  // `environment` is the caller's: the pinentry gets only the variables it needs to reach the
  // user's display or terminal, and the terminal is also named on its command line.
  PinentryPrompt(std::filesystem::path program, const PinentryEnvironment& environment,
                 std::chrono::milliseconds timeLimit = defaultPinentryTimeLimit);

  std::optional<std::string> ask(const PromptRequest& request) override;

private:
  std::filesystem::path program_;
  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  std::chrono::milliseconds timeLimit_;
};

}  // namespace platform::tokenkit
