#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/sleep.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ManualClock;
using testing::runToCompletion;
using testing::runUntil;

asio::awaitable<int> valueAfterGate(SharedResult<void> gate, int value, bool fail) {
  co_await gate.waitIgnoringCancellation();
  if (fail) {
    throw std::runtime_error("boom");
  }
  co_return value;
}

asio::awaitable<int> awaitValue(Task<int> task) {
  const int value = co_await task.value();
  co_return value;
}

asio::awaitable<int> awaitJoin(Task<int> task) {
  const int value = co_await task.join();
  co_return value;
}

TEST(Task, EveryAwaiterGetsTheValueOrTheError) {
  for (const bool fail : {false, true}) {
    asio::io_context io;
    SharedResult<void> gate;
    const auto work = startTask(io.get_executor(), valueAfterGate(gate, 42, fail));
    std::vector<Task<int>> awaiters;
    for (int i = 0; i < 3; ++i) {
      awaiters.push_back(startTask(io.get_executor(), awaitValue(work)));
    }
    io.poll();
    EXPECT_FALSE(work.hasEnded());
    gate.setValue();
    for (const auto& awaiter : awaiters) {
      if (fail) {
        EXPECT_THROW(runToCompletion(io, awaiter.value()), std::runtime_error);
      } else {
        EXPECT_EQ(runToCompletion(io, awaiter.value()), 42);
      }
    }
    EXPECT_TRUE(work.hasEnded());
  }
}

asio::awaitable<std::string> sleepThenReport(const ContinuousClock& clock, std::shared_ptr<std::atomic<int>> asleep) {
  ++*asleep;
  co_await sleep(clock, 300s);
  co_return "woke";
}

TEST(Task, CancelledWhileItSleeps) {
  ManualClock clock;
  asio::io_context io;
  const auto asleep = std::make_shared<std::atomic<int>>(0);
  const auto task = startTask(io.get_executor(), sleepThenReport(clock, asleep));
  ASSERT_TRUE(runUntil(io, [&] { return *asleep == 1; }));
  io.poll();
  EXPECT_FALSE(task.isCancelled());

  // The clock stands still: only the cancellation can end the sleep.
  task.cancel();
  EXPECT_TRUE(task.isCancelled());
  EXPECT_THROW(runToCompletion(io, task.value()), CancellationError);

  // Without cancellation the same sleep ends only when its time has come.
  const auto uncancelled = startTask(io.get_executor(), sleepThenReport(clock, asleep));
  ASSERT_TRUE(runUntil(io, [&] { return *asleep == 2; }));
  clock.advance(299s);
  io.poll();
  EXPECT_FALSE(uncancelled.hasEnded());
  clock.advance(1s);
  EXPECT_EQ(runToCompletion(io, uncancelled.value()), "woke");
}

asio::awaitable<int> checkFirst() {
  co_await checkCancellation();
  co_return 1;
}

TEST(Task, CancelledBeforeItFirstRunsStartsCancelled) {
  asio::io_context io;
  const auto task = startTask(io.get_executor(), checkFirst());
  task.cancel();
  EXPECT_THROW(runToCompletion(io, task.value()), CancellationError);

  const auto other = startTask(io.get_executor(), checkFirst());
  EXPECT_EQ(runToCompletion(io, other.value()), 1);
  // Cancelling a task that has ended changes nothing.
  other.cancel();
  EXPECT_EQ(runToCompletion(io, other.value()), 1);
}

asio::awaitable<void> startInnerThenSleep(const ContinuousClock& clock, SharedResult<void> gate,
                                          std::shared_ptr<Task<int>> inner) {
  const auto executor = co_await asio::this_coro::executor;
  *inner = startTask(executor, valueAfterGate(gate, 5, false));
  co_await sleep(clock, 300s);
}

TEST(Task, DoesNotInheritTheCancellationOfItsCreator) {
  ManualClock clock;
  asio::io_context io;
  SharedResult<void> gate;
  const auto inner = std::make_shared<Task<int>>();
  const auto outer = startTask(io.get_executor(), startInnerThenSleep(clock, gate, inner));
  ASSERT_TRUE(runUntil(io, [&] { return inner->isValid(); }));
  outer.cancel();
  EXPECT_THROW(runToCompletion(io, outer.value()), CancellationError);

  EXPECT_FALSE(inner->isCancelled());
  gate.setValue();
  EXPECT_EQ(runToCompletion(io, inner->value()), 5);
}

TEST(Task, ValueWaitsThroughTheAwaitersCancellationJoinStopsWaiting) {
  asio::io_context io;
  SharedResult<void> gate;
  const auto work = startTask(io.get_executor(), valueAfterGate(gate, 9, false));
  const auto byValue = startTask(io.get_executor(), awaitValue(work));
  const auto byJoin = startTask(io.get_executor(), awaitJoin(work));
  io.poll();
  byValue.cancel();
  byJoin.cancel();

  EXPECT_THROW(runToCompletion(io, byJoin.value()), CancellationError);
  io.poll();
  EXPECT_FALSE(byValue.hasEnded());
  EXPECT_FALSE(work.hasEnded());
  EXPECT_FALSE(work.isCancelled());

  gate.setValue();
  EXPECT_EQ(runToCompletion(io, byValue.value()), 9);
  EXPECT_EQ(runToCompletion(io, work.value()), 9);
}

asio::awaitable<void> setFlag(std::shared_ptr<bool> flag) {
  *flag = true;
  co_return;
}

asio::awaitable<bool> startOnOwnStrand(std::shared_ptr<bool> flag) {
  const auto executor = co_await asio::this_coro::executor;
  const auto task = startTask(executor, setFlag(flag));
  const bool ranInside = *flag;
  co_await task.value();
  co_return !ranInside && *flag;
}

TEST(Task, NeverRunsInsideTheCallThatStartsIt) {
  asio::io_context io;
  const auto flag = std::make_shared<bool>(false);
  EXPECT_TRUE(runToCompletion(io, startOnOwnStrand(flag)));
}

TEST(Task, CancelIsSafeFromManyThreadsAtOnce) {
  asio::io_context io;
  Runtime runtime(RuntimeOptions{.ioThreads = 4, .blockingThreads = 2});
  const auto asleep = std::make_shared<std::atomic<int>>(0);
  std::vector<Task<std::string>> tasks;
  for (int i = 0; i < 64; ++i) {
    tasks.push_back(startTask(runtime.io(), sleepThenReport(ContinuousClock::system(), asleep)));
  }
  // Each is cancelled wherever it has got to: before it starts, as it starts, or asleep.
  std::vector<std::thread> cancellers;
  for (int t = 0; t < 4; ++t) {
    cancellers.emplace_back([&] {
      for (const auto& task : tasks) {
        task.cancel();
      }
    });
  }
  for (auto& canceller : cancellers) {
    canceller.join();
  }
  for (const auto& task : tasks) {
    EXPECT_THROW(runToCompletion(io, task.value()), CancellationError);
  }
}

TEST(Task, AnEmptyHandleRefusesUse) {
  const Task<int> none;
  EXPECT_FALSE(none.isValid());
  EXPECT_THROW(none.cancel(), std::logic_error);
  EXPECT_THROW((void)none.value(), std::logic_error);
}

}  // namespace
}  // namespace platform::runtime
