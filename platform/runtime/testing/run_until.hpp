#pragma once

#include "platform/runtime/detail/outcome.hpp"
#include "platform/runtime/task.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <type_traits>

namespace platform::runtime::testing {

// How long a test waits for what must happen before it calls it a hang. Only a failing test ever
// waits this long, so it is generous: a machine whose every core is busy with something else
// still finishes a sanitizer build's handshakes and key generation well within it.
inline constexpr std::chrono::milliseconds hangLimit = std::chrono::seconds(60);

// Runs `io` on the calling thread until `done` holds, and says whether it did. Gives up after
// `limit` of real time, so that a test whose coroutines never finish fails instead of hanging.
inline bool runUntil(boost::asio::io_context& io, const std::function<bool()>& done,
                     std::chrono::milliseconds limit = hangLimit) {
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= giveUp) {
      return false;
    }
    if (io.stopped()) {
      io.restart();
    }
    if (io.run_one_for(std::chrono::milliseconds(10)) == 0 && io.stopped()) {
      // Nothing to run here yet; what we wait for comes from another thread.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

namespace detail {

template <typename T>
boost::asio::awaitable<void> captureOutcome(boost::asio::awaitable<T> operation,
                                            std::shared_ptr<runtime::detail::Outcome<T>> outcome) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(operation);
      outcome->setValue({});
    } else {
      T value = co_await std::move(operation);
      outcome->setValue(std::move(value));
    }
  } catch (...) {
    outcome->setError(std::current_exception());
  }
}

}  // namespace detail

// Runs `operation` as a task on `io`, runs `io` on the calling thread until the operation ends,
// and returns its value or rethrows its error. Throws std::runtime_error after `limit` of real
// time.
template <typename T>
T runToCompletion(boost::asio::io_context& io, boost::asio::awaitable<T> operation,
                  std::chrono::milliseconds limit = hangLimit) {
  auto outcome = std::make_shared<runtime::detail::Outcome<T>>();
  startTask(io.get_executor(), detail::captureOutcome(std::move(operation), outcome));
  if (!runUntil(io, [&] { return outcome->isSet(); }, limit)) {
    throw std::runtime_error("the operation did not end in time");
  }
  return std::move(*outcome).take();
}

}  // namespace platform::runtime::testing
