#pragma once

#include "platform/net/request.hpp"
#include "platform/net/response.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>

namespace platform::net {

namespace detail {
struct SessionState;
}

struct SessionConfiguration {
  static constexpr std::size_t defaultBodyLimit = 1'048'576;

  // The longest whole exchange, from the call to the last byte of the body.
  std::chrono::nanoseconds resourceTimeout = std::chrono::seconds(45);
  // The longest wait for the next piece of data; a request's own time-out applies when shorter.
  std::chrono::nanoseconds idleTimeout = std::chrono::seconds(30);
  // A PEM file of certificate authorities trusted in addition to the system's store.
  std::optional<std::filesystem::path> extraCertificateAuthorities;
  // The largest body accepted; one byte more fails the exchange with `bodyTooLarge`.
  std::size_t bodyLimit = defaultBodyLimit;

  // An ephemeral session with the given time-out: the whole exchange may take `timeout`, and no
  // wait for further data lasts longer than min(`timeout`, 30 s).
  static SessionConfiguration ephemeral(std::chrono::nanoseconds timeout);
};

// An HTTPS client that keeps nothing between requests: no cookies, cache, stored credentials or
// pooled connections. Each `send` makes one TLS connection (TLS 1.2 or later, the peer verified
// against the system's trust store and the extra authorities, for the URL's host), sends the
// request with "Connection: close", and returns the final answer, redirects included: nothing is
// followed. Safe to share: `send` may run concurrently from several callers.
class EphemeralSession {
public:
  // Throws std::invalid_argument when the extra authorities cannot be read as PEM certificates.
  explicit EphemeralSession(SessionConfiguration configuration);

  const SessionConfiguration& configuration() const;

  // Runs one exchange on the awaiting coroutine's executor, which must not run two of its handlers
  // at the same time (a strand or a single-threaded context). Throws NetworkError: `unsupportedURL`
  // for a URL other than https, `badURL` for a URL without a usable host or a method or header
  // field that cannot be sent as written (checked before connecting), `timedOut` when a time
  // limit ran out, `cancelled` when the awaiting coroutine's cancellation slot was signalled
  // (before or during the exchange; the connection is closed at once), `bodyTooLarge` when the
  // body exceeds the limit, and the connection and TLS codes otherwise. Never throws for a status.
  // (A caller that keeps asio's default throw_if_cancelled(true) and is already cancelled gets
  // asio's own operation_aborted out of its co_await, before `send` runs at all.)
  // The exchange keeps what it needs, so the session may go away while a `send` is under way.
  boost::asio::awaitable<Response> send(Request request) const;

private:
  std::shared_ptr<detail::SessionState> shared_;
};

}  // namespace platform::net
