#include "platform/runtime/actor.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/posting_context.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/sleep.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::runToCompletion;

asio::awaitable<std::thread::id> threadOf() { co_return std::this_thread::get_id(); }

TEST(Runtime, WithoutAMainExecutorMainRunsOnTheIOThreads) {
  // Contexts that receive the runtime's completions go away after it.
  asio::io_context caller;
  Runtime runtime;
  const auto io = runToCompletion(caller, runOn(runtime.io(), threadOf()));
  const auto main = runToCompletion(caller, runOn(runtime.main(), threadOf()));
  EXPECT_NE(io, std::this_thread::get_id());
  EXPECT_EQ(main, io);
}

asio::awaitable<void> holdWhileSleeping(std::shared_ptr<int> held) {
  co_await sleep(ContinuousClock::system(), 300s);
  *held = 1;
}

asio::awaitable<void> holdWhileWaiting(std::shared_ptr<int> held, Task<void> other) {
  co_await other.value();
  *held = 2;
}

TEST(Runtime, DestructionStopsPromptlyAndFreesThePendingWork) {
  const auto heldBySleeper = std::make_shared<int>(0);
  const auto heldByWaiter = std::make_shared<int>(0);
  const auto heldOnPool = std::make_shared<int>(0);
  const auto start = std::chrono::steady_clock::now();
  {
    Runtime runtime;
    const auto sleeper = startTask(runtime.io(), holdWhileSleeping(heldBySleeper));
    startTask(runtime.main(), holdWhileWaiting(heldByWaiter, sleeper));
    startTask(runtime.blocking(), holdWhileWaiting(heldOnPool, sleeper));
    std::this_thread::sleep_for(20ms);
  }
  // Far below the 300 seconds the sleeper would hold a runtime that waited for its work.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // Nothing of the torn-down work still holds them, and none of it ran to its end.
  EXPECT_EQ(heldBySleeper.use_count(), 1);
  EXPECT_EQ(heldByWaiter.use_count(), 1);
  EXPECT_EQ(heldOnPool.use_count(), 1);
  EXPECT_EQ(*heldBySleeper + *heldByWaiter + *heldOnPool, 0);
}

// Stands in for a window system's event loop: jobs queue up and run on the thread that drains.
class FakeEventLoop {
public:
  void submit(std::function<void()> job) {
    {
      const std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

  // Runs jobs on the calling thread until `done` holds; false after 30 seconds of real time.
  bool runUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + 30s;
    std::unique_lock lock(mutex_);
    while (!done()) {
      if (!ready_.wait_until(lock, giveUp, [&] { return !jobs_.empty(); })) {
        return false;
      }
      auto job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job();
      lock.lock();
    }
    return true;
  }

private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
};

class Echo : public Actor, public std::enable_shared_from_this<Echo> {
public:
  using Actor::Actor;
  asio::awaitable<std::thread::id> thread() { return onStrand(threadOf()); }
};

struct MainThreads {
  std::thread::id start;
  std::thread::id actor;
  std::thread::id afterCall;
  std::thread::id afterTimer;
};

asio::awaitable<MainThreads> visitAndReturn(std::shared_ptr<Echo> echo) {
  MainThreads threads{std::this_thread::get_id(), {}, {}, {}};
  threads.actor = co_await echo->thread();
  threads.afterCall = std::this_thread::get_id();
  co_await sleep(ContinuousClock::system(), 5ms);
  threads.afterTimer = std::this_thread::get_id();
  co_return threads;
}

TEST(PostingContext, MakesAForeignEventLoopTheMainExecutor) {
  FakeEventLoop loop;
  PostingContext mainContext([&loop](PostingContext::Job job) { loop.submit(std::move(job)); });
  asio::io_context reader;
  Runtime runtime(mainContext.get_executor());
  const auto echo = std::make_shared<Echo>(runtime.io());

  const auto task = startTask(runtime.main(), visitAndReturn(echo));
  ASSERT_TRUE(loop.runUntil([&] { return task.hasEnded(); }));
  const auto threads = runToCompletion(reader, task.value());
  EXPECT_EQ(threads.start, std::this_thread::get_id());
  EXPECT_NE(threads.actor, std::this_thread::get_id());
  EXPECT_EQ(threads.afterCall, std::this_thread::get_id());
  EXPECT_EQ(threads.afterTimer, std::this_thread::get_id());
}

}  // namespace
}  // namespace platform::runtime
