#pragma once

#include "connection/transport/http_transport.hpp"
#include "platform/net/ephemeral_session.hpp"

#include <chrono>

namespace corvanta {

// The transport over an ephemeral HTTPS session: nothing kept on disk or between requests (no
// cookies, cache or stored credentials), redirects returned and never followed, bodies capped at
// 1 MiB. It holds no mutable state: one transport serves several actors at once.
class EphemeralHTTPTransport final : public HTTPTransport {
public:
  static constexpr std::chrono::seconds defaultTimeout{45};

  // A whole exchange may take `timeout`; no wait for further data lasts longer than
  // min(`timeout`, 30 s) or the request's own time-out.
  explicit EphemeralHTTPTransport(std::chrono::nanoseconds timeout = defaultTimeout);

  // A session of exactly this configuration (tests trust a stand-in's authority through it).
  // Throws std::invalid_argument when its extra authorities cannot be read.
  explicit EphemeralHTTPTransport(platform::net::SessionConfiguration configuration);

  const platform::net::EphemeralSession& session() const { return session_; }

  // Runs the exchange on the awaiting coroutine's executor (see EphemeralSession::send). A body
  // over the session's limit is ConnectionError::responseTooLarge; every other NetworkError passes
  // through unchanged. The transport may be destroyed while a send is under way.
  boost::asio::awaitable<HTTPResult> send(platform::net::Request request) override;

private:
  platform::net::EphemeralSession session_;
};

}  // namespace corvanta
