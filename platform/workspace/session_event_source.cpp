#include "platform/workspace/session_event_source.hpp"

#include "platform/workspace/logind_session_source.hpp"

#include <utility>

namespace platform::workspace {

WorkspaceEvent::Kind sleepTransitionEvent(bool preparingForSleep) {
  return preparingForSleep ? WorkspaceEvent::Kind::willSleep : WorkspaceEvent::Kind::didWake;
}

std::optional<WorkspaceEvent::Kind> SessionActivity::read(bool active) {
  const auto previous = std::exchange(active_, active);
  if (!previous || *previous == active) return std::nullopt;
  return active ? WorkspaceEvent::Kind::sessionDidBecomeActive : WorkspaceEvent::Kind::sessionDidResignActive;
}

SessionEventSource::Opener loginManagerEventsOn(std::string busAddress) {
  return [busAddress = std::move(busAddress)](SessionEventSource::Reported reported) {
    return openLogindSessionSource(busAddress, std::move(reported));
  };
}

}  // namespace platform::workspace
