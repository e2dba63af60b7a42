#pragma once

#include "platform/runtime/detail/outcome.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <memory>
#include <utility>

namespace platform::runtime {

using Strand = boost::asio::strand<boost::asio::any_io_executor>;

namespace detail {

// What a caller and the operation it runs elsewhere share. The signal reaches the operation's
// cancellation state and is only ever emitted on the operation's strand, where that state lives.
template <typename T>
struct CallLink {
  boost::asio::cancellation_signal signal;
  bool finished = false;
  Outcome<T> outcome;

  void cancelOnStrand(boost::asio::cancellation_type type) {
    if (!finished) {
      signal.emit(type);
    }
  }
};

template <typename T>
boost::asio::awaitable<void> runCall(std::shared_ptr<CallLink<T>> link, boost::asio::awaitable<T> operation,
                                     bool startCancelled) {
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  // The caller was cancelled before the call: the operation must find itself cancelled at its
  // first instruction, as a child of a cancelled task does.
  if (startCancelled) {
    link->cancelOnStrand(boost::asio::cancellation_type::terminal);
  }
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(operation);
      link->outcome.setValue({});
    } else {
      T value = co_await std::move(operation);
      link->outcome.setValue(std::move(value));
    }
  } catch (...) {
    link->outcome.setError(std::current_exception());
  }
  link->finished = true;
}

template <typename T>
struct InitiateCall {
  Strand strand;
  std::shared_ptr<CallLink<T>> link;
  bool startCancelled;

  template <typename Handler>
  void operator()(Handler&& handler, boost::asio::awaitable<T> operation) const {
    namespace asio = boost::asio;
    auto callerSlot = asio::get_associated_cancellation_slot(handler);
    if (callerSlot.is_connected() && !startCancelled) {
      // Later cancellations of the caller are forwarded on the operation's strand. The forwarder
      // holds the link, so a cancellation that races with the end of the call finds it alive.
      callerSlot.assign([strand = strand, link = link](asio::cancellation_type type) {
        asio::post(strand, [link, type] { link->cancelOnStrand(type); });
      });
    }
    const auto callerExecutor = asio::get_associated_executor(handler);
    asio::co_spawn(strand, runCall(link, std::move(operation), startCancelled),
                   asio::bind_cancellation_slot(link->signal.slot(),
                                                asio::bind_executor(callerExecutor, std::forward<Handler>(handler))));
  }
};

}  // namespace detail

// Runs `operation` on `strand` and resumes the caller on its own executor with the operation's
// value or error: how an actor's public operation is called from outside it. The caller's
// cancellation is forwarded to the operation, also when the caller was already cancelled before
// the call (the operation then starts cancelled). Asio never throws at the operation's co_awaits
// on its own; cancellation is observed through checkCancellation() and the runtime's waits.
//
// The operation must not depend on the caller's frame: pass what it needs by value (the actor
// itself as a shared_ptr). Calls from inside the actor to its own operations are plain co_awaits.
template <typename T>
boost::asio::awaitable<T> runOn(Strand strand, boost::asio::awaitable<T> operation) {
  namespace asio = boost::asio;
  auto link = std::make_shared<detail::CallLink<T>>();
  const auto callerState = co_await asio::this_coro::cancellation_state;
  const bool startCancelled = callerState.cancelled() != asio::cancellation_type::none;
  auto call = asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(
      detail::InitiateCall<T>{std::move(strand), link, startCancelled}, asio::use_awaitable, std::move(operation));
  co_await std::move(call);
  co_return std::move(link->outcome).take();
}

// The same on any executor: the operation runs on a strand of its own over that executor, so that
// cancellation always reaches it on the thread that runs it.
template <typename T>
boost::asio::awaitable<T> runOn(const boost::asio::any_io_executor& executor, boost::asio::awaitable<T> operation) {
  return runOn(boost::asio::make_strand(executor), std::move(operation));
}

}  // namespace platform::runtime
