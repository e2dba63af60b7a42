#include "platform/runtime/once_box.hpp"
#include "platform/runtime/testing/manual_clock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace platform::runtime {
namespace {

using namespace std::chrono_literals;
using testing::ManualClock;

// Moves the clock on until the waiter has given up, however late it started waiting.
class ClockMover {
public:
  explicit ClockMover(ManualClock& clock) : thread_([this, &clock] {
    while (!stop_) {
      clock.advance(10s);
      std::this_thread::sleep_for(1ms);
    }
  }) {}
  ~ClockMover() {
    stop_ = true;
    thread_.join();
  }

private:
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

TEST(OnceBox, ALateReplyIntoABoxWhoseWaiterGaveUpIsHarmless) {
  ManualClock clock;
  auto box = OnceBox<std::string>::make();
  const std::weak_ptr<OnceBox<std::string>> watch = box;

  std::promise<void> replyNow;
  auto replied = std::async(std::launch::async, [reply = box, go = replyNow.get_future()]() mutable {
    go.wait();
    const bool taken = reply->put("too late");
    reply.reset();
    return taken;
  });

  const auto start = std::chrono::steady_clock::now();
  {
    const ClockMover mover(clock);
    EXPECT_EQ(box->wait(300s, clock), std::nullopt);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << "the wait went by the machine's clock";
  box.reset();
  EXPECT_FALSE(watch.expired());

  replyNow.set_value();
  EXPECT_TRUE(replied.get());
  EXPECT_TRUE(watch.expired());
}

TEST(OnceBox, TheFirstAnswerWinsAcrossThreads) {
  const auto box = OnceBox<int>::make();
  std::atomic<bool> go = false;
  std::atomic<int> winners = 0;
  std::atomic<int> winner = -1;
  std::vector<std::thread> repliers;
  for (int i = 0; i < 8; ++i) {
    repliers.emplace_back([&, i] {
      while (!go) {
        std::this_thread::yield();
      }
      if (box->put(i)) {
        ++winners;
        winner = i;
      }
    });
  }
  go = true;
  // Long enough for repliers that a busy machine starts late; the first answer ends the wait.
  const auto answer = box->wait(60s);
  for (auto& replier : repliers) {
    replier.join();
  }
  EXPECT_EQ(winners, 1);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(*answer, winner.load());
  EXPECT_EQ(box->current(), answer);
}

// The machine's clock, telling when a waiter first blocks on it.
class BlockingSignalClock final : public ContinuousClock {
public:
  Instant now() const override { return system().now(); }
  Duration timerWait(Duration remaining) const override {
    blocked_.store(true);
    return system().timerWait(remaining);
  }
  bool hasBlocked() const { return blocked_.load(); }

private:
  mutable std::atomic<bool> blocked_ = false;
};

TEST(OnceBox, AnAnswerArrivingDuringTheWaitEndsItAtOnce) {
  const BlockingSignalClock clock;
  const auto box = OnceBox<int>::make();
  // Answers only once the waiter blocks: it is woken by the answer, not finding it on arrival.
  std::thread replier([box, &clock] {
    while (!clock.hasBlocked()) {
      std::this_thread::sleep_for(1ms);
    }
    box->put(3);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(box->wait(300s, clock), 3);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s) << "the wait ran out instead";
  replier.join();
}

TEST(OnceBox, ATimeoutOfZeroOnlyLooks) {
  ManualClock clock;
  const auto box = OnceBox<int>::make();
  EXPECT_EQ(box->wait(0s, clock), std::nullopt);
  EXPECT_EQ(box->wait(-1s, clock), std::nullopt);
  box->put(8);
  EXPECT_EQ(box->wait(0s, clock), 8);
}

TEST(OnceBox, TimesOutOnTheMachinesClock) {
  const auto box = OnceBox<int>::make();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(box->wait(30ms), std::nullopt);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 30ms);
  EXPECT_LT(elapsed, 10s);
}

}  // namespace
}  // namespace platform::runtime
