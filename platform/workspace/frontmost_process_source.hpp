#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::workspace {

// What tells the workspace which process owns the window in front. It reads the desktop on a
// thread of its own, never on the caller's.
class FrontmostProcessSource {
public:
  // Called on the source's own thread whenever another process comes to the front.
  using Activated = std::function<void(pid_t)>;
  // Opens a source that reports to `activated`; null when there is nothing to read.
  using Opener = std::function<std::unique_ptr<FrontmostProcessSource>(Activated activated)>;

  virtual ~FrontmostProcessSource() = default;

  // The process in front as last read; none before the first reading, when no window is in front,
  // or when its window does not name its process. Safe from any thread; never waits.
  virtual std::optional<pid_t> frontmostProcess() const = 0;
};

// The session's kind of display, from the environment that the session gives its programs.
struct DisplayEnvironment {
  std::optional<std::string> display;         // DISPLAY
  std::optional<std::string> waylandDisplay;  // WAYLAND_DISPLAY
  std::optional<std::string> sessionType;     // XDG_SESSION_TYPE

  static DisplayEnvironment ofThisProcess();
};

// The source for a session: the X11 display's, where the session is X11 and this build reads
// X11; none otherwise. A Wayland session has no portable way to tell the focused application,
// and what its X11 compatibility display says covers only the X11 programs in it, so it gets none.
FrontmostProcessSource::Opener frontmostSourceFor(const DisplayEnvironment& environment);

}  // namespace platform::workspace
