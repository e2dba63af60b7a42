#pragma once

#include <boost/asio/awaitable.hpp>

#include <exception>

namespace platform::runtime {

// "The task was cancelled": what a cancelled wait, sleep or explicit check throws. It is its own
// type so that callers tell it apart from a cancelled network request, which the network layer
// reports with its own error.
class CancellationError : public std::exception {
public:
  const char* what() const noexcept override;

  friend bool operator==(const CancellationError&, const CancellationError&) { return true; }
};

// Cancellation reaches a coroutine of this runtime through the cancellation state of the chain it
// runs in, and like the flag of a task it is only observed where someone looks: at these checks
// and in the waits of this runtime (sleeps, shared results, reply waits), which begin by looking.
// Coroutines started through runOn or startTask never have Asio throw at an arbitrary co_await,
// so clean-up steps after a wait still run.

// Throws CancellationError when the current coroutine chain has been cancelled.
boost::asio::awaitable<void> checkCancellation();

// Whether the current coroutine chain has been cancelled.
boost::asio::awaitable<bool> isCancelled();

}  // namespace platform::runtime
