#include "token-support/token_clock.hpp"

#include "platform/runtime/testing/manual_clock.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_failure.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace corvanta {
namespace {

using testing::FixedTicks;
using testing::throwsExactly;

constexpr auto maxTick = std::numeric_limits<std::uint64_t>::max();
constexpr Timebase nanoseconds{1, 1};
constexpr Timebase oddTimebase{125, 3};

struct DeadlineRow {
  double seconds;
  std::uint64_t start;
  Timebase timebase;
  std::uint64_t expected;
};

TEST(TokenClock, DeadlineClampsTheIntervalAndConvertsByTheTimebase) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double infinity = std::numeric_limits<double>::infinity();
  const DeadlineRow rows[] = {
      {1.0, 0, nanoseconds, 1'000'000'000},
      {1.0, 0, oddTimebase, 24'000'000},
      {0.5, 7, nanoseconds, 500'000'007},
      {90.0, 10, nanoseconds, 90'000'000'010},
      {90.0, 0, oddTimebase, 2'160'000'000},
      {120.0, 10, nanoseconds, 90'000'000'010},
      {infinity, 10, nanoseconds, 90'000'000'010},
      {-5.0, 10, nanoseconds, 10},
      {-infinity, 10, nanoseconds, 10},
      {nan, 10, nanoseconds, 10},
      {0.0, 10, nanoseconds, 10},
      // Truncated toward zero: 1.5 ns of ticks is one tick.
      {1.5e-9, 0, nanoseconds, 1},
      // A start near the end of the range stays at the largest tick instead of wrapping.
      {1.0, maxTick - 5, nanoseconds, maxTick},
      {0.0, maxTick, nanoseconds, maxTick},
  };
  for (const auto& row : rows) {
    const FixedTicks source(0, row.timebase);
    EXPECT_EQ(TokenClock::deadline(row.seconds, row.start, source), row.expected)
        << row.seconds << " s after " << row.start << " on " << row.timebase.numerator << "/" << row.timebase.denominator;
  }
}

TEST(TokenClock, DeadlineOfATimebaseBeyondTheRangeStaysAtTheLargestTick) {
  const FixedTicks source(0, Timebase{1, std::numeric_limits<std::uint32_t>::max()});
  EXPECT_EQ(TokenClock::deadline(90.0, 0, source), maxTick);
}

struct SecondsRow {
  std::uint64_t from;
  std::uint64_t to;
  Timebase timebase;
  double expected;
};

TEST(TokenClock, SecondsBetweenTicks) {
  const double infinity = std::numeric_limits<double>::infinity();
  const SecondsRow rows[] = {
      {10, 5, nanoseconds, infinity},
      {maxTick, 0, nanoseconds, infinity},
      {42, 42, nanoseconds, 0.0},
      {0, 1'000'000'000, nanoseconds, 1.0},
      {0, 24'000'000, oddTimebase, 1.0},
      {5, 90'000'000'005, nanoseconds, 90.0},
      {0, maxTick, nanoseconds, 18446744073.709551615},
  };
  for (const auto& row : rows) {
    const FixedTicks source(0, row.timebase);
    EXPECT_DOUBLE_EQ(TokenClock::seconds(row.from, row.to, source), row.expected) << row.from << " to " << row.to;
  }
}

struct RemainingRow {
  const char* name;
  std::uint64_t now;
  std::uint64_t deadline;
  Timebase timebase;
  std::optional<TokenFailure> failure;
  double seconds;
};

TEST(TokenClock, RemainingRefusesReachedAndFarDeadlines) {
  constexpr std::uint64_t now = 5'000'000'000'000;
  const RemainingRow rows[] = {
      {"deadline now", now, now, nanoseconds, TokenFailure::expired, 0},
      {"deadline passed", now, now - 1, nanoseconds, TokenFailure::expired, 0},
      {"deadline at tick 0", now, 0, nanoseconds, TokenFailure::expired, 0},
      {"one tick left", now, now + 1, nanoseconds, std::nullopt, 1e-9},
      {"one second left", now, now + 1'000'000'000, nanoseconds, std::nullopt, 1.0},
      {"exactly 90 seconds", now, now + 90'000'000'000, nanoseconds, std::nullopt, 90.0},
      {"one tick past 90 seconds", now, now + 90'000'000'001, nanoseconds, TokenFailure::invalidInput, 0},
      {"91 seconds", now, now + 91'000'000'000, nanoseconds, TokenFailure::invalidInput, 0},
      {"largest tick", now, maxTick, nanoseconds, TokenFailure::invalidInput, 0},
      {"90 seconds on 125/3", now, now + 2'160'000'000, oddTimebase, std::nullopt, 90.0},
      {"past 90 seconds on 125/3", now, now + 2'160'000'001, oddTimebase, TokenFailure::invalidInput, 0},
  };
  for (const auto& row : rows) {
    const FixedTicks source(row.now, row.timebase);
    if (row.failure) {
      EXPECT_TRUE(throwsExactly([&] { TokenClock::remaining(row.deadline, source); }, *row.failure)) << row.name;
    } else {
      EXPECT_DOUBLE_EQ(TokenClock::remaining(row.deadline, source), row.seconds) << row.name;
    }
  }
}

TEST(TokenClock, DeadlinesItMakesAreAcceptedByRemaining) {
  const FixedTicks source(123'456'789, oddTimebase);
  const auto deadline = TokenClock::deadline(500.0, TokenClock::now(source), source);
  EXPECT_DOUBLE_EQ(TokenClock::remaining(deadline, source), 90.0);
}

TEST(ContinuousClockTicks, AreTheClocksNanoseconds) {
  platform::runtime::testing::ManualClock clock(7'000'000'123);
  const ContinuousClockTicks ticks(clock);
  EXPECT_EQ(ticks.timebase(), nanoseconds);
  EXPECT_EQ(TokenClock::now(ticks), 7'000'000'123u);
  clock.advance(std::chrono::seconds(3));
  EXPECT_EQ(TokenClock::now(ticks), 10'000'000'123u);
  clock.set(platform::runtime::ContinuousClock::Instant::fromNanoseconds(-5));
  EXPECT_EQ(TokenClock::now(ticks), 0u);
}

TEST(ContinuousClockTicks, SystemSourceReadsTheMachinesContinuousClock) {
  const auto& machine = platform::runtime::ContinuousClock::system();
  const auto before = machine.now().nanoseconds();
  const auto tick = TokenClock::now();
  const auto after = machine.now().nanoseconds();
  EXPECT_LE(static_cast<std::uint64_t>(before), tick);
  EXPECT_LE(tick, static_cast<std::uint64_t>(after));
  EXPECT_EQ(TickSource::system().timebase(), nanoseconds);
}

}  // namespace
}  // namespace corvanta
