#include "platform/net/testing/test_tls_server.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <openssl/ssl.h>

#include <array>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace platform::net::testing {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

struct Records {
  mutable std::mutex mutex;
  mutable std::condition_variable idle;
  int accepted = 0;
  int active = 0;
  std::vector<ReceivedRequest> requests;
  std::vector<std::string> serverNames;
};

ssl::context serverContext(const CertifiedKey& identity, const ServerOptions& options) {
  ssl::context context(ssl::context::tls_server);
  context.use_certificate_chain(asio::buffer(identity.certificatePEM));
  context.use_private_key(asio::buffer(identity.privateKeyPEM), ssl::context::pem);
  SSL_CTX* native = context.native_handle();
  SSL_CTX_set_num_tickets(native, 0);
  if (options.maxProtocolVersion != 0) {
    // Old protocol versions are switched off by the default security level; a server that is
    // meant to offer only them must lower it.
    SSL_CTX_set_security_level(native, 0);
    SSL_CTX_set_min_proto_version(native, 0);
    SSL_CTX_set_max_proto_version(native, options.maxProtocolVersion);
    SSL_CTX_set_cipher_list(native, "DEFAULT@SECLEVEL=0");
  }
  return context;
}

}  // namespace

struct TestTLSServer::Connection::State {
  State(Records& records, tcp::socket socket, ssl::context& context)
      : records(records), stream(std::move(socket), context) {}

  Records& records;
  ssl::stream<tcp::socket> stream;
  beast::flat_buffer buffer;
  std::string serverName;
};

TestTLSServer::Connection::Connection(std::unique_ptr<State> state) : state_(std::move(state)) {}
TestTLSServer::Connection::~Connection() = default;

asio::awaitable<bool> TestTLSServer::Connection::handshake() {
  error_code ec;
  co_await state_->stream.async_handshake(ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) {
    co_return false;
  }
  const char* name = SSL_get_servername(state_->stream.native_handle(), TLSEXT_NAMETYPE_host_name);
  state_->serverName = name != nullptr ? name : "";
  const std::lock_guard lock(state_->records.mutex);
  state_->records.serverNames.push_back(state_->serverName);
  co_return true;
}

std::string TestTLSServer::Connection::serverName() const { return state_->serverName; }

asio::awaitable<std::optional<ReceivedRequest>> TestTLSServer::Connection::readRequest() {
  http::request_parser<http::string_body> parser;
  parser.body_limit(16 * 1024 * 1024);
  error_code ec;
  co_await http::async_read(state_->stream, state_->buffer, parser, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) {
    co_return std::nullopt;
  }
  const auto& message = parser.get();
  ReceivedRequest request;
  request.method = std::string(message.method_string());
  request.target = std::string(message.target());
  for (const auto& field : message) {
    request.headers.push_back(HeaderField{std::string(field.name_string()), std::string(field.value())});
  }
  request.body = message.body();
  const std::lock_guard lock(state_->records.mutex);
  state_->records.requests.push_back(request);
  co_return request;
}

asio::awaitable<std::optional<ReceivedRequest>> TestTLSServer::Connection::receiveRequest() {
  const bool shookHands = co_await handshake();
  if (!shookHands) {
    co_return std::nullopt;
  }
  auto request = co_await readRequest();
  co_return request;
}

asio::awaitable<bool> TestTLSServer::Connection::write(std::string_view bytes) {
  error_code ec;
  co_await asio::async_write(state_->stream, asio::buffer(bytes.data(), bytes.size()),
                             asio::redirect_error(asio::use_awaitable, ec));
  co_return !ec;
}

asio::awaitable<void> TestTLSServer::Connection::waitForClose() {
  std::array<char, 4096> scratch{};
  error_code ec;
  while (!ec) {
    // The TCP layer sees the close whether or not TLS was ever set up.
    co_await state_->stream.next_layer().async_read_some(asio::buffer(scratch),
                                                         asio::redirect_error(asio::use_awaitable, ec));
  }
}

asio::awaitable<void> TestTLSServer::Connection::pause(std::chrono::milliseconds duration) {
  const auto executor = co_await asio::this_coro::executor;
  asio::steady_timer timer(executor, duration);
  error_code ec;
  co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
}

asio::awaitable<void> TestTLSServer::Connection::closeTLS() {
  error_code ec;
  co_await state_->stream.async_shutdown(asio::redirect_error(asio::use_awaitable, ec));
  state_->stream.lowest_layer().close(ec);
}

void TestTLSServer::Connection::drop() {
  error_code ec;
  state_->stream.lowest_layer().close(ec);
}

struct TestTLSServer::Impl {
  Impl(const CertifiedKey& identity, Script script, const ServerOptions& options)
      : script(std::move(script)),
        context(serverContext(identity, options)),
        acceptor(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)),
        port(acceptor.local_endpoint().port()) {}

  Records records;
  Script script;
  ssl::context context;
  asio::io_context io;
  tcp::acceptor acceptor;
  std::uint16_t port;
  std::thread thread;
};

namespace {

asio::awaitable<void> serve(Records& records, const TestTLSServer::Script& script, ssl::context& context,
                            tcp::socket socket) {
  TestTLSServer::Connection connection(
      std::make_unique<TestTLSServer::Connection::State>(records, std::move(socket), context));
  try {
    co_await script(connection);
  } catch (const std::exception&) {
    // A script that failed ends its connection like one that returned.
  }
  const std::lock_guard lock(records.mutex);
  --records.active;
  records.idle.notify_all();
}

asio::awaitable<void> acceptLoop(tcp::acceptor& acceptor, Records& records, const TestTLSServer::Script& script,
                                 ssl::context& context) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      co_return;
    }
    {
      const std::lock_guard lock(records.mutex);
      ++records.accepted;
      ++records.active;
    }
    asio::co_spawn(acceptor.get_executor(), serve(records, script, context, std::move(socket)), asio::detached);
  }
}

}  // namespace

TestTLSServer::TestTLSServer(const CertifiedKey& identity, Script script, ServerOptions options)
    : impl_(std::make_unique<Impl>(identity, std::move(script), options)) {
  asio::co_spawn(impl_->io, acceptLoop(impl_->acceptor, impl_->records, impl_->script, impl_->context),
                 asio::detached);
  impl_->thread = std::thread([this] { impl_->io.run(); });
}

TestTLSServer::~TestTLSServer() {
  impl_->io.stop();
  impl_->thread.join();
}

std::uint16_t TestTLSServer::port() const { return impl_->port; }

int TestTLSServer::connectionsAccepted() const {
  const std::lock_guard lock(impl_->records.mutex);
  return impl_->records.accepted;
}

std::vector<ReceivedRequest> TestTLSServer::requests() const {
  const std::lock_guard lock(impl_->records.mutex);
  return impl_->records.requests;
}

std::vector<std::string> TestTLSServer::serverNames() const {
  const std::lock_guard lock(impl_->records.mutex);
  return impl_->records.serverNames;
}

bool TestTLSServer::waitUntilIdle(std::chrono::milliseconds limit) const {
  std::unique_lock lock(impl_->records.mutex);
  return impl_->records.idle.wait_for(lock, limit, [this] { return impl_->records.active == 0; });
}

}  // namespace platform::net::testing
