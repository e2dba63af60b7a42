#pragma once

#include <chrono>
#include <compare>
#include <cstdint>

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

  virtual ~ContinuousClock() = default;

  // The current instant. Tests replace the clock with one whose time they set.
  virtual Instant now() const;

  // The machine's clock, shared by whoever needs the real time.
  static const ContinuousClock& system();
};

}  // namespace platform::runtime
