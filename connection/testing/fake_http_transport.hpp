#pragma once

#include "connection/transport/http_result.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/net/network_error.hpp"
#include "platform/net/request.hpp"
#include "platform/runtime/cancellation.hpp"
#include "platform/runtime/shared_result.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/url/url_view.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvanta::testing {

// A transport for tests: answers scripted per URL, every request recorded, and answers that can be
// held back until the test releases them, so that a test can let other calls run while one
// request is on the wire.
//
//   auto transport = std::make_shared<FakeHTTPTransport>();
//   transport->answer(CorvantaEndpoints::tokenURL(), FakeHTTPTransport::Reply::status(200, body));
//   auto held = transport->hold(CorvantaEndpoints::tokenURL());
//   ... the next request to that URL waits ...
//   held->release(FakeHTTPTransport::Reply::status(400, "{}"));
//
// A URL is matched on its whole text (query included). For each request the fake takes, in this
// order: the oldest hold of the URL not yet taken; the oldest once-reply; the always-reply. A
// request to a URL with none of them fails the test and throws NetworkError cannotConnectToHost.
// A held request whose awaiting chain is cancelled ends with NetworkError cancelled, as the real
// transport does, unless it was held with OnCancel::keepWaiting: then it answers when released,
// like an answer that was already on its way when the caller gave up. Safe to use from any thread.
class FakeHTTPTransport final : public HTTPTransport {
public:
  // What the fake answers: a result, or an error to throw.
  struct Reply {
    HTTPResult result;
    std::exception_ptr error;

    static Reply status(std::int64_t status, std::string_view body = {}) {
      return Reply{HTTPResult{status, platform::bytesOf(body)}, nullptr};
    }
    template <typename Error>
    static Reply failure(Error error) {
      return Reply{HTTPResult{}, std::make_exception_ptr(std::move(error))};
    }
  };

  // One request held back: it waits from its arrival until release().
  class Hold {
  public:
    // Whether the held request has arrived (and is waiting, or was answered or cancelled).
    bool hasArrived() const {
      const std::lock_guard lock(mutex_);
      return arrived_;
    }
    // Whether the held request's caller gave up waiting (cancellation).
    bool wasCancelled() const {
      const std::lock_guard lock(mutex_);
      return cancelled_;
    }
    // Answers the held request, now or, when it has not arrived yet, as soon as it arrives. Only
    // the first release counts.
    void release(Reply reply) const { reply_.setValue(std::move(reply)); }

  private:
    friend class FakeHTTPTransport;
    mutable std::mutex mutex_;
    bool arrived_ = false;
    bool cancelled_ = false;
    bool keepWaiting_ = false;
    platform::runtime::SharedResult<Reply> reply_;
  };

  enum class Times { once, always };
  enum class OnCancel { fail, keepWaiting };

  void answer(boost::urls::url_view url, Reply reply, Times times = Times::once) {
    const std::lock_guard lock(state_->mutex);
    auto& script = state_->scripts[std::string(url.buffer())];
    if (times == Times::once) {
      script.once.push_back(std::move(reply));
    } else {
      script.always = std::make_unique<Reply>(std::move(reply));
    }
  }

  // Holds the next request to the URL that no earlier hold took.
  std::shared_ptr<const Hold> hold(boost::urls::url_view url, OnCancel onCancel = OnCancel::fail) {
    auto held = std::make_shared<Hold>();
    held->keepWaiting_ = onCancel == OnCancel::keepWaiting;
    const std::lock_guard lock(state_->mutex);
    state_->scripts[std::string(url.buffer())].holds.push_back(held);
    return held;
  }

  // Every request received, in the order they arrived.
  std::vector<platform::net::Request> requests() const {
    const std::lock_guard lock(state_->mutex);
    return state_->requests;
  }

  std::vector<platform::net::Request> requests(boost::urls::url_view url) const {
    std::vector<platform::net::Request> matching;
    const std::lock_guard lock(state_->mutex);
    for (const auto& request : state_->requests) {
      if (request.url.buffer() == url.buffer()) matching.push_back(request);
    }
    return matching;
  }

  std::size_t requestCount() const {
    const std::lock_guard lock(state_->mutex);
    return state_->requests.size();
  }

  boost::asio::awaitable<HTTPResult> send(platform::net::Request request) override {
    return exchange(state_, std::move(request));
  }

private:
  struct Script {
    std::deque<std::shared_ptr<Hold>> holds;
    std::deque<Reply> once;
    std::unique_ptr<Reply> always;
  };

  struct State {
    mutable std::mutex mutex;
    std::map<std::string, Script> scripts;
    std::vector<platform::net::Request> requests;
  };

  static HTTPResult give(const Reply& reply) {
    if (reply.error) std::rethrow_exception(reply.error);
    return reply.result;
  }

  // Takes the state by value: a request under way keeps what it needs.
  static boost::asio::awaitable<HTTPResult> exchange(std::shared_ptr<State> state, platform::net::Request request) {
    std::shared_ptr<Hold> held;
    std::unique_ptr<Reply> reply;
    {
      const std::lock_guard lock(state->mutex);
      state->requests.push_back(request);
      auto found = state->scripts.find(std::string(request.url.buffer()));
      if (found != state->scripts.end()) {
        auto& script = found->second;
        if (!script.holds.empty()) {
          held = std::move(script.holds.front());
          script.holds.pop_front();
        } else if (!script.once.empty()) {
          reply = std::make_unique<Reply>(std::move(script.once.front()));
          script.once.pop_front();
        } else if (script.always) {
          reply = std::make_unique<Reply>(*script.always);
        }
      }
    }
    if (reply) co_return give(*reply);
    if (!held) {
      ADD_FAILURE() << "unexpected request: " << request.method << " " << request.url.buffer();
      throw platform::net::NetworkError(platform::net::NetworkError::Code::cannotConnectToHost);
    }
    {
      const std::lock_guard lock(held->mutex_);
      held->arrived_ = true;
    }
    bool cancelled = false;
    Reply released;
    try {
      auto waiting = held->keepWaiting_ ? held->reply_.waitIgnoringCancellation() : held->reply_.wait();
      released = co_await std::move(waiting);
    } catch (const platform::runtime::CancellationError&) {
      cancelled = true;
    }
    if (cancelled) {
      const std::lock_guard lock(held->mutex_);
      held->cancelled_ = true;
      throw platform::net::NetworkError(platform::net::NetworkError::Code::cancelled);
    }
    co_return give(released);
  }

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace corvanta::testing
