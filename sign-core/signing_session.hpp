#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_attribution.hpp"
#include "sign-core/signing_context.hpp"
#include "sign-core/signing_request.hpp"

#include <mutex>
#include <optional>

namespace corvanta {

// The single-request gate of the signing core. It holds the context in force and at most one
// pending request, and lets that request go through exactly these steps: accepted, submitted
// once, completed with a verified signature, all before its deadline. A request is dropped when
// it completes (whether or not its signature verifies), expires, is cancelled, or when the
// session is activated or invalidated, so a digest the service has signed is never sent again
// under the same request.
//
// Every operation takes one lock and runs to its end without waiting on anything, so the class is
// safe to share between threads. Callers always pass the current instant of the continuous clock.
class SigningSession {
public:
  using Instant = platform::runtime::ContinuousClock::Instant;
  using Duration = platform::runtime::ContinuousClock::Duration;

  // Not connected, under a fresh random generation.
  SigningSession();

  SigningSession(const SigningSession&) = delete;
  SigningSession& operator=(const SigningSession&) = delete;

  // Invalidates, then makes the context the one in force.
  void activate(SigningContext context);

  // Not connected under a new generation; a pending request is dropped.
  void invalidate();

  // Accepts a new request. Checks, in order: a context is in force (notConnected); a pending
  // request whose deadline has been reached is dropped, even if a later check then fails; no
  // request is pending (requestInProgress); the timeout is positive (invalidDeadline); the
  // digest length (invalidDigestLength); the key supports the algorithm (algorithmKeyMismatch).
  // The deadline is now advanced by the timeout, saturating at the end of the clock's range.
  SigningRequest prepare(SigningAlgorithm algorithm, platform::ByteView digest, Duration timeout,
                         const SigningAttribution& attribution, Instant now);
  SigningRequest prepare(SigningAlgorithm algorithm, platform::ByteView digest, Duration timeout, Instant now);

  // Marks the pending request as handed to the service and returns it. Throws unknownRequest,
  // requestExpired (dropping it) or alreadySubmitted.
  SigningRequest beginSubmission(const platform::foundation::UUID& requestID, Instant now);

  // Ends the submitted request and returns the signature once the request's own context key has
  // verified it. The request is dropped before verification, so a signature that fails leaves
  // nothing to try again. Throws unknownRequest, requestExpired (dropping it), notSubmitted, or
  // whatever the verification throws.
  platform::Bytes complete(const platform::foundation::UUID& requestID, platform::Bytes signature, Instant now);

  // Drops the pending request if it has this identifier; any other identifier is ignored.
  void cancel(const platform::foundation::UUID& requestID);

private:
  // The pending request if it has this identifier and generation and its deadline lies after now;
  // an expired one is dropped. The lock must be held.
  const SigningRequest& pendingRequest(const platform::foundation::UUID& requestID, Instant now);
  void dropPending();

  std::mutex mutex_;
  std::optional<SigningContext> context_;
  platform::foundation::UUID generation_;
  std::optional<SigningRequest> pending_;
  // Only ever true while a request is pending.
  bool submitted_ = false;
};

}  // namespace corvanta
