#include "platform/workspace/frontmost_process_source.hpp"

#include "platform/workspace/x11_frontmost_source.hpp"

#include <cstdlib>
#include <utility>

namespace platform::workspace {

namespace {

std::optional<std::string> variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool isWaylandSession(const DisplayEnvironment& environment) {
  return environment.waylandDisplay.has_value() || environment.sessionType == "wayland";
}

}  // namespace

DisplayEnvironment DisplayEnvironment::ofThisProcess() {
  return DisplayEnvironment{variable("DISPLAY"), variable("WAYLAND_DISPLAY"), variable("XDG_SESSION_TYPE")};
}

FrontmostProcessSource::Opener frontmostSourceFor(const DisplayEnvironment& environment) {
  if (!environment.display || isWaylandSession(environment) || !readsX11Displays()) {
    return [](FrontmostProcessSource::Activated) { return std::unique_ptr<FrontmostProcessSource>(); };
  }
  return [display = *environment.display](FrontmostProcessSource::Activated activated) {
    return openX11FrontmostSource(display, std::move(activated));
  };
}

}  // namespace platform::workspace
