#pragma once

#include "platform/runtime/run_on.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>

#include <utility>

namespace platform::runtime {

// The base of an actor: an object whose state is touched only on its own strand, one piece of
// code at a time. Each public operation is a coroutine that runs on the strand:
//
//   class Counter : public Actor, public std::enable_shared_from_this<Counter> {
//   public:
//     explicit Counter(boost::asio::any_io_executor executor) : Actor(std::move(executor)) {}
//     boost::asio::awaitable<int> add(int n) { return onStrand(addOnStrand(shared_from_this(), n)); }
//   private:
//     static boost::asio::awaitable<int> addOnStrand(std::shared_ptr<Counter> self, int n);
//   };
//
// The strand runs one coroutine at a time only between suspensions: at every co_await other
// calls of the actor run, as in any reentrant actor. So never keep a reference or iterator into
// the actor's state across a co_await, copy what you need, and re-check after resuming what the
// operation relies on (a generation, an identifier, an outcome). Operations take the actor as a
// shared_ptr parameter, which keeps it alive while they run; never write them as lambdas.
//
// g++ 12 destroys twice a temporary made by aggregate initialisation (a lambda, `Request{...}` of
// an aggregate) when it is written inside a co_await expression, and refuses a braced list there.
// Make such an awaitable in a statement of its own:
//   auto sending = transport->send(Request{...});
//   auto result = co_await std::move(sending);
class Actor {
public:
  explicit Actor(const boost::asio::any_io_executor& executor) : strand_(boost::asio::make_strand(executor)) {}

  Actor(const Actor&) = delete;
  Actor& operator=(const Actor&) = delete;

  const Strand& strand() const noexcept { return strand_; }

  // For assertions in the actor's own code.
  bool isOnStrand() const noexcept { return strand_.running_in_this_thread(); }

protected:
  ~Actor() = default;

  // Runs an operation of this actor on its strand for a caller outside it (see runOn).
  template <typename T>
  boost::asio::awaitable<T> onStrand(boost::asio::awaitable<T> operation) const {
    return runOn(strand_, std::move(operation));
  }

private:
  Strand strand_;
};

}  // namespace platform::runtime
