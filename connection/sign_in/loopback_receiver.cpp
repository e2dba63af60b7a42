#include "connection/sign_in/loopback_receiver.hpp"

#include "connection/sign_in/callback_request.hpp"
#include "connection/transport/connection_error.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/sleep.hpp"

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace corvanta {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using platform::runtime::CancellationError;
using namespace std::chrono_literals;

constexpr std::string_view headEnd = "\r\n\r\n";

// How long the listener pauses after running out of descriptors or memory before it accepts again.
constexpr auto acceptBackOff = 100ms;

std::string answerPage(bool accepted) {
  const std::string_view heading = accepted ? "Return to Corvanta Sign" : "Sign-in response not accepted";
  const std::string_view paragraph = accepted ? "The app is finishing your connection. You can close this tab."
                                              : "Return to the app to continue signing in.";
  std::string body =
      "<!doctype html><html lang=\"en\"><meta charset=\"utf-8\"><meta name=\"viewport\" "
      "content=\"width=device-width\"><title>Corvanta Sign</title><body><h1>";
  body += heading;
  body += "</h1><p>";
  body += paragraph;
  body += "</p></body></html>";

  std::string response = accepted ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 400 Bad Request\r\n";
  response += "Content-Type: text/html; charset=utf-8\r\n";
  response += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  response +=
      "Cache-Control: no-store\r\n"
      "Pragma: no-cache\r\n"
      "Referrer-Policy: no-referrer\r\n"
      "Content-Security-Policy: default-src 'none'; frame-ancestors 'none'\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Connection: close\r\n"
      "\r\n";
  response += body;
  return response;
}

// The output ends after the answer (a FIN, not a reset), so that the browser reads all of it.
void closeGracefully(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
}

// Tries for a port that is free on both loopback addresses when the system chooses it.
constexpr int portChoices = 8;

// A listening socket on `endpoint` in `listener`, or the error of the step that failed.
boost::system::error_code listenOn(tcp::acceptor& listener, const tcp::endpoint& endpoint) {
  // Close-on-exec from its creation: the app opens the browser as a child process right after
  // start(), and a listening socket it inherited would keep the port taken after this receiver
  // is gone, so that every later sign-in would fail as if another instance held it. (Asio's
  // open() would leave it inheritable.)
  const auto protocol = endpoint.protocol();
  const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) return {errno, boost::system::system_category()};
  boost::system::error_code error;
  listener.assign(protocol, fd, error);
  if (error) {
    ::close(fd);
    return error;
  }
  // The loopback address only, never every address; on IPv6 without the IPv4 addresses mapped
  // into it. Address reuse lets a sign-in bind again while the connections of the previous one
  // wait out TIME_WAIT on this port; the system still refuses it while another socket listens
  // there. Port reuse, which would let two listeners share the port, is never set.
  if (protocol == tcp::v6()) listener.set_option(asio::ip::v6_only(true), error);
  if (!error) listener.set_option(tcp::acceptor::reuse_address(true), error);
  // A connection that is gone again by the time it is taken must not block the strand.
  if (!error) listener.non_blocking(true, error);
  if (!error) listener.bind(endpoint, error);
  if (!error) listener.listen(asio::socket_base::max_listen_connections, error);
  return error;
}

// A machine without IPv6, or with IPv6 switched off on its loopback interface.
bool hasNoIPv6Loopback(const boost::system::error_code& error) {
  return error == boost::system::errc::address_family_not_supported ||
         error == boost::system::errc::address_not_available;
}

// The connection waiting on `listener`, close-on-exec and non-blocking from the moment it
// exists: the app starts the browser as a child process while connections arrive, and a child
// that inherited one would hold the browser's connection (and the port) open. Asio's own accept
// has no such flag, so it leaves a moment in which a child started meanwhile inherits it.
tcp::socket acceptCloseOnExec(tcp::acceptor& listener, const asio::any_io_executor& executor,
                              boost::system::error_code& error) {
  tcp::socket socket(executor);
  const auto local = listener.local_endpoint(error);
  if (error) return socket;
  const int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) {
    error.assign(errno, boost::system::system_category());
    return socket;
  }
  socket.assign(local.protocol(), fd, error);
  if (error) ::close(fd);
  return socket;
}

bool nothingToAccept(const boost::system::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again || error == asio::error::interrupted;
}

bool listenerIsBroken(const boost::system::error_code& error) {
  return error == asio::error::bad_descriptor || error == asio::error::invalid_argument ||
         error == asio::error::not_socket;
}

}  // namespace

struct LoopbackReceiver::Connection {
  explicit Connection(tcp::socket socket) : socket(std::move(socket)) {}

  // Closes the socket and stops the wait for the end of its lifetime, which would otherwise hold
  // its memory for the full 10 seconds: a flood of short connections would pile them up.
  void end() {
    closeGracefully(socket);
    if (expiry.isValid()) expiry.cancel();
  }

  tcp::socket socket;
  std::array<std::uint8_t, readByteCount> chunk{};
  platform::runtime::Task<void> expiry;
};

// Stores the suspended waitForCallback() on the strand, within the co_await that suspends it, so
// that nothing can finish the receiver between the check of the outcome and the storing.
struct LoopbackReceiver::InitiateWait {
  std::shared_ptr<LoopbackReceiver> self;

  template <typename Handler>
  void operator()(Handler&& handler) const {
    asio::any_io_executor executor =
        asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    asio::any_completion_handler<void(std::exception_ptr, URL)> erased(std::forward<Handler>(handler));
    auto slot = asio::get_associated_cancellation_slot(erased);
    if (slot.is_connected()) {
      // The slot's handler must not be cleared while it runs, so the cancellation is a step of
      // its own on the strand; it holds the receiver until it has run.
      slot.assign([weak = std::weak_ptr<LoopbackReceiver>(self)](asio::cancellation_type type) {
        if (type == asio::cancellation_type::none) return;
        if (auto receiver = weak.lock()) {
          auto strand = receiver->strand();
          asio::post(strand, [receiver = std::move(receiver)] {
            receiver->finish({std::nullopt, std::make_exception_ptr(CancellationError())}, std::nullopt);
          });
        }
      });
    }
    self->storeWaiter({std::move(erased), std::move(executor)});
  }
};

LoopbackReceiver::LoopbackReceiver(const asio::any_io_executor& executor, SignInAttempt attempt,
                                   LoopbackReceiverOptions options)
    : Actor(executor), attempt_(std::move(attempt)), options_(options) {}

LoopbackReceiver::~LoopbackReceiver() {
  if (timeoutTask_.isValid()) timeoutTask_.cancel();
  for (const auto& [id, connection] : connections_) {
    if (connection->expiry.isValid()) connection->expiry.cancel();
  }
}

asio::awaitable<void> LoopbackReceiver::start() { return onStrand(startOnStrand(shared_from_this())); }

asio::awaitable<LoopbackReceiver::URL> LoopbackReceiver::waitForCallback() {
  return onStrand(waitForCallbackOnStrand(shared_from_this()));
}

asio::awaitable<void> LoopbackReceiver::cancel() { return onStrand(cancelOnStrand(shared_from_this())); }

asio::awaitable<std::optional<tcp::endpoint>> LoopbackReceiver::localEndpoint() {
  return onStrand(localEndpointOnStrand(shared_from_this()));
}

asio::awaitable<void> LoopbackReceiver::startOnStrand(std::shared_ptr<LoopbackReceiver> self) {
  if (self->outcome_ || !self->listeners_.empty()) throw CancellationError();
  // Binding is synchronous here: once listen() succeeds the listeners are ready, and a failure
  // leaves the receiver as it was, with nothing bound.
  self->listeners_ = self->listen();
  for (std::size_t listener = 0; listener < self->listeners_.size(); ++listener) self->acceptNext(listener);
  const auto deadline = self->options_.clock.get().now().advancedBy(signInLifetime);
  self->timeoutTask_ = platform::runtime::startTask(
      self->strand(), expireSignIn(self->weak_from_this(), &self->options_.clock.get(), deadline));
  // A caller cancelled before or during the call ends the receiver, as it would while waiting for
  // the listener to become ready.
  const bool cancelled = co_await platform::runtime::isCancelled();
  if (cancelled) self->finish({std::nullopt, std::make_exception_ptr(CancellationError())}, std::nullopt);
  if (self->outcome_ && self->outcome_->error) std::rethrow_exception(self->outcome_->error);
}

asio::awaitable<LoopbackReceiver::URL> LoopbackReceiver::waitForCallbackOnStrand(
    std::shared_ptr<LoopbackReceiver> self) {
  if (self->outcome_) {
    if (self->outcome_->error) std::rethrow_exception(self->outcome_->error);
    co_return *self->outcome_->url;
  }
  // The caller never waits twice; should it, the first wait must not be lost.
  if (self->waiting_) throw CancellationError();
  const bool cancelled = co_await platform::runtime::isCancelled();
  if (cancelled) {
    self->finish({std::nullopt, std::make_exception_ptr(CancellationError())}, std::nullopt);
    throw CancellationError();
  }
  auto waiting = asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, URL)>(
      InitiateWait{self}, asio::use_awaitable);
  URL url = co_await std::move(waiting);
  co_return url;
}

asio::awaitable<void> LoopbackReceiver::cancelOnStrand(std::shared_ptr<LoopbackReceiver> self) {
  self->finish({std::nullopt, std::make_exception_ptr(CancellationError())}, std::nullopt);
  co_return;
}

asio::awaitable<std::optional<tcp::endpoint>> LoopbackReceiver::localEndpointOnStrand(
    std::shared_ptr<LoopbackReceiver> self) {
  if (self->listeners_.empty()) co_return std::nullopt;
  boost::system::error_code error;
  const auto endpoint = self->listeners_.front().local_endpoint(error);
  if (error) co_return std::nullopt;
  co_return endpoint;
}

asio::awaitable<void> LoopbackReceiver::expireSignIn(std::weak_ptr<LoopbackReceiver> weak,
                                                     const platform::runtime::ContinuousClock* clock,
                                                     Instant deadline) {
  try {
    co_await platform::runtime::sleepUntil(*clock, deadline);
  } catch (const CancellationError&) {
    co_return;
  }
  if (auto self = weak.lock()) {
    self->finish({std::nullopt, std::make_exception_ptr(ConnectionError::loginExpired)}, std::nullopt);
  }
}

asio::awaitable<void> LoopbackReceiver::expireConnection(std::weak_ptr<LoopbackReceiver> weak,
                                                         const platform::runtime::ContinuousClock* clock,
                                                         Instant deadline, ConnectionID id) {
  try {
    co_await platform::runtime::sleepUntil(*clock, deadline);
  } catch (const CancellationError&) {
    // The connection has ended already.
    co_return;
  }
  if (auto self = weak.lock()) self->drop(id);
}

std::vector<tcp::acceptor> LoopbackReceiver::listen() const {
  // Browsers try both loopback addresses for localhost, so [::1] is held as well: whoever else
  // listened there would be handed the code and state of this sign-in. Both on the same port,
  // since the redirect names one.
  for (int choice = 1;; ++choice) {
    std::vector<tcp::acceptor> listeners;
    listeners.reserve(2);
    auto& v4 = listeners.emplace_back(strand());
    if (listenOn(v4, {asio::ip::address_v4::loopback(), options_.port})) throw ConnectionError::callbackUnavailable;
    boost::system::error_code error;
    const auto port = v4.local_endpoint(error).port();
    if (error) throw ConnectionError::callbackUnavailable;

    auto& v6 = listeners.emplace_back(strand());
    error = listenOn(v6, {asio::ip::address_v6::loopback(), port});
    if (!error) return listeners;
    if (hasNoIPv6Loopback(error)) {
      listeners.pop_back();
      return listeners;
    }
    // A port the system chose for 127.0.0.1 may be taken on [::1]; another one is tried then.
    const bool chooseAgain = options_.port == 0 && error == asio::error::address_in_use && choice < portChoices;
    if (!chooseAgain) throw ConnectionError::callbackUnavailable;
  }
}

void LoopbackReceiver::acceptNext(std::size_t listener) {
  if (listener >= listeners_.size()) return;
  // Only the wait goes through Asio; the accepting is acceptWaiting's, see acceptCloseOnExec.
  listeners_[listener].async_wait(tcp::acceptor::wait_read,
                                  [weak = weak_from_this(), listener](boost::system::error_code error) {
                                    auto self = weak.lock();
                                    if (!self) return;
                                    if (error) {
                                      self->acceptFailed(listener, error);
                                      return;
                                    }
                                    self->acceptWaiting(listener);
                                  });
}

void LoopbackReceiver::acceptWaiting(std::size_t listener) {
  if (listener >= listeners_.size()) return;
  boost::system::error_code error;
  auto socket = acceptCloseOnExec(listeners_[listener], strand(), error);
  // Woken for a connection that has gone again before it was taken.
  if (nothingToAccept(error)) {
    acceptNext(listener);
    return;
  }
  if (error) {
    acceptFailed(listener, error);
    return;
  }
  accept(std::move(socket));
  acceptNext(listener);
}

void LoopbackReceiver::acceptFailed(std::size_t listener, boost::system::error_code error) {
  if (listener >= listeners_.size() || outcome_ || error == asio::error::operation_aborted) return;
  if (listenerIsBroken(error)) {
    finish({std::nullopt, std::make_exception_ptr(ConnectionError::callbackUnavailable)}, std::nullopt);
    return;
  }
  // A peer that gave up before it was accepted costs nothing; running out of descriptors or
  // memory passes, so the listener waits a moment instead of spinning or giving up.
  if (error == asio::error::connection_aborted) {
    acceptNext(listener);
    return;
  }
  auto pause = std::make_shared<asio::steady_timer>(strand(), acceptBackOff);
  pause->async_wait([weak = weak_from_this(), pause, listener](boost::system::error_code) {
    if (auto self = weak.lock()) self->acceptNext(listener);
  });
}

void LoopbackReceiver::accept(tcp::socket socket) {
  if (outcome_ || connections_.size() >= maximumConnections) {
    boost::system::error_code ignored;
    socket.close(ignored);
    return;
  }
  const auto id = ConnectionID::random();
  auto connection = std::make_shared<Connection>(std::move(socket));
  const auto& clock = options_.clock.get();
  connection->expiry = platform::runtime::startTask(
      strand(), expireConnection(weak_from_this(), &clock, clock.now().advancedBy(connectionLifetime), id));
  connections_.emplace(id, std::move(connection));
  receive(id, {});
}

void LoopbackReceiver::receive(const ConnectionID& id, platform::Bytes buffer) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  auto connection = found->second;
  auto received = [weak = weak_from_this(), connection, id, buffer = std::move(buffer)](boost::system::error_code error,
                                                                                        std::size_t count) mutable {
    auto self = weak.lock();
    if (!self) return;
    const auto& chunk = connection->chunk;
    buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
    const bool ended = error == asio::error::eof;
    self->handleReceived(id, std::move(buffer), ended, error && !ended);
  };
  connection->socket.async_read_some(asio::buffer(connection->chunk), std::move(received));
}

void LoopbackReceiver::handleReceived(const ConnectionID& id, platform::Bytes buffer, bool isComplete, bool failed) {
  if (!connections_.contains(id)) return;
  if (failed || buffer.size() > maximumCallbackRequestByteCount) {
    drop(id);
    return;
  }
  const auto end = std::search(buffer.begin(), buffer.end(), headEnd.begin(), headEnd.end());
  if (end == buffer.end()) {
    if (isComplete) {
      drop(id);
    } else {
      receive(id, std::move(buffer));
    }
    return;
  }

  std::optional<URL> accepted;
  bool denied = false;
  try {
    URL callback = parseCallbackRequest(buffer);
    attempt_.authorizationCode(callback, options_.clock.get().now());
    accepted = std::move(callback);
  } catch (const ConnectionError& error) {
    denied = error == ConnectionError::authorizationDenied;
  } catch (const std::exception&) {
    // Whatever else went wrong with this request, the browser gets the same refusal.
  }

  if (accepted) {
    respond(id, true);
    finish({std::move(accepted), nullptr}, id);
  } else if (denied) {
    respond(id, false);
    finish({std::nullopt, std::make_exception_ptr(ConnectionError::authorizationDenied)}, id);
  } else {
    respond(id, false);
  }
}

void LoopbackReceiver::respond(const ConnectionID& id, bool accepted) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  auto connection = found->second;
  auto answer = std::make_shared<const std::string>(answerPage(accepted));
  auto& socket = connection->socket;
  const auto bytes = asio::buffer(*answer);
  asio::async_write(socket, bytes,
                    [weak = weak_from_this(), connection = std::move(connection), answer = std::move(answer), id](
                        boost::system::error_code, std::size_t) {
                      if (auto self = weak.lock()) {
                        self->drop(id);
                      } else {
                        connection->end();
                      }
                    });
}

void LoopbackReceiver::finish(Outcome result, std::optional<ConnectionID> keeping) {
  if (outcome_) return;
  outcome_ = std::move(result);

  if (waiting_) {
    Waiter waiter(std::move(*waiting_));
    waiting_.reset();
    // Cleared first: a cancellation that arrives from now on has nothing left to cancel.
    asio::get_associated_cancellation_slot(waiter.handler).clear();
    const auto executor = waiter.executor;
    asio::post(executor,
               [handler = std::move(waiter.handler), error = outcome_->error,
                url = outcome_->url.value_or(URL())]() mutable { std::move(handler)(error, std::move(url)); });
  }

  for (auto& listener : listeners_) {
    boost::system::error_code ignored;
    listener.close(ignored);
  }
  listeners_.clear();
  if (timeoutTask_.isValid()) {
    timeoutTask_.cancel();
    timeoutTask_ = {};
  }

  for (auto it = connections_.begin(); it != connections_.end();) {
    if (keeping && it->first == *keeping) {
      ++it;
      continue;
    }
    it->second->end();
    it = connections_.erase(it);
  }
}

void LoopbackReceiver::drop(const ConnectionID& id) {
  const auto found = connections_.find(id);
  if (found == connections_.end()) return;
  const auto connection = found->second;
  connections_.erase(found);
  connection->end();
}

void LoopbackReceiver::storeWaiter(Waiter waiter) { waiting_.emplace(std::move(waiter)); }

}  // namespace corvanta
