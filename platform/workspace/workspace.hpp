#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform::workspace {

// An application as the workspace knows it: its process and, where the workspace recognises its
// executable, an identifier in reverse-domain form.
struct RunningApplication {
  pid_t processIdentifier = 0;
  std::optional<std::string> bundleIdentifier;
  // When the process started, in clock ticks after boot: with the process identifier it names one
  // process, so that a cache keyed by both is not fooled by a reused identifier. Absent when the
  // workspace could not read it.
  std::optional<std::uint64_t> startTime;

  friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

struct WorkspaceEvent {
  enum class Kind {
    didActivateApplication,
    willSleep,
    didWake,
    sessionDidResignActive,
    sessionDidBecomeActive,
  };

  Kind kind;
  // The process that came to the front; only for didActivateApplication.
  std::optional<pid_t> processIdentifier;

  friend bool operator==(const WorkspaceEvent&, const WorkspaceEvent&) = default;
};

// The desktop's view of its applications: which one is in front, which ones run, and the events of
// the session. Every member is called on the main executor that the workspace was given, and every
// observer is called there, never inside the call that adds or removes it.
class Workspace {
public:
  using Observer = std::function<void(const WorkspaceEvent&)>;
  using ObserverToken = std::uint64_t;

  virtual ~Workspace() = default;

  // None when no application is in front or the desktop cannot tell (no display).
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  // None when no such process runs (any more).
  virtual std::optional<RunningApplication> runningApplication(pid_t processIdentifier) = 0;

  virtual ObserverToken addObserver(Observer observer) = 0;
  // Once this returns the observer is never called again, also for events already on their way.
  virtual void removeObserver(ObserverToken token) = 0;

  // For the assertions of code that must run on the main executor.
  virtual bool isOnMainExecutor() const = 0;
};

}  // namespace platform::workspace
