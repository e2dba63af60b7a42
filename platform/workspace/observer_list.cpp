#include "platform/workspace/observer_list.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <utility>
#include <vector>

namespace platform::workspace {

namespace {

namespace asio = boost::asio;

template <typename Executor>
const Executor* targetOf(const asio::any_io_executor& executor) {
  return executor.target<Executor>();
}

// The executors a main executor is made of here: a test's io_context, with or without tracked
// work, and strands over it or over the runtime's executors.
bool runsInThisThread(const asio::any_io_executor& executor, bool unknown) {
  using Plain = asio::io_context::executor_type;
  using Tracked = asio::io_context::basic_executor_type<std::allocator<void>, 4>;
  if (const auto* plain = targetOf<Plain>(executor)) return plain->running_in_this_thread();
  if (const auto* tracked = targetOf<Tracked>(executor)) return tracked->running_in_this_thread();
  if (const auto* strand = targetOf<asio::strand<Plain>>(executor)) return strand->running_in_this_thread();
  if (const auto* strand = targetOf<asio::strand<asio::any_io_executor>>(executor)) {
    return strand->running_in_this_thread();
  }
  return unknown;
}

}  // namespace

ObserverList::ObserverList(asio::any_io_executor main)
    : main_(std::move(main)), registry_(std::make_shared<Registry>()) {}

Workspace::ObserverToken ObserverList::add(Workspace::Observer observer) {
  const auto token = registry_->nextToken++;
  registry_->observers.emplace(token, std::make_shared<const Workspace::Observer>(std::move(observer)));
  return token;
}

void ObserverList::remove(Workspace::ObserverToken token) { registry_->observers.erase(token); }

std::size_t ObserverList::size() const { return registry_->observers.size(); }

void ObserverList::post(WorkspaceEvent event) const { postTo(main_, registry_, event); }

ObserverList::Poster ObserverList::poster() const {
  return [main = main_, registry = std::weak_ptr<Registry>(registry_)](WorkspaceEvent event) {
    postTo(main, registry, event);
  };
}

bool ObserverList::isOnMainExecutor() const { return runsInThisThread(main_, true); }

void ObserverList::postTo(const asio::any_io_executor& main, const std::weak_ptr<Registry>& registry,
                          WorkspaceEvent event) {
  asio::post(main, [registry, event] {
    if (const auto alive = registry.lock()) {
      alive->deliver(event);
    }
  });
}

// An observer may add or remove observers, itself included, while it runs: the tokens are taken
// first and each is looked up again before its call, and the call holds its own reference.
void ObserverList::Registry::deliver(const WorkspaceEvent& event) const {
  std::vector<Workspace::ObserverToken> tokens;
  tokens.reserve(observers.size());
  for (const auto& [token, observer] : observers) {
    tokens.push_back(token);
  }
  for (const auto token : tokens) {
    const auto found = observers.find(token);
    if (found == observers.end()) continue;
    const auto observer = found->second;
    (*observer)(event);
  }
}

}  // namespace platform::workspace
