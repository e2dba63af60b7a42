#pragma once

#include "platform/xpc/connection.hpp"
#include "platform/xpc/frame.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include <array>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>

namespace platform::xpc {

// The state of one connection. Everything but the credentials is touched only on the strand; the
// public operations post there, so their order is kept and none blocks.
class ConnectionCore : public std::enable_shared_from_this<ConnectionCore> {
public:
  enum class Origin { service, endpoint, accepted };

  using Executor = boost::asio::io_context::executor_type;
  using LaunchExecutor = boost::asio::thread_pool::executor_type;

  // A connection that will connect to the path on resume. A service connection with a launch
  // executor asks the context's launcher there when nothing listens at the path.
  ConnectionCore(std::shared_ptr<const ContextSettings> settings, Executor executor, Origin origin, std::string path,
                 std::optional<LaunchExecutor> launchExecutor = std::nullopt);
  // A connection a listener accepted: already connected, the peer already checked.
  ConnectionCore(std::shared_ptr<const ContextSettings> settings, Executor executor, UniqueFd socket,
                 PeerCredentials peer);

  bool setRequirement(std::string_view requirement);
  void setRemoteInterface(Interface interface);
  void setExportedInterface(Interface interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);
  void resume();
  void invalidate();
  void send(std::string selector, Values arguments, std::function<void(Values)> onReply,
            std::function<void(Error)> onError);
  void reply(std::uint64_t id, std::optional<Bytes> frame);
  std::optional<PeerCredentials> peerCredentials() const;

private:
  enum class State { idle, connecting, open, interrupted, invalid };

  struct Pending {
    std::vector<Kind> replyKinds;
    std::function<void(Values)> onReply;
    std::function<void(Error)> onError;
  };

  template <typename Function>
  void onStrand(Function function);

  void connect();
  void connectOnce();
  void askLauncher();
  void launched(bool running);
  void connected();
  void open();
  void readHeader();
  void readBody(std::size_t length);
  void handle(Frame frame);
  void handleCall(Frame frame);
  void handleReply(Frame frame);
  void handleNoReply(const Frame& frame);
  void enqueue(Bytes frame);
  void writeNext();
  void peerWentAway();
  void invalidateNow(Error pendingError);
  void failPending(Error error);
  void closeSocket();

  std::shared_ptr<const ContextSettings> settings_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::local::stream_protocol::socket socket_;
  Origin origin_;
  std::string path_;
  std::optional<LaunchExecutor> launchExecutor_;
  boost::asio::steady_timer retryTimer_;
  std::optional<std::chrono::steady_clock::time_point> launchDeadline_;
  State state_ = State::idle;
  bool resumed_ = false;

  std::optional<std::string> requirement_;
  Interface remote_;
  Interface exported_;
  std::shared_ptr<ExportedObject> exportedObject_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;

  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t nextID_ = 1;
  std::deque<Bytes> outgoing_;
  std::size_t outgoingBytes_ = 0;
  Bytes inFlight_;
  bool writing_ = false;

  std::array<std::uint8_t, frameHeaderBytes> header_{};
  Bytes body_;

  mutable std::mutex credentialsMutex_;
  std::optional<PeerCredentials> credentials_;
};

}  // namespace platform::xpc
