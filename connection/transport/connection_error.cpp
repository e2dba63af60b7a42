#include "connection/transport/connection_error.hpp"

namespace corvanta {

std::string ConnectionError::errorDescription() const {
  switch (case_) {
    case Case::requestFailed:
      return "The service could not complete the request (HTTP " + std::to_string(status_) + ").";
    case Case::invalidResponse: return "The service returned an unexpected response. Please try again.";
    case Case::responseTooLarge: return "The service response exceeded the allowed size.";
    case Case::notSignedIn: return "Your session has ended. Please sign in again.";
    case Case::staleSession: return "The connection changed. Please start again.";
    case Case::invalidCallback: return "The sign-in response could not be verified. Please sign in again.";
    case Case::authorizationDenied: return "Sign-in was not completed. Please try again when you\u2019re ready.";
    case Case::loginExpired: return "Sign-in timed out. Please start again.";
    case Case::callbackUnavailable:
      return "The sign-in callback port is unavailable. Close another Corvanta Sign instance and try again.";
    case Case::invalidCertificate: return "The service returned a certificate that could not be read.";
    case Case::unknownCertificateMode: return "The service returned an unsupported certificate configuration.";
    case Case::ambiguousCertificates: return "The service returned more than one certificate for the same purpose.";
  }
  return {};
}

const char* ConnectionError::what() const noexcept {
  switch (case_) {
    case Case::requestFailed: return "requestFailed";
    case Case::invalidResponse: return "invalidResponse";
    case Case::responseTooLarge: return "responseTooLarge";
    case Case::notSignedIn: return "notSignedIn";
    case Case::staleSession: return "staleSession";
    case Case::invalidCallback: return "invalidCallback";
    case Case::authorizationDenied: return "authorizationDenied";
    case Case::loginExpired: return "loginExpired";
    case Case::callbackUnavailable: return "callbackUnavailable";
    case Case::invalidCertificate: return "invalidCertificate";
    case Case::unknownCertificateMode: return "unknownCertificateMode";
    case Case::ambiguousCertificates: return "ambiguousCertificates";
  }
  return "ConnectionError";
}

}  // namespace corvanta
