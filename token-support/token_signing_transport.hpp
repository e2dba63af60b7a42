#pragma once

#include "platform/foundation/bytes.hpp"
#include "token-support/token_sign_request.hpp"

#include <chrono>
#include <string>

namespace corvanta {

// How the token extension has one request signed by the app: the request, the one-time code the
// user typed, and how long the caller is prepared to wait. The extension's token session and
// authentication operation hold one of these; tests of them pass their own.
class TokenSigningTransport {
public:
  virtual ~TokenSigningTransport() = default;

  // The signature as the app returned it. Blocks the calling thread. Throws a TokenFailure, or the
  // request's validation error unchanged. TokenFailure::uncertainOutcome means the app may have
  // had the request signed: it must not be sent again.
  virtual platform::Bytes sign(const TokenSignRequest& request, const std::string& code,
                               std::chrono::nanoseconds timeout) = 0;
};

}  // namespace corvanta
