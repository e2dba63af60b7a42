#include "platform/runtime/cancellation.hpp"
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
#include <thread>
#include <vector>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ManualClock;
using testing::runToCompletion;
using testing::runUntil;

asio::awaitable<int> waitFor(SharedResult<int> result) {
  const int value = co_await result.wait();
  co_return value;
}

// Three tasks waiting for `result`, run up to their wait.
std::vector<Task<int>> threeWaitersFor(asio::io_context& io, const SharedResult<int>& result) {
  std::vector<Task<int>> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(startTask(io.get_executor(), waitFor(result)));
  }
  io.poll();
  return waiters;
}

asio::awaitable<int> join(Task<int> task) {
  const int value = co_await task.join();
  co_return value;
}

asio::awaitable<int> refresh(const ContinuousClock& clock, std::shared_ptr<std::atomic<int>> started) {
  ++*started;
  co_await sleep(clock, 300s);
  co_return 1;
}

TEST(SharedResult, SharedWorkCancelledByItsOwnerFailsEveryAwaiter) {
  ManualClock clock;
  asio::io_context io;
  const auto started = std::make_shared<std::atomic<int>>(0);
  const auto work = startTask(io.get_executor(), refresh(clock, started));
  std::vector<Task<int>> callers;
  for (int i = 0; i < 3; ++i) {
    callers.push_back(startTask(io.get_executor(), join(work)));
  }
  ASSERT_TRUE(runUntil(io, [&] { return *started == 1; }));
  io.poll();
  for (const auto& caller : callers) {
    EXPECT_FALSE(caller.hasEnded());
  }

  work.cancel();
  for (const auto& caller : callers) {
    EXPECT_THROW(runToCompletion(io, caller.value()), CancellationError);
    EXPECT_FALSE(caller.isCancelled());
  }
  EXPECT_EQ(*started, 1);
}

TEST(SharedResult, TheFirstOutcomeReachesEveryWaiterAndLaterOnesAreIgnored) {
  asio::io_context io;
  SharedResult<int> result;
  const auto waiters = threeWaitersFor(io, result);
  EXPECT_TRUE(result.setError(std::make_exception_ptr(std::runtime_error("refresh failed"))));
  EXPECT_FALSE(result.setValue(3));
  EXPECT_FALSE(result.setError(std::make_exception_ptr(std::logic_error("late"))));
  for (const auto& waiter : waiters) {
    EXPECT_THROW(runToCompletion(io, waiter.value()), std::runtime_error);
  }
  // A waiter that comes after the outcome gets it at once.
  EXPECT_THROW(runToCompletion(io, waitFor(result)), std::runtime_error);
}

TEST(SharedResult, OneAwaiterCancelledLeavesWhileTheOthersGetTheValue) {
  asio::io_context io;
  SharedResult<int> result;
  const auto waiters = threeWaitersFor(io, result);
  waiters[1].cancel();
  EXPECT_THROW(runToCompletion(io, waiters[1].value()), CancellationError);
  io.poll();
  EXPECT_FALSE(waiters[0].hasEnded());
  EXPECT_FALSE(waiters[2].hasEnded());
  EXPECT_FALSE(result.isSettled());

  EXPECT_TRUE(result.setValue(7));
  EXPECT_EQ(runToCompletion(io, waiters[0].value()), 7);
  EXPECT_EQ(runToCompletion(io, waiters[2].value()), 7);
}

TEST(SharedResult, ACancelledJoinerDoesNotCancelTheSharedTask) {
  ManualClock clock;
  asio::io_context io;
  const auto started = std::make_shared<std::atomic<int>>(0);
  const auto work = startTask(io.get_executor(), refresh(clock, started));
  const auto leaving = startTask(io.get_executor(), join(work));
  const auto staying = startTask(io.get_executor(), join(work));
  ASSERT_TRUE(runUntil(io, [&] { return *started == 1; }));
  leaving.cancel();
  EXPECT_THROW(runToCompletion(io, leaving.value()), CancellationError);
  EXPECT_FALSE(work.isCancelled());

  clock.advance(300s);
  EXPECT_EQ(runToCompletion(io, staying.value()), 1);
  EXPECT_EQ(runToCompletion(io, work.value()), 1);
}

TEST(SharedResult, AnAlreadyCancelledCallerWaitsOnlyIfThereIsNothingToWaitFor) {
  asio::io_context io;
  SharedResult<int> pending;
  const auto early = startTask(io.get_executor(), waitFor(pending));
  early.cancel();
  EXPECT_THROW(runToCompletion(io, early.value()), CancellationError);

  SharedResult<int> settled;
  settled.setValue(4);
  const auto late = startTask(io.get_executor(), waitFor(settled));
  late.cancel();
  EXPECT_EQ(runToCompletion(io, late.value()), 4);
}

asio::awaitable<std::pair<int, std::thread::id>> waitAndTellThread(SharedResult<int> result) {
  const int value = co_await result.wait();
  co_return std::pair{value, std::this_thread::get_id()};
}

TEST(SharedResult, SettledFromAnotherThreadResumesWaitersOnTheirOwnThread) {
  asio::io_context io;
  SharedResult<int> result;
  std::vector<Task<std::pair<int, std::thread::id>>> waiters;
  for (int i = 0; i < 16; ++i) {
    waiters.push_back(startTask(io.get_executor(), waitAndTellThread(result)));
  }
  io.poll();
  std::thread settler([result] { result.setValue(11); });
  settler.join();
  for (const auto& waiter : waiters) {
    const auto [value, thread] = runToCompletion(io, waiter.value());
    EXPECT_EQ(value, 11);
    EXPECT_EQ(thread, std::this_thread::get_id());
  }
}

asio::awaitable<void> waitForVoid(SharedResult<void> result) { co_await result.wait(); }

TEST(SharedResult, WorksWithoutAValue) {
  asio::io_context io;
  SharedResult<void> done;
  const auto waiter = startTask(io.get_executor(), waitForVoid(done));
  io.poll();
  EXPECT_FALSE(waiter.hasEnded());
  EXPECT_TRUE(done.setValue());
  EXPECT_NO_THROW(runToCompletion(io, waiter.value()));
}

}  // namespace
}  // namespace platform::runtime
