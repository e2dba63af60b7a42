#include "platform/workspace/testing/fake_workspace.hpp"

namespace platform::workspace::testing {

void FakeWorkspace::setFrontmost(std::optional<RunningApplication> application) {
  if (!application) {
    frontmost_.reset();
    return;
  }
  frontmost_ = application->processIdentifier;
  setRunning(*application);
}

void FakeWorkspace::setRunning(const RunningApplication& application) {
  running_.insert_or_assign(application.processIdentifier, application);
}

void FakeWorkspace::quit(pid_t processIdentifier) { running_.erase(processIdentifier); }

void FakeWorkspace::activate(pid_t processIdentifier) {
  frontmost_ = processIdentifier;
  send(WorkspaceEvent{WorkspaceEvent::Kind::didActivateApplication, processIdentifier});
}

std::optional<RunningApplication> FakeWorkspace::frontmostApplication() {
  if (!frontmost_) return std::nullopt;
  return runningApplication(*frontmost_);
}

std::optional<RunningApplication> FakeWorkspace::runningApplication(pid_t processIdentifier) {
  const auto found = running_.find(processIdentifier);
  if (found == running_.end()) return std::nullopt;
  return found->second;
}

}  // namespace platform::workspace::testing
