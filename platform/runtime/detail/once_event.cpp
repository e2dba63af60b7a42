#include "platform/runtime/detail/once_event.hpp"

#include "platform/runtime/cancellation.hpp"

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <list>

namespace platform::runtime::detail {

namespace asio = boost::asio;

struct OnceEvent::Core {
  struct Waiter {
    std::uint64_t id;
    asio::any_completion_handler<void(std::exception_ptr)> handler;
    // Tracks work, so that a context run by a test does not run out of work while it waits.
    asio::any_io_executor executor;
  };

  static void resume(Waiter waiter, std::exception_ptr error) {
    const auto executor = waiter.executor;
    asio::post(executor, [handler = std::move(waiter.handler), error]() mutable { std::move(handler)(error); });
  }

  bool hasFired() {
    const std::lock_guard lock(mutex);
    return fired;
  }

  void fire() {
    std::list<Waiter> resumed;
    {
      const std::lock_guard lock(mutex);
      if (fired) {
        return;
      }
      fired = true;
      resumed.swap(waiters);
    }
    for (auto& waiter : resumed) {
      resume(std::move(waiter), nullptr);
    }
  }

  void leave(std::uint64_t id) {
    std::optional<Waiter> leaving;
    {
      const std::lock_guard lock(mutex);
      for (auto it = waiters.begin(); it != waiters.end(); ++it) {
        if (it->id == id) {
          leaving.emplace(std::move(*it));
          waiters.erase(it);
          break;
        }
      }
    }
    if (leaving) {
      resume(std::move(*leaving), std::make_exception_ptr(CancellationError()));
    }
  }

  std::mutex mutex;
  bool fired = false;
  std::uint64_t nextID = 0;
  // A list, because removing from it never assigns one waiter over another: moving an
  // any_completion_handler by assignment recurses without end in Boost 1.81.
  std::list<Waiter> waiters;
};

namespace {

struct InitiateWait {
  std::shared_ptr<OnceEvent::Core> core;
  bool leaveOnCancellation;

  template <typename Handler>
  void operator()(Handler&& handler) const {
    asio::any_io_executor executor =
        asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    // The erased handler puts its own relay into the caller's slot; our handler goes behind it.
    asio::any_completion_handler<void(std::exception_ptr)> erased(std::forward<Handler>(handler));
    auto slot = asio::get_associated_cancellation_slot(erased);

    std::unique_lock lock(core->mutex);
    if (core->fired) {
      lock.unlock();
      OnceEvent::Core::resume({0, std::move(erased), std::move(executor)}, nullptr);
      return;
    }
    const auto id = core->nextID++;
    // Cancellation is emitted on the waiter's own executor, which is running this initiation, so
    // the slot cannot fire before the waiter is registered below.
    if (leaveOnCancellation && slot.is_connected()) {
      slot.assign([weak = std::weak_ptr<OnceEvent::Core>(core), id](asio::cancellation_type type) {
        if (type == asio::cancellation_type::none) {
          return;
        }
        if (const auto core = weak.lock()) {
          core->leave(id);
        }
      });
    }
    core->waiters.push_back({id, std::move(erased), std::move(executor)});
  }
};

asio::awaitable<void> waitOn(std::shared_ptr<OnceEvent::Core> core, bool leaveOnCancellation) {
  if (leaveOnCancellation && !core->hasFired()) {
    co_await checkCancellation();
  }
  auto wait = asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr)>(
      InitiateWait{core, leaveOnCancellation}, asio::use_awaitable);
  co_await std::move(wait);
}

}  // namespace

OnceEvent::OnceEvent() : core_(std::make_shared<Core>()) {}

void OnceEvent::fire() const { core_->fire(); }

bool OnceEvent::hasFired() const { return core_->hasFired(); }

asio::awaitable<void> OnceEvent::wait(bool leaveOnCancellation) const { return waitOn(core_, leaveOnCancellation); }

}  // namespace platform::runtime::detail
