#pragma once

// What the tests of the session and of its callers (the service client, the remote signer) share:
// a fixture whose coroutines run on the test's thread against a manual clock, operations left
// running while the test acts, and sessions signed in over a scripted transport or at the
// stand-in service.

#include "connection/sign_in/corvanta_endpoints.hpp"
#include "connection/sign_in/oauth_session.hpp"
#include "connection/sign_in/sign_in_attempt.hpp"
#include "connection/testing/fake_http_transport.hpp"
#include "connection/testing/stand_in_service.hpp"
#include "platform/foundation/form_encoding.hpp"
#include "platform/runtime/task.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/runtime/testing/run_until.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace corvanta::testing {

// ---- Outcomes ------------------------------------------------------------------------------------

template <typename Expected, typename Operation>
void expectError(Operation&& operation, const Expected& expected, const std::string& name = "") {
  try {
    operation();
    ADD_FAILURE() << name << ": no error, expected " << expected.what();
  } catch (const Expected& error) {
    EXPECT_TRUE(error == expected) << name << ": " << error.what() << ", expected " << expected.what();
  } catch (const std::exception& other) {
    ADD_FAILURE() << name << ": " << other.what() << ", expected " << expected.what();
  }
}

// One operation started and left running on the test's context, so that others can run while it
// waits; cancel() cancels the task that awaits it, as a caller's task would be.
template <typename T>
class Started {
public:
  Started(boost::asio::io_context& io, boost::asio::awaitable<T> operation) : state_(std::make_shared<State>()) {
    task_ = platform::runtime::startTask(io.get_executor(), capture(std::move(operation), state_));
  }

  bool hasEnded() const { return state_->ended; }
  void cancel() const { task_.cancel(); }

  // The value, or the error rethrown; only once it has ended.
  T get() const {
    if (!state_->ended) throw std::logic_error("still running");
    if (state_->error) std::rethrow_exception(state_->error);
    if constexpr (!std::is_void_v<T>) return *state_->value;
  }

private:
  struct State {
    bool ended = false;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::exception_ptr error;
  };

  static boost::asio::awaitable<void> capture(boost::asio::awaitable<T> operation, std::shared_ptr<State> state) {
    try {
      if constexpr (std::is_void_v<T>) {
        co_await std::move(operation);
      } else {
        state->value = co_await std::move(operation);
      }
    } catch (...) {
      state->error = std::current_exception();
    }
    state->ended = true;
  }

  std::shared_ptr<State> state_;
  platform::runtime::Task<void> task_;
};

// ---- Signing in ----------------------------------------------------------------------------------

// An answer of the token endpoint, its members written in this order.
struct TokenAnswer {
  std::string access = "access-1";
  std::optional<std::string> refresh = "refresh-1";
  std::int64_t expiresIn = 300;
  std::string type = "Bearer";

  std::string body() const {
    std::string text = "{\"access_token\":\"" + access + "\",\"expires_in\":" + std::to_string(expiresIn);
    if (refresh) text += ",\"refresh_token\":\"" + *refresh + "\"";
    return text + ",\"token_type\":\"" + type + "\"}";
  }
};

inline FakeHTTPTransport::Reply tokens(const TokenAnswer& answer) {
  return FakeHTTPTransport::Reply::status(200, answer.body());
}

// The redirect the browser brings back for the attempt.
inline boost::urls::url callbackFor(const SignInAttempt& attempt, const std::string& code = "code-1") {
  const std::string text = "http://localhost:53682/callback?state=" + attempt.state() +
                           "&iss=" + platform::foundation::percentEncodedUnreserved(CorvantaEndpoints::issuer()) +
                           "&code=" + code;
  return boost::urls::url(boost::urls::parse_uri(text).value());
}

// ---- The fixture ---------------------------------------------------------------------------------

class CoroutineTest : public ::testing::Test {
protected:
  // Declared first: the clock and the context outlive everything that uses them.
  platform::runtime::testing::ManualClock clock;
  boost::asio::io_context io;

  template <typename T>
  T run(boost::asio::awaitable<T> operation) {
    return platform::runtime::testing::runToCompletion(io, std::move(operation));
  }

  template <typename T>
  Started<T> start(boost::asio::awaitable<T> operation) {
    return Started<T>(io, std::move(operation));
  }

  bool runUntil(const std::function<bool()>& done) {
    return platform::runtime::testing::runUntil(io, done);
  }

  // Lets everything that can run now run.
  void settle() {
    io.restart();
    io.poll();
  }

  // A sign-in whose code exchange the scripted token endpoint answers with `answer`.
  SignInAttempt signInThrough(OAuthSession& session, FakeHTTPTransport& transport,
                              const FakeHTTPTransport::Reply& answer = tokens({})) {
    const auto attempt = run(session.beginSignIn());
    transport.answer(CorvantaEndpoints::tokenURL(), answer);
    run(session.completeSignIn(attempt.id(), callbackFor(attempt)));
    return attempt;
  }

  // A sign-in at the stand-in provider, which is told the code and the attempt's challenge first.
  void signInAt(OAuthSession& session, StandInService& service, const std::string& code) {
    const auto attempt = run(session.beginSignIn());
    service.authorize({code, StandInService::codeChallenge(attempt.verifier())});
    run(session.completeSignIn(attempt.id(), callbackFor(attempt, code)));
  }
};

}  // namespace corvanta::testing
