#include "connection/service/remote_signing_error.hpp"

namespace corvanta {

std::string RemoteSigningError::errorDescription() const {
  switch (case_) {
    case Case::locked:
      return "Corvanta has temporarily locked code verification. Wait at least " + std::to_string(minutes_) +
             " minutes before trying again.";
    case Case::invalidCode: return "Enter the six-digit code from your authenticator.";
    case Case::incorrectCode: return "The code was not accepted. Wait for a new code before trying again.";
    case Case::invalidRequest: return "The certificate or account changed. Refresh your certificate and start again.";
    case Case::alreadySubmitted: return "This request has already been submitted. It will not be sent again.";
    case Case::operationInProgress: return "A signing request is already in progress.";
    case Case::rejected:
      return "Corvanta could not authorize this signature. Check your certificate and account permissions.";
    case Case::outcomeUnknown:
      return "The signing outcome could not be confirmed. A signature or credit charge may have occurred. Nothing "
             "was retried automatically.";
    case Case::invalidSignature:
      return "The returned signature did not match the loaded certificate. Refresh the certificate before trying "
             "again.";
  }
  return {};
}

const char* RemoteSigningError::what() const noexcept {
  switch (case_) {
    case Case::locked: return "locked";
    case Case::invalidCode: return "invalidCode";
    case Case::incorrectCode: return "incorrectCode";
    case Case::invalidRequest: return "invalidRequest";
    case Case::alreadySubmitted: return "alreadySubmitted";
    case Case::operationInProgress: return "operationInProgress";
    case Case::rejected: return "rejected";
    case Case::outcomeUnknown: return "outcomeUnknown";
    case Case::invalidSignature: return "invalidSignature";
  }
  return "RemoteSigningError";
}

}  // namespace corvanta
