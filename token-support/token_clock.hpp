#pragma once

#include "platform/runtime/continuous_clock.hpp"

#include <cstdint>

namespace corvanta {

// How ticks convert to time: nanoseconds = ticks × numerator ÷ denominator. Both are nonzero.
struct Timebase {
  std::uint32_t numerator = 1;
  std::uint32_t denominator = 1;

  friend constexpr bool operator==(Timebase, Timebase) = default;
};

// Where the token clock reads its ticks and their timebase. Every process reads the same source on
// a machine, so that an instant stamped in one process means the same in another.
class TickSource {
public:
  virtual ~TickSource() = default;

  virtual std::uint64_t now() const = 0;
  virtual Timebase timebase() const = 0;

  // The machine's continuous clock in nanoseconds, timebase 1/1.
  static const TickSource& system();
};

// The ticks of a continuous clock: its nanoseconds under timebase 1/1. The machine's source is this
// over the machine's clock; tests pass a clock whose time they set.
class ContinuousClockTicks final : public TickSource {
public:
  explicit ContinuousClockTicks(const platform::runtime::ContinuousClock& clock) : clock_(&clock) {}

  // An instant before the clock's origin reads as tick 0: ticks are unsigned.
  std::uint64_t now() const override;
  Timebase timebase() const override { return Timebase{}; }

private:
  const platform::runtime::ContinuousClock* clock_;
};

// The tick clock that lets two processes agree on a deadline: a sign request carries its instants
// as raw ticks, and no deadline made here lies more than 90 seconds ahead. The timebase is read
// afresh on every call that converts.
class TokenClock {
public:
  TokenClock() = delete;

  static constexpr double maximumIntervalSeconds = 90.0;

  static std::uint64_t now(const TickSource& source = TickSource::system());

  // The instant `seconds` after `start`, the interval held to 0 … 90 seconds (a negative or NaN
  // interval is 0). The sum saturates at the largest tick instead of wrapping to a small one.
  static std::uint64_t deadline(double seconds, std::uint64_t start, const TickSource& source = TickSource::system());

  // The seconds from `from` to `to`; positive infinity when `to` lies before `from`, so that a
  // reversed pair never reads as a short interval.
  static double seconds(std::uint64_t from, std::uint64_t to, const TickSource& source = TickSource::system());

  // The seconds left until `deadline`, measured from now(). Throws TokenFailure::expired when the
  // deadline has been reached and TokenFailure::invalidInput when it lies more than 90 seconds
  // ahead (exactly 90 is accepted): no deadline made on this machine lies that far.
  static double remaining(std::uint64_t deadline, const TickSource& source = TickSource::system());
};

}  // namespace corvanta
