#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/unique_fd.hpp"
#include "platform/tokenkit/client/token_host_protocol.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "platform/tokenkit/token_host_service.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::tokenkit {

// What kept a request from the token host or its answer from the client. The token's own refusals
// are not among them: they come back as the Error of a Result.
class TokenHostClientError : public std::runtime_error {
public:
  enum class Case {
    hostNotRunning,   // nothing listens at the host's socket
    connectionLost,   // the host ended the connection before it answered, or it could not be written to
    malformedAnswer,  // the host's answer is not one of the protocol, or not the answer to this request
    invalidRequest,   // the request cannot be sent: a digest over 64 bytes, a text that is not UTF-8
  };
  TokenHostClientError(Case which, const std::string& what);
  Case which() const { return case_; }

private:
  Case case_;
};

// One connection to the token host, one request at a time. After a lost connection or a malformed
// answer every further request fails with connectionLost.
class TokenHostClient {
public:
  // Connects to the host listening at the socket path (see tokenHostSocketPath).
  static TokenHostClient connect(const std::string& socketPath);

  TokenHostClient(TokenHostClient&&) noexcept = default;
  TokenHostClient& operator=(TokenHostClient&&) noexcept = default;

  Result<std::vector<HostedToken>> list();
  // Blocks while the host asks the user for what the key demands: a minute and more.
  Result<Bytes> sign(const std::string& keyObjectID, const std::string& algorithmID, const Bytes& digest);

private:
  explicit TokenHostClient(foundation::UniqueFd socket) : socket_(std::move(socket)) {}

  // The answer to the request, whose id it must carry.
  TokenHostAnswer exchange(TokenHostRequest request);
  void send(const Bytes& message);
  Bytes receiveBody();
  [[noreturn]] void fail(TokenHostClientError::Case which, const std::string& what);

  foundation::UniqueFd socket_;
  std::uint64_t nextRequestID_ = 1;
};

}  // namespace platform::tokenkit
