#pragma once

#include "platform/workspace/session_event_source.hpp"

#include <memory>
#include <string>

namespace platform::workspace {

// Whether this build speaks D-Bus (it needs libsystemd at build time).
bool readsLogind();

// Listens to systemd-logind ("org.freedesktop.login1") on the bus at `busAddress`, on a thread of
// its own, which also connects: its PrepareForSleep signal, and the Active property of the login
// session of this process (or, when this process is in none, of its user's display session).
// Only what the connection that owns the login manager's name sends counts; when the name passes
// to another connection (the manager restarted), that one is listened to instead. Null when this
// build does not speak D-Bus. A bus that cannot be reached, or goes away, reports nothing.
std::unique_ptr<SessionEventSource> openLogindSessionSource(std::string busAddress,
                                                            SessionEventSource::Reported reported);

}  // namespace platform::workspace
