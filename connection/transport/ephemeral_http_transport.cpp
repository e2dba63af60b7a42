#include "connection/transport/ephemeral_http_transport.hpp"

#include "connection/transport/connection_error.hpp"
#include "platform/net/network_error.hpp"

#include <utility>

namespace corvanta {
namespace {

// Takes a copy of the session, which shares its state: the exchange does not depend on the
// transport that started it.
boost::asio::awaitable<HTTPResult> exchange(platform::net::EphemeralSession session, platform::net::Request request) {
  platform::net::Response response;
  try {
    response = co_await session.send(std::move(request));
  } catch (const platform::net::NetworkError& error) {
    // An oversized body is the service's fault, not the network's: the user is told so.
    if (error.code() == platform::net::NetworkError::Code::bodyTooLarge) throw ConnectionError::responseTooLarge;
    throw;
  }
  co_return HTTPResult{response.status, std::move(response.body)};
}

}  // namespace

EphemeralHTTPTransport::EphemeralHTTPTransport(std::chrono::nanoseconds timeout)
    : session_(platform::net::SessionConfiguration::ephemeral(timeout)) {}

EphemeralHTTPTransport::EphemeralHTTPTransport(platform::net::SessionConfiguration configuration)
    : session_(std::move(configuration)) {}

boost::asio::awaitable<HTTPResult> EphemeralHTTPTransport::send(platform::net::Request request) {
  return exchange(session_, std::move(request));
}

}  // namespace corvanta
