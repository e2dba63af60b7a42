#pragma once

#include "connection/certificate/certificate_profile.hpp"
#include "connection/certificate/public_certificate.hpp"
#include "platform/foundation/bytes.hpp"
#include "platform/foundation/uuid.hpp"
#include "platform/runtime/actor.hpp"
#include "platform/runtime/continuous_clock.hpp"
#include "platform/runtime/task.hpp"
#include "sign-core/signing_algorithm.hpp"
#include "sign-core/signing_attribution.hpp"
#include "sign-core/signing_context.hpp"
#include "sign-core/signing_session.hpp"
#include "token-support/token_clock.hpp"
#include "token-support/token_identity.hpp"
#include "token-support/token_owner_reply_status.hpp"
#include "token-support/token_remote_signer.hpp"
#include "token-support/token_sign_request.hpp"
#include "token-support/token_signing_activity.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

namespace corvanta {

// Where a signing owner reads the time. Each must outlive the owner; tests pass clocks they move.
struct TokenSigningOwnerClocks {
  // The token clock's ticks, on which requests carry their instants.
  const TickSource* ticks = &TickSource::system();
  // The instants of the signing session's deadlines.
  const platform::runtime::ContinuousClock* continuous = &platform::runtime::ContinuousClock::system();
  // The current date, at which the certificate must be valid.
  std::function<std::chrono::system_clock::time_point()> date = [] { return std::chrono::system_clock::now(); };
};

// The app's side of every token signature. It holds the identity the app has published as a token
// together with the signing context that binds signatures to the account, the role and the
// certificate, and executes the sign requests that the token extension sends: it refuses anything
// that does not belong to the active identity, the clock, the key or a six-digit code, lets one
// request run at a time, attributes it to the application that made it, has the service sign it in
// a task of its own, and returns the signature only once the certificate's key has verified it.
// Nothing is retried: a request that failed after it was accepted can only be sent again as a new
// request, and an accepted request identifier is never executed twice within one activation.
//
// An actor: create it with std::make_shared and call its operations from any coroutine; each runs
// on the owner's strand. While a request waits (for its attribution, for the service) the other
// operations run; activate and invalidate then cancel the service call, and the waiting request
// ends with TokenFailure::unavailable without recording anything.
class TokenSigningOwner final : public platform::runtime::Actor,
                                public std::enable_shared_from_this<TokenSigningOwner> {
public:
  // Who made a request, from its creation ticks. Called from the owner's strand once per accepted
  // request and awaited there; it must hop to wherever its data lives and never throw.
  using AttributionForRequest = std::function<boost::asio::awaitable<SigningAttribution>(std::uint64_t createdTicks)>;

  using Clocks = TokenSigningOwnerClocks;

  // A request text longer than this is refused before it is parsed.
  static constexpr std::size_t maximumRequestByteCount = 4096;
  // The request identifiers one activation accepts; after that it refuses every request.
  static constexpr std::size_t maximumUsedRequestCount = 4096;
  static constexpr std::size_t codeByteCount = 6;

  // The attribution of every request when the creator gives none.
  static boost::asio::awaitable<SigningAttribution> unknownAttribution(std::uint64_t createdTicks);

  // Inactive: every sign is refused until activate. Service calls run on strands of their own over
  // `executor`, apart from the owner's.
  TokenSigningOwner(const boost::asio::any_io_executor& executor, std::shared_ptr<TokenRemoteSigner> signer,
                    AttributionForRequest attributionForRequest = unknownAttribution, Clocks clocks = Clocks{});

  // The counters and the last outcome since the last activation.
  boost::asio::awaitable<TokenSigningActivity> activity();

  // Makes the certificate the active identity under a new activation identifier and returns that
  // identity, which the caller publishes. Throws, changing nothing, the identity's validation error
  // at the current date (TokenFailure::invalidConfiguration, ConnectionError::invalidCertificate)
  // and SigningError::invalidContext for an account or role identifier that is only white space.
  // A request still running is cancelled and will end with TokenFailure::unavailable; the used
  // identifiers and the counters start again from nothing.
  boost::asio::awaitable<TokenIdentity> activate(PublicCertificate certificate, std::string accountID,
                                                 std::string roleID);

  // No identity is active any more; a request still running is cancelled and will end with
  // TokenFailure::unavailable. The counters and the last result stay for the app to show.
  boost::asio::awaitable<void> invalidate();

  // Executes the JSON of a TokenSignRequest under the user's one-time code and returns the verified
  // signature. Refused before anything is recorded or sent, in this order:
  //   TokenFailure::unavailable       more than 4096 bytes (not parsed), no active identity;
  //   TokenFailure::alreadySubmitted  another request is running;
  //   DecodingError                   not the JSON of a request;
  //   TokenFailure::requestChanged    another activation, fingerprint or key object, a request
  //                                   identifier this activation accepted before, or 4096 of them;
  //   the request's validatedAlgorithm() errors (TokenFailure::invalidInput, SigningError);
  //   the identity's validation error at the current date (the certificate is no longer valid);
  //   TokenFailure::expired           the deadline has been reached;
  //   TokenFailure::invalidInput      the deadline lies more than 90 s ahead, the creation lies in
  //                                   the future or not before the deadline, or more than 90 s
  //                                   before it;
  //   TokenFailure::unsupported       the certificate's key cannot sign with the algorithm;
  //   TokenFailure::invalidCode       the code is not exactly six ASCII digits.
  // Then the request is accepted: counted, its identifier used up for the activation. From there
  // every error is also recorded as the last result: TokenFailure::unsupported for a certificate
  // only for client authentication and a request not attributed to a recognised browser,
  // TokenFailure::expired, the signing session's and the signer's errors, unchanged. When the
  // activation changed meanwhile, whatever happened is dropped unrecorded and the call throws
  // TokenFailure::unavailable.
  boost::asio::awaitable<platform::Bytes> sign(platform::Bytes encoded, std::string code);

private:
  struct Active {
    TokenIdentity identity;
    SigningContext context;
    // The identity's certificate as read when it was activated (the same DER).
    CertificateProfile profile;
  };

  // A request that passed admission, with what admission worked out.
  struct Admitted {
    TokenSignRequest request;
    SigningAlgorithm algorithm;
    double firstRemainingSeconds;
  };

  static boost::asio::awaitable<TokenSigningActivity> activityOnStrand(std::shared_ptr<TokenSigningOwner> self);
  static boost::asio::awaitable<TokenIdentity> activateOnStrand(std::shared_ptr<TokenSigningOwner> self,
                                                                PublicCertificate certificate, std::string accountID,
                                                                std::string roleID);
  static boost::asio::awaitable<void> invalidateOnStrand(std::shared_ptr<TokenSigningOwner> self);
  static boost::asio::awaitable<platform::Bytes> signOnStrand(std::shared_ptr<TokenSigningOwner> self,
                                                              platform::Bytes encoded, std::string code);
  // From the attribution to the verified signature. Sets `prepared` once the signing session has
  // accepted the request, for the failure path to cancel.
  static boost::asio::awaitable<platform::Bytes> execute(std::shared_ptr<TokenSigningOwner> self, Admitted admitted,
                                                         std::string code,
                                                         std::optional<platform::foundation::UUID>& prepared);

  // The checks made before a request is accepted; they change nothing.
  Admitted admit(platform::ByteView encoded, const std::string& code) const;
  // Throws TokenFailure::unavailable unless that activation is still the active one.
  void checkActivation(const platform::foundation::UUID& activationID) const;
  bool isActive(const platform::foundation::UUID& activationID) const;
  void cancelSubmission() const;
  // The owner is idle again.
  void endRequest();

  boost::asio::any_io_executor executor_;
  std::shared_ptr<TokenRemoteSigner> signer_;
  SigningSession core_;
  std::optional<Active> active_;
  // Accepted since the last activate or invalidate; at most maximumUsedRequestCount.
  std::unordered_set<platform::foundation::UUID> used_;
  // From the acceptance of a request until it ends; only the request itself clears it.
  bool inFlight_ = false;
  // The service call of the running request. Cancelling it leaves the handle; the request drops it
  // when it ends.
  std::optional<platform::runtime::Task<RemoteSignature>> submission_;
  std::int64_t acceptedRequests_ = 0;
  std::int64_t verifiedSignatures_ = 0;
  std::optional<TokenOwnerReplyStatus> lastResult_;
  std::optional<SigningAttribution> lastAttribution_;
  AttributionForRequest attributionForRequest_;
  // The active certificate may serve client authentication only.
  bool authenticationOnly_ = false;
  Clocks clocks_;
};

}  // namespace corvanta
