#pragma once

#include "connection/testing/stand_in_service.hpp"
#include "connection/transport/ephemeral_http_transport.hpp"
#include "connection/transport/http_result.hpp"
#include "connection/transport/http_transport.hpp"
#include "platform/net/request.hpp"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace corvanta::testing {

// The real ephemeral transport, trusting a stand-in service's authority, with every request moved
// from the build's service address onto the stand-in on the way out. Whoever sends still builds
// and checks the build's own URLs; only the wire goes to 127.0.0.1.
//
// A test can run something between the moment an answer has come back and the moment the sender
// sees it (a sign-out, a jump of the clock), as if it had happened while the answer travelled.
class StandInTransport final : public HTTPTransport {
public:
  using AfterAnswer = std::function<boost::asio::awaitable<void>()>;

  explicit StandInTransport(const StandInService& service, std::chrono::nanoseconds timeout = std::chrono::seconds(75))
      : state_(std::make_shared<State>(service, timeout)) {}

  // Runs once, after the next answer (an error of the exchange skips it and keeps it for later).
  void afterNextAnswer(AfterAnswer action) {
    const std::lock_guard lock(state_->mutex);
    state_->afterAnswer = std::move(action);
  }

  // The requests as the sender made them, before their URLs were moved.
  std::vector<platform::net::Request> requests() const {
    const std::lock_guard lock(state_->mutex);
    return state_->requests;
  }

  boost::asio::awaitable<HTTPResult> send(platform::net::Request request) override {
    return exchange(state_, std::move(request));
  }

private:
  struct State {
    State(const StandInService& service, std::chrono::nanoseconds timeout)
        : service(service), transport(service.sessionConfiguration(timeout)) {}

    // The stand-in outlives the transport in every test that makes one.
    const StandInService& service;
    EphemeralHTTPTransport transport;
    std::mutex mutex;
    std::vector<platform::net::Request> requests;
    AfterAnswer afterAnswer;
  };

  static boost::asio::awaitable<HTTPResult> exchange(std::shared_ptr<State> state, platform::net::Request request) {
    {
      const std::lock_guard lock(state->mutex);
      state->requests.push_back(request);
    }
    request.url = state->service.localURL(request.url);
    auto sending = state->transport.send(std::move(request));
    auto result = co_await std::move(sending);
    AfterAnswer afterAnswer;
    {
      const std::lock_guard lock(state->mutex);
      afterAnswer = std::exchange(state->afterAnswer, nullptr);
    }
    if (afterAnswer) {
      auto acting = afterAnswer();
      co_await std::move(acting);
    }
    co_return result;
  }

  std::shared_ptr<State> state_;
};

}  // namespace corvanta::testing
