#pragma once

#include "platform/workspace/frontmost_process_source.hpp"
#include "platform/workspace/observer_list.hpp"
#include "platform/workspace/session_event_source.hpp"
#include "platform/workspace/workspace.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <filesystem>
#include <memory>

namespace platform::workspace {

// The workspace of this machine: applications are its processes, read from the process
// directory; the one in front is the one its frontmost-process source names. Activations, and the
// sleep, wake and session events that its session-event source reports, are posted to the main
// executor.
class SystemWorkspace final : public Workspace {
public:
  // The session's own frontmost source (see frontmostSourceFor), and the login manager's events on
  // the system bus.
  explicit SystemWorkspace(boost::asio::any_io_executor main);
  // No session-event source: sleep, wake and session events are never delivered.
  SystemWorkspace(boost::asio::any_io_executor main, const FrontmostProcessSource::Opener& openSource,
                  std::filesystem::path processDirectory = "/proc");
  SystemWorkspace(boost::asio::any_io_executor main, const FrontmostProcessSource::Opener& openSource,
                  const SessionEventSource::Opener& openSessionEvents, std::filesystem::path processDirectory = "/proc");

  std::optional<RunningApplication> frontmostApplication() override;
  std::optional<RunningApplication> runningApplication(pid_t processIdentifier) override;
  ObserverToken addObserver(Observer observer) override;
  void removeObserver(ObserverToken token) override;
  bool isOnMainExecutor() const override;

private:
  std::filesystem::path processDirectory_;
  ObserverList observers_;
  // Last, so that their threads have stopped before what they post to goes away.
  std::unique_ptr<FrontmostProcessSource> source_;
  std::unique_ptr<SessionEventSource> sessionEvents_;
};

}  // namespace platform::workspace
