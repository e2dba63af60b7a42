#pragma once

#include "platform/xpc/connection.hpp"
#include "platform/xpc/context.hpp"
#include "platform/xpc/value.hpp"

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::xpc {

class ListenerError : public std::runtime_error {
public:
  enum class Case {
    invalidName,  // empty, ".", "..", or holding "/" or NUL
    pathTooLong,  // the socket path would not fit a socket address
    inUse,        // a live listener answers at the path
    system,       // the socket could not be made, bound or listened on
  };
  ListenerError(Case which, const std::string& what);
  Case which() const { return case_; }

private:
  Case case_;
};

class Listener;

// Decides on each new connection, on the listener's strand, one at a time. Accepting means keeping
// the connection (and resuming it); refusing or dropping it closes it.
class ListenerDelegate {
public:
  virtual ~ListenerDelegate() = default;
  virtual bool shouldAccept(Listener& listener, std::shared_ptr<Connection> connection) = 0;
};

class ListenerCore;

// A socket in the runtime directory that accepts connections. Each new peer is checked before the
// delegate hears of it: its credentials must be readable and, with a requirement set, its process
// must satisfy it; otherwise it is closed before a byte of it is read. Destroying the last handle
// invalidates the listener; connections it handed out live on.
class Listener : public std::enable_shared_from_this<Listener> {
public:
  // The listener of a named service, at <runtime directory>/<name>. A socket file left there by a
  // listener that is gone is replaced; one that still answers is not (inUse).
  static std::shared_ptr<Listener> forService(Context& context, const std::string& serviceName);
  // A listener at a fresh path, reachable through its endpoint.
  static std::shared_ptr<Listener> anonymous(Context& context);

  explicit Listener(std::shared_ptr<ListenerCore> core);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // False when the context's verifier does not accept the text (or there is none).
  bool setConnectionCodeSigningRequirement(std::string_view requirement);
  // Held weakly: a delegate that is gone refuses every connection.
  void setDelegate(std::weak_ptr<ListenerDelegate> delegate);
  Endpoint endpoint() const;
  void resume();
  // Stops accepting and removes the socket file; does not wait for a delegate call in progress.
  void invalidate();

private:
  std::shared_ptr<ListenerCore> core_;
};

}  // namespace platform::xpc
