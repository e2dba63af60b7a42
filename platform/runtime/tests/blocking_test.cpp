#include "platform/runtime/blocking.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::runToCompletion;
using testing::runUntil;

struct Threads {
  std::thread::id before;
  std::thread::id work;
  std::thread::id after;
};

asio::awaitable<Threads> blockOnPool(asio::any_io_executor pool) {
  Threads threads{std::this_thread::get_id(), {}, {}};
  // Built in a statement of its own: g++ 12 destroys a lambda written inside co_await twice.
  auto work = runBlocking(pool, [] {
    std::this_thread::sleep_for(5ms);
    return std::this_thread::get_id();
  });
  threads.work = co_await std::move(work);
  threads.after = std::this_thread::get_id();
  co_return threads;
}

TEST(RunBlocking, RunsOnThePoolAndResumesTheCallerWhereItWas) {
  asio::io_context main;
  Runtime runtime(main.get_executor());
  const auto threads = runToCompletion(main, blockOnPool(runtime.blocking()));
  EXPECT_EQ(threads.before, std::this_thread::get_id());
  EXPECT_NE(threads.work, std::this_thread::get_id());
  EXPECT_EQ(threads.after, std::this_thread::get_id());
}

asio::awaitable<void> failOnPool(asio::any_io_executor pool) {
  auto work = runBlocking(pool, [] { throw std::runtime_error("disk full"); });
  co_await std::move(work);
}

TEST(RunBlocking, PassesOnWhatTheWorkThrows) {
  asio::io_context main;
  Runtime runtime(main.get_executor());
  EXPECT_THROW(runToCompletion(main, failOnPool(runtime.blocking())), std::runtime_error);
}

// Each job waits for the other: only a pool that runs them side by side finishes both. The wait
// is long, so that a busy machine starting the second job late does not look like a serial pool.
asio::awaitable<bool> meetOnPool(asio::any_io_executor pool, std::shared_ptr<std::promise<void>> mine,
                                 std::shared_future<void> theirs) {
  auto work = runBlocking(pool, [mine, theirs] {
    mine->set_value();
    return theirs.wait_for(60s) == std::future_status::ready;
  });
  const bool met = co_await std::move(work);
  co_return met;
}

TEST(RunBlocking, JobsRunSideBySide) {
  asio::io_context main;
  Runtime runtime(main.get_executor(), RuntimeOptions{.ioThreads = 1, .blockingThreads = 2});
  auto a = std::make_shared<std::promise<void>>();
  auto b = std::make_shared<std::promise<void>>();
  const auto first = startTask(main.get_executor(), meetOnPool(runtime.blocking(), a, b->get_future().share()));
  const auto second = startTask(main.get_executor(), meetOnPool(runtime.blocking(), b, a->get_future().share()));
  EXPECT_TRUE(runToCompletion(main, first.value()));
  EXPECT_TRUE(runToCompletion(main, second.value()));
}

asio::awaitable<int> blockUntilReleased(asio::any_io_executor pool, std::shared_future<void> release,
                                        std::shared_ptr<std::atomic<bool>> running) {
  auto work = runBlocking(pool, [release, running] {
    *running = true;
    release.wait();
    return 6;
  });
  const int value = co_await std::move(work);
  co_return value;
}

TEST(RunBlocking, ACancelledCallerStillWaitsForTheWork) {
  asio::io_context main;
  Runtime runtime(main.get_executor());
  std::promise<void> release;
  const auto running = std::make_shared<std::atomic<bool>>(false);
  const auto task =
      startTask(main.get_executor(), blockUntilReleased(runtime.blocking(), release.get_future().share(), running));
  ASSERT_TRUE(runUntil(main, [&] { return running->load(); }));
  task.cancel();
  EXPECT_FALSE(runUntil(main, [&] { return task.hasEnded(); }, 20ms));
  release.set_value();
  EXPECT_EQ(runToCompletion(main, task.value()), 6);
}

}  // namespace
}  // namespace platform::runtime
