#include "platform/net/ephemeral_session.hpp"

#include "platform/net/network_error.hpp"

#include <boost/asio/cancellation_state.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/read_size.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/vector_body.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#ifndef PLATFORM_NET_USER_AGENT
#error "PLATFORM_NET_USER_AGENT must name the product and its version"
#endif

namespace platform::net {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using Body = http::vector_body<std::uint8_t>;
using Stream = ssl::stream<beast::tcp_stream>;
using Code = NetworkError::Code;

// Large enough for any sane header block (proxies and identity providers send long cookies and
// policies), small enough that a hostile server cannot make us buffer without end.
constexpr std::size_t headerLimit = 64 * 1024;
// The most one read of the socket takes in.
constexpr std::size_t readLimit = 64 * 1024;
// What the read buffer may hold at once: a full header block plus one read. Body bytes leave it
// as they are parsed, so this is the most that an endless chunk line can cost.
constexpr std::size_t readBufferLimit = headerLimit + readLimit;
// Keeps "now + limit" far from overflowing whatever a caller configured.
constexpr std::chrono::nanoseconds longestLimit = std::chrono::hours(24 * 365);

constexpr std::string_view defaultUserAgent = PLATFORM_NET_USER_AGENT;

// Where the exchange was when it failed: the same socket error means different things before and
// after the connection stands.
enum class Phase { resolve, connect, handshake, exchange };

// What the URL says about the connection to make, checked before anything is sent.
struct Destination {
  std::string host;  // a name or an address without brackets, as resolved and verified
  bool hostIsAddress = false;
  std::uint16_t port = 443;
  std::string hostField;
  std::string target;
};

bool isTokenChar(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return isTokenChar(static_cast<unsigned char>(c)); });
}

// A value goes on the wire as written, so a line break in it would end the header early and let
// the rest pass for fields of its own; every control character but HTAB is refused.
bool isSendableValue(std::string_view text) {
  return std::ranges::none_of(text, [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7F;
  });
}

bool isHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

std::uint16_t portOf(std::string_view digits) {
  unsigned value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') {
      throw NetworkError(Code::badURL);
    }
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 65535) {
      throw NetworkError(Code::badURL);
    }
  }
  if (value == 0) {
    throw NetworkError(Code::badURL);
  }
  return static_cast<std::uint16_t>(value);
}

Destination destinationOf(const boost::urls::url& url) {
  if (url.scheme_id() != boost::urls::scheme::https) {
    throw NetworkError(Code::unsupportedURL);
  }
  // Credentials in the URL would be stored credentials by another name.
  if (!url.has_authority() || url.has_userinfo()) {
    throw NetworkError(Code::badURL);
  }
  Destination destination;
  switch (url.host_type()) {
    case boost::urls::host_type::ipv4:
      destination.host = url.host_address();
      destination.hostIsAddress = true;
      destination.hostField = destination.host;
      break;
    case boost::urls::host_type::ipv6:
      destination.host = url.host_address();
      destination.hostIsAddress = true;
      destination.hostField = "[" + destination.host + "]";
      break;
    case boost::urls::host_type::name:
      destination.host = url.host();
      if (destination.host.empty() || !std::ranges::all_of(destination.host, isHostNameChar)) {
        throw NetworkError(Code::badURL);
      }
      destination.hostField = destination.host;
      break;
    default:
      throw NetworkError(Code::badURL);
  }
  // An empty port means the scheme's own; Boost.URL wraps a port above 65535 instead of refusing it.
  if (url.has_port() && !url.port().empty()) {
    destination.port = portOf(url.port());
  }
  if (destination.port != 443) {
    destination.hostField += ":" + std::to_string(destination.port);
  }
  destination.target = url.encoded_path().empty() ? std::string("/") : std::string(url.encoded_path());
  if (url.has_query()) {
    destination.target += "?";
    destination.target += url.encoded_query();
  }
  return destination;
}

// Fields that frame the message or the connection are the session's own: a caller's copy could
// contradict the ones sent (two lengths, a chunked claim over a sized body) and split the request.
bool isSessionField(std::string_view name) {
  return headerNameEquals(name, "Host") || headerNameEquals(name, "Content-Length") ||
         headerNameEquals(name, "Transfer-Encoding") || headerNameEquals(name, "Connection");
}

http::request<Body> messageFor(const Request& request, const Destination& destination) {
  if (!isToken(request.method)) {
    throw NetworkError(Code::badURL);
  }
  for (const auto& field : request.headers) {
    if (!isToken(field.name) || !isSendableValue(field.value)) {
      throw NetworkError(Code::badURL);
    }
  }
  http::request<Body> message;
  message.version(11);
  message.method_string(request.method);
  message.target(destination.target);
  message.set(http::field::host, destination.hostField);
  for (const auto& field : request.headers) {
    if (!isSessionField(field.name)) {
      message.insert(field.name, field.value);
    }
  }
  if (!headerValue(request.headers, "User-Agent")) {
    message.set(http::field::user_agent, defaultUserAgent);
  }
  const bool expectsBody = request.method == "POST" || request.method == "PUT" || request.method == "PATCH";
  if (!request.body.empty() || expectsBody) {
    message.content_length(request.body.size());
  }
  message.set(http::field::connection, "close");
  return message;
}

bool isCancelled(const asio::cancellation_state& state) {
  return state.cancelled() != asio::cancellation_type::none;
}

// The deadlines of one exchange: each wait ends at the idle limit from now, and never after the
// end of the whole exchange.
class Deadlines {
public:
  Deadlines(std::chrono::nanoseconds whole, std::chrono::nanoseconds idle)
      : end_(Clock::now() + std::clamp(whole, std::chrono::nanoseconds::zero(), longestLimit)),
        idle_(std::clamp(idle, std::chrono::nanoseconds::zero(), longestLimit)) {}

  Clock::time_point nextWait() const { return std::min(Clock::now() + idle_, end_); }

private:
  Clock::time_point end_;
  std::chrono::nanoseconds idle_;
};

Code codeForResolve(const error_code& ec) {
  if (ec == asio::error::network_down || ec == asio::error::network_unreachable) {
    return Code::notConnectedToInternet;
  }
  return Code::cannotFindHost;
}

Code codeForConnect(const error_code& ec) {
  if (ec == asio::error::network_down || ec == asio::error::network_unreachable) {
    return Code::notConnectedToInternet;
  }
  return Code::cannotConnectToHost;
}

Code codeForHandshake(Stream& stream) {
  // A refused certificate shows in the verification result; everything else that breaks the
  // handshake (protocol version, alerts, a peer that hangs up) is a failed secure connection.
  if (SSL_get_verify_result(stream.native_handle()) != X509_V_OK) {
    return Code::serverCertificateUntrusted;
  }
  return Code::secureConnectionFailed;
}

Code codeForExchange(const error_code& ec) {
  if (ec == http::error::body_limit) {
    return Code::bodyTooLarge;
  }
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
    return Code::networkConnectionLost;
  }
  // Whatever else the parser refuses is a server that does not speak HTTP as it must.
  if (ec.category() == http::make_error_code(http::error::body_limit).category()) {
    return Code::badServerResponse;
  }
  return Code::networkConnectionLost;
}

// Turns a failed step into the error the caller sees. The caller's cancellation wins over whatever
// the aborted operation reported, and our own time limits are told apart from it by their code.
[[noreturn]] void fail(const error_code& ec, Phase phase, const asio::cancellation_state& cancellation,
                       Stream* stream = nullptr) {
  if (isCancelled(cancellation)) {
    throw NetworkError(Code::cancelled);
  }
  if (ec == beast::error::timeout) {
    throw NetworkError(Code::timedOut);
  }
  switch (phase) {
    case Phase::resolve: throw NetworkError(codeForResolve(ec));
    case Phase::connect: throw NetworkError(codeForConnect(ec));
    case Phase::handshake: throw NetworkError(stream ? codeForHandshake(*stream) : Code::secureConnectionFailed);
    case Phase::exchange: throw NetworkError(codeForExchange(ec));
  }
  throw NetworkError(Code::networkConnectionLost);
}

void throwIfCancelled(const asio::cancellation_state& cancellation) {
  if (isCancelled(cancellation)) {
    throw NetworkError(Code::cancelled);
  }
}

// The system resolver blocks in a helper thread and cannot be interrupted, so the lookup runs on
// its own and the exchange waits only for the first of: its answer, the time limit, the caller's
// cancellation. A late answer lands in the shared outcome and is dropped with it.
asio::awaitable<tcp::resolver::results_type> resolve(const Destination& destination, const Deadlines& deadlines,
                                                     const asio::cancellation_state& cancellation) {
  struct Outcome {
    bool done = false;
    error_code ec;
    tcp::resolver::results_type results;
  };
  const auto executor = co_await asio::this_coro::executor;
  auto outcome = std::make_shared<Outcome>();
  auto wake = std::make_shared<asio::steady_timer>(executor, deadlines.nextWait());
  auto resolver = std::make_shared<tcp::resolver>(executor);
  auto flags = tcp::resolver::numeric_service;
  if (destination.hostIsAddress) {
    flags |= tcp::resolver::numeric_host;
  }
  resolver->async_resolve(
      destination.host, std::to_string(destination.port), flags,
      [resolver, outcome, wakeRef = std::weak_ptr<asio::steady_timer>(wake)](const error_code& ec,
                                                                             tcp::resolver::results_type results) {
        outcome->done = true;
        outcome->ec = ec;
        outcome->results = std::move(results);
        if (const auto waiting = wakeRef.lock()) {
          waiting->cancel();
        }
      });
  error_code waitError;
  co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, waitError));
  if (!outcome->done) {
    // Spares the helper thread a lookup that has not started yet; one under way runs to its end.
    resolver->cancel();
  }
  throwIfCancelled(cancellation);
  if (!outcome->done) {
    throw NetworkError(waitError ? Code::cancelled : Code::timedOut);
  }
  if (outcome->ec) {
    fail(outcome->ec, Phase::resolve, cancellation);
  }
  co_return outcome->results;
}

Response responseOf(http::response_parser<Body>& parser) {
  auto message = parser.release();
  Response response;
  response.status = static_cast<int>(message.result_int());
  for (const auto& field : message) {
    response.headers.push_back(HeaderField{std::string(field.name_string()), std::string(field.value())});
  }
  response.body = std::move(message.body());
  return response;
}

bool isInterim(unsigned status) { return status >= 100 && status < 200 && status != 101; }

// Hands the parser what the buffer holds, as far as it can take it; `ec` tells what it refused.
void parseBuffered(http::response_parser<Body>& parser, beast::flat_buffer& buffer, error_code& ec) {
  while (buffer.size() > 0 && !parser.is_done()) {
    const auto used = parser.put(buffer.data(), ec);
    buffer.consume(used);
    if (ec == http::error::need_more) {
      ec = {};
      return;
    }
    // Taking nothing without refusing is wanting more, as need_more says.
    if (ec || used == 0) {
      return;
    }
  }
}

// Reads until the parser holds one whole message. Each read of the socket waits at most the idle
// limit from its own start, so every byte that arrives renews it, in the header block as in the
// body (the parser takes a header block only whole, and Beast's own read would wait for all of it
// under one limit). A peer that keeps sending, however slowly, is bound by the whole limit alone.
asio::awaitable<void> readMessage(Stream& stream, beast::flat_buffer& buffer, http::response_parser<Body>& parser,
                                  const Deadlines& deadlines, const asio::cancellation_state& cancellation) {
  auto& socket = beast::get_lowest_layer(stream);
  error_code ec;
  for (;;) {
    parseBuffered(parser, buffer, ec);
    if (ec) {
      fail(ec, Phase::exchange, cancellation);
    }
    if (parser.is_done()) {
      co_return;
    }
    const auto room = beast::read_size(buffer, readLimit);
    if (room == 0) {
      fail(http::error::buffer_overflow, Phase::exchange, cancellation);
    }
    const auto space = buffer.prepare(room);
    socket.expires_at(deadlines.nextWait());
    const auto received = co_await stream.async_read_some(space, asio::redirect_error(asio::use_awaitable, ec));
    buffer.commit(received);
    if (ec == asio::error::eof) {
      // A close is the end of a body framed by it, and a truncation anywhere else.
      if (!parser.got_some()) {
        fail(http::error::end_of_stream, Phase::exchange, cancellation);
      }
      ec = {};
      parser.put_eof(ec);
      if (ec) {
        fail(ec, Phase::exchange, cancellation);
      }
      throwIfCancelled(cancellation);
      co_return;
    }
    if (ec) {
      fail(ec, Phase::exchange, cancellation);
    }
    throwIfCancelled(cancellation);
  }
}

// Asio would make the socket without close-on-exec; a program that another thread of this process
// starts meanwhile (the browser of a sign-in) would then hold the connection open after we close it.
void openCloseOnExec(tcp::socket& socket, const tcp& protocol, error_code& ec) {
  const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, protocol.protocol());
  if (fd < 0) {
    ec = error_code(errno, boost::system::system_category());
    return;
  }
  socket.assign(protocol, fd, ec);
  if (ec) {
    ::close(fd);
  }
}

}  // namespace

namespace detail {

// What every exchange of a session shares; read-only once the session is built.
struct SessionState {
  SessionConfiguration configuration;
  ssl::context context{ssl::context::tls_client};
};

}  // namespace detail

namespace {

// Reports "the extra authorities are unusable" as a configuration fault, apart from network errors.
void loadAuthorities(ssl::context& context, const std::filesystem::path& file) {
  error_code ec;
  context.load_verify_file(file.string(), ec);
  if (ec) {
    throw std::invalid_argument("the certificate authorities in " + file.string() + " cannot be read");
  }
}

asio::awaitable<Response> exchange(std::shared_ptr<detail::SessionState> shared, Request request);

}  // namespace

SessionConfiguration SessionConfiguration::ephemeral(std::chrono::nanoseconds timeout) {
  SessionConfiguration configuration;
  configuration.resourceTimeout = timeout;
  configuration.idleTimeout = std::min<std::chrono::nanoseconds>(timeout, std::chrono::seconds(30));
  return configuration;
}

EphemeralSession::EphemeralSession(SessionConfiguration configuration) : shared_(std::make_shared<detail::SessionState>()) {
  shared_->configuration = std::move(configuration);
  auto& context = shared_->context;
  SSL_CTX* native = context.native_handle();
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1) {
    throw std::runtime_error("TLS 1.2 cannot be required");
  }
  // Nothing of one exchange may help the next: no resumed sessions, no renegotiation mid-stream.
  SSL_CTX_set_session_cache_mode(native, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(native, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  context.set_default_verify_paths();
  context.set_verify_mode(ssl::verify_peer);
  if (shared_->configuration.extraCertificateAuthorities) {
    loadAuthorities(context, *shared_->configuration.extraCertificateAuthorities);
  }
}

const SessionConfiguration& EphemeralSession::configuration() const { return shared_->configuration; }

asio::awaitable<Response> EphemeralSession::send(Request request) const {
  return exchange(shared_, std::move(request));
}

namespace {

asio::awaitable<Response> exchange(std::shared_ptr<detail::SessionState> shared, Request request) {
  const auto cancellation = co_await asio::this_coro::cancellation_state;
  // Signals emitted before the call reach no operation, so they are looked at here.
  throwIfCancelled(cancellation);
  const Destination destination = destinationOf(request.url);
  auto message = messageFor(request, destination);
  message.body() = std::move(request.body);
  const auto& configuration = shared->configuration;
  const Deadlines deadlines(configuration.resourceTimeout, std::min(request.timeout, configuration.idleTimeout));

  try {
    const auto endpoints = co_await resolve(destination, deadlines, cancellation);

    const auto executor = co_await asio::this_coro::executor;
    Stream stream(executor, shared->context);
    SSL* native = stream.native_handle();
    // Host checks are explicit: OpenSSL verifies the chain alone unless told which name (or
    // address) the certificate must carry. Addresses are never sent as a server name. Only the
    // subject alternative names identify the server: OpenSSL would otherwise accept a host named
    // only in the subject's common name, which no authority is bound to check as a host name.
    SSL_set_hostflags(native, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
    if (destination.hostIsAddress) {
      if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(native), destination.host.c_str()) != 1) {
        throw NetworkError(Code::badURL);
      }
    } else if (SSL_set_tlsext_host_name(native, destination.host.c_str()) != 1 ||
               SSL_set1_host(native, destination.host.c_str()) != 1) {
      throw NetworkError(Code::badURL);
    }
    auto& socket = beast::get_lowest_layer(stream);
    error_code ec;

    // The addresses are tried in turn, all within one wait, each on a socket of our own making.
    const auto connectBy = deadlines.nextWait();
    ec = asio::error::not_found;
    for (const auto& entry : endpoints) {
      error_code ignored;
      socket.socket().close(ignored);
      openCloseOnExec(socket.socket(), entry.endpoint().protocol(), ec);
      if (ec) {
        continue;
      }
      socket.expires_at(connectBy);
      co_await socket.async_connect(entry.endpoint(), asio::redirect_error(asio::use_awaitable, ec));
      if (!ec || ec == beast::error::timeout || isCancelled(cancellation)) {
        break;
      }
    }
    if (ec) {
      fail(ec, Phase::connect, cancellation);
    }
    throwIfCancelled(cancellation);
    // The request and the handshake go out in small writes that must not wait for the peer's
    // delayed acknowledgements.
    socket.socket().set_option(tcp::no_delay(true), ec);

    socket.expires_at(deadlines.nextWait());
    co_await stream.async_handshake(ssl::stream_base::client, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      fail(ec, Phase::handshake, cancellation, &stream);
    }
    throwIfCancelled(cancellation);

    http::request_serializer<Body> serializer(message);
    while (!serializer.is_done()) {
      socket.expires_at(deadlines.nextWait());
      co_await http::async_write_some(stream, serializer, asio::redirect_error(asio::use_awaitable, ec));
      if (ec) {
        fail(ec, Phase::exchange, cancellation);
      }
      throwIfCancelled(cancellation);
    }

    beast::flat_buffer buffer(readBufferLimit);
    for (;;) {
      http::response_parser<Body> parser;
      parser.header_limit(static_cast<std::uint32_t>(headerLimit));
      parser.body_limit(configuration.bodyLimit);
      parser.skip(message.method() == http::verb::head);
      co_await readMessage(stream, buffer, parser, deadlines, cancellation);
      // Interim answers only announce the final one. A framed final answer is complete here: a
      // peer that then drops the connection without a TLS close cannot truncate it any more, so
      // the connection is simply closed, without waiting for its farewell.
      if (!isInterim(parser.get().result_int())) {
        co_return responseOf(parser);
      }
    }
  } catch (const boost::system::system_error& error) {
    // A caller that keeps asio's "throw when cancelled" setting sees its cancellation as an
    // exception out of the next co_await rather than as an error code.
    if (error.code() == asio::error::operation_aborted && isCancelled(cancellation)) {
      throw NetworkError(Code::cancelled);
    }
    throw NetworkError(Code::networkConnectionLost);
  }
}

}  // namespace

}  // namespace platform::net
