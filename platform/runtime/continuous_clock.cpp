#include "platform/runtime/continuous_clock.hpp"

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace platform::runtime {

ContinuousClock::Instant ContinuousClock::Instant::advancedBy(Duration duration) const {
  std::int64_t result = 0;
  if (__builtin_add_overflow(nanoseconds_, duration.count(), &result)) {
    result = duration.count() > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
  }
  return Instant(result);
}

ContinuousClock::Duration ContinuousClock::Instant::durationSince(Instant earlier) const {
  std::int64_t result = 0;
  if (__builtin_sub_overflow(nanoseconds_, earlier.nanoseconds_, &result)) {
    result = nanoseconds_ > earlier.nanoseconds_ ? std::numeric_limits<std::int64_t>::max()
                                                  : std::numeric_limits<std::int64_t>::min();
  }
  return Duration(result);
}

ContinuousClock::Instant ContinuousClock::now() const {
  timespec time{};
  if (clock_gettime(CLOCK_BOOTTIME, &time) != 0) {
    // CLOCK_BOOTTIME exists on every kernel this runs on; without it no deadline can be kept.
    std::abort();
  }
  return Instant::fromNanoseconds(static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec);
}

ContinuousClock::Observation& ContinuousClock::Observation::operator=(Observation&& other) noexcept {
  if (this != &other) {
    Observation ended(std::move(*this));
    end_ = std::exchange(other.end_, nullptr);
  }
  return *this;
}

ContinuousClock::Observation::~Observation() {
  if (end_) {
    end_();
  }
}

ContinuousClock::Duration ContinuousClock::timerWait(Duration remaining) const {
  return std::min<Duration>(remaining, std::chrono::seconds(2));
}

ContinuousClock::Observation ContinuousClock::observeJumps(std::function<void()>) const { return {}; }

const ContinuousClock& ContinuousClock::system() {
  static const ContinuousClock clock;
  return clock;
}

}  // namespace platform::runtime
