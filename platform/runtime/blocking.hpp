#pragma once

#include "platform/runtime/detail/outcome.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution/outstanding_work.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/prefer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform::runtime {

namespace detail {

template <typename R>
struct InitiateBlocking {
  boost::asio::any_io_executor pool;
  std::shared_ptr<Outcome<R>> outcome;

  template <typename Handler, typename Work>
  void operator()(Handler&& handler, Work work) const {
    namespace asio = boost::asio;
    asio::any_io_executor caller =
        asio::prefer(asio::get_associated_executor(handler), asio::execution::outstanding_work.tracked);
    asio::post(pool, [work = std::move(work), outcome = outcome, caller = std::move(caller),
                      handler = std::forward<Handler>(handler)]() mutable {
      try {
        if constexpr (std::is_void_v<R>) {
          std::invoke(work);
          outcome->setValue({});
        } else {
          outcome->setValue(std::invoke(work));
        }
      } catch (...) {
        outcome->setError(std::current_exception());
      }
      asio::post(caller, std::move(handler));
    });
  }
};

}  // namespace detail

// Runs `work` (a function that blocks: file system, child processes, a blocking library call) on
// `pool`, the runtime's blocking pool, and resumes the caller on its own executor with the
// result or the exception it threw. Blocking work cannot be interrupted, so the caller waits
// for it even when its chain is cancelled; work that can give up early checks a flag of its own.
template <typename Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> runBlocking(boost::asio::any_io_executor pool, Work work) {
  using R = std::invoke_result_t<Work&>;
  auto outcome = std::make_shared<detail::Outcome<R>>();
  auto run = boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
      detail::InitiateBlocking<R>{std::move(pool), outcome}, boost::asio::use_awaitable, std::move(work));
  co_await std::move(run);
  co_return std::move(*outcome).take();
}

}  // namespace platform::runtime
