#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <exception>
#include <future>
#include <type_traits>
#include <utility>

namespace platform::runtime::testing {

namespace detail {

// The promise is the coroutine's own: the waiting thread may return and drop everything of its
// own the moment the value is set, while this frame still unwinds.
template <typename T>
boost::asio::awaitable<void> deliver(boost::asio::awaitable<T> operation, std::promise<T> promise) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(operation);
      promise.set_value();
    } else {
      promise.set_value(co_await std::move(operation));
    }
  } catch (...) {
    promise.set_exception(std::current_exception());
  }
}

}  // namespace detail

// Runs `operation` on `executor` and blocks the calling thread until it ends; returns its value or
// rethrows its error. For a test's or a test program's plain thread while the executor's own
// threads run elsewhere: called on one of those threads it would wait for itself.
template <typename T>
T awaitOn(const boost::asio::any_io_executor& executor, boost::asio::awaitable<T> operation) {
  std::promise<T> promise;
  auto future = promise.get_future();
  boost::asio::co_spawn(executor, detail::deliver(std::move(operation), std::move(promise)),
                        boost::asio::detached);
  return future.get();
}

}  // namespace platform::runtime::testing
