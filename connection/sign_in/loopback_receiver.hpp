#pragma once

#include "connection/sign_in/sign_in_attempt.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/actor.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/runtime/task.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <boost/url/url.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace corvanta {

struct LoopbackReceiverOptions {
  // The port the browser is sent back to. Tests pass 0 for a free port of the system's choosing;
  // the callback URL and the Host header the receiver requires still name port 53682.
  std::uint16_t port = 53682;
  // Drives the sign-in deadline and the life of each connection, and is the "now" of the
  // redirect check. It must outlive the receiver and the work it left on its executor.
  std::reference_wrapper<const platform::runtime::ContinuousClock> clock = platform::runtime::ContinuousClock::system();
};

// The one-shot HTTP listener that catches the browser's redirect at the end of one sign-in. It
// listens on the loopback addresses only: 127.0.0.1 and, where the machine has it, [::1], since
// browsers try both for localhost. It reads one request head per connection, answers every
// complete head with a small page, and hands the first redirect that the attempt accepts (or the
// reason for giving up) to the caller waiting in waitForCallback(). It writes nothing to disk; a
// new sign-in makes a new receiver.
//
// An actor: create it with std::make_shared. Call start() once, then waitForCallback() once, and
// cancel() when the sign-in is abandoned; end it (cancel() or an outcome) before dropping it.
class LoopbackReceiver final : public platform::runtime::Actor, public std::enable_shared_from_this<LoopbackReceiver> {
public:
  using URL = boost::urls::url;

  static constexpr std::uint16_t defaultPort = 53682;
  // Connections held at once; a further one is closed without being read.
  static constexpr std::size_t maximumConnections = 8;
  // Bytes asked for by one read.
  static constexpr std::size_t readByteCount = 8192;
  // From the acceptance of a connection until it is closed, answered or not.
  static constexpr std::chrono::seconds connectionLifetime{10};
  // From start() until the wait ends with ConnectionError::loginExpired.
  static constexpr std::chrono::seconds signInLifetime{300};

  LoopbackReceiver(const boost::asio::any_io_executor& executor, SignInAttempt attempt,
                   LoopbackReceiverOptions options = {});
  ~LoopbackReceiver();

  // Starts listening on 127.0.0.1 and [::1] and returns once connections are accepted. Throws
  // ConnectionError::callbackUnavailable when the port cannot be taken on either address (then
  // nothing has changed and start() may be tried again), and CancellationError when called a
  // second time, after the receiver has ended, or when the caller is cancelled (which ends the
  // receiver).
  boost::asio::awaitable<void> start();

  // The callback URL of the first redirect the attempt accepts, or the error that ended the
  // receiver: ConnectionError::authorizationDenied, loginExpired (300 seconds after start()),
  // callbackUnavailable (the listener failed), or CancellationError (cancel(), or cancellation of
  // this caller, which ends the receiver). Answers at once once the receiver has ended. Only one
  // caller may wait at a time; a second one gets CancellationError at once.
  boost::asio::awaitable<URL> waitForCallback();

  // Ends the receiver with CancellationError; no effect once it has ended.
  boost::asio::awaitable<void> cancel();

  // The IPv4 address the listener is bound to while it listens; none before start() and after the
  // end. Where [::1] is listened on too, it is on the same port.
  boost::asio::awaitable<std::optional<boost::asio::ip::tcp::endpoint>> localEndpoint();

private:
  using Instant = platform::runtime::ContinuousClock::Instant;
  using ConnectionID = platform::foundation::UUID;

  struct Connection;
  struct Outcome {
    std::optional<URL> url;
    std::exception_ptr error;
  };
  struct Waiter {
    boost::asio::any_completion_handler<void(std::exception_ptr, URL)> handler;
    // Keeps the caller's executor from running out of work while it waits.
    boost::asio::any_io_executor executor;
  };
  struct InitiateWait;

  static boost::asio::awaitable<void> startOnStrand(std::shared_ptr<LoopbackReceiver> self);
  static boost::asio::awaitable<URL> waitForCallbackOnStrand(std::shared_ptr<LoopbackReceiver> self);
  static boost::asio::awaitable<void> cancelOnStrand(std::shared_ptr<LoopbackReceiver> self);
  static boost::asio::awaitable<std::optional<boost::asio::ip::tcp::endpoint>> localEndpointOnStrand(
      std::shared_ptr<LoopbackReceiver> self);
  static boost::asio::awaitable<void> expireSignIn(std::weak_ptr<LoopbackReceiver> weak,
                                                   const platform::runtime::ContinuousClock* clock, Instant deadline);
  static boost::asio::awaitable<void> expireConnection(std::weak_ptr<LoopbackReceiver> weak,
                                                       const platform::runtime::ContinuousClock* clock,
                                                       Instant deadline, ConnectionID id);

  // Everything below runs on the strand.
  std::vector<boost::asio::ip::tcp::acceptor> listen() const;
  void acceptNext(std::size_t listener);
  void acceptWaiting(std::size_t listener);
  void acceptFailed(std::size_t listener, boost::system::error_code error);
  void accept(boost::asio::ip::tcp::socket socket);
  void receive(const ConnectionID& id, platform::Bytes buffer);
  void handleReceived(const ConnectionID& id, platform::Bytes buffer, bool isComplete, bool failed);
  void respond(const ConnectionID& id, bool accepted);
  void finish(Outcome result, std::optional<ConnectionID> keeping);
  void drop(const ConnectionID& id);
  void storeWaiter(Waiter waiter);

  const SignInAttempt attempt_;
  const LoopbackReceiverOptions options_;
  // On 127.0.0.1, then on [::1] where the machine has it; the same port on both.
  std::vector<boost::asio::ip::tcp::acceptor> listeners_;
  std::optional<Waiter> waiting_;
  std::optional<Outcome> outcome_;
  std::map<ConnectionID, std::shared_ptr<Connection>> connections_;
  platform::runtime::Task<void> timeoutTask_;
};

}  // namespace corvanta
