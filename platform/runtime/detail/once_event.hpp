#pragma once

#include <boost/asio/awaitable.hpp>

#include <memory>

namespace platform::runtime::detail {

// A one-shot event that coroutines on any executor await, safe to fire from any thread. Each
// waiter is resumed on its own executor, never inside fire(). A waiter that leaves on
// cancellation is resumed with CancellationError as soon as its chain is cancelled, and the
// event and the other waiters are untouched.
class OnceEvent {
public:
  OnceEvent();

  // The first call resumes every waiter; later calls do nothing.
  void fire() const;
  bool hasFired() const;

  // Ends once the event has fired. With leaveOnCancellation, a chain that is cancelled before or
  // while it waits leaves with CancellationError (unless the event has already fired).
  boost::asio::awaitable<void> wait(bool leaveOnCancellation) const;

  struct Core;

private:
  std::shared_ptr<Core> core_;
};

}  // namespace platform::runtime::detail
