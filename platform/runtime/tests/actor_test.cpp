#include "platform/runtime/actor.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/runtime.hpp"
#include "platform/runtime/shared_result.hpp"
#include "platform/runtime/sleep.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>
#include <vector>

namespace platform::runtime {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using testing::ManualClock;
using testing::runToCompletion;
using testing::runUntil;

// Withdrawals that wait for an approval: the balance can change while one waits.
class Ledger : public Actor, public std::enable_shared_from_this<Ledger> {
public:
  Ledger(const asio::any_io_executor& executor, int balance) : Actor(executor), balance_(balance) {}

  asio::awaitable<bool> withdrawAfterApproval(int amount, SharedResult<void> approval) {
    return onStrand(withdrawAfterApprovalOnStrand(shared_from_this(), amount, std::move(approval)));
  }

  asio::awaitable<void> withdrawNow(int amount) { return onStrand(withdrawNowOnStrand(shared_from_this(), amount)); }

  asio::awaitable<int> balance() { return onStrand(balanceOnStrand(shared_from_this())); }

  // Read by the test between runs of the context it drives.
  int waitingForApproval() const { return waiting_; }

private:
  static asio::awaitable<bool> withdrawAfterApprovalOnStrand(std::shared_ptr<Ledger> self, int amount,
                                                             SharedResult<void> approval) {
    if (self->balance_ < amount) {
      co_return false;
    }
    ++self->waiting_;
    co_await approval.waitIgnoringCancellation();
    --self->waiting_;
    if (self->balance_ < amount) {
      co_return false;
    }
    self->balance_ -= amount;
    co_return true;
  }

  static asio::awaitable<void> withdrawNowOnStrand(std::shared_ptr<Ledger> self, int amount) {
    self->balance_ -= amount;
    co_return;
  }

  static asio::awaitable<int> balanceOnStrand(std::shared_ptr<Ledger> self) { co_return self->balance_; }

  int balance_;
  int waiting_ = 0;
};

TEST(Actor, AnotherCallRunsWhileOneIsSuspendedAndTheFirstRechecksAfterwards) {
  struct Case {
    bool competingWithdrawal;
    bool expectedApproved;
    int expectedBalance;
  };
  for (const auto& c : {Case{false, true, 20}, Case{true, false, 50}}) {
    asio::io_context io;
    const auto ledger = std::make_shared<Ledger>(io.get_executor(), 100);
    SharedResult<void> approval;
    const auto first = startTask(io.get_executor(), ledger->withdrawAfterApproval(80, approval));
    ASSERT_TRUE(runUntil(io, [&] { return ledger->waitingForApproval() == 1; }));

    if (c.competingWithdrawal) {
      // Completes although the first call holds the actor suspended.
      runToCompletion(io, ledger->withdrawNow(50));
      EXPECT_EQ(runToCompletion(io, ledger->balance()), 50);
      EXPECT_FALSE(first.hasEnded());
    }

    approval.setValue();
    EXPECT_EQ(runToCompletion(io, first.value()), c.expectedApproved) << c.competingWithdrawal;
    EXPECT_EQ(runToCompletion(io, ledger->balance()), c.expectedBalance) << c.competingWithdrawal;
  }
}

// Counts calls and notices any two that run at the same time.
class Counter : public Actor, public std::enable_shared_from_this<Counter> {
public:
  using Actor::Actor;

  asio::awaitable<void> increment() { return onStrand(incrementOnStrand(shared_from_this())); }
  asio::awaitable<std::pair<int, int>> countAndOverlaps() { return onStrand(readOnStrand(shared_from_this())); }

private:
  static asio::awaitable<void> incrementOnStrand(std::shared_ptr<Counter> self) {
    if (self->inside_ || !self->isOnStrand()) {
      ++self->overlaps_;
    }
    self->inside_ = true;
    const int before = self->count_;
    // Gives another thread every chance to run the actor at the same time, if it could.
    std::this_thread::yield();
    self->count_ = before + 1;
    self->inside_ = false;
    co_return;
  }

  static asio::awaitable<std::pair<int, int>> readOnStrand(std::shared_ptr<Counter> self) {
    co_return std::pair{self->count_, self->overlaps_};
  }

  int count_ = 0;
  int overlaps_ = 0;
  bool inside_ = false;
};

asio::awaitable<void> incrementTimes(std::shared_ptr<Counter> counter, int times) {
  for (int i = 0; i < times; ++i) {
    co_await counter->increment();
  }
}

TEST(Actor, CallsFromManyThreadsRunOneAtATimeOnTheStrand) {
  asio::io_context io;
  Runtime runtime(RuntimeOptions{.ioThreads = 4, .blockingThreads = 4});
  const auto counter = std::make_shared<Counter>(runtime.io());
  std::vector<Task<void>> callers;
  for (int i = 0; i < 8; ++i) {
    callers.push_back(startTask(i % 2 == 0 ? runtime.io() : runtime.blocking(), incrementTimes(counter, 100)));
  }
  for (const auto& caller : callers) {
    runToCompletion(io, caller.value());
  }
  const auto [count, overlaps] = runToCompletion(io, counter->countAndOverlaps());
  EXPECT_EQ(count, 800);
  EXPECT_EQ(overlaps, 0);
}

// Reports what its operations observe of cancellation.
class Probe : public Actor, public std::enable_shared_from_this<Probe> {
public:
  Probe(const asio::any_io_executor& executor, const ContinuousClock& clock) : Actor(executor), clock_(clock) {}

  // Whether the operation found itself cancelled at its first instruction.
  asio::awaitable<bool> cancelledAtStart() { return onStrand(cancelledAtStartOnStrand(shared_from_this())); }

  // Sleeps 300 s on the probe's clock, then says whether it is cancelled.
  asio::awaitable<bool> longWait() { return onStrand(longWaitOnStrand(shared_from_this())); }

  asio::awaitable<std::thread::id> threadOfOperation() { return onStrand(threadOnStrand(shared_from_this())); }

  int sleeping() const { return sleeping_; }

private:
  static asio::awaitable<bool> cancelledAtStartOnStrand(std::shared_ptr<Probe> self) {
    const bool cancelled = co_await isCancelled();
    // Unlike Asio's default, the next co_await does not throw just because the chain is cancelled.
    co_await asio::post(self->strand(), asio::use_awaitable);
    co_return cancelled;
  }

  static asio::awaitable<bool> longWaitOnStrand(std::shared_ptr<Probe> self) {
    ++self->sleeping_;
    try {
      co_await sleep(self->clock_, 300s);
    } catch (const CancellationError&) {
      --self->sleeping_;
      throw;
    }
    --self->sleeping_;
    const bool cancelled = co_await isCancelled();
    co_return cancelled;
  }

  static asio::awaitable<std::thread::id> threadOnStrand(std::shared_ptr<Probe> self) {
    EXPECT_TRUE(self->isOnStrand());
    co_return std::this_thread::get_id();
  }

  const ContinuousClock& clock_;
  int sleeping_ = 0;
};

asio::awaitable<bool> askAfterGate(std::shared_ptr<Probe> probe, SharedResult<void> gate, bool sleepInstead) {
  co_await gate.waitIgnoringCancellation();
  bool cancelled = false;
  if (sleepInstead) {
    cancelled = co_await probe->longWait();
  } else {
    cancelled = co_await probe->cancelledAtStart();
  }
  co_return cancelled;
}

TEST(Actor, CallerCancelledBeforeTheCallStartsTheOperationCancelled) {
  ManualClock clock;
  asio::io_context io;
  const auto probe = std::make_shared<Probe>(io.get_executor(), clock);

  for (const bool cancel : {false, true}) {
    SharedResult<void> gate;
    const auto caller = startTask(io.get_executor(), askAfterGate(probe, gate, false));
    if (cancel) {
      caller.cancel();
    }
    // The caller holds its cancellation while it waits at the gate and only then calls.
    io.poll();
    gate.setValue();
    EXPECT_EQ(runToCompletion(io, caller.value()), cancel);
  }

  // A wait inside the operation ends at once instead of sleeping its 300 s.
  SharedResult<void> gate;
  const auto caller = startTask(io.get_executor(), askAfterGate(probe, gate, true));
  caller.cancel();
  io.poll();
  gate.setValue();
  EXPECT_THROW(runToCompletion(io, caller.value()), CancellationError);
  EXPECT_EQ(probe->sleeping(), 0);
}

TEST(Actor, CancellationDuringTheCallReachesTheOperationAndTheActorStaysUsable) {
  ManualClock clock;
  asio::io_context io;
  const auto probe = std::make_shared<Probe>(io.get_executor(), clock);
  SharedResult<void> open;
  open.setValue();

  const auto caller = startTask(io.get_executor(), askAfterGate(probe, open, true));
  ASSERT_TRUE(runUntil(io, [&] { return probe->sleeping() == 1; }));
  caller.cancel();
  EXPECT_THROW(runToCompletion(io, caller.value()), CancellationError);
  EXPECT_EQ(probe->sleeping(), 0);

  // An uncancelled call after it runs normally, and its sleep ends when the clock says so.
  const auto next = startTask(io.get_executor(), askAfterGate(probe, open, true));
  ASSERT_TRUE(runUntil(io, [&] { return probe->sleeping() == 1; }));
  clock.advance(300s);
  EXPECT_FALSE(runToCompletion(io, next.value()));
}

asio::awaitable<std::vector<std::thread::id>> threadsAroundCall(std::shared_ptr<Probe> probe) {
  std::vector<std::thread::id> threads{std::this_thread::get_id()};
  const auto inside = co_await probe->threadOfOperation();
  threads.push_back(inside);
  threads.push_back(std::this_thread::get_id());
  co_return threads;
}

TEST(Actor, TheCallerResumesOnItsOwnExecutor) {
  asio::io_context main;
  Runtime runtime(main.get_executor());
  const auto probe = std::make_shared<Probe>(runtime.io(), ContinuousClock::system());
  const auto threads = runToCompletion(main, threadsAroundCall(probe));
  ASSERT_EQ(threads.size(), 3u);
  EXPECT_EQ(threads[0], std::this_thread::get_id());
  EXPECT_NE(threads[1], std::this_thread::get_id());
  EXPECT_EQ(threads[2], std::this_thread::get_id());
}

}  // namespace
}  // namespace platform::runtime
