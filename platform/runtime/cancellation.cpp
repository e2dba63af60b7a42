#include "platform/runtime/cancellation.hpp"

#include <boost/asio/this_coro.hpp>

namespace platform::runtime {

const char* CancellationError::what() const noexcept { return "The task was cancelled."; }

boost::asio::awaitable<void> checkCancellation() {
  const bool cancelled = co_await isCancelled();
  if (cancelled) {
    throw CancellationError();
  }
}

boost::asio::awaitable<bool> isCancelled() {
  const auto state = co_await boost::asio::this_coro::cancellation_state;
  co_return state.cancelled() != boost::asio::cancellation_type::none;
}

}  // namespace platform::runtime
