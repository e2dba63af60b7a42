#include "platform/runtime/sleep.hpp"

#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/run_on.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <memory>

namespace platform::runtime {

namespace asio = boost::asio;

namespace {

// A clock that answers no time at all must not make the thread spin.
ContinuousClock::Duration timerWait(const ContinuousClock& clock, ContinuousClock::Duration remaining) {
  const auto wait = clock.timerWait(remaining);
  return wait > ContinuousClock::Duration::zero() ? wait : std::chrono::milliseconds(1);
}

// Runs on a strand of its own, where the timer is touched both by the sleep and by the wakes of
// a jumping clock, which arrive from whichever thread moved the clock.
asio::awaitable<void> sleepOnStrand(const ContinuousClock* clock, ContinuousClock::Instant deadline) {
  const auto executor = co_await asio::this_coro::executor;
  const auto timer = std::make_shared<asio::steady_timer>(executor);
  const auto observation = clock->observeJumps([weak = std::weak_ptr<asio::steady_timer>(timer), executor] {
    asio::post(executor, [weak] {
      if (const auto timer = weak.lock()) {
        timer->cancel();
      }
    });
  });
  for (;;) {
    co_await checkCancellation();
    const auto now = clock->now();
    if (now >= deadline) {
      co_return;
    }
    timer->expires_after(timerWait(*clock, deadline.durationSince(now)));
    // Woken early by a jump or by cancellation, or at the end of the slice: the top of the loop
    // tells them apart.
    boost::system::error_code ended;
    co_await timer->async_wait(asio::redirect_error(asio::use_awaitable, ended));
  }
}

}  // namespace

asio::awaitable<void> sleep(const ContinuousClock& clock, ContinuousClock::Duration duration) {
  const auto deadline = clock.now().advancedBy(duration);
  co_await sleepUntil(clock, deadline);
}

asio::awaitable<void> sleepUntil(const ContinuousClock& clock, ContinuousClock::Instant deadline) {
  co_await checkCancellation();
  if (clock.now() >= deadline) {
    co_return;
  }
  const auto executor = co_await asio::this_coro::executor;
  auto sleeping = runOn(asio::make_strand(executor), sleepOnStrand(&clock, deadline));
  co_await std::move(sleeping);
}

}  // namespace platform::runtime
