#pragma once

#include "platform/workspace/workspace.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::workspace {

// What tells the workspace that the machine is about to sleep or has woken, and that its login
// session has stopped or started being the one in front (another user switched in, the screen was
// locked to the greeter). It listens on a thread of its own, never on the caller's, and stops
// listening when it is destroyed.
class SessionEventSource {
public:
  // Called on the source's own thread with willSleep, didWake, sessionDidResignActive or
  // sessionDidBecomeActive.
  using Reported = std::function<void(WorkspaceEvent::Kind)>;
  // Opens a source that reports to `reported`; null when there is nothing to listen to.
  using Opener = std::function<std::unique_ptr<SessionEventSource>(Reported reported)>;

  virtual ~SessionEventSource() = default;
};

// The event that the login manager's announcement of a sleep transition stands for: true when the
// machine is about to sleep, false when it has woken.
WorkspaceEvent::Kind sleepTransitionEvent(bool preparingForSleep);

// Follows whether the login session is active. The first reading only says where it starts: it is
// not a change, so it is no event. After it, each reading that differs from the one before is an
// event (false: the session resigned; true: it became active again); a repeated reading is none.
class SessionActivity {
public:
  std::optional<WorkspaceEvent::Kind> read(bool active);

private:
  std::optional<bool> active_;
};

// The system bus, where the login manager is.
inline constexpr const char* systemBusAddress = "unix:path=/run/dbus/system_bus_socket";

// The login manager's events, heard on the bus at `busAddress` (a D-Bus address); a source that
// hears nothing where the build has no D-Bus client or no bus answers there.
SessionEventSource::Opener loginManagerEventsOn(std::string busAddress = systemBusAddress);

}  // namespace platform::workspace
