#pragma once

#include "platform/runtime/continuous_clock.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::runtime::testing {

// A continuous clock whose time only moves when a test moves it. Every move wakes the waiters
// that observe it (sleeps, reply boxes), which read the new time at once, so a test drives a
// 300-second deadline to its end by advancing the clock, without any real waiting.
class ManualClock final : public ContinuousClock {
public:
  explicit ManualClock(std::int64_t startNanoseconds = 1'000'000'000'000)
      : nanoseconds_(startNanoseconds), observers_(std::make_shared<Observers>()) {}

  Instant now() const override { return Instant::fromNanoseconds(nanoseconds_.load()); }

  void advance(Duration duration) {
    nanoseconds_ += duration.count();
    observers_->wakeAll();
  }

  void set(Instant instant) {
    nanoseconds_ = instant.nanoseconds();
    observers_->wakeAll();
  }

  // Its time never passes by itself: waiters wait for the next jump.
  Duration timerWait(Duration) const override { return std::chrono::hours(1); }

  Observation observeJumps(std::function<void()> wake) const override {
    const auto id = observers_->add(std::move(wake));
    return Observation([weak = std::weak_ptr<Observers>(observers_), id] {
      if (const auto observers = weak.lock()) {
        observers->remove(id);
      }
    });
  }

private:
  // Shared with the observations, so that an observation outliving the clock ends harmlessly.
  class Observers {
  public:
    std::uint64_t add(std::function<void()> wake) {
      const std::lock_guard lock(mutex_);
      const auto id = nextID_++;
      wakes_.emplace(id, std::make_shared<const std::function<void()>>(std::move(wake)));
      return id;
    }

    void remove(std::uint64_t id) {
      std::shared_ptr<const std::function<void()>> removed;
      const std::lock_guard lock(mutex_);
      if (const auto found = wakes_.find(id); found != wakes_.end()) {
        removed = std::move(found->second);
        wakes_.erase(found);
      }
    }

    // Calls outside the lock: a wake may end its own or another observation.
    void wakeAll() {
      std::vector<std::shared_ptr<const std::function<void()>>> wakes;
      {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, wake] : wakes_) {
          wakes.push_back(wake);
        }
      }
      for (const auto& wake : wakes) {
        (*wake)();
      }
    }

  private:
    std::mutex mutex_;
    std::uint64_t nextID_ = 0;
    std::map<std::uint64_t, std::shared_ptr<const std::function<void()>>> wakes_;
  };

  std::atomic<std::int64_t> nanoseconds_;
  std::shared_ptr<Observers> observers_;
};

}  // namespace platform::runtime::testing
