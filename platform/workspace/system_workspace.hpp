#pragma once

#include "platform/workspace/frontmost_process_source.hpp"
#include "platform/workspace/observer_list.hpp"
#include "platform/workspace/workspace.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <filesystem>
#include <memory>

namespace platform::workspace {

// The workspace of this machine: applications are its processes, read from the process
// directory; the one in front is the one its frontmost-process source names. Activations are
// posted to the main executor; sleep, wake and session events are not observed here, so none is
// ever delivered.
class SystemWorkspace final : public Workspace {
public:
  // The session's own source (see frontmostSourceFor).
  explicit SystemWorkspace(boost::asio::any_io_executor main);
  SystemWorkspace(boost::asio::any_io_executor main, const FrontmostProcessSource::Opener& openSource,
                  std::filesystem::path processDirectory = "/proc");

  std::optional<RunningApplication> frontmostApplication() override;
  std::optional<RunningApplication> runningApplication(pid_t processIdentifier) override;
  ObserverToken addObserver(Observer observer) override;
  void removeObserver(ObserverToken token) override;
  bool isOnMainExecutor() const override;

private:
  std::filesystem::path processDirectory_;
  ObserverList observers_;
  // Last, so that its thread has stopped before what it posts to goes away.
  std::unique_ptr<FrontmostProcessSource> source_;
};

}  // namespace platform::workspace
