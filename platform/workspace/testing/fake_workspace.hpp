#pragma once

#include "platform/workspace/observer_list.hpp"
#include "platform/workspace/workspace.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <cstddef>
#include <map>
#include <optional>

namespace platform::workspace::testing {

// A workspace whose applications a test sets and whose events it sends. Events reach the
// observers as the machine's do: later, on the main executor, never inside the call that sends.
class FakeWorkspace final : public Workspace {
public:
  explicit FakeWorkspace(boost::asio::any_io_executor main) : observers_(std::move(main)) {}

  // The application is also running from then on; none: no application in front.
  void setFrontmost(std::optional<RunningApplication> application);
  void setRunning(const RunningApplication& application);
  // The process quits; it stays in front if it was, as a stale frontmost reading would.
  void quit(pid_t processIdentifier);

  void send(WorkspaceEvent event) const { observers_.post(event); }
  // Brings a running (or quit) process to the front and announces it.
  void activate(pid_t processIdentifier);

  std::size_t observerCount() const { return observers_.size(); }

  std::optional<RunningApplication> frontmostApplication() override;
  std::optional<RunningApplication> runningApplication(pid_t processIdentifier) override;
  ObserverToken addObserver(Observer observer) override { return observers_.add(std::move(observer)); }
  void removeObserver(ObserverToken token) override { observers_.remove(token); }
  bool isOnMainExecutor() const override { return observers_.isOnMainExecutor(); }

private:
  ObserverList observers_;
  std::optional<pid_t> frontmost_;
  std::map<pid_t, RunningApplication> running_;
};

}  // namespace platform::workspace::testing
