#pragma once

#include <exception>

namespace platform::net {

// Why an HTTPS exchange failed. The codes mirror the URL-loading errors the system was written
// against, so that callers can tell "the network failed" apart from everything else; a cancelled
// exchange is one of these (`cancelled`) and never the runtime's CancellationError.
class NetworkError : public std::exception {
public:
  enum class Code {
    cancelled,
    timedOut,
    cannotFindHost,
    cannotConnectToHost,
    networkConnectionLost,
    notConnectedToInternet,
    secureConnectionFailed,
    serverCertificateUntrusted,
    badServerResponse,
    unsupportedURL,
    badURL,
    // The response body grew past the session's limit; the bytes read so far were dropped.
    // Unlike every other code this is not a failure of the network: a transport built on the
    // session reports it as its own "response too large" error.
    bodyTooLarge,
  };

  explicit NetworkError(Code code) : code_(code) {}

  Code code() const { return code_; }

  // The code's name, for debugging; never shown to the user.
  const char* what() const noexcept override;

  friend bool operator==(const NetworkError& a, const NetworkError& b) { return a.code_ == b.code_; }

private:
  Code code_;
};

}  // namespace platform::net
