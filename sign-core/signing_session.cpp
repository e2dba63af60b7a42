#include "sign-core/signing_session.hpp"

#include "sign-core/signing_error.hpp"

#include <utility>

namespace corvanta {

using platform::foundation::UUID;

SigningSession::SigningSession() : generation_(UUID::random()) {}

void SigningSession::activate(SigningContext context) {
  const std::lock_guard lock(mutex_);
  generation_ = UUID::random();
  dropPending();
  context_ = std::move(context);
}

void SigningSession::invalidate() {
  const std::lock_guard lock(mutex_);
  generation_ = UUID::random();
  context_.reset();
  dropPending();
}

SigningRequest SigningSession::prepare(SigningAlgorithm algorithm, platform::ByteView digest, Duration timeout,
                                       Instant now) {
  return prepare(algorithm, digest, timeout, SigningAttribution::unknown, now);
}

SigningRequest SigningSession::prepare(SigningAlgorithm algorithm, platform::ByteView digest, Duration timeout,
                                       const SigningAttribution& attribution, Instant now) {
  const std::lock_guard lock(mutex_);
  if (!context_) throw SigningError::notConnected;
  if (pending_ && now >= pending_->deadline()) dropPending();
  if (pending_) throw SigningError::requestInProgress;
  if (timeout.count() <= 0) throw SigningError::invalidDeadline;
  algorithm.validate(digest);
  if (!context_->verificationKey().supports(algorithm)) throw SigningError::algorithmKeyMismatch;

  pending_.emplace(SigningRequest(UUID::random(), generation_, *context_, algorithm,
                                  platform::Bytes(digest.begin(), digest.end()), now.advancedBy(timeout), attribution));
  submitted_ = false;
  return *pending_;
}

SigningRequest SigningSession::beginSubmission(const UUID& requestID, Instant now) {
  const std::lock_guard lock(mutex_);
  const auto& request = pendingRequest(requestID, now);
  if (submitted_) throw SigningError::alreadySubmitted;
  submitted_ = true;
  return request;
}

platform::Bytes SigningSession::complete(const UUID& requestID, platform::Bytes signature, Instant now) {
  std::optional<SigningRequest> request;
  {
    const std::lock_guard lock(mutex_);
    pendingRequest(requestID, now);
    if (!submitted_) throw SigningError::notSubmitted;
    request.emplace(std::move(*pending_));
    dropPending();
  }
  request->context().verificationKey().verify(signature, request->digest(), request->algorithm());
  return signature;
}

void SigningSession::cancel(const UUID& requestID) {
  const std::lock_guard lock(mutex_);
  if (pending_ && pending_->id() == requestID) dropPending();
}

const SigningRequest& SigningSession::pendingRequest(const UUID& requestID, Instant now) {
  if (!pending_ || pending_->id() != requestID || pending_->generation() != generation_) {
    throw SigningError::unknownRequest;
  }
  if (now < pending_->deadline()) return *pending_;
  dropPending();
  throw SigningError::requestExpired;
}

void SigningSession::dropPending() {
  pending_.reset();
  submitted_ = false;
}

}  // namespace corvanta
