#pragma once

#include "platform/tokenkit/token_driver.hpp"
#include "token-support/token_failure.hpp"

#include <exception>

namespace corvanta {

// The one way a failure of the token path leaves the extension: a token error the host acts on by
// its code (authenticationNeeded starts the code prompt) and, for the failures a user may meet in
// an application's message, a fixed text. Errors of other modules (an invalid digest length, an
// unreadable certificate, a configuration that does not decode) are communication errors without
// text: what they say is nothing a user could act on.
platform::tokenkit::Error makeTokenError(const TokenFailure& failure);

// The same for whatever was thrown: a TokenFailure by the table, anything else, and no error at
// all, communicationError without text.
platform::tokenkit::Error makeTokenError(const std::exception_ptr& error);

}  // namespace corvanta
