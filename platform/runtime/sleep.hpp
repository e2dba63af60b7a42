#pragma once

#include "platform/runtime/continuous_clock.hpp"

#include <boost/asio/awaitable.hpp>

namespace platform::runtime {

// Suspends the calling coroutine for `duration`, or until `deadline`, on `clock` (which must
// outlive the sleep). Time the machine spends suspended counts: the sleep waits on the machine's
// monotonic timers only as long as the clock's timerWait() allows and then reads the clock again,
// and a test clock wakes it whenever it is moved, so a test drives a long sleep to its end by
// advancing its clock. Throws CancellationError when the caller's chain is cancelled, also
// when it already was before the call; a sleep whose deadline has passed returns at once.
boost::asio::awaitable<void> sleep(const ContinuousClock& clock, ContinuousClock::Duration duration);
boost::asio::awaitable<void> sleepUntil(const ContinuousClock& clock, ContinuousClock::Instant deadline);

}  // namespace platform::runtime
