#pragma once

#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_sign_request.hpp"

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace corvanta {

// Turns the platform's repeated sign calls, the code prompt and the app's answer into exactly one
// verified signature per approval. The first sign call opens an approval and is refused with
// TokenFailure::approvalRequired, which makes the host authenticate; the authentication submits the
// code, the caller carries the request to the app outside the gate, and the verified signature is
// stored until the host repeats the sign call, which receives it once.
//
// A state machine and nothing else: it talks to nobody. Callers pass the continuous clock's current
// instant into every operation that depends on time; the certificate is checked at the date the
// gate reads from its date source. Every operation holds the gate's lock for its whole body, and
// the lock is never held while the request travels to the app: meanwhile the approval is in its
// submitting phase, so a concurrent sign call cannot submit a second time.
//
// Errors are TokenFailure cases unless an operation says that a service's error propagates.
class TokenApprovalGate {
public:
  using Instant = platform::runtime::ContinuousClock::Instant;
  using Duration = platform::runtime::ContinuousClock::Duration;
  using DateSource = std::function<std::chrono::system_clock::time_point()>;

  // An approval is good from the sign call that opened it until exactly this much later; the
  // deadline instant itself is outside the window.
  static constexpr std::chrono::seconds approvalLifetime{90};
  static constexpr std::size_t codeByteCount = 6;
  static constexpr std::size_t maximumSignatureByteCount = 8192;

  // Which step the one approval is at.
  enum class Phase { awaiting, submitting, completed, empty };

  // What the caller sends to the app once the code was accepted, and how long it may wait for the
  // answer.
  struct Submission {
    TokenSignRequest request;
    Duration timeLeft;
  };

  // Empty and valid. `ticks` stamps the requests the gate makes; both sources must outlive it.
  explicit TokenApprovalGate(
      TokenIdentity identity, DateSource date = [] { return std::chrono::system_clock::now(); },
      const TickSource& ticks = TickSource::system());

  TokenApprovalGate(const TokenApprovalGate&) = delete;
  TokenApprovalGate& operator=(const TokenApprovalGate&) = delete;

  // The approved signature for this key, algorithm and digest, or the failure that tells the host
  // what to do next. Throws unavailable once invalidated; invalidInput for another key identifier;
  // the certificate's error at the current date and the digest length error, both propagated and
  // changing nothing. Then by phase: no approval opens one (TokenSignRequest::make's errors
  // propagate, changing nothing) and answers approvalRequired; an approval awaiting its code
  // answers approvalRequired for the same request in its window, requestChanged for another one and
  // expired past its deadline, the last two closing it; a submitted one answers alreadySubmitted; a
  // completed one is closed by any call and hands its signature to the same request in its window,
  // else requestChanged or expired.
  platform::Bytes signature(const std::string& keyObjectID, SigningAlgorithm algorithm, const platform::Bytes& digest,
                            Instant now);

  // The identifier of the approval that awaits its code; none when no approval is open or a
  // signature waits. Throws unavailable, expired (closing the approval) or alreadySubmitted.
  std::optional<platform::foundation::UUID> pendingApproval(Instant now);

  // Accepts the code for the approval that awaits it and marks the approval submitted. Throws, in
  // this order: unavailable; noPendingRequest when that approval does not await its code (nothing
  // changes); expired past the deadline and invalidCode unless the code is exactly six ASCII digits
  // (both close the approval); the certificate's error at the current date (propagated, the
  // approval keeps waiting).
  Submission beginSubmission(const platform::foundation::UUID& approvalID, const std::string& code, Instant now);

  // Stores the app's signature for the submitted request once the certificate's key has verified it.
  // Throws unavailable, or noPendingRequest when that request is not the submitted one (nothing
  // changes). Past that the approval is closed whatever follows: expired past the deadline, the
  // certificate's error at the current date (propagated), invalidSignature for a signature of no
  // byte or more than 8192 bytes or one that does not verify.
  void complete(const platform::foundation::UUID& requestID, const platform::Bytes& signature, Instant now);

  // Closes the approval of that identifier in whichever phase it is; any other approval stays.
  void cancel(const platform::foundation::UUID& approvalID) noexcept;

  // For good: every throwing operation answers unavailable from now on, also to a request already
  // with the app.
  void invalidate() noexcept;

  Phase phase() const;
  bool isValid() const;

private:
  struct Awaiting {
    TokenSignRequest request;
    Instant deadline;
  };
  struct Submitting {
    TokenSignRequest request;
    Instant deadline;
  };
  struct Completed {
    TokenSignRequest request;
    Instant deadline;
    platform::Bytes signature;
  };
  struct Empty {};
  using State = std::variant<Awaiting, Submitting, Completed, Empty>;

  void requireValid() const;

  const TokenIdentity identity_;
  const DateSource date_;
  const TickSource* ticks_;
  mutable std::mutex lock_;
  State state_ = Empty{};
  bool valid_ = true;
};

}  // namespace corvanta
