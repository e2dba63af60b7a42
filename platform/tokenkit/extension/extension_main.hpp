#pragma once

#include "platform/tokenkit/token_driver.hpp"

#include <cstddef>
#include <functional>
#include <memory>

namespace platform::tokenkit {

// The descriptor on which a token extension finds its connection to the host that started it.
inline constexpr int extensionHostDescriptor = 3;

// The whole of a token extension's main: makes the principal driver once and serves the host on
// the inherited descriptor until the host closes it. 0 when the host closed the connection, 1 when
// there was no connection to serve, no driver, or the host sent what is not a message. A call still
// blocked in the driver when the host has gone ends with the process: its answer has no one left to
// go to.
int extensionMain(std::function<std::shared_ptr<TokenDriver>()> principal);

// Serves the host's calls on one connection to one driver, each call on a thread of its own so that
// a call that blocks (finishing an authentication waits for the user's approval elsewhere) holds up
// no other. At most `concurrentCalls` run at once; beyond that the service stops reading until one
// ends, so a flood of calls costs neither memory nor threads without bound.
class ExtensionService {
public:
  static constexpr std::size_t defaultConcurrentCalls = 32;

  ExtensionService(int socket, std::shared_ptr<TokenDriver> driver,
                   std::size_t concurrentCalls = defaultConcurrentCalls);
  // Waits for the calls in flight, then releases every object the host still held: operations
  // first, then sessions, then tokens.
  ~ExtensionService();
  ExtensionService(const ExtensionService&) = delete;
  ExtensionService& operator=(const ExtensionService&) = delete;

  // Serves until the host closes the connection (true) or sends a packet that is not a request of
  // the protocol (false; the connection is then shut down).
  bool serve();

  bool callsInFlight() const;

  struct State;

private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::tokenkit
