#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/runtime/once_box.hpp"
#include "platform/xpc/value.hpp"
#include "token-support/token_failure.hpp"

#include <memory>
#include <optional>
#include <variant>

namespace corvanta {

// Where the answers of one session exchange meet the caller that waits for them. The answers come
// on the XPC layer's threads (replies, error callbacks, connection handlers); the first one wins.
// Copies share one box: each handler holds a copy, so an answer that comes after the caller left
// lands in a box that is still alive.
//
// Giving up is itself an answer: when the wait ends without one, the box stores its give-up value
// first. An answer that lands between the end of the wait and that store is therefore taken whole,
// and one that lands after it is dropped whole; the caller never reports a timeout for a reply it
// holds, nor uses a reply after it reported a timeout.

// The router's answer: the endpoint the app registered, or none (nothing registered, or the
// directory connection went away first).
class EndpointReplyBox {
public:
  // False when an answer was already there; this one is dropped.
  bool finish(std::optional<platform::xpc::Endpoint> endpoint) const;

  // The endpoint, or none when none came within `timeout` on `clock`.
  std::optional<platform::xpc::Endpoint> wait(platform::runtime::ContinuousClock::Duration timeout,
                                              const platform::runtime::ContinuousClock& clock) const;

private:
  using Box = platform::runtime::OnceBox<std::optional<platform::xpc::Endpoint>>;
  std::shared_ptr<Box> box_ = Box::make();
};

// The app's answer to a sign request: the signature or the failure it stands for.
class ReplyBox {
public:
  using Result = std::variant<platform::Bytes, TokenFailure>;

  // False when a result was already there; this one is dropped.
  bool finish(Result result) const;

  // The signature, or throws the stored failure; TokenFailure::uncertainOutcome when nothing came
  // within `timeout` on `clock`.
  platform::Bytes wait(platform::runtime::ContinuousClock::Duration timeout,
                       const platform::runtime::ContinuousClock& clock) const;

private:
  using Box = platform::runtime::OnceBox<Result>;
  std::shared_ptr<Box> box_ = Box::make();
};

}  // namespace corvanta
