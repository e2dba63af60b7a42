#include "token-support/token_signing_owner.hpp"

#include "platform/foundation/json_coding.hpp"
#include "sign-core/signing_usage.hpp"
#include "token-support/contains_non_digit.hpp"
#include "token-support/token_failure.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace corvanta {

namespace {

using platform::foundation::UUID;

bool isSixASCIIDigits(const std::string& code) {
  return code.size() == TokenSigningOwner::codeByteCount && !containsNonDigit(code);
}

SigningSession::Duration durationOfSeconds(double seconds) {
  return std::chrono::duration_cast<SigningSession::Duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

boost::asio::awaitable<SigningAttribution> TokenSigningOwner::unknownAttribution(std::uint64_t) {
  co_return SigningAttribution::unknown;
}

TokenSigningOwner::TokenSigningOwner(const boost::asio::any_io_executor& executor,
                                     std::shared_ptr<TokenRemoteSigner> signer,
                                     AttributionForRequest attributionForRequest, Clocks clocks)
    : Actor(executor),
      executor_(executor),
      signer_(std::move(signer)),
      attributionForRequest_(std::move(attributionForRequest)),
      clocks_(std::move(clocks)) {
  if (!signer_ || !attributionForRequest_ || clocks_.ticks == nullptr || clocks_.continuous == nullptr ||
      !clocks_.date) {
    throw std::invalid_argument("a signing owner needs a signer, an attribution and its clocks");
  }
}

boost::asio::awaitable<TokenSigningActivity> TokenSigningOwner::activity() {
  return onStrand(activityOnStrand(shared_from_this()));
}

boost::asio::awaitable<TokenIdentity> TokenSigningOwner::activate(PublicCertificate certificate, std::string accountID,
                                                                  std::string roleID) {
  return onStrand(activateOnStrand(shared_from_this(), std::move(certificate), std::move(accountID), std::move(roleID)));
}

boost::asio::awaitable<void> TokenSigningOwner::invalidate() { return onStrand(invalidateOnStrand(shared_from_this())); }

boost::asio::awaitable<platform::Bytes> TokenSigningOwner::sign(platform::Bytes encoded, std::string code) {
  return onStrand(signOnStrand(shared_from_this(), std::move(encoded), std::move(code)));
}

boost::asio::awaitable<TokenSigningActivity> TokenSigningOwner::activityOnStrand(std::shared_ptr<TokenSigningOwner> self) {
  co_return TokenSigningActivity{self->acceptedRequests_, self->verifiedSignatures_, self->lastResult_,
                                 self->lastAttribution_};
}

boost::asio::awaitable<TokenIdentity> TokenSigningOwner::activateOnStrand(std::shared_ptr<TokenSigningOwner> self,
                                                                          PublicCertificate certificate,
                                                                          std::string accountID, std::string roleID) {
  // Both are made before anything changes, so that a refusal leaves the old activation in force.
  TokenIdentity identity(UUID::random(), certificate.der(), self->clocks_.date());
  SigningContext context(std::string(RemoteSigner::serviceAPIOrigin()), std::move(accountID), std::move(roleID),
                         certificate.id(), certificate.profile().certificateSHA256(), certificate.profile().key());

  self->cancelSubmission();
  self->active_ = Active{identity, context, certificate.profile()};
  self->authenticationOnly_ = certificate.usage() == SigningUsage::clientAuthentication.rawValue();
  self->used_.clear();
  self->acceptedRequests_ = 0;
  self->verifiedSignatures_ = 0;
  self->lastResult_.reset();
  self->lastAttribution_.reset();
  // A running request keeps inFlight_ until its own failure path, where it finds the activation
  // changed.
  self->core_.activate(std::move(context));
  co_return identity;
}

boost::asio::awaitable<void> TokenSigningOwner::invalidateOnStrand(std::shared_ptr<TokenSigningOwner> self) {
  self->active_.reset();
  self->lastAttribution_.reset();
  self->cancelSubmission();
  self->used_.clear();
  self->core_.invalidate();
  co_return;
}

TokenSigningOwner::Admitted TokenSigningOwner::admit(platform::ByteView encoded, const std::string& code) const {
  if (encoded.size() > maximumRequestByteCount || !active_) throw TokenFailure::unavailable;
  if (inFlight_) throw TokenFailure::alreadySubmitted;

  auto request = platform::foundation::decodeJSON<TokenSignRequest>(encoded);
  const auto& identity = active_->identity;
  if (request.activationID != identity.activationID() ||
      request.certificateFingerprint != identity.certificateFingerprint() ||
      request.keyObjectID != identity.keyObjectID()) {
    throw TokenFailure::requestChanged;
  }
  if (used_.contains(request.requestID) || used_.size() >= maximumUsedRequestCount) {
    throw TokenFailure::requestChanged;
  }

  const auto algorithm = request.validatedAlgorithm();
  // What the identity's validatedProfile() checks at this date. Its version and its DER were
  // accepted at activation and reading the same bytes gives the same profile, so only the date is
  // left to check; reading the certificate anew for every request would only cost time.
  if (!active_->profile.issues(clocks_.date()).empty()) throw TokenFailure::invalidConfiguration;

  const auto& ticks = *clocks_.ticks;
  const double firstRemaining = TokenClock::remaining(request.deadlineTicks, ticks);
  // The deadline alone could have been stamped on any creation instant; the request must also have
  // been made in the past, before its deadline and at most 90 seconds before it.
  if (TokenClock::now(ticks) < request.createdTicks || request.createdTicks >= request.deadlineTicks ||
      TokenClock::seconds(request.createdTicks, request.deadlineTicks, ticks) > TokenClock::maximumIntervalSeconds) {
    throw TokenFailure::invalidInput;
  }

  if (!active_->context.verificationKey().supports(algorithm)) throw TokenFailure::unsupported;
  if (!isSixASCIIDigits(code)) throw TokenFailure::invalidCode;
  return Admitted{std::move(request), algorithm, firstRemaining};
}

boost::asio::awaitable<platform::Bytes> TokenSigningOwner::signOnStrand(std::shared_ptr<TokenSigningOwner> self,
                                                                        platform::Bytes encoded, std::string code) {
  auto admitted = self->admit(encoded, code);

  // Accepted: from here the identifier is used up for this activation, whatever follows.
  self->inFlight_ = true;
  ++self->acceptedRequests_;
  self->used_.insert(admitted.request.requestID);

  const auto activationID = admitted.request.activationID;
  std::optional<UUID> prepared;
  try {
    auto executing = execute(self, std::move(admitted), std::move(code), prepared);
    auto signature = co_await std::move(executing);
    co_return signature;
  } catch (...) {
    if (prepared) self->core_.cancel(*prepared);
    self->endRequest();
    if (!self->isActive(activationID)) {
      // A request of an earlier activation records nothing, whatever it ran into.
      throw TokenFailure::unavailable;
    }
    self->lastResult_ = TokenOwnerReplyStatus::fromError(std::current_exception());
    throw;
  }
}

boost::asio::awaitable<platform::Bytes> TokenSigningOwner::execute(std::shared_ptr<TokenSigningOwner> self,
                                                                   Admitted admitted, std::string code,
                                                                   std::optional<UUID>& prepared) {
  const auto& request = admitted.request;

  auto attributing = self->attributionForRequest_(request.createdTicks);
  const SigningAttribution attribution = co_await std::move(attributing);
  self->checkActivation(request.activationID);

  self->lastAttribution_ = attribution;
  if (self->authenticationOnly_ && attribution.usage() != SigningUsage::clientAuthentication) {
    throw TokenFailure::unsupported;
  }

  const double secondRemaining = TokenClock::remaining(request.deadlineTicks, *self->clocks_.ticks);
  const auto timeout = durationOfSeconds(std::min(secondRemaining, admitted.firstRemainingSeconds));

  // The signing session holds a lock and never waits, so nothing else runs on the owner between
  // these calls: the activation cannot change until the service call below is awaited.
  const auto& continuous = *self->clocks_.continuous;
  prepared = self->core_.prepare(admitted.algorithm, request.digest, timeout, attribution, continuous.now()).id();
  auto submitted = self->core_.beginSubmission(*prepared, continuous.now());

  // Not bound to the owner's strand: the service call runs on its own, and activate or invalidate
  // cancel it from here.
  auto submission = platform::runtime::startTask(self->executor_, self->signer_->sign(std::move(submitted), code));
  self->submission_ = submission;
  auto waiting = submission.value();
  const RemoteSignature signature = co_await std::move(waiting);
  self->checkActivation(request.activationID);

  // The billing flag is the service's business; the owner only needs the verified bytes.
  auto verified = self->core_.complete(*prepared, signature.bytes, continuous.now());
  ++self->verifiedSignatures_;
  self->lastResult_ = TokenOwnerReplyStatus::success;
  self->endRequest();
  co_return verified;
}

void TokenSigningOwner::checkActivation(const UUID& activationID) const {
  if (!isActive(activationID)) throw TokenFailure::unavailable;
}

bool TokenSigningOwner::isActive(const UUID& activationID) const {
  return active_ && active_->identity.activationID() == activationID;
}

void TokenSigningOwner::cancelSubmission() const {
  if (submission_) submission_->cancel();
}

void TokenSigningOwner::endRequest() {
  submission_.reset();
  inFlight_ = false;
}

}  // namespace corvanta
