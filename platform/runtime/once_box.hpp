#pragma once

#include "platform/runtime/continuous_clock.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace platform::runtime {

// A reply slot for one answer that arrives on another thread (an XPC reply handler, a callback),
// awaited by a plain thread with a time limit. The first answer wins; later ones are ignored.
//
// Boxes exist only as shared_ptr (make()): the replying side holds its own reference, so an
// answer that arrives after the waiter has given up lands in a box that is still alive and is
// simply dropped with it.
template <typename T>
class OnceBox : public std::enable_shared_from_this<OnceBox<T>> {
  struct Passkey {};

public:
  explicit OnceBox(Passkey) {}

  static std::shared_ptr<OnceBox> make() { return std::make_shared<OnceBox>(Passkey{}); }

  OnceBox(const OnceBox&) = delete;
  OnceBox& operator=(const OnceBox&) = delete;

  // Stores the answer if none is stored yet and wakes the waiters; false if one was already there.
  bool put(T value) {
    {
      const std::lock_guard lock(mutex_);
      if (value_) {
        return false;
      }
      value_.emplace(std::move(value));
    }
    changed_.notify_all();
    return true;
  }

  // The answer if there is one, without waiting.
  std::optional<T> current() const {
    const std::lock_guard lock(mutex_);
    return value_;
  }

  // Blocks the calling thread until there is an answer or `timeout` has passed on `clock` (time
  // spent suspended counts), and returns a copy of the answer or nothing. A timeout of zero or
  // less only looks. Never call it on an executor's thread: it blocks that thread.
  std::optional<T> wait(ContinuousClock::Duration timeout, const ContinuousClock& clock = ContinuousClock::system()) {
    const auto deadline = clock.now().advancedBy(timeout);
    const auto observation = clock.observeJumps([weak = this->weak_from_this()] {
      if (const auto box = weak.lock()) {
        box->wake();
      }
    });
    std::unique_lock lock(mutex_);
    while (!value_) {
      const auto now = clock.now();
      if (now >= deadline) {
        break;
      }
      const auto wait = clock.timerWait(deadline.durationSince(now));
      changed_.wait_for(lock, wait > ContinuousClock::Duration::zero() ? wait : std::chrono::milliseconds(1));
    }
    return value_;
  }

private:
  // Taking the lock orders the wake after a waiter's reading of the clock, so none is missed.
  void wake() {
    { const std::lock_guard lock(mutex_); }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<T> value_;
};

}  // namespace platform::runtime
