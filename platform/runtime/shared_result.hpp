#pragma once

#include "platform/runtime/detail/once_event.hpp"
#include "platform/runtime/detail/outcome.hpp"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

namespace platform::runtime {

// One outcome (a value or an error) that any number of coroutines await together, set once from
// any thread. Copies of a SharedResult share the same outcome.
//
// This is how several callers join one piece of work without owning it: a caller that is
// cancelled stops waiting with CancellationError and the others keep waiting; the work ends only
// through whoever produces the outcome. For work that is a coroutine, Task<T>::join() gives the
// same over the task's own result; use SharedResult directly when the outcome comes from a
// callback or from several candidate producers (the first to settle wins).
//
// Waiters keep the shared state alive, so whoever produces the outcome must settle it: a result
// that is never settled keeps its waiters suspended for ever.
template <typename T>
class SharedResult {
public:
  using Stored = typename detail::Outcome<T>::Stored;

  SharedResult() : state_(std::make_shared<State>()) {}

  // The first of setValue and setError settles the result and resumes every waiter, each on its
  // own executor; they return false once it is settled.
  bool setValue(Stored value) const
    requires(!std::is_void_v<T>)
  {
    return settle([&](detail::Outcome<T>& outcome) { outcome.setValue(std::move(value)); });
  }

  bool setValue() const
    requires std::is_void_v<T>
  {
    return settle([](detail::Outcome<T>& outcome) { outcome.setValue({}); });
  }

  bool setError(std::exception_ptr error) const {
    return settle([&](detail::Outcome<T>& outcome) { outcome.setError(std::move(error)); });
  }

  bool isSettled() const {
    const std::lock_guard lock(state_->mutex);
    return state_->outcome.isSet();
  }

  // The outcome once settled: a copy of the value, or the error rethrown. A caller whose chain is
  // cancelled before or while it waits leaves with CancellationError, unless the outcome is
  // already there.
  boost::asio::awaitable<T> wait() const { return waitOn(state_, true); }

  // The outcome once settled, however long that takes, whatever happens to the caller's
  // cancellation: how the value of an unstructured task is awaited.
  boost::asio::awaitable<T> waitIgnoringCancellation() const { return waitOn(state_, false); }

  // Whether both share the same outcome.
  friend bool operator==(const SharedResult&, const SharedResult&) = default;

private:
  struct State {
    std::mutex mutex;
    detail::Outcome<T> outcome;
    detail::OnceEvent settled;
  };

  template <typename Set>
  bool settle(Set set) const {
    {
      const std::lock_guard lock(state_->mutex);
      if (state_->outcome.isSet()) {
        return false;
      }
      set(state_->outcome);
    }
    state_->settled.fire();
    return true;
  }

  // Takes the state by value: the coroutine must not depend on the handle it was called on.
  static boost::asio::awaitable<T> waitOn(std::shared_ptr<State> state, bool leaveOnCancellation) {
    co_await state->settled.wait(leaveOnCancellation);
    auto outcome = copyOutcome(*state);
    co_return std::move(outcome).take();
  }

  static detail::Outcome<T> copyOutcome(State& state) {
    const std::lock_guard lock(state.mutex);
    return state.outcome;
  }

  std::shared_ptr<State> state_;
};

}  // namespace platform::runtime
