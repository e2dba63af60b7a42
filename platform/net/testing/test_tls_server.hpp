#pragma once

#include "platform/net/header_field.hpp"
#include "platform/net/testing/test_certificate_authority.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::net::testing {

// A request as the server read it off the wire.
struct ReceivedRequest {
  std::string method;
  std::string target;
  HeaderFields headers;
  std::string body;
};

struct ServerOptions {
  // The newest TLS version the server speaks (an OpenSSL version constant); 0 for no cap.
  int maxProtocolVersion = 0;
};

// A TLS server on 127.0.0.1 with an ephemeral port, running on a thread of its own. Each accepted
// connection runs the script; a script sees exactly what it reads and writes exactly the bytes it
// is given, so tests can answer anything, well-formed or not.
class TestTLSServer {
public:
  class Connection {
  public:
    // Completes the TLS handshake; false when the client gave up (for example on the certificate).
    boost::asio::awaitable<bool> handshake();
    // The server name the client sent, empty when it sent none.
    std::string serverName() const;
    // Reads one request; empty when the client closed or sent something that is not HTTP.
    boost::asio::awaitable<std::optional<ReceivedRequest>> readRequest();
    // handshake() then readRequest(), as most scripts begin; empty when either fails.
    boost::asio::awaitable<std::optional<ReceivedRequest>> receiveRequest();
    // Writes the bytes as they are; false when the client is gone.
    boost::asio::awaitable<bool> write(std::string_view bytes);
    // Waits without writing until the client closes the connection; works before a handshake too.
    boost::asio::awaitable<void> waitForClose();
    boost::asio::awaitable<void> pause(std::chrono::milliseconds duration);
    // Sends the TLS close and closes the connection.
    boost::asio::awaitable<void> closeTLS();
    // Closes the TCP connection without any TLS close, as a peer that crashed.
    void drop();

    struct State;
    explicit Connection(std::unique_ptr<State> state);
    ~Connection();

  private:
    std::unique_ptr<State> state_;
  };

  using Script = std::function<boost::asio::awaitable<void>(Connection&)>;

  TestTLSServer(const CertifiedKey& identity, Script script, ServerOptions options = {});
  ~TestTLSServer();
  TestTLSServer(const TestTLSServer&) = delete;
  TestTLSServer& operator=(const TestTLSServer&) = delete;

  std::uint16_t port() const;

  int connectionsAccepted() const;
  std::vector<ReceivedRequest> requests() const;
  std::vector<std::string> serverNames() const;
  // Waits until every accepted connection's script has ended; false when that took longer.
  bool waitUntilIdle(std::chrono::milliseconds limit) const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::net::testing
