#pragma once

#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/run_on.hpp"
#include "platform/runtime/shared_result.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <exception>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace platform::runtime {

namespace detail {

template <typename T>
struct TaskState {
  explicit TaskState(Strand strand) : strand(std::move(strand)) {}

  // Everything but the atomic flag and the result is touched only on the task's strand.
  Strand strand;
  boost::asio::cancellation_signal signal;
  bool started = false;
  bool emitted = false;
  bool finished = false;
  std::atomic<bool> cancelRequested = false;
  SharedResult<T> result;

  void cancelOnStrand() {
    if (started && !finished && !emitted) {
      emitted = true;
      signal.emit(boost::asio::cancellation_type::terminal);
    }
  }
};

template <typename T>
boost::asio::awaitable<void> runTask(std::shared_ptr<TaskState<T>> state, boost::asio::awaitable<T> operation) {
  co_await boost::asio::this_coro::throw_if_cancelled(false);
  // Started from code on the same strand, the coroutine would otherwise run inside startTask up
  // to its first suspension; a task always begins after its creator has moved on.
  const auto executor = co_await boost::asio::this_coro::executor;
  co_await boost::asio::post(executor, boost::asio::use_awaitable);
  state->started = true;
  // cancel() before the task first ran: it starts cancelled.
  if (state->cancelRequested) {
    state->cancelOnStrand();
  }
  try {
    if constexpr (std::is_void_v<T>) {
      co_await std::move(operation);
      state->finished = true;
      state->result.setValue();
    } else {
      T value = co_await std::move(operation);
      state->finished = true;
      state->result.setValue(std::move(value));
    }
  } catch (...) {
    state->finished = true;
    state->result.setError(std::current_exception());
  }
}

// Completes the task's result when the runtime is torn down before the task ended, so that its
// waiters are not left suspended for ever.
template <typename T>
class TaskCompletion {
public:
  explicit TaskCompletion(std::shared_ptr<TaskState<T>> state) : state_(std::move(state)) {}
  TaskCompletion(TaskCompletion&&) noexcept = default;
  TaskCompletion& operator=(TaskCompletion&&) = delete;
  ~TaskCompletion() {
    if (state_) {
      state_->result.setError(std::make_exception_ptr(CancellationError()));
    }
  }

  void operator()(std::exception_ptr) { state_.reset(); }

private:
  std::shared_ptr<TaskState<T>> state_;
};

}  // namespace detail

// The handle of an unstructured task: a coroutine that runs on its own, started by startTask.
// Copies refer to the same task; dropping every handle does not cancel it.
//
// A task does not inherit the cancellation of the code that starts it; only cancel() cancels it,
// and the task observes that through checkCancellation() and the runtime's waits (sleeps,
// awaited results, sockets bound to its cancellation slot).
template <typename T>
class Task {
public:
  // A handle to no task.
  Task() = default;

  bool isValid() const noexcept { return state_ != nullptr; }

  // Asks the task to stop, from any thread; the signal is delivered on the task's strand. A task
  // that has already ended is unaffected. Calling it again does nothing.
  void cancel() const {
    auto state = checkedState();
    if (state->cancelRequested.exchange(true)) {
      return;
    }
    auto strand = state->strand;
    boost::asio::post(strand, [state = std::move(state)] { state->cancelOnStrand(); });
  }

  // Whether cancel() has been called.
  bool isCancelled() const { return checkedState()->cancelRequested; }

  bool hasEnded() const { return checkedState()->result.isSettled(); }

  // The task's value or error once it has ended, for any number of awaiters. Like awaiting the
  // value of an unstructured task, the wait goes on even if the awaiting chain is cancelled.
  boost::asio::awaitable<T> value() const { return checkedState()->result.waitIgnoringCancellation(); }

  // The same, except that an awaiting chain that is cancelled stops waiting and throws
  // CancellationError; the task itself runs on. This is how several callers share one task
  // (one token refresh for many callers); the owner ends it for all of them with cancel().
  boost::asio::awaitable<T> join() const { return checkedState()->result.wait(); }

  // Whether both refer to the same task.
  friend bool operator==(const Task&, const Task&) = default;

private:
  template <typename U>
  friend Task<U> startTask(Strand strand, boost::asio::awaitable<U> operation);

  explicit Task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}

  const std::shared_ptr<detail::TaskState<T>>& checkedState() const {
    if (!state_) {
      throw std::logic_error("a handle to no task");
    }
    return state_;
  }

  std::shared_ptr<detail::TaskState<T>> state_;
};

// Starts `operation` as a task on `strand` (it runs there between suspensions).
template <typename T>
Task<T> startTask(Strand strand, boost::asio::awaitable<T> operation) {
  auto state = std::make_shared<detail::TaskState<T>>(strand);
  boost::asio::co_spawn(strand, detail::runTask(state, std::move(operation)),
                        boost::asio::bind_cancellation_slot(state->signal.slot(), detail::TaskCompletion<T>(state)));
  return Task<T>(std::move(state));
}

// Starts `operation` as a task on a strand of its own over `executor`. The operation must not
// depend on the frame of its creator: pass what it needs by value.
template <typename T>
Task<T> startTask(const boost::asio::any_io_executor& executor, boost::asio::awaitable<T> operation) {
  return startTask(boost::asio::make_strand(executor), std::move(operation));
}

}  // namespace platform::runtime
