#pragma once

#include "platform/runtime/continuous_clock.hpp"

#include <atomic>
#include <cstdint>

namespace platform::runtime::testing {

// A continuous clock whose time only moves when a test moves it.
class ManualClock final : public ContinuousClock {
public:
  explicit ManualClock(std::int64_t startNanoseconds = 1'000'000'000'000) : nanoseconds_(startNanoseconds) {}

  Instant now() const override { return Instant::fromNanoseconds(nanoseconds_.load()); }
  void advance(Duration duration) { nanoseconds_ += duration.count(); }
  void set(Instant instant) { nanoseconds_ = instant.nanoseconds(); }

private:
  std::atomic<std::int64_t> nanoseconds_;
};

}  // namespace platform::runtime::testing
