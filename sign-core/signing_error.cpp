#include "sign-core/signing_error.hpp"

namespace corvanta {

const char* SigningError::what() const noexcept {
  switch (case_) {
    case Case::invalidDigestLength: return "invalidDigestLength";
    case Case::unsupportedAlgorithm: return "unsupportedAlgorithm";
    case Case::invalidPublicKey: return "invalidPublicKey";
    case Case::algorithmKeyMismatch: return "algorithmKeyMismatch";
    case Case::invalidSignature: return "invalidSignature";
    case Case::invalidContext: return "invalidContext";
    case Case::notConnected: return "notConnected";
    case Case::requestInProgress: return "requestInProgress";
    case Case::invalidDeadline: return "invalidDeadline";
    case Case::requestExpired: return "requestExpired";
    case Case::unknownRequest: return "unknownRequest";
    case Case::alreadySubmitted: return "alreadySubmitted";
    case Case::notSubmitted: return "notSubmitted";
  }
  return "SigningError";
}

}  // namespace corvanta
