#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/run_on.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/sleep.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <memory>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ManualClock;
using testing::runToCompletion;
using testing::runUntil;

asio::awaitable<void> sleepFor(const ContinuousClock& clock, ContinuousClock::Duration duration) {
  co_await sleep(clock, duration);
}

TEST(Sleep, AManualClockDrivesALongSleepToItsEndExactly) {
  ManualClock clock;
  asio::io_context io;
  const auto task = startTask(io.get_executor(), sleepFor(clock, 300s));
  io.poll();
  for (const auto step : {1s, 100s, 198s}) {
    clock.advance(step);
    io.poll();
    EXPECT_FALSE(task.hasEnded());
  }
  clock.advance(999ms);
  io.poll();
  EXPECT_FALSE(task.hasEnded());
  clock.advance(1ms);
  // On the machine's clock the sleep would outlast the limit of runToCompletion.
  EXPECT_NO_THROW(runToCompletion(io, task.value()));
}

TEST(Sleep, ADeadlineAlreadyReachedReturnsAtOnce) {
  ManualClock clock;
  asio::io_context io;
  for (const ContinuousClock::Duration duration : {ContinuousClock::Duration(0), ContinuousClock::Duration(-5s)}) {
    EXPECT_NO_THROW(runToCompletion(io, sleepFor(clock, duration)));
  }
}

asio::awaitable<void> sleepUntilDeadline(const ContinuousClock& clock, ContinuousClock::Instant deadline) {
  co_await sleepUntil(clock, deadline);
}

TEST(Sleep, SleepsUntilAnInstantThatASetClockReaches) {
  ManualClock clock;
  asio::io_context io;
  const auto deadline = clock.now().advancedBy(90s);
  const auto task = startTask(io.get_executor(), sleepUntilDeadline(clock, deadline));
  io.poll();
  clock.set(deadline.advancedBy(-1ns));
  io.poll();
  EXPECT_FALSE(task.hasEnded());
  clock.set(deadline);
  EXPECT_NO_THROW(runToCompletion(io, task.value()));
}

TEST(Sleep, OnTheMachinesClockEndsNoEarlierThanItsDuration) {
  asio::io_context io;
  const auto start = std::chrono::steady_clock::now();
  runToCompletion(io, sleepFor(ContinuousClock::system(), 30ms), 60s);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 30ms);
  EXPECT_LT(elapsed, 10s);
}

// Time that passes without the timers seeing it, as while the machine is suspended: the clock
// jumps without telling anyone.
class SuspendingClock final : public ContinuousClock {
public:
  Instant now() const override { return system().now().advancedBy(std::chrono::nanoseconds(suspended_.load())); }
  Duration timerWait(Duration remaining) const override { return std::min<Duration>(remaining, 5ms); }
  void suspendFor(Duration duration) { suspended_ += duration.count(); }

private:
  std::atomic<std::int64_t> suspended_ = 0;
};

TEST(Sleep, NoticesSuspendedTimeWithinOneTimerWait) {
  SuspendingClock clock;
  asio::io_context io;
  const auto task = startTask(io.get_executor(), sleepFor(clock, 300s));
  EXPECT_FALSE(runUntil(io, [&] { return task.hasEnded(); }, 30ms));
  clock.suspendFor(300s);
  // Unnoticed, the suspended time would keep the sleep going for 300 seconds.
  EXPECT_TRUE(runUntil(io, [&] { return task.hasEnded(); }, 10s));
  EXPECT_NO_THROW(runToCompletion(io, task.value()));
}

TEST(Sleep, ACancelledChainDoesNotSleep) {
  ManualClock clock;
  asio::io_context io;
  const auto task = startTask(io.get_executor(), sleepFor(clock, 300s));
  task.cancel();
  EXPECT_THROW(runToCompletion(io, task.value()), CancellationError);

  // Also when the deadline has passed: a cancelled chain is told so.
  const auto passed = startTask(io.get_executor(), sleepFor(clock, 0s));
  passed.cancel();
  EXPECT_THROW(runToCompletion(io, passed.value()), CancellationError);
}

asio::awaitable<void> sleepOnPool(asio::any_io_executor pool, const ContinuousClock& clock,
                                  std::shared_ptr<std::atomic<bool>> started) {
  *started = true;
  co_await runOn(pool, sleepFor(clock, 300s));
}

TEST(Sleep, CancellationReachesASleepRunningOnAnotherExecutor) {
  ManualClock clock;
  asio::io_context main;
  Runtime runtime(main.get_executor(), RuntimeOptions{.ioThreads = 2, .blockingThreads = 3});
  const auto started = std::make_shared<std::atomic<bool>>(false);
  const auto task = startTask(runtime.main(), sleepOnPool(runtime.blocking(), clock, started));
  ASSERT_TRUE(runUntil(main, [&] { return started->load(); }));
  EXPECT_FALSE(runUntil(main, [&] { return task.hasEnded(); }, 20ms));
  task.cancel();
  EXPECT_THROW(runToCompletion(main, task.value()), CancellationError);
}

}  // namespace
}  // namespace platform::runtime
