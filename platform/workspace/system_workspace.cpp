#include "platform/workspace/system_workspace.hpp"

#include "platform/workspace/process_lookup.hpp"

#include <utility>

namespace platform::workspace {

namespace {

std::unique_ptr<SessionEventSource> noSessionEvents(SessionEventSource::Reported) { return nullptr; }

}  // namespace

SystemWorkspace::SystemWorkspace(boost::asio::any_io_executor main)
    : SystemWorkspace(main, frontmostSourceFor(DisplayEnvironment::ofThisProcess()), loginManagerEventsOn()) {}

SystemWorkspace::SystemWorkspace(boost::asio::any_io_executor main, const FrontmostProcessSource::Opener& openSource,
                                 std::filesystem::path processDirectory)
    : SystemWorkspace(std::move(main), openSource, noSessionEvents, std::move(processDirectory)) {}

SystemWorkspace::SystemWorkspace(boost::asio::any_io_executor main, const FrontmostProcessSource::Opener& openSource,
                                 const SessionEventSource::Opener& openSessionEvents,
                                 std::filesystem::path processDirectory)
    : processDirectory_(std::move(processDirectory)), observers_(std::move(main)) {
  source_ = openSource([post = observers_.poster()](pid_t processIdentifier) {
    post(WorkspaceEvent{WorkspaceEvent::Kind::didActivateApplication, processIdentifier});
  });
  sessionEvents_ = openSessionEvents([post = observers_.poster()](WorkspaceEvent::Kind kind) {
    post(WorkspaceEvent{kind, std::nullopt});
  });
}

std::optional<RunningApplication> SystemWorkspace::frontmostApplication() {
  if (!source_) return std::nullopt;
  const auto processIdentifier = source_->frontmostProcess();
  if (!processIdentifier) return std::nullopt;
  return runningApplication(*processIdentifier);
}

std::optional<RunningApplication> SystemWorkspace::runningApplication(pid_t processIdentifier) {
  return lookUpProcess(processIdentifier, processDirectory_);
}

Workspace::ObserverToken SystemWorkspace::addObserver(Observer observer) { return observers_.add(std::move(observer)); }

void SystemWorkspace::removeObserver(ObserverToken token) { observers_.remove(token); }

bool SystemWorkspace::isOnMainExecutor() const { return observers_.isOnMainExecutor(); }

}  // namespace platform::workspace
