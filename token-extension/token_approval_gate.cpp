#include "token-extension/token_approval_gate.hpp"

#include "token-support/contains_non_digit.hpp"
#include "token-support/token_failure.hpp"

#include <utility>

namespace corvanta {

namespace {

bool insideWindow(TokenApprovalGate::Instant now, TokenApprovalGate::Instant deadline) { return now < deadline; }

// The request identifiers are not compared: a repeated sign call of the host is the same request
// when it asks for the same signature.
bool sameRequest(const TokenSignRequest& request, const std::string& keyObjectID, SigningAlgorithm algorithm,
                 const platform::Bytes& digest) {
  return request.keyObjectID == keyObjectID && request.algorithmName == algorithm.rawValue() &&
         request.digest == digest;
}

bool isSixDigitCode(const std::string& code) {
  return code.size() == TokenApprovalGate::codeByteCount && !containsNonDigit(code);
}

}  // namespace

TokenApprovalGate::TokenApprovalGate(TokenIdentity identity, DateSource date, const TickSource& ticks)
    : identity_(std::move(identity)), date_(std::move(date)), ticks_(&ticks) {}

void TokenApprovalGate::requireValid() const {
  if (!valid_) throw TokenFailure::unavailable;
}

platform::Bytes TokenApprovalGate::signature(const std::string& keyObjectID, SigningAlgorithm algorithm,
                                             const platform::Bytes& digest, Instant now) {
  const std::lock_guard guard(lock_);
  requireValid();
  if (keyObjectID != identity_.keyObjectID()) throw TokenFailure::invalidInput;
  identity_.validatedProfile(date_());
  algorithm.validate(digest);

  if (std::holds_alternative<Empty>(state_)) {
    auto request = TokenSignRequest::make(identity_, algorithm, digest, date_(), *ticks_);
    state_ = Awaiting{std::move(request), now.advancedBy(approvalLifetime)};
    throw TokenFailure::approvalRequired;
  }
  if (const auto* awaiting = std::get_if<Awaiting>(&state_)) {
    if (!insideWindow(now, awaiting->deadline)) {
      state_ = Empty{};
      throw TokenFailure::expired;
    }
    if (!sameRequest(awaiting->request, keyObjectID, algorithm, digest)) {
      state_ = Empty{};
      throw TokenFailure::requestChanged;
    }
    throw TokenFailure::approvalRequired;
  }
  if (std::holds_alternative<Submitting>(state_)) throw TokenFailure::alreadySubmitted;

  // Completed: whatever the answer, the signature leaves the gate now, so it is handed out once.
  auto completed = std::get<Completed>(std::exchange(state_, Empty{}));
  if (!insideWindow(now, completed.deadline)) throw TokenFailure::expired;
  if (!sameRequest(completed.request, keyObjectID, algorithm, digest)) throw TokenFailure::requestChanged;
  return std::move(completed.signature);
}

std::optional<platform::foundation::UUID> TokenApprovalGate::pendingApproval(Instant now) {
  const std::lock_guard guard(lock_);
  requireValid();
  if (const auto* awaiting = std::get_if<Awaiting>(&state_)) {
    if (!insideWindow(now, awaiting->deadline)) {
      state_ = Empty{};
      throw TokenFailure::expired;
    }
    return awaiting->request.requestID;
  }
  if (std::holds_alternative<Submitting>(state_)) throw TokenFailure::alreadySubmitted;
  return std::nullopt;
}

TokenApprovalGate::Submission TokenApprovalGate::beginSubmission(const platform::foundation::UUID& approvalID,
                                                                 const std::string& code, Instant now) {
  const std::lock_guard guard(lock_);
  requireValid();
  const auto* awaiting = std::get_if<Awaiting>(&state_);
  if (!awaiting || awaiting->request.requestID != approvalID) throw TokenFailure::noPendingRequest;
  // The deadline before the code: a late code is an expired approval, whatever its form.
  if (!insideWindow(now, awaiting->deadline)) {
    state_ = Empty{};
    throw TokenFailure::expired;
  }
  if (!isSixDigitCode(code)) {
    state_ = Empty{};
    throw TokenFailure::invalidCode;
  }
  identity_.validatedProfile(date_());

  auto opened = std::get<Awaiting>(std::exchange(state_, Empty{}));
  Submission submission{opened.request, opened.deadline.durationSince(now)};
  state_ = Submitting{std::move(opened.request), opened.deadline};
  return submission;
}

void TokenApprovalGate::complete(const platform::foundation::UUID& requestID, const platform::Bytes& signature,
                                 Instant now) {
  const std::lock_guard guard(lock_);
  requireValid();
  const auto* submitting = std::get_if<Submitting>(&state_);
  if (!submitting || submitting->request.requestID != requestID) throw TokenFailure::noPendingRequest;

  // From here on nothing is retried: every failure leaves the gate empty, and a new signature needs
  // a new approval and a new code.
  auto submitted = std::get<Submitting>(std::exchange(state_, Empty{}));
  if (!insideWindow(now, submitted.deadline)) throw TokenFailure::expired;
  const auto profile = identity_.validatedProfile(date_());
  if (signature.empty() || signature.size() > maximumSignatureByteCount) throw TokenFailure::invalidSignature;
  try {
    const auto algorithm = submitted.request.validatedAlgorithm();
    profile.key().verify(signature, submitted.request.digest, algorithm);
  } catch (...) {
    throw TokenFailure::invalidSignature;
  }
  state_ = Completed{std::move(submitted.request), submitted.deadline, signature};
}

void TokenApprovalGate::cancel(const platform::foundation::UUID& approvalID) noexcept {
  const std::lock_guard guard(lock_);
  const TokenSignRequest* request = nullptr;
  if (const auto* awaiting = std::get_if<Awaiting>(&state_)) request = &awaiting->request;
  if (const auto* submitting = std::get_if<Submitting>(&state_)) request = &submitting->request;
  if (const auto* completed = std::get_if<Completed>(&state_)) request = &completed->request;
  if (request && request->requestID == approvalID) state_ = Empty{};
}

void TokenApprovalGate::invalidate() noexcept {
  const std::lock_guard guard(lock_);
  valid_ = false;
  state_ = Empty{};
}

TokenApprovalGate::Phase TokenApprovalGate::phase() const {
  const std::lock_guard guard(lock_);
  return static_cast<Phase>(state_.index());
}

bool TokenApprovalGate::isValid() const {
  const std::lock_guard guard(lock_);
  return valid_;
}

}  // namespace corvanta
