#include "platform/tokenkit/client/token_host_client.hpp"

#include "platform/xpc/frame.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace platform::tokenkit {

using foundation::UniqueFd;
using Case = TokenHostClientError::Case;

TokenHostClientError::TokenHostClientError(Case which, const std::string& what)
    : std::runtime_error(what), case_(which) {}

TokenHostClient TokenHostClient::connect(const std::string& socketPath) {
  if (!xpc::fitsSocketAddress(socketPath)) {
    throw TokenHostClientError(Case::hostNotRunning, "no token host can listen at " + socketPath);
  }
  // Blocking: a request waits for its answer as long as the host takes.
  UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) throw TokenHostClientError(Case::connectionLost, "cannot make a socket");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  int result = 0;
  do {
    result = ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR) {
      throw TokenHostClientError(Case::hostNotRunning, "the token host is not running at " + socketPath);
    }
    throw TokenHostClientError(Case::connectionLost,
                               "cannot connect to the token host at " + socketPath + ": " + std::strerror(errno));
  }
  return TokenHostClient(std::move(socket));
}

Result<std::vector<HostedToken>> TokenHostClient::list() {
  auto answer = exchange(TokenHostRequest{0, ListTokensRequest{}});
  if (auto* tokens = std::get_if<TokensAnswer>(&answer.content)) return std::move(tokens->tokens);
  if (auto* error = std::get_if<Error>(&answer.content)) return std::move(*error);
  fail(Case::malformedAnswer, "the token host answered a list with a signature");
}

Result<Bytes> TokenHostClient::sign(const std::string& keyObjectID, const std::string& algorithmID,
                                    const Bytes& digest) {
  if (digest.size() > maxTokenHostDigestBytes) {
    throw TokenHostClientError(Case::invalidRequest, "a digest has at most 64 bytes");
  }
  auto answer = exchange(TokenHostRequest{0, SignDigestRequest{keyObjectID, algorithmID, digest}});
  if (auto* signature = std::get_if<SignatureAnswer>(&answer.content)) return std::move(signature->signature);
  if (auto* error = std::get_if<Error>(&answer.content)) return std::move(*error);
  fail(Case::malformedAnswer, "the token host answered a signature request with tokens");
}

TokenHostAnswer TokenHostClient::exchange(TokenHostRequest request) {
  if (!socket_) throw TokenHostClientError(Case::connectionLost, "the connection to the token host has ended");
  request.requestID = nextRequestID_++;
  const auto message = encodeTokenHostMessage(request);
  if (!message) throw TokenHostClientError(Case::invalidRequest, "the request does not fit the token host's protocol");
  send(*message);
  const Bytes body = receiveBody();
  auto answer = decodeTokenHostAnswer(body);
  if (!answer) fail(Case::malformedAnswer, "the token host's answer is malformed");
  if (answer->requestID != request.requestID) fail(Case::malformedAnswer, "the token host answered another request");
  return std::move(*answer);
}

void TokenHostClient::send(const Bytes& message) {
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t count = ::send(socket_.get(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) fail(Case::connectionLost, "the token host ended the connection");
    sent += static_cast<std::size_t>(count);
  }
}

Bytes TokenHostClient::receiveBody() {
  const auto receive = [this](std::uint8_t* into, std::size_t size) {
    std::size_t received = 0;
    while (received < size) {
      const ssize_t count = ::recv(socket_.get(), into + received, size - received, 0);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) fail(Case::connectionLost, "the token host ended the connection before it answered");
      received += static_cast<std::size_t>(count);
    }
  };
  std::array<std::uint8_t, tokenHostMessageHeaderBytes> header{};
  receive(header.data(), header.size());
  const auto length = tokenHostMessageBodyLength(header);
  if (!length) fail(Case::malformedAnswer, "the token host announced an answer of a size no message has");
  Bytes body(*length);
  receive(body.data(), body.size());
  return body;
}

void TokenHostClient::fail(Case which, const std::string& what) {
  // What follows on this connection can no longer be told apart from what was meant for this
  // request.
  socket_.reset();
  throw TokenHostClientError(which, what);
}

}  // namespace platform::tokenkit
