#include "token-extension/make_token_error.hpp"

#include <optional>
#include <string>

namespace corvanta {

namespace {

using platform::tokenkit::Error;
using platform::tokenkit::ErrorCode;

struct Mapping {
  ErrorCode code;
  const char* text;
};

Mapping mappingOf(TokenFailure::Case failure) {
  using Case = TokenFailure::Case;
  switch (failure) {
    case Case::invalidConfiguration: return {ErrorCode::badParameter, nullptr};
    case Case::unavailable: return {ErrorCode::communicationError, "The token session is no longer available."};
    case Case::unsupported: return {ErrorCode::notImplemented, nullptr};
    case Case::invalidInput: return {ErrorCode::badParameter, nullptr};
    case Case::approvalRequired: return {ErrorCode::authenticationNeeded, nullptr};
    case Case::noPendingRequest:
      return {ErrorCode::communicationError, "The approval no longer has a pending signing request."};
    case Case::requestChanged:
      return {ErrorCode::communicationError, "The signing request changed before approval completed."};
    case Case::expired: return {ErrorCode::communicationError, "The signing approval expired. Start a new request."};
    case Case::alreadySubmitted:
      return {ErrorCode::communicationError, "The signing request has already been submitted."};
    case Case::invalidCode: return {ErrorCode::authenticationFailed, nullptr};
    case Case::invalidSignature: return {ErrorCode::corruptedData, nullptr};
    case Case::canceled: return {ErrorCode::canceledByUser, nullptr};
    case Case::uncertainOutcome:
      return {ErrorCode::communicationError,
              "The companion did not return a verified signing result. Nothing was retried."};
    case Case::signingSetupRequired:
      return {ErrorCode::communicationError, "The token could not read its company signing identity."};
    case Case::endpointUnavailable:
      return {ErrorCode::communicationError, "The token could not reach its local connection service."};
    case Case::ownerUnavailable:
      return {ErrorCode::communicationError, "The token could not reach the Corvanta companion app."};
    case Case::notAuthenticated:
      return {ErrorCode::communicationError,
              "The companion sign-in session has ended. Reconnect before requesting a signature."};
    case Case::ownerReplyUnavailable:
      return {ErrorCode::communicationError,
              "The connection to the companion failed before a result was confirmed. Nothing was retried."};
  }
  // A value outside the cases cannot be made through TokenFailure's interface; treat it as foreign.
  return {ErrorCode::communicationError, nullptr};
}

}  // namespace

Error makeTokenError(const TokenFailure& failure) {
  const auto mapping = mappingOf(failure.errorCase());
  return Error(mapping.code, mapping.text ? std::optional<std::string>(mapping.text) : std::nullopt);
}

Error makeTokenError(const std::exception_ptr& error) {
  if (!error) return Error(ErrorCode::communicationError);
  try {
    std::rethrow_exception(error);
  } catch (const TokenFailure& failure) {
    return makeTokenError(failure);
  } catch (...) {
    return Error(ErrorCode::communicationError);
  }
}

}  // namespace corvanta
