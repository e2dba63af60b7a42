#pragma once

#include "connection/transport/http_result.hpp"
#include "platform/net/request.hpp"

#include <boost/asio/awaitable.hpp>

namespace corvanta {

// The one way the service connection talks HTTP: every exchange with the identity provider and
// the service API goes through it, so tests and other transports can stand in for the network.
//
// Callers hold a transport as std::shared_ptr<HTTPTransport>, share it between actors and keep
// their copy for as long as a send runs. send may be called concurrently from several coroutines.
class HTTPTransport {
public:
  virtual ~HTTPTransport() = default;

  // Sends the request as given (method, headers, body and its own time-out are the caller's) and
  // returns the final answer. Never throws because of the status: a 302 or a 500 is a result.
  // Throws ConnectionError::responseTooLarge for a body over 1 MiB, ConnectionError::invalidResponse
  // for an answer that is not HTTP, and the network's own platform::net::NetworkError unchanged
  // otherwise, including NetworkError::Code::cancelled when the awaiting chain is cancelled.
  virtual boost::asio::awaitable<HTTPResult> send(platform::net::Request request) = 0;

protected:
  HTTPTransport() = default;
  HTTPTransport(const HTTPTransport&) = default;
  HTTPTransport& operator=(const HTTPTransport&) = default;
};

}  // namespace corvanta
