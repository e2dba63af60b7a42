#include "platform/runtime/continuous_clock.hpp"
#include "platform/runtime/testing/manual_clock.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <limits>

namespace platform::runtime {
namespace {

using namespace std::chrono_literals;
using Instant = ContinuousClock::Instant;

TEST(ContinuousClock, ReadsBootTimeAndNeverGoesBack) {
  timespec before{};
  ASSERT_EQ(clock_gettime(CLOCK_BOOTTIME, &before), 0);
  const auto first = ContinuousClock::system().now();
  const auto second = ContinuousClock::system().now();
  EXPECT_LE(first, second);
  // Boot time includes suspended time, so it is never behind the monotonic clock.
  timespec monotonic{};
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &monotonic), 0);
  EXPECT_GE(first.nanoseconds(), before.tv_sec * 1'000'000'000LL + before.tv_nsec);
  EXPECT_GE(second.nanoseconds() + 1'000'000'000LL, monotonic.tv_sec * 1'000'000'000LL);
}

TEST(ContinuousClock, AdvancingSaturatesInsteadOfOverflowing) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  struct Case {
    std::int64_t start;
    std::int64_t by;
    std::int64_t expected;
  };
  for (const auto& c : {Case{10, 5, 15}, Case{10, -15, -5}, Case{max - 1, 1, max}, Case{max - 1, 2, max},
                        Case{1, max, max}, Case{min + 1, -2, min}, Case{0, 0, 0}}) {
    EXPECT_EQ(Instant::fromNanoseconds(c.start).advancedBy(std::chrono::nanoseconds(c.by)).nanoseconds(), c.expected)
        << c.start << " + " << c.by;
  }
}

TEST(ContinuousClock, DurationBetweenInstantsSaturates) {
  const auto a = Instant::fromNanoseconds(5'000);
  const auto b = Instant::fromNanoseconds(2'000);
  EXPECT_EQ(a.durationSince(b), 3'000ns);
  EXPECT_EQ(b.durationSince(a), -3'000ns);
  EXPECT_EQ(Instant::fromNanoseconds(std::numeric_limits<std::int64_t>::max())
                .durationSince(Instant::fromNanoseconds(-1))
                .count(),
            std::numeric_limits<std::int64_t>::max());
}

TEST(ManualClock, MovesOnlyWhenTold) {
  testing::ManualClock clock(100);
  const ContinuousClock& asClock = clock;
  EXPECT_EQ(asClock.now().nanoseconds(), 100);
  clock.advance(2s);
  EXPECT_EQ(asClock.now().nanoseconds(), 2'000'000'100);
  clock.set(Instant::fromNanoseconds(7));
  EXPECT_EQ(asClock.now().nanoseconds(), 7);
}

}  // namespace
}  // namespace platform::runtime
