#pragma once

#include "platform/workspace/workspace.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <functional>
#include <map>
#include <memory>

namespace platform::workspace {

// The observers of a workspace and the delivery of its events on the main executor. Events may
// be posted from any thread; each one reaches the observers that are registered when it arrives
// on the main executor, in the order they were added, so a removed observer hears nothing more.
class ObserverList {
public:
  // Posts an event from any thread; harmless once the list is gone.
  using Poster = std::function<void(WorkspaceEvent)>;

  explicit ObserverList(boost::asio::any_io_executor main);

  ObserverList(const ObserverList&) = delete;
  ObserverList& operator=(const ObserverList&) = delete;

  Workspace::ObserverToken add(Workspace::Observer observer);
  void remove(Workspace::ObserverToken token);
  std::size_t size() const;

  void post(WorkspaceEvent event) const;
  Poster poster() const;

  // False only when the main executor can tell that it does not run the calling thread; an
  // executor of an unknown kind cannot tell and is trusted.
  bool isOnMainExecutor() const;

private:
  struct Registry {
    Workspace::ObserverToken nextToken = 1;
    std::map<Workspace::ObserverToken, std::shared_ptr<const Workspace::Observer>> observers;

    void deliver(const WorkspaceEvent& event) const;
  };

  static void postTo(const boost::asio::any_io_executor& main, const std::weak_ptr<Registry>& registry,
                     WorkspaceEvent event);

  boost::asio::any_io_executor main_;
  std::shared_ptr<Registry> registry_;
};

}  // namespace platform::workspace
