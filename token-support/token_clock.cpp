#include "token-support/token_clock.hpp"

#include "token-support/token_failure.hpp"

#include <cmath>
#include <limits>

namespace corvanta {

namespace {

constexpr double nanosecondsPerSecond = 1'000'000'000.0;
// 2^64: the first double that no longer fits an unsigned 64-bit tick.
constexpr double tickLimit = 18446744073709551616.0;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// Truncates toward zero; an injected timebase far from the machine's could give more ticks than
// fit, which are held at the largest tick instead of being undefined.
std::uint64_t truncatedTicks(double ticks) {
  if (!(ticks < tickLimit)) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(ticks);
}

double clampedIntervalNanoseconds(double seconds) {
  if (seconds > TokenClock::maximumIntervalSeconds) return TokenClock::maximumIntervalSeconds * nanosecondsPerSecond;
  if (seconds >= 0) return seconds * nanosecondsPerSecond;
  return 0;
}

}  // namespace

std::uint64_t ContinuousClockTicks::now() const {
  const auto nanoseconds = clock_->now().nanoseconds();
  return nanoseconds < 0 ? 0 : static_cast<std::uint64_t>(nanoseconds);
}

const TickSource& TickSource::system() {
  static const ContinuousClockTicks ticks(platform::runtime::ContinuousClock::system());
  return ticks;
}

std::uint64_t TokenClock::now(const TickSource& source) { return source.now(); }

std::uint64_t TokenClock::deadline(double seconds, std::uint64_t start, const TickSource& source) {
  const auto timebase = source.timebase();
  const double ticks = clampedIntervalNanoseconds(seconds) * timebase.denominator / timebase.numerator;
  return saturatingAdd(start, truncatedTicks(ticks));
}

double TokenClock::seconds(std::uint64_t from, std::uint64_t to, const TickSource& source) {
  if (to < from) return std::numeric_limits<double>::infinity();
  const auto timebase = source.timebase();
  return static_cast<double>(to - from) * timebase.numerator / timebase.denominator / nanosecondsPerSecond;
}

double TokenClock::remaining(std::uint64_t deadline, const TickSource& source) {
  const auto current = source.now();
  if (deadline <= current) throw TokenFailure::expired;
  const double left = seconds(current, deadline, source);
  if (left > maximumIntervalSeconds) throw TokenFailure::invalidInput;
  return left;
}

}  // namespace corvanta
