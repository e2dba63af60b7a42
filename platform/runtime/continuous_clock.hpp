#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <functional>
#include <utility>

namespace platform::runtime {

// The monotonic clock that keeps counting while the machine sleeps (CLOCK_BOOTTIME), so that a
// deadline of 90 seconds does not stretch across a suspend. It has one origin for all processes
// of the machine, which lets one process compare instants taken in another.
class ContinuousClock {
public:
  using Duration = std::chrono::nanoseconds;

  class Instant {
  public:
    constexpr Instant() = default;
    static constexpr Instant fromNanoseconds(std::int64_t nanoseconds) { return Instant(nanoseconds); }

    constexpr std::int64_t nanoseconds() const { return nanoseconds_; }

    // Saturates at the ends of the range instead of overflowing, so that an unbounded timeout
    // gives a deadline that is never reached.
    Instant advancedBy(Duration duration) const;
    Duration durationSince(Instant earlier) const;

    friend constexpr bool operator==(Instant, Instant) = default;
    friend constexpr auto operator<=>(Instant, Instant) = default;

  private:
    constexpr explicit Instant(std::int64_t nanoseconds) : nanoseconds_(nanoseconds) {}
    std::int64_t nanoseconds_ = 0;
  };

  // Ends an observation of the clock when destroyed; an empty one observes nothing.
  class Observation {
  public:
    Observation() = default;
    explicit Observation(std::function<void()> end) : end_(std::move(end)) {}
    Observation(Observation&& other) noexcept : end_(std::exchange(other.end_, nullptr)) {}
    Observation& operator=(Observation&& other) noexcept;
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation();

  private:
    std::function<void()> end_;
  };

  virtual ~ContinuousClock() = default;

  // The current instant. Tests replace the clock with one whose time they set.
  virtual Instant now() const;

  // How long a waiter that needs `remaining` more of this clock's time waits on the machine's
  // timers before it reads now() again. Those timers run on the monotonic clock, which stops while
  // the machine sleeps, so this clock answers the remaining time but at most two seconds: a wait
  // that spans a suspend ends at most that late. A clock whose time does not pass on its own (a
  // test clock) answers a long time and wakes its waiters when it jumps.
  virtual Duration timerWait(Duration remaining) const;

  // A clock whose time can jump (a test clock that is set or advanced) calls `wake` after every
  // jump, from the thread that moved it, until the observation ends; waiters then read now()
  // again instead of waiting out their timer. `wake` must be quick and must not wait for
  // anything. The machine's clock only passes, so it never calls `wake`.
  virtual Observation observeJumps(std::function<void()> wake) const;

  // The machine's clock, shared by whoever needs the real time.
  static const ContinuousClock& system();
};

}  // namespace platform::runtime
