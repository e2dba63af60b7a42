#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/runtime/testing/manual_clock.hpp"
#include "platform/security/testing/shared_test_keys.hpp"
#include "platform/tokenkit/token_driver.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-extension/token_extension_clocks.hpp"
#include "token-support/tests/token_test_support.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_failure.hpp"
#include "token-support/token_sign_request.hpp"
#include "token-support/token_signing_transport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace platform::tokenkit {

// So that a failed comparison of token errors shows both.
inline void PrintTo(const Error& error, std::ostream* out) {
  *out << "{" << error.code << ", " << (error.description ? "\"" + *error.description + "\"" : "no text") << "}";
}

}  // namespace platform::tokenkit

namespace corvanta::testing {

using platform::Bytes;
using platform::tokenkit::Error;

// The continuous clock, its ticks and the date, all moved by the test alone.
struct TestClocks {
  platform::runtime::testing::ManualClock continuous;
  ContinuousClockTicks ticks{continuous};
  Clock::time_point date = testNow;

  TokenExtensionClocks clocks() {
    return TokenExtensionClocks{&ticks, &continuous, [this] { return date; }};
  }
};

inline Bytes digestOf(std::size_t count, std::uint8_t seed = 0x11) {
  Bytes digest(count);
  for (std::size_t index = 0; index < count; ++index) digest[index] = static_cast<std::uint8_t>(seed + index);
  return digest;
}

// What the app would return for the request: the key's signature over its digest.
inline Bytes signatureFor(const platform::security::testing::TestKey& key, const TokenSignRequest& request) {
  const auto algorithm = SigningAlgorithm::fromRawValue(request.algorithmName);
  if (!algorithm) throw std::invalid_argument("a request of an unknown algorithm");
  return key.sign(algorithm->securityAlgorithm(), request.digest);
}

// The road to the app as a test scripts it: each call is recorded, then the answer runs (it returns
// the signature or throws what the road would).
class FakeTransport final : public TokenSigningTransport {
public:
  struct Call {
    TokenSignRequest request;
    std::string code;
    std::chrono::nanoseconds timeout;
  };
  using Answer = std::function<Bytes(const TokenSignRequest&)>;

  explicit FakeTransport(Answer answer = nullptr) : answer_(std::move(answer)) {}

  void setAnswer(Answer answer) {
    const std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }

  Bytes sign(const TokenSignRequest& request, const std::string& code, std::chrono::nanoseconds timeout) override {
    Answer answer;
    {
      const std::lock_guard lock(mutex_);
      calls_.push_back(Call{request, code, timeout});
      answer = answer_;
    }
    if (!answer) throw std::logic_error("the transport was called without an answer");
    return answer(request);
  }

  std::vector<Call> calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
  }

private:
  mutable std::mutex mutex_;
  Answer answer_;
  std::vector<Call> calls_;
};

// Every failure of the token path with the token error the extension reports for it, written out
// here rather than derived, so that a changed code or text shows.
struct ExpectedTokenError {
  TokenFailure failure;
  int code;
  std::optional<std::string> text;
};

inline const std::vector<ExpectedTokenError>& expectedTokenErrors() {
  static const std::vector<ExpectedTokenError> table{
      {TokenFailure::invalidConfiguration, -8, std::nullopt},
      {TokenFailure::unavailable, -2, "The token session is no longer available."},
      {TokenFailure::unsupported, -1, std::nullopt},
      {TokenFailure::invalidInput, -8, std::nullopt},
      {TokenFailure::approvalRequired, -9, std::nullopt},
      {TokenFailure::noPendingRequest, -2, "The approval no longer has a pending signing request."},
      {TokenFailure::requestChanged, -2, "The signing request changed before approval completed."},
      {TokenFailure::expired, -2, "The signing approval expired. Start a new request."},
      {TokenFailure::alreadySubmitted, -2, "The signing request has already been submitted."},
      {TokenFailure::invalidCode, -5, std::nullopt},
      {TokenFailure::invalidSignature, -3, std::nullopt},
      {TokenFailure::canceled, -4, std::nullopt},
      {TokenFailure::uncertainOutcome, -2,
       "The companion did not return a verified signing result. Nothing was retried."},
      {TokenFailure::signingSetupRequired, -2, "The token could not read its company signing identity."},
      {TokenFailure::endpointUnavailable, -2, "The token could not reach its local connection service."},
      {TokenFailure::ownerUnavailable, -2, "The token could not reach the Corvanta companion app."},
      {TokenFailure::notAuthenticated, -2,
       "The companion sign-in session has ended. Reconnect before requesting a signature."},
      {TokenFailure::ownerReplyUnavailable, -2,
       "The connection to the companion failed before a result was confirmed. Nothing was retried."},
  };
  return table;
}

inline Error expectedErrorOf(const TokenFailure& failure) {
  for (const auto& row : expectedTokenErrors()) {
    if (row.failure == failure) return Error(row.code, row.text);
  }
  throw std::invalid_argument("no expected error for that failure");
}

}  // namespace corvanta::testing
