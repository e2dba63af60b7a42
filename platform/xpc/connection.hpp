#pragma once

#include "platform/xpc/context.hpp"
#include "platform/xpc/unix_socket.hpp"
#include "platform/xpc/value.hpp"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::xpc {

// Why a message got no reply.
enum class Error {
  interrupted,   // the named service went away; the connection was interrupted
  invalid,       // the connection is or became invalid
  replyDropped,  // the other side dropped the reply unsent
  protocol,      // the message does not fit the remote interface, or the peer broke the protocol
  overloaded,    // too many bytes are queued for a peer that does not read them
};

class ConnectionCore;

// The reply to one call an exported object received. The first call sends; later calls do nothing,
// as does a call after the connection went. Dropped unsent, it sends the caller an error instead,
// so every call ends with exactly one of its two callbacks.
class Reply {
public:
  Reply(Reply&& other) noexcept;
  Reply& operator=(Reply&& other) noexcept;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  ~Reply();

  // Values that do not have the method's reply kinds are not sent; the caller gets replyDropped.
  void operator()(Values values);

private:
  friend class ConnectionCore;
  Reply(std::weak_ptr<ConnectionCore> connection, std::uint64_t id, std::vector<Kind> kinds);
  void finish(std::optional<Values> values);

  std::weak_ptr<ConnectionCore> connection_;
  std::uint64_t id_ = 0;
  std::vector<Kind> kinds_;
  bool done_ = true;
};

// What a connection exports: calls of its exported interface arrive here, one at a time and in
// order, on the connection's strand.
class ExportedObject {
public:
  virtual ~ExportedObject() = default;
  virtual void invoke(const std::string& selector, Values arguments, Reply reply) = 0;
};

// One connection between two processes. Every operation may be called from any thread, including
// from the connection's own callbacks; none blocks. Its events run on the context's I/O threads,
// serially and in order: exported calls and replies, then at most one invalidation handler, after
// which no handler and no exported call runs. A connection that was never resumed runs no handler.
//
// - to a named service: the peer going away runs the interruption handler; later sends fail with
//   interrupted (the connection does not reconnect) until invalidate() runs the invalidation handler;
// - to an endpoint, and accepted by a listener: the peer going away runs the invalidation handler;
// - a failed connect, a server that does not satisfy the requirement, a protocol violation by the
//   peer and invalidate() run the invalidation handler. A connection to a named service that finds
//   nothing listening first asks the context's launcher, if it has one, and keeps trying while the
//   launcher answers that the service's program runs, for at most the context's launch wait; the
//   connect has failed when the launcher says no or the wait is over.
// When the connection breaks, its handler runs before the error callbacks of calls still waiting.
// Destroying the last handle invalidates the connection.
class Connection {
public:
  static std::shared_ptr<Connection> toService(Context& context, const std::string& serviceName);
  static std::shared_ptr<Connection> toEndpoint(Context& context, const Endpoint& endpoint);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The server must satisfy the requirement before anything is sent. False when the context's
  // verifier does not accept the text (or there is no verifier); the requirement is then unchanged.
  bool setCodeSigningRequirement(std::string_view requirement);
  void setRemoteInterface(Interface interface);
  void setExportedInterface(Interface interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  // An empty function clears the handler; a handler cleared before invalidate() never runs.
  void setInvalidationHandler(std::function<void()> handler);
  void setInterruptionHandler(std::function<void()> handler);

  void resume();
  void invalidate();

  // Calls a method of the remote interface. Exactly one callback runs, on the connection's strand:
  // onReply with the reply's values, or onError. Calls sent before resume() wait for it.
  void send(std::string selector, Values arguments, std::function<void(Values)> onReply,
            std::function<void(Error)> onError);

  // The peer's credentials as the kernel gives them; none before a connection is made.
  std::optional<PeerCredentials> peerCredentials() const;
  std::optional<uid_t> peerEffectiveUID() const;
  std::optional<pid_t> peerPID() const;

  // For the listener, which hands accepted connections to its delegate.
  explicit Connection(std::shared_ptr<ConnectionCore> core);

private:
  std::shared_ptr<ConnectionCore> core_;
};

// The socket path of a named service in the context's runtime directory.
std::string serviceSocketPath(const Context& context, const std::string& serviceName);

}  // namespace platform::xpc
