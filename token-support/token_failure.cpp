#include "token-support/token_failure.hpp"

namespace corvanta {

const char* TokenFailure::what() const noexcept {
  switch (case_) {
    case Case::invalidConfiguration: return "invalidConfiguration";
    case Case::unavailable: return "unavailable";
    case Case::unsupported: return "unsupported";
    case Case::invalidInput: return "invalidInput";
    case Case::approvalRequired: return "approvalRequired";
    case Case::noPendingRequest: return "noPendingRequest";
    case Case::requestChanged: return "requestChanged";
    case Case::expired: return "expired";
    case Case::alreadySubmitted: return "alreadySubmitted";
    case Case::invalidCode: return "invalidCode";
    case Case::invalidSignature: return "invalidSignature";
    case Case::canceled: return "canceled";
    case Case::uncertainOutcome: return "uncertainOutcome";
    case Case::signingSetupRequired: return "signingSetupRequired";
    case Case::endpointUnavailable: return "endpointUnavailable";
    case Case::ownerUnavailable: return "ownerUnavailable";
    case Case::notAuthenticated: return "notAuthenticated";
    case Case::ownerReplyUnavailable: return "ownerReplyUnavailable";
  }
  return "TokenFailure";
}

}  // namespace corvanta
